// SHA-256 (FIPS 180-4), for the digests release scripts and download pages
// publish beside an updater. MD5 stays the package's own digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kzp::tool {

class Sha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void Update(const uint8_t* data, size_t size);
    Digest Final();

  private:
    void Block(const uint8_t* block);

    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t length_ = 0;
};

// The digest of a host file, read in pieces. Throws FileError.
Sha256::Digest Sha256OfFile(const std::filesystem::path& path);

}  // namespace kzp::tool

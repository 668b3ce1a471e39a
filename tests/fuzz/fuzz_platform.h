// What the fuzz targets share: the POSIX seam installed once for the whole
// process, with drive C: on a private temporary folder, and scratch files in
// that folder that a target refills with each input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/posix/posix_os.h"

namespace kzp::fuzz {

// The seam, installed on first use.
PosixOs& Seam();

// A file in the scratch folder, by its Windows and its host path.
struct ScratchFile {
    std::string windowsPath;
    std::string hostPath;
};
ScratchFile Scratch(const std::string& name);
// A folder in the scratch folder (created), by its Windows path with a
// trailing backslash.
std::string ScratchFolder(const std::string& name);

// Empties the file and writes `size` bytes at `offset`; the bytes in front
// stay a hole of zeros, so a package behind the 0x18000-byte image costs
// nothing to place.
void Refill(const ScratchFile& file, uint32_t offset, const uint8_t* data, size_t size);

// Stops the process (a finding) when the condition does not hold.
void Require(bool condition, const char* what);

// Reads the input front to back; past its end everything reads as zero.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t U8() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(U8()) << (8 * i);
        return v;
    }
    // A length byte and up to that many bytes (fewer when the input ends).
    std::string ShortText() {
        size_t n = U8();
        std::string text;
        while (n-- > 0 && offset_ < size_) text += static_cast<char>(data_[offset_++]);
        return text;
    }
    const uint8_t* Rest() const { return data_ + offset_; }
    size_t RestSize() const { return size_ - offset_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace kzp::fuzz

// The new release as a vendor ships it without kzp: one .zip of its folder,
// deflated with zlib at its best compression. kzp release measures every
// updater against its size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>

namespace kzp::tool {

// Writes the archive of every regular file below `folder` (names with "/",
// in byte order; times in UTC) to `out`, or only counts its bytes when `out`
// is null, and returns its size. A file that deflate would not make smaller
// is stored. Archives past 4 GiB or 65,535 files get the zip64 records.
// Throws FileError.
uint64_t WriteZipArchive(const std::filesystem::path& folder, std::ostream* out);

}  // namespace kzp::tool

// Files of the host as the kzp command sees them: whole-file reads and
// writes, trees, and last-write times as Windows FILETIME ticks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kzp::tool {

using Bytes = std::vector<uint8_t>;

// Thrown when a host file cannot be read or written.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::filesystem::path HostPath(const std::string& utf8);
std::string Utf8Of(const std::filesystem::path& path);
std::string DisplayPath(const std::filesystem::path& path);

Bytes ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const Bytes& data);

// Every regular file below `folder`: relative name with backslashes (UTF-8)
// to its path, in byte order of the names.
std::map<std::string, std::filesystem::path> ListTree(const std::filesystem::path& folder);

// The Windows path of a folder named on the command line, without trailing
// separators (a drive's root keeps its own); "" when Windows cannot name it
// in full or it leaves no room for the separator the engine appends.
std::string WindowsFolderOf(const std::string& hostPath);

// Last-write time as 100 ns ticks since 1601-01-01 UTC (one definition per
// host, beside the others of tools/kzp/host.h).
uint64_t LastWriteTicks(const std::filesystem::path& path);

}  // namespace kzp::tool

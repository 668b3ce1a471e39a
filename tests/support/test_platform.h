// What the tests need of the platform they run on: the operating-system seam
// (POSIX natively, Win32 under Wine), scratch folders in Windows form, and
// plain file access for setting up and checking trees.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/os.h"

namespace kzp {
class PosixOs;
}

namespace kzp::test {

using Bytes = std::vector<uint8_t>;

// The bytes of a text, for test data written as strings.
inline Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The seam of this platform, installed for the whole test process.
Os& BaseOs();
// The POSIX seam with its tables, or null on Windows.
PosixOs* Posix();
// True when running the Windows build (under Wine).
bool OnWindows();

// A new empty folder; its Windows path, without a trailing backslash.
std::string NewScratchFolder();

bool WriteBytes(const std::string& path, const Bytes& data);
bool ReadBytes(const std::string& path, Bytes* data);
bool PathExists(const std::string& path);
bool MakeFolder(const std::string& path);  // and every missing parent
bool RemovePath(const std::string& path);  // a file, or a folder with its contents
// Every file below `folder`, by relative path with backslashes, with contents.
std::map<std::string, Bytes> ReadTree(const std::string& folder);
// Last-write time of a file as FILETIME ticks (through the seam).
bool FileTimeOf(const std::string& path, uint64_t* ticks);
bool SetFileTimeOf(const std::string& path, uint64_t ticks);

// The folder that holds the running test program (for helper programs).
std::string TestProgramFolder();

}  // namespace kzp::test

// File and path helpers used for every file-system test and every file the
// updater opens.
#pragma once

#include <stdint.h>

#include "platform/os.h"

namespace kzp {

// 1 when something of that name exists (FindFirstFileA). A path that ends in a
// backslash is reported missing, so folders are tested without it.
int FileExists(const char* path);

// Creates every missing level of a directory path that begins with a drive
// ("C:\a\b\"). Returns 1 when every level exists afterwards, 0 on failure (no
// drive, a level that cannot be created, or a path longer than 259 bytes).
int MakeDirectoryPath(const char* path);

// CreateFileA for reading an existing file / creating (emptying) a file for
// writing, with FILE_ATTRIBUTE_ARCHIVE added to `flags` and, on the NT family,
// a non-inheritable security-attributes record.
FileHandle OpenFileForRead(const char* path, uint32_t shareMode, uint32_t flags);
FileHandle CreateFileForWrite(const char* path, uint32_t shareMode, uint32_t flags);

// -1 NT 3.x, 1 Windows 95 and other 9x releases, 2 Windows 98, 3 NT 4.0,
// 4 Windows 2000 and later releases whose minor version is not 1,
// 5 Windows Me, 6 XP and later releases whose minor version is 1.
int GetOsClass();
int OsClassOf(const OsVersion& version);

// Replaces / : , ; * ? " < > | by `replacement`, stepping over double-byte
// characters of code page 932 whatever the system's code page is.
char* ReplaceReservedChars(char* text, char replacement);

}  // namespace kzp

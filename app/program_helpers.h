// Small pieces of the Windows program that need no window: the command-line
// switch, the follow-up path, log lines and typed folder paths. They live
// here so that they are built and tested on every platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kzp {

// True when the first argument starts with "-F" or "-f" (anything may follow).
bool IsSkipConfirmSwitch(int argc, const char* const* argv);

// True when the last character of `text` (stepping over double-byte
// characters of `codePage`) is a backslash. A trail byte 0x5C is not one.
bool EndsWithBackslashChar(const char* text, uint32_t codePage);

// Removes one trailing backslash character, if there is one.
void DropTrailingBackslash(char* path, uint32_t codePage);

// `folder`, a backslash unless it already ends with one, and `file`, into a
// buffer of `size` bytes. False, with `out` emptied, when the joined path does
// not fit (a path is never cut into another file's name) or `file` would leave
// the folder (IsContainedRelativeName).
bool JoinFollowUpPath(const char* folder, const char* file, uint32_t codePage, char* out,
                      size_t size);

// The bytes of a log line: `text` followed by CR LF and a terminator, in
// `size` bytes. Text that does not fit is cut at a character boundary of
// `codePage`, so the line never ends in half a character. Returns the length
// without terminator.
size_t MakeLogLine(const char* text, uint32_t codePage, char* line, size_t size);

// Size of the window's log line buffer: 277 bytes of text, CR LF, terminator.
constexpr size_t kLogLineSize = 280;

}  // namespace kzp

// Bounded text handling for the fixed buffers of the updater.
//
// Every function here terminates its output and never writes past the size it
// is given. The bool results say whether the whole text fitted, so that
// callers can refuse a path instead of silently truncating it into another
// file's name.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kzp {

// MAX_PATH: a path of up to 259 bytes and its terminator.
constexpr size_t kMaxPath = 260;

size_t TextLength(const char* text);
bool TextEquals(const char* a, const char* b);
// Compares folding the ASCII letters A to Z only.
bool TextEqualsIgnoreCase(const char* a, const char* b);

// Copies `source` into `target` (size bytes, terminator included).
bool CopyText(char* target, size_t size, const char* source);
bool AppendText(char* target, size_t size, const char* source);
bool AppendChar(char* target, size_t size, char c);
// Appends a backslash unless the text is empty or already ends in one.
bool AppendBackslashIfMissing(char* target, size_t size);
bool EndsWithBackslash(const char* text);

// Lead bytes of the double-byte character sets (IsDBCSLeadByteEx). Code pages
// without double-byte characters have none.
bool IsLeadByte(uint32_t codePage, uint8_t byte);
// Code page 932 (Shift-JIS): 0x81..0x9F and 0xE0..0xFC.
bool IsCp932LeadByte(uint8_t byte);
// Bytes of the character that `text` starts with (not the terminator): 2 for
// a lead byte with a byte after it, otherwise 1.
size_t CharacterLength(const char* text, uint32_t codePage);
// Length of the longest prefix of `text` that is at most `limit` bytes and
// ends on a character boundary.
size_t CharacterBoundaryWithin(const char* text, uint32_t codePage, size_t limit);

// Where the parts of a path lie, as _splitpath divides it: an optional drive
// ("C:"), the directory up to and including the last backslash or slash, the
// file name and the extension (from the last dot of the file name on, dot
// included). Double-byte characters of `codePage` are stepped over whole, so
// their second byte is never taken for a separator or a dot.
struct PathParts {
    size_t driveEnd;      // 0 or 2
    size_t directoryEnd;  // end of the directory part (after its last separator)
    size_t extensionStart;
    size_t end;
};
PathParts SplitPath(const char* path, uint32_t codePage);

// Copies [begin, end) of `text` into `target`; false when it does not fit.
bool CopyTextRange(char* target, size_t size, const char* text, size_t begin, size_t end);

}  // namespace kzp

// Conversions between Windows code pages on the host (iconv).
#pragma once

#include <stdint.h>

#include <string>

namespace kzp {

// The iconv name of a Windows code page ("CP932" for 932, "UTF-8" for 65001).
std::string IconvName(uint32_t codePage);

// Converts `text` from code page `from` to code page `to`. Strict: fails on
// the first character that cannot be converted or would be replaced by a
// look-alike. Otherwise such a character becomes U+FFFD (in UTF-8) or "?".
// False as well when the host knows neither code page.
bool ConvertCodePage(const std::string& text, uint32_t from, uint32_t to, bool strict,
                     std::string* out);

// Upper case of a UTF-8 text, character by character (Unicode's simple
// mapping, as the file systems of Windows fold names), where the host has a
// UTF-8 locale; ASCII letters only otherwise. Bytes that are not UTF-8 are
// kept as they are.
std::string UpperCaseUtf8(const std::string& utf8);

}  // namespace kzp

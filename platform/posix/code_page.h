// Conversions between UTF-8 and Windows ANSI code pages on the host (iconv).
#pragma once

#include <stdint.h>

#include <string>

namespace kzp {

// The iconv name of a Windows code page ("CP932" for 932).
std::string IconvName(uint32_t codePage);
// Converts; characters without a mapping become '?'. False when the code page
// is unknown to the host.
bool FromUtf8(const std::string& utf8, uint32_t codePage, std::string* out);
bool ToUtf8(const std::string& text, uint32_t codePage, std::string* out);

}  // namespace kzp

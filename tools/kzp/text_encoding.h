// Texts between the host (UTF-8 on Linux, the console on Windows) and the
// ANSI code pages a package is written in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/kzp/host.h"

namespace kzp::tool {

// A package text, shown on the terminal.
std::string ForTerminal(const std::string& text, uint32_t codePage);

// True when `text` is valid UTF-8.
bool IsUtf8(const std::string& text);

}  // namespace kzp::tool

// Texts between the host (UTF-8 on Linux, the console on Windows) and the
// ANSI code pages a package is written in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kzp::tool {

// UTF-8 to code page `codePage`; nothing when a character has no mapping
// there or the code page is unknown.
std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage);

// Code page `codePage` to UTF-8; bytes that do not decode become U+FFFD.
std::string ToUtf8(const std::string& text, uint32_t codePage);

// The code page of the terminal (65001 for UTF-8).
uint32_t TerminalCodePage();

// A package text, shown on the terminal.
std::string ForTerminal(const std::string& text, uint32_t codePage);

// True when `text` is valid UTF-8.
bool IsUtf8(const std::string& text);

}  // namespace kzp::tool

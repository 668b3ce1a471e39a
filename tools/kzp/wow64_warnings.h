// What a 32-bit updater sees differently on 64-bit Windows. It runs under
// WoW64 there: HKLM\Software is read through Wow6432Node, the Program Files
// base is "Program Files (x86)" and the system folder is redirected to
// SysWOW64. A package whose way to the target folder names one of these
// finds nothing (0x10008, or a missing old file) where a 64-bit installer put
// the program. kzp make warns about such packages; they stay as asked.
#pragma once

#include <string>
#include <vector>

#include "tools/package_writer/package_writer.h"

namespace kzp::tool {

// Whether `image` is a Windows program for 32-bit x86 (PE machine 0x14C).
bool IsX86Image(const writer::Bytes& image);

// One warning for each place in `target` (the target itself or a lookup
// rule) that a 32-bit updater reads in its own view, with what to do.
std::vector<std::string> Wow64Warnings(const writer::TargetFolder& target);

}  // namespace kzp::tool

// What the whole-run fuzz target and its seeds share: the package's first
// sections, which the harness writes itself, and the old files of the target
// folder.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

namespace kzp::fuzz {

constexpr const char* kWholeRunTarget = "C:\\target";
constexpr const char* kWholeRunTargetHost = "target";
constexpr const char* kWholeRunOldVersion = "1.0";

struct WholeRunOldFile {
    const char* name;      // in the package
    const char* hostName;  // below the target folder
    const char* contents;
};
inline constexpr WholeRunOldFile kWholeRunOldFiles[] = {
    {"app.exe", "app.exe", "old app.exe contents"},
    {"bin\\tool.dll", "bin/tool.dll", "old tool.dll, a little longer than the others"},
    {"readme.txt", "readme.txt", "old readme"},
};

// Magic, version 120, title "T", old and new version names, no copyright, no
// password, the backups check box set, no language blocks, and a target
// folder of type 3 without a base: the scratch target folder.
inline std::vector<uint8_t> WholeRunPrefix() {
    std::vector<uint8_t> out = {'K', 'Z', 'P', ' ', 120, 0};
    auto text = [&out](const char* s) {
        out.push_back(static_cast<uint8_t>(strlen(s)));
        out.insert(out.end(), s, s + strlen(s));
    };
    text("T");
    text(kWholeRunOldVersion);
    text("2.0");
    text("");
    out.push_back(0);  // no password
    out.push_back(1);  // delete backups by default
    out.push_back(0);  // no language blocks (u16)
    out.push_back(0);
    out.push_back(3);  // base folder plus path
    out.push_back(6);  // no base
    text(kWholeRunTarget);
    return out;
}

}  // namespace kzp::fuzz

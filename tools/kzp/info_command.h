// `kzp info`: everything a package holds, for a person or as JSON.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/kzp/package_inspector.h"

namespace kzp::tool {

// Exit codes of `kzp info` (and of the other commands for the same cases).
enum InfoExit : int {
    kExitOk = 0,
    kExitUsage = 1,     // bad options
    kExitUnreadable = 2,  // no file, not a package, cut short
    kExitProblems = 3,  // read in full, but the trailer or a stream is wrong
};

// The package as JSON; texts decoded from `codePage` (language blocks from
// their own code pages).
nlohmann::json DescribePackageJson(const InspectedPackage& package, uint32_t codePage);
// The same for a person, in the terminal's encoding.
std::string DescribePackageText(const InspectedPackage& package, uint32_t codePage);

std::string HexDigest(const writer::Digest& digest);
// FILETIME ticks as "YYYY-MM-DD hh:mm:ss.fffffff UTC".
std::string FormatFileTime(uint64_t ticks);

int RunInfo(const std::string& path, bool json, uint32_t codePage, std::ostream& out,
            std::ostream& err);

}  // namespace kzp::tool

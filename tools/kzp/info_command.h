// `kzp info`: everything a package holds, for a person or as JSON.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/kzp/exit_codes.h"
#include "tools/kzp/package_inspector.h"

namespace kzp::tool {

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

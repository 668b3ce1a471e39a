// `kzp info`: everything a package holds, for a person or as JSON.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/kzp/exit_codes.h"
#include "tools/kzp/package_inspector.h"

namespace CLI {
class App;
}

namespace kzp::tool {

struct InfoOptions {
    std::string file;  // the updater file or a bare package (host path)
    bool json = false;
    uint32_t codePage = 1252;  // of the package's texts and names
};

// Adds the command and its options to `app`; parsing fills `options`.
CLI::App* AddInfoCommand(CLI::App& app, InfoOptions& options);

// The package as JSON; texts decoded from `codePage` (language blocks from
// their own code pages).
nlohmann::json DescribePackageJson(const InspectedPackage& package, uint32_t codePage);
// The same for a person, in the terminal's encoding.
std::string DescribePackageText(const InspectedPackage& package, uint32_t codePage);

std::string HexDigest(const writer::Digest& digest);
// FILETIME ticks as "YYYY-MM-DD hh:mm:ss.fffffff UTC".
std::string FormatFileTime(uint64_t ticks);

int RunInfo(const InfoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

// `kzp identify`: which of a release's updaters fits an installed folder, by
// the updater's own verification, and, where none does, what differs for the
// nearest one. For support staff on a customer's machine.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "support/result_code.h"

namespace CLI {
class App;
}

namespace kzp::tool {

struct IdentifyOptions {
    std::string folder;                 // the installed folder (host path)
    std::string release;                // release.json, or empty
    std::vector<std::string> updaters;  // updater files, or none
    std::optional<uint32_t>
        codePage;  // of the file names; default: release.json's, else the system's
};

// One file that keeps an updater from accepting the folder.
struct Difference {
    std::string name;  // UTF-8
    Result code;       // what the updater would stop with: 0x10005, 0x10009, 0x10012, ...
};

// What one updater's verification makes of the folder.
struct Verdict {
    std::string label;       // the updater's file name
    std::string oldVersion;  // UTF-8
    uint32_t checked = 0;    // entries that matched (files skipped as missing are not counted)
    std::vector<Difference> differences;
    bool Fits() const { return differences.empty(); }
};

// The one the folder is from: among those that fit, the one that checks
// the most files (an older release also passes a later release's updater
// where that one left its files alone, but the updater made from the
// folder's own release checks every file the other does, and more); where
// none fits, the one with the fewest differences. The first given wins a tie.
// -1 for an empty list.
int BestVerdict(const std::vector<Verdict>& verdicts);

// A difference as support staff read it: "missing", "other contents (MD5)".
std::string DifferenceText(Result code);

CLI::App* AddIdentifyCommand(CLI::App& app, IdentifyOptions& options);

// Exit codes: 0 an updater fits; kExitNoneFits none does; kExitUnreadable the
// folder, release.json or an updater cannot be read; kExitUsage bad options.
int RunIdentify(const IdentifyOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

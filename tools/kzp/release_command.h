// `kzp release`: its options and its run. The work is release_maker's.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/kzp/make_command.h"

namespace CLI {
class App;
}

namespace kzp::tool {

struct ReleaseOptions {
    MakeOptions package;                // every option that shapes a package, as kzp make's
    std::string newFolder;              // empty: the project file's "new"
    std::vector<std::string> olds;      // DIR=VERSION; empty: the project file's "old" list
    std::optional<std::string> output;  // the folder of the updaters and release.json
    std::optional<std::string> namePattern;
    std::optional<std::string> zip;  // also write the new release's .zip here
    std::optional<unsigned> jobs;    // default: the number of processors
};

// Adds the command and its options to `app`; parsing fills `options`.
CLI::App* AddReleaseCommand(CLI::App& app, ReleaseOptions& options);

// The settings the options ask for: the project file's, with the options'
// over them. Throws SettingsError.
MakeSettings ReleaseSettingsFrom(const ReleaseOptions& options);

// Exit codes: 0, kExitUsage, kExitUnreadable (tools/kzp/exit_codes.h).
int RunRelease(const ReleaseOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

// `kzp apply`: applies an updater file to a folder with the updater's own
// engine, from a console.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace kzp::tool {

struct ApplyOptions {
    std::string file;    // the updater file (host path)
    std::string target;  // the folder to patch (host path); empty: the package's method
    bool dryRun = false;
    bool yes = false;  // no confirmation question (the updater's -F)
    bool passwordFromStdin = false;
    std::optional<bool> deleteBackups;  // empty: the package's default
    std::optional<uint32_t> codePage;   // the system code page the run assumes
    bool quiet = false;                 // no log lines, only the result
};

// Adds the command and its options to `app`; parsing fills `options`.
CLI::App* AddApplyCommand(CLI::App& app, ApplyOptions& options);

// Runs the update; the exit code is the updater's (0 success, 255 otherwise).
int RunApply(const ApplyOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

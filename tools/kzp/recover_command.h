// `kzp recover`: repairs a folder that an updater run left half changed
// (killed, powered off, crashed) so that the updater can run again.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace kzp::tool {

struct RecoverOptions {
    std::string file;    // the updater file (host path)
    std::string target;  // the folder the run changed (host path)
    bool dryRun = false;
    bool yes = false;  // no question before the folder is changed
    std::optional<uint32_t> codePage;
};

// Adds the command and its options to `app`; parsing fills `options`.
CLI::App* AddRecoverCommand(CLI::App& app, RecoverOptions& options);

// Exit codes: 0, kExitUsage, kExitUnreadable, kExitNotRecovered or
// kExitNotConfirmed (tools/kzp/exit_codes.h).
int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

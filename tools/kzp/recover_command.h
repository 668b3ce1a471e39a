// `kzp recover`: repairs a folder that an updater run left half changed
// (killed, powered off, crashed) so that the updater can run again.
#pragma once

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

// Exit codes beside the common ones (0, 1 usage, 2 unreadable).
enum RecoverExit : int {
    kExitNotRecovered = 4,  // some entry could not be brought back
    kExitNotConfirmed = 5,  // the user said no; nothing was changed
};

int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool

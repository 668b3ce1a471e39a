// Exit codes of every kzp command, in one place. `kzp make`, `kzp release`
// and `kzp info` share the first four; `kzp apply` ends as the updater does;
// `kzp recover` adds three of its own and `kzp identify` one (the same
// number as recover's last: each command documents its own).
#pragma once

#include <cstdio>
#include <string>

#include "support/result_code.h"

namespace kzp::tool {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,          // bad options or settings
    kExitUnreadable = 2,     // no file, not a package, cut short; a file cannot be written
    kExitProblems = 3,       // read in full, but the trailer or a stream is wrong
    kExitNotRecovered = 4,   // kzp recover: an entry cannot be brought back or examined
    kExitNotConfirmed = 5,   // kzp recover: the user said no; nothing was changed
    kExitKept = 6,           // kzp recover: files that may be the user's were kept
    kExitNoneFits = 6,       // kzp identify: no updater accepts the folder
    kExitApplyFailed = 255,  // kzp apply: failed, cancelled or the program still running
};

// A run's result as the commands print it: the code as the updater documents
// it, and its name unless it is success: "0", "1 (ResultCancelled)",
// "0x10009 (ErrorDigestMismatch)".
inline std::string ResultText(Result r) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), r > 0xFF ? "0x%X" : "%u", r);
    if (r == kResultOk) return buffer;
    return std::string(buffer) + " (" + ResultName(r) + ")";
}

}  // namespace kzp::tool

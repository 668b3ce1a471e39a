// Exit codes of every kzp command, in one place. `kzp make` and `kzp info`
// share the first four; `kzp apply` ends as the updater does.
#pragma once

namespace kzp::tool {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,          // bad options or settings
    kExitUnreadable = 2,     // no file, not a package, cut short; a file cannot be written
    kExitProblems = 3,       // read in full, but the trailer or a stream is wrong
    kExitApplyFailed = 255,  // kzp apply: failed, cancelled or the program still running
};

}  // namespace kzp::tool

// Result of a run and of every step of it. The same values end the updater's
// run, come back from the engine's operations and, through the kzp tool, become
// exit codes.
#pragma once

#include <stdint.h>

namespace kzp {

using Result = uint32_t;

enum : Result {
    kResultOk = 0,
    kResultCancelled = 1,
    kResultProgramRunning = 2,

    kErrorOpenPackage = 0x10001,
    kErrorReadPackage = 0x10002,
    kErrorNotPackage = 0x10003,
    kErrorPackageVersion = 0x10004,
    kErrorOldFileMissing = 0x10005,
    kErrorOldFileOpen = 0x10006,
    kErrorOldFileRead = 0x10007,
    kErrorTargetFolder = 0x10008,
    kErrorDigestMismatch = 0x10009,
    kErrorDateSizeMismatch = 0x1000A,
    kErrorRename = 0x1000B,
    kErrorNewFileOpen = 0x1000C,
    kErrorNewFileWrite = 0x1000D,
    kErrorDiffData = 0x1000E,
    kErrorDiffVersion = 0x1000F,
    kErrorTampered = 0x10010,
    kErrorProcessList = 0x10011,
    kErrorAddExists = 0x10012,
};

// The name of a result as it is spelled above without its "k" ("ResultOk",
// "ErrorReadPackage"); "Unknown" for any other value. For messages of the
// kzp tool and the tests; the updater shows catalogue texts instead.
const char* ResultName(Result code);

}  // namespace kzp

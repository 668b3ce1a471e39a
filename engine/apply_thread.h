// The apply thread: reads the package, asks what has to be asked, verifies
// the old files and applies the update, add and delete lists, reporting every
// step as a status notification and ending with one posted end code.
#pragma once

#include <stdint.h>

namespace kzp {

// The thread entry; `parameter` is the UpdaterState. Always returns 0; the
// run result is in state.runResult and in the end code. Notifications go to
// state.sink, questions to state.prompts (no prompts: every question counts
// as cancelled).
//
// A run that stops before its catalogue is settled (ErrorOpenPackage,
// ErrorNotPackage, ErrorPackageVersion, or ErrorReadPackage before the
// catalogue is complete) fills the empty ones of the catalogue slots
// kSlotClose, kSlotErrorOccurred, kSlotNotPackageError and
// kSlotPackageVersionError before it posts its end code, so that the window
// has its Close caption and error lines: the built-in texts when the system's
// code page is 932, English texts (strings 212..215) otherwise. kSlotOpenError
// and kSlotReadError, which the window fills before the thread starts, are
// kept.
uint32_t ApplyThread(void* parameter);

}  // namespace kzp

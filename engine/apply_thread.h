// The apply thread: reads the package, asks what has to be asked, verifies
// the old files and applies the update, add and delete lists, reporting every
// step as a status notification and ending with one posted end code.
#pragma once

#include <stdint.h>

namespace kzp {

// The thread entry; `parameter` is the UpdaterState. Always returns 0; the
// run result is in state.runResult and in the end code.
uint32_t ApplyThread(void* parameter);

}  // namespace kzp

// Verifies the old files before anything changes: every file of the update
// and delete lists against its entry's digest (MD5, or last-write time and
// size), and every file of the add list for not being there already.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "support/ptr_array.h"
#include "support/result_code.h"

namespace kzp {

// CheckOldFile's outcome for a missing file that its list allows to skip.
constexpr Result kOutcomeSkippedMissing = 3;

// Update list, then delete list, then add list. 0, 1, or the code of the
// first failure (0x10005, 0x10006, 0x10007, 0x10009, 0x1000A, 0x10012).
Result VerifyOldFiles(PtrArray* updates, PtrArray* adds, PtrArray* deletes, uint8_t verifyMode,
                      UpdaterState& state);

// Computes the 16-byte check value of one file. 0, 3 (missing and skipped),
// 1 (cancelled), 0x10005, 0x10006 or 0x10007.
Result CheckOldFile(const char* path, uint8_t checkValue[16], uint8_t verifyMode,
                    UpdaterState& state, uint8_t ignoreMissing);

}  // namespace kzp

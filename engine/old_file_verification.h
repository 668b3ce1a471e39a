// Verifies the old files before anything changes: every file of the update
// and delete lists against its entry's digest (MD5, or last-write time and
// size), and every file of the add list for not being there already.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "package/package_records.h"
#include "support/ptr_array.h"
#include "support/result_code.h"

namespace kzp {

// CheckOldFile's outcome for a missing file that its list allows to skip.
constexpr Result kOutcomeSkippedMissing = 3;

// Update list, then delete list, then add list. 0, 1, or the code of the
// first failure (0x10005, 0x10006, 0x10007, 0x10009, 0x1000A, 0x10012).
Result VerifyOldFiles(PtrArray* updates, PtrArray* adds, PtrArray* deletes, uint8_t verifyMode,
                      UpdaterState& state);

// One entry of the update or delete list against its file in the target
// folder: 0 when the file holds the entry's check value, 3 when it is missing
// and `ignoreMissing` lets it be (after notification `skippedCode`), else the
// code VerifyOldFiles stops at for it. Each entry is judged on its own, so
// that a caller can also learn every file that differs, not only the first.
Result VerifyOldEntry(const FileEntry& entry, uint8_t verifyMode, UpdaterState& state,
                      uint8_t ignoreMissing, uint32_t skippedCode);

// One entry of the add list: 0 when no file stands at its name, or one does
// and the package may overwrite it (after notification 24); else 0x10012, or
// 0x1000C for a name too long to form a path.
Result VerifyAddEntry(const FileEntry& entry, UpdaterState& state);

// Computes the 16-byte check value of one file. 0, 3 (missing and skipped),
// 1 (cancelled), 0x10005, 0x10006 or 0x10007.
Result CheckOldFile(const char* path, uint8_t checkValue[16], uint8_t verifyMode,
                    UpdaterState& state, uint8_t ignoreMissing);

}  // namespace kzp

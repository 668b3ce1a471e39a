// The two walks over the changed-file list, run by the window's thread after
// the apply thread has ended its run.
#pragma once

#include "app/updater_state.h"

namespace kzp {

// Undoes a failed, cancelled or stopped run: deletes what the run wrote and
// moves every backup back under its own name. Best effort, last change first.
void RestoreChangedFiles(UpdaterState& state);

// Ends a finished run for good: deletes the backup of every changed file.
void DeleteBackupFiles(UpdaterState& state);

}  // namespace kzp

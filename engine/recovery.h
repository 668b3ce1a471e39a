// Repairs a folder that an updater run left half changed: one that was
// killed, lost its power, or crashed before its own rollback could run.
//
// The run leaves no journal; the folder itself tells what happened. Each
// entry's file and its backup name are examined against the package, and
// the folder is judged as a whole: every entry in its new state (the update
// finished), every entry in its old state with no backup of this run (it
// never started), or anything else (interrupted). An interrupted folder is
// brought back to what the rollback would have left: each backup moved back
// to its name, what the run wrote removed. The last copy of an old file is
// never deleted, and a backup that does not hold the entry's old version
// (one left by another update) is left alone.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "engine/forward_pass.h"
#include "package/package_records.h"
#include "package/recovery_record.h"
#include "support/ptr_array.h"
#include "support/result_code.h"

namespace kzp {

// What lies at an entry's name or at its backup name.
enum class FoundFile : uint8_t {
    kMissing,
    kOldVersion,    // the old release's file (at a backup name: this run's backup)
    kNewVersion,    // the file a finished run leaves
    kWrittenByRun,  // a file the run was writing when it stopped
    kOther,         // anything else
};

enum class RecoveryStep : uint8_t {
    kLeave,
    kRestoreBackup,  // remove the file at the name, move the backup back
    kRemoveFile,     // remove a file the run wrote
    kLost,           // neither the old file nor its backup is there
};

struct EntryRecovery {
    EntryKind kind;
    const FileEntry* entry;
    FoundFile file;
    FoundFile backup;  // kMissing, kOldVersion or kOther
    RecoveryStep step;
    bool failed;  // the step was tried and did not succeed
};

enum class FolderVerdict : uint8_t { kComplete, kUntouched, kInterrupted };

struct RecoveryPlan {
    ForwardPass pass;  // the package read up to its lists
    bool hasRecord;
    RecoveryRecord record;
    EntryRecovery* entries;  // in the order the run applies them
    uint32_t count;
    FolderVerdict verdict;
};

// Reads the updater at state.packagePath with the run's forward pass (its
// integrity checked, nothing asked, the package's way of finding the folder
// read but not used) and examines state.targetFolder (with its trailing
// backslash) for every entry. Nothing is changed. Notifications go to
// state.sink as in a run. Returns 0 or the run's code for an unreadable
// package (0x10001 ... 0x10004, 0x10010), 0x10006/0x10007 for a file that
// cannot be examined.
Result ExamineFolder(UpdaterState& state, RecoveryPlan* plan);

// Carries out the plan's steps, last entry first, as the rollback does.
// Returns how many entries could not be brought back (lost, or a step that
// failed); 0 when the folder is in its old state again.
uint32_t RecoverFolder(UpdaterState& state, RecoveryPlan* plan);

void ReleaseRecoveryPlan(UpdaterState& state, RecoveryPlan* plan);

}  // namespace kzp

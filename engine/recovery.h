// Repairs a folder that an updater run left half changed: one that was
// killed, lost its power, or crashed before its own rollback could run.
//
// What recovery promises: after it, every byte that the folder held before
// the run (the old release's files and anything of the user's) is at its
// original name again, unless the folder is reported complete. Where the
// folder cannot tell whether a file is the run's or was there before, the
// file is kept and named, never deleted; nothing is left under a backup name
// that the run put there.
//
// The run leaves no journal; the folder itself tells what happened, judged by
// contents, never by times (a build may stamp its new files with the old
// ones' times, and a FAT volume keeps times to two seconds). For each file
// the package names, what may lie at its name and its backup name is worked
// out from the package: before the run came to it, while the run wrote it,
// after the run finished it (see run_progress.h for how those fit together
// over the whole run). Entries that name one file (the same name in another
// case, or twice in the lists, as another writer may write) are judged
// together, as the run would have met them.
//
// Then each step is decided against the folder as it stands when the step
// runs: the last entry first, as the rollback undoes the run, and an entry
// whose file was already dealt with by another entry is left alone.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "engine/forward_pass.h"
#include "engine/run_progress.h"
#include "package/package_records.h"
#include "package/recovery_record.h"
#include "support/result_code.h"

namespace kzp {

// What lies at an entry's name or at its backup name.
enum class FoundFile : uint8_t {
    kMissing,
    kOldVersion,    // what the old release has there (at a backup name: a backup of it)
    kNewVersion,    // what the entry writes, whole
    kWrittenByRun,  // the first part of what the entry writes (the rest not yet)
    kReplaced,      // at an add's backup name: the file the add found in its way
    kUnchecked,     // not the old version; nothing to tell whether it is the new one
    kOther,         // anything else
};

enum class RecoveryStep : uint8_t {
    kLeave,
    kRestoreBackup,  // the file at the name (if any) removed, the backup moved back
    kRemoveFile,     // a file the run wrote removed
    kKept,           // may be the run's or may have been there before: kept, and named
    kLost,           // the entry's old file is neither at its name nor at its backup name
    kUnexamined,     // its path cannot be formed or its files cannot be read
    kDoneByOther,    // its file was dealt with by another entry naming the same file
};

struct EntryRecovery {
    EntryKind kind;
    const FileEntry* entry;
    uint32_t listIndex;   // within its own list
    uint32_t sameFileAs;  // position of the first entry that names the same file
    FoundFile file;
    FoundFile backup;
    bool backupForeign;  // a backup that is not this run's (another update's): left alone
    EntryPhases phases;  // what the entry's file can be while a run goes on
    bool mayBeCleaned;   // as a finished run leaves it once its backups are deleted
    EntryExplanation explained;
    RecoveryStep step;  // as planned; RecoverFolder sets what was done
    bool failed;        // the step was tried and did not succeed
};

enum class FolderVerdict : uint8_t {
    kComplete,     // as a finished run leaves it: nothing to do
    kUntouched,    // as it was before the run: nothing to do
    kInterrupted,  // the run stopped half way: brought back to before the run
};

struct RecoveryPlan {
    ForwardPass pass;  // the package read up to its lists
    bool hasRecord;
    RecoveryRecord record;
    EntryRecovery* entries;  // in the order the run applies them
    uint32_t count;
    FolderVerdict verdict;
    // False when no point of a run's progress explains the folder (files
    // changed by something else too): then only what is certainly the run's
    // is undone.
    bool explained;
};

struct RecoveryOutcome {
    uint32_t notBack;  // entries lost, not examined, or whose step failed
    uint32_t kept;     // files kept because they may be the user's
};

// Reads the updater at state.packagePath with the run's forward pass (its
// integrity checked, nothing asked, the package's way of finding the folder
// read but not used) and examines state.targetFolder (with its trailing
// backslash) for every entry. Nothing is changed. Returns 0 or the run's code
// for an unreadable package (0x10001 ... 0x10004, 0x10010); an entry that
// cannot be examined is marked and does not stop the others.
Result ExamineFolder(UpdaterState& state, RecoveryPlan* plan);

// Carries out the plan on an interrupted folder, the last entry first, each
// step decided against the folder as it stands then.
RecoveryOutcome RecoverFolder(UpdaterState& state, RecoveryPlan* plan);

void ReleaseRecoveryPlan(UpdaterState& state, RecoveryPlan* plan);

}  // namespace kzp

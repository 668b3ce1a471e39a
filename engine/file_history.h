// The states one file of the target folder passes through in a run, and which
// of them a folder shows.
//
// A file has two places: its name and its backup name. The run moves what
// stands at the name to the backup name before it writes there or deletes
// it; the window's restore undoes that; a finished run's clean-up deletes
// the backup. Several entries may name one file (the same name in another
// case, or twice, as another writer may write): they act on it one after the
// other, as the run would, and a move onto a backup that is already there
// fails the run at that entry.
#pragma once

#include <stdint.h>

#include "engine/entry_evidence.h"
#include "package/package_records.h"

namespace kzp {

// The most entries that may name one file; more are not judged.
constexpr uint32_t kMaxSameFile = 8;

// Bits of a phase set.
constexpr uint8_t kPhaseBefore = 1;   // the run has not come to the entry
constexpr uint8_t kPhaseDuring = 2;   // writing it, or restoring it
constexpr uint8_t kPhaseAfter = 4;    // finished with it, its backup (if any) kept
constexpr uint8_t kPhaseCleaned = 8;  // the run finished, and its backup is deleted

// One entry naming the file, with what its two places hold measured against it.
struct FileMember {
    EntryKind kind;
    bool skipsMissing;  // update, delete: the run passes over a missing file
    bool overwrites;    // add: the run moves a file in its way to the backup
    bool allowsFile;    // add: the check before the run lets a file be in its way
    Evidence atName;
    Evidence atBackup;
};

// What a place may hold in a state.
enum class Holds : uint8_t {
    kNothing,
    kFileBefore,  // what stood at the name before the run
    kWhole,       // what a member writes, whole
    kPart,        // the first part of it
};

struct FileMatch {
    bool matched;        // some state of the run shows what the places hold
    bool backupForeign;  // only when the backup is taken for another update's
    uint8_t phases[kMaxSameFile];
    // Over the matching states in which the run has touched the file: the
    // name holds only the run's data or nothing, the backup holds only the
    // file that stood at the name.
    bool nameIsRuns;
    bool backupIsFileBefore;
    bool backupIsRuns;      // the run's own data under the backup name
    bool nameStartedEmpty;  // the run found nothing at the name (it made the file)
};

// Matches what the two places hold (present or not, and measured against
// each member) with every state the run could have left them in; the states
// of a finished run's clean-up only `withCleanUp` (a folder that is not
// complete was never cleaned up).
FileMatch MatchFileHistory(const FileMember* members, uint32_t count, bool namePresent,
                           bool backupPresent, bool withCleanUp);

}  // namespace kzp

// What a file on disk holds, measured against one entry of a package: the
// entry's old file, what the entry writes, or the first part of it. Only
// contents count; a time says nothing of what a file holds.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "package/recovery_record.h"
#include "platform/os.h"

namespace kzp {

enum class Match : uint8_t { kNo, kYes, kMaybe };

// Both must hold: kNo if either is kNo, else kMaybe if either is.
inline Match BothMatch(Match a, Match b) {
    if (a == Match::kNo || b == Match::kNo) return Match::kNo;
    return a == Match::kMaybe || b == Match::kMaybe ? Match::kMaybe : Match::kYes;
}

// What one file on disk is: its size, last-write time and MD5 digest.
struct FileFacts {
    bool present;
    uint64_t size;
    FileTime time;
    uint8_t digest[16];
};

// Reads a whole file once. False when it is there but cannot be read.
bool ReadFileFacts(const char* path, FileFacts* facts);

// A file measured against an entry.
struct Evidence {
    Match old;    // the entry's old file, by the entry's own check (updates, deletes)
    Match whole;  // what the entry writes, whole
    Match part;   // what the entry was writing when the run stopped
    // Only a run makes such a file: part of what an add writes, grown to its
    // whole length (its first bytes, then the zeros of the space taken
    // ahead). An empty file, the first bytes alone, or the whole new file may
    // as well be the user's.
    bool runsOwn;
};

// What the judging needs of the package and the run.
struct EvidenceSource {
    PackageFile& package;
    UpdaterState& state;
    uint8_t verifyMode;
    const RecoveryRecord* record;  // null when the package has none
};

// Judges the file at the entry's name and at its backup name. Without a
// recovery record an update's new file is known by rebuilding it (as a digest,
// nothing written) from whichever of the two holds the old file; where
// neither does, whether a file is the new one stays open (kMaybe). False
// when a file cannot be read.
bool JudgeEntryFiles(const EvidenceSource& source, EntryKind kind, const FileEntry& entry,
                     uint32_t listIndex, const char* fullPath, const char* backupPath,
                     const FileFacts& file, const FileFacts& backup, Evidence* atName,
                     Evidence* atBackup);

}  // namespace kzp

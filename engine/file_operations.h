// The three operations that change the user's files. None overwrites or
// deletes a file outright: the file is first moved to its backup name beside
// it and its full path recorded in state.changedFiles, so that a failed run
// can be rolled back.
//
// A change is never left unrecorded: when the path cannot be added to
// changedFiles, a file just moved to its backup is moved back and the
// operation fails (0x1000B), and a new file is not created (0x1000C).
// Names that make a path longer than 259 bytes are refused: 0x10006 for the
// file to update or delete, 0x1000C for the file to add, 0x1000B when only
// the backup path is too long.
#pragma once

#include "app/updater_state.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

// 0, 1 (cancelled), 0x10002, 0x10005, 0x10006, 0x10007, 0x1000B, 0x1000C,
// 0x1000D, 0x1000E or 0x1000F.
Result ApplyUpdateEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state);
// 0, 1 (cancelled), 0x10002, 0x1000B, 0x1000C, 0x1000D or 0x10012.
Result ApplyAddEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state);
// 0, 0x10005, 0x10006 or 0x1000B.
Result ApplyDeleteEntry(const char* name, UpdaterState& state);

// state.targetFolder followed by `name`. False when it does not fit 260 bytes
// or `name` would leave the target folder (IsContainedRelativeName).
bool BuildFullPath(const UpdaterState& state, const char* name, char* fullPath260);

// "<name>.<oldVersion>.old" with reserved characters replaced by "_"
// (double-byte characters of code page 932 passed over). False when it does
// not fit 260 bytes.
bool BuildBackupName(const char* name, const char* oldVersion, char* backupName260);
// The backup path of a full path: its drive and folder, then the backup name
// of its file name (only the file name has its reserved characters replaced).
// The operations and the rollback both use it, so they always agree on where
// a backup lies. False when it does not fit 260 bytes, or when the backup
// name would not be one path component (a backslash in the old version name).
bool BuildBackupPath(const char* fullPath, const char* oldVersion, char* backupPath260);

}  // namespace kzp

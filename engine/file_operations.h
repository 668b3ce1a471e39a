// The three operations that change the user's files. None overwrites or
// deletes a file outright: the file is first moved to its backup name beside
// it and its full path recorded in state.changedFiles, so that a failed run
// can be rolled back.
#pragma once

#include "app/updater_state.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

Result ApplyUpdateEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state);
Result ApplyAddEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state);
Result ApplyDeleteEntry(const char* name, UpdaterState& state);

// "<name>.<oldVersion>.old" with reserved characters replaced by "_"
// (double-byte characters of code page 932 passed over). False when it does
// not fit 260 bytes.
bool BuildBackupName(const char* name, const char* oldVersion, char* backupName260);
// The backup path of a recorded full path: its folder, then the backup name
// of its file name. False when it does not fit 260 bytes.
bool BuildBackupPath(const char* fullPath, const char* oldVersion, char* backupPath260);

}  // namespace kzp

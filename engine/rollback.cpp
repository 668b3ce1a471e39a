#include "engine/rollback.h"

#include "engine/file_operations.h"
#include "support/file_helpers.h"
#include "support/text.h"

namespace kzp {

namespace {

int32_t ChangedCount(const UpdaterState& state) {
    if (state.changedFiles == nullptr) return 0;
    int32_t count = state.changedFiles->Count();
    return count < 0 ? 0 : count;
}

}  // namespace

void RestoreChangedFiles(UpdaterState& state) {
    Os& os = TheOs();
    const int32_t count = ChangedCount(state);
    // Last change first. A later change may have moved aside a file that an
    // earlier one made (an add over another file's backup name); undone in
    // the order they were made, that file would land in the wrong place.
    for (int32_t i = count - 1; i >= 0; --i) {
        const char* fullPath = state.changedFiles->Get(i);
        if (FileExists(fullPath)) os.RemoveFile(fullPath);
        // A path whose backup name would not fit was never moved: the file
        // operations refuse such a path before they move anything.
        char backupPath[kMaxPath];
        if (!BuildBackupPath(fullPath, state.oldVersion, backupPath)) continue;
        if (FileExists(backupPath)) os.MoveFileNoReplace(backupPath, fullPath);
    }
}

void DeleteBackupFiles(UpdaterState& state) {
    Os& os = TheOs();
    const int32_t count = ChangedCount(state);
    for (int32_t i = 0; i < count; ++i) {
        char backupPath[kMaxPath];
        if (!BuildBackupPath(state.changedFiles->Get(i), state.oldVersion, backupPath)) continue;
        if (FileExists(backupPath)) os.RemoveFile(backupPath);
    }
}

}  // namespace kzp

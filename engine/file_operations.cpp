#include "engine/file_operations.h"

#include "engine/notify.h"
#include "package/compact_decoder.h"
#include "package/diff_decoder.h"
#include "package/package_layout.h"
#include "platform/owned_handles.h"
#include "support/buffered_file.h"
#include "support/contained_path.h"
#include "support/file_helpers.h"
#include "support/text.h"

namespace kzp {

namespace {

constexpr uint32_t kAddChunk = 1024;

bool RecordChange(UpdaterState& state, const char* fullPath) {
    return state.changedFiles != nullptr && state.changedFiles->Add(fullPath) >= 0;
}

// Moves a file to its backup name and records it. A move that cannot be
// recorded is undone, so that no change escapes the rollback.
Result MoveToBackup(UpdaterState& state, const char* fullPath, const char* backupPath) {
    Os& os = TheOs();
    if (!os.MoveFileNoReplace(fullPath, backupPath)) return kErrorRename;
    if (!RecordChange(state, fullPath)) {
        os.MoveFileNoReplace(backupPath, fullPath);
        return kErrorRename;
    }
    return kResultOk;
}

// Copies an add entry's content from the package into the new file in
// 1024-byte chunks with a progress value after each; then the final value.
Result CopyAddedContent(PackageFile& package, const FileEntry& entry, FileHandle file,
                        UpdaterState& state) {
    const uint32_t length = entry.dataLength;
    // Each chunk counts as written before its progress is shown: a refused
    // write ends the copy at that chunk, and a cancel or a read error that
    // follows cannot take its place. So each chunk is a range of the buffer
    // (its space taken ahead, to the add's length at once).
    FileWriteBuffer out(file, state.heap, KZP_WRITE_BUFFER_SIZE, length);

    Result result = kResultOk;
    uint32_t remaining = length;
    uint32_t copied = 0;
    if (IsCancelRequested(state)) {
        result = kResultCancelled;
    } else {
        uint8_t chunk[kAddChunk];
        for (;;) {
            uint32_t size = remaining < kAddChunk ? remaining : kAddChunk;
            if (!package.Read(chunk, size)) {
                result = kErrorReadPackage;
                break;
            }
            copied += size;
            out.BeginRange(size);
            if (!out.Write(chunk, size) || !out.EndRange()) {
                result = kErrorNewFileWrite;
                break;
            }
            Notify(state, SN_FILE_PROGRESS, ProgressValue(copied, length));
            remaining -= size;
            if (remaining == 0) break;
            if (IsCancelRequested(state)) {
                result = kResultCancelled;
                break;
            }
        }
    }
    // However the copy ends, what was accepted reaches the file and the file
    // ends where it does (see ApplyDiffStream).
    if (!out.Finish(result == kResultOk)) result = kErrorNewFileWrite;
    Notify(state, SN_FILE_PROGRESS, ProgressValue(copied, length));
    return result;
}

}  // namespace

bool BuildFullPath(const UpdaterState& state, const char* name, char* fullPath260) {
    // A name that climbs out of the target folder, or names a drive, the
    // root or a device, names no file the run may touch.
    if (!IsContainedRelativeName(name, TheOs().GetAnsiCodePage())) {
        fullPath260[0] = 0;
        return false;
    }
    return CopyText(fullPath260, kMaxPath, state.targetFolder) &&
           AppendText(fullPath260, kMaxPath, name);
}

bool BuildBackupName(const char* name, const char* oldVersion, char* backupName260) {
    bool fits = CopyText(backupName260, kMaxPath, name) &&
                AppendChar(backupName260, kMaxPath, '.') &&
                AppendText(backupName260, kMaxPath, oldVersion) &&
                AppendText(backupName260, kMaxPath, ".old");
    ReplaceReservedChars(backupName260, '_');
    return fits;
}

bool BuildBackupPath(const char* fullPath, const char* oldVersion, char* backupPath260) {
    const PathParts parts = SplitPath(fullPath, TheOs().GetAnsiCodePage());
    char fileName[kMaxPath];
    char backupName[kMaxPath];
    // The backslash is not a reserved character: an old version name that
    // holds one would put the backup into another folder, or out of the
    // target folder.
    return CopyTextRange(backupPath260, kMaxPath, fullPath, 0, parts.directoryEnd) &&
           CopyTextRange(fileName, sizeof(fileName), fullPath, parts.directoryEnd, parts.end) &&
           BuildBackupName(fileName, oldVersion, backupName) &&
           IsSinglePathComponent(backupName, TheOs().GetAnsiCodePage()) &&
           AppendText(backupPath260, kMaxPath, backupName);
}

Result ApplyUpdateEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state) {
    char fullPath[kMaxPath];
    char backupPath[kMaxPath];
    if (!BuildFullPath(state, entry.name, fullPath)) return kErrorOldFileOpen;
    const bool backupFits = BuildBackupPath(fullPath, state.oldVersion, backupPath);

    if (!FileExists(fullPath)) {
        if (state.ignoreMissingUpdate == 1) {
            NotifyText(state, SN_UPDATE_SKIPPED, fullPath);
            return kResultOk;
        }
        NotifyText(state, SN_UPDATE_FILE, fullPath);
        return kErrorOldFileMissing;
    }
    NotifyText(state, SN_UPDATE_FILE, fullPath);
    if (!backupFits) return kErrorRename;
    Result result = MoveToBackup(state, fullPath, backupPath);
    if (result != kResultOk) return result;

    // Declared first so that it is closed last, after the old file.
    OwnedFile newFile;
    OwnedFile oldFile(OpenFileForRead(backupPath, 0, 0));
    if (!oldFile.IsOpen()) return kErrorOldFileOpen;
    newFile.Reset(CreateFileForWrite(fullPath, 0, 0));
    if (!newFile.IsOpen()) return kErrorNewFileOpen;
    StateDecodeContext context(state);
    if (entry.compact)
        return ApplyCompactData(package, entry, oldFile.Get(), newFile.Get(), context);
    return ApplyDiffStream(package, entry, oldFile.Get(), newFile.Get(), context);
}

Result ApplyAddEntry(PackageFile& package, const FileEntry& entry, UpdaterState& state) {
    char fullPath[kMaxPath];
    char backupPath[kMaxPath];
    if (!BuildFullPath(state, entry.name, fullPath)) return kErrorNewFileOpen;
    // Needed only when a file is in the way.
    const bool backupFits = BuildBackupPath(fullPath, state.oldVersion, backupPath);

    bool recorded = false;
    if (FileExists(fullPath)) {
        if (state.overwriteOnAdd != 1) {
            NotifyText(state, SN_ADD_FILE, fullPath);
            return kErrorAddExists;
        }
        NotifyText(state, SN_ADD_OVERWRITE, fullPath);
        if (!backupFits) return kErrorRename;
        // Recorded at once, so that whatever fails next brings it back.
        Result moved = MoveToBackup(state, fullPath, backupPath);
        if (moved != kResultOk) return moved;
        recorded = true;
    } else {
        NotifyText(state, SN_ADD_FILE, fullPath);
    }

    char folder[kMaxPath];
    const PathParts parts = SplitPath(fullPath, TheOs().GetAnsiCodePage());
    CopyTextRange(folder, sizeof(folder), fullPath, 0, parts.directoryEnd);
    if (!MakeDirectoryPath(folder)) return kErrorNewFileOpen;
    // Recorded before it exists: a file the rollback does not know of is
    // never created.
    if (!recorded && !RecordChange(state, fullPath)) return kErrorNewFileOpen;

    OwnedFile file(CreateFileForWrite(fullPath, 0, 0));
    if (!file.IsOpen()) return kErrorNewFileOpen;
    if (entry.compact) {
        StateDecodeContext context(state);
        return ApplyCompactData(package, entry, kInvalidFile, file.Get(), context);
    }
    if (!package.Seek(static_cast<uint64_t>(kPackageOffset) + entry.dataOffset)) {
        return kErrorReadPackage;
    }
    Result result = CopyAddedContent(package, entry, file.Get(), state);
    if (result == kResultOk) TheOs().SetLastWriteTime(file.Get(), entry.fileTime);
    return result;
}

Result ApplyDeleteEntry(const char* name, UpdaterState& state) {
    char fullPath[kMaxPath];
    char backupPath[kMaxPath];
    if (!BuildFullPath(state, name, fullPath)) return kErrorOldFileOpen;
    const bool backupFits = BuildBackupPath(fullPath, state.oldVersion, backupPath);

    if (!FileExists(fullPath)) {
        if (state.ignoreMissingDelete == 1) {
            NotifyText(state, SN_DELETE_SKIPPED, fullPath);
            return kResultOk;
        }
        NotifyText(state, SN_DELETE_FILE, fullPath);
        return kErrorOldFileMissing;
    }
    NotifyText(state, SN_DELETE_FILE, fullPath);
    Notify(state, SN_FILE_PROGRESS, 0);
    if (!backupFits) return kErrorRename;
    Result result = MoveToBackup(state, fullPath, backupPath);
    if (result != kResultOk) return result;
    Notify(state, SN_FILE_PROGRESS, 1000);
    return kResultOk;
}

}  // namespace kzp

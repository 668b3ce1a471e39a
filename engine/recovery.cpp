#include "engine/recovery.h"

#include <new>

#include "engine/file_operations.h"
#include "engine/target_folder.h"
#include "package/add_contents.h"
#include "package/package_layout.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/md5.h"
#include "support/text.h"

namespace kzp {

namespace {

constexpr uint32_t kCompareChunk = 16 * 1024;

// What one file on disk is: its size, last-write time and MD5 digest.
struct FileFacts {
    bool present;
    uint64_t size;
    FileTime time;
    uint8_t digest[16];
};

// Reads a whole file once. False when it is there but cannot be read.
bool ReadFileFacts(const char* path, FileFacts* facts) {
    *facts = FileFacts{};
    if (!FileExists(path)) return true;
    Os& os = TheOs();
    OwnedFile file(OpenFileForRead(path, 0, 0));
    if (!file.IsOpen()) return false;
    uint32_t high = 0;
    const uint32_t low = os.GetFileSize(file.Get(), &high);
    bool ok = low != kInvalidFileValue && os.GetLastWriteTime(file.Get(), &facts->time);
    facts->size = (static_cast<uint64_t>(high) << 32) | low;
    Md5Context md5;
    Md5Init(&md5);
    uint8_t buffer[kCompareChunk];
    for (uint64_t left = facts->size; ok && left > 0;) {
        const uint32_t chunk = left < kCompareChunk ? static_cast<uint32_t>(left) : kCompareChunk;
        uint32_t read = 0;
        ok = os.ReadFile(file.Get(), buffer, chunk, &read) && read == chunk;
        if (ok) Md5Update(&md5, buffer, chunk);
        left -= chunk;
    }
    Md5Final(facts->digest, &md5);
    facts->present = ok;
    return ok;
}

bool SameTime(const FileTime& a, const FileTime& b) {
    return a.low == b.low && a.high == b.high;
}

// The entry's old file, checked the way the run checked it.
bool IsOldVersion(const FileFacts& facts, const FileEntry& entry, uint8_t verifyMode) {
    if (!facts.present) return false;
    if (verifyMode == 0) return DigestsEqual(facts.digest, entry.digest);
    uint8_t check[16] = {};
    const uint32_t values[3] = {facts.time.low, facts.time.high, static_cast<uint32_t>(facts.size)};
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b) check[i * 4 + b] = static_cast<uint8_t>(values[i] >> (8 * b));
    }
    return DigestsEqual(check, entry.digest);
}

// How the file at `path` stands to an add's data: 2 the same bytes, 1 the
// first bytes of them (a file the run was writing), 0 neither. -1 when a
// read fails. A run grows the file to the data's length before it writes,
// so the first bytes followed by zeros up to that length are its too.
int CompareWithAddData(PackageFile& package, const char* path, const FileEntry& entry,
                       uint64_t size, HeapHandle heap) {
    AddContents contents(package, entry, heap);
    if (contents.Open() != kResultOk) return -1;
    const uint64_t length = contents.Size();
    if (size > length) return 0;
    Os& os = TheOs();
    OwnedFile file(OpenFileForRead(path, 0, 0));
    if (!file.IsOpen()) return -1;
    uint8_t onDisk[kCompareChunk];
    uint8_t inPackage[kCompareChunk];
    int result = size == length ? 2 : 1;
    bool inZeros = false;  // past the bytes written, in the space taken ahead
    for (uint64_t left = size; left > 0 && result > 0;) {
        const uint32_t chunk = left < kCompareChunk ? static_cast<uint32_t>(left) : kCompareChunk;
        uint32_t read = 0;
        if (!os.ReadFile(file.Get(), onDisk, chunk, &read) || read != chunk ||
            contents.Read(inPackage, chunk) != kResultOk) {
            result = -1;
        } else {
            for (uint32_t i = 0; i < chunk; ++i) {
                if (!inZeros && onDisk[i] != inPackage[i]) {
                    if (size != length) {
                        result = 0;
                        break;
                    }
                    inZeros = true;
                    result = 1;
                }
                if (inZeros && onDisk[i] != 0) {
                    result = 0;
                    break;
                }
            }
        }
        left -= chunk;
    }
    return result;
}

// The file at an update's name and at its backup name.
void ExamineUpdate(const RecoveryPlan& plan, uint32_t index, const FileFacts& file,
                   const FileFacts& backup, EntryRecovery* e) {
    const FileEntry& entry = *e->entry;
    e->backup = !backup.present                                           ? FoundFile::kMissing
                : IsOldVersion(backup, entry, plan.pass.lists.verifyMode) ? FoundFile::kOldVersion
                                                                          : FoundFile::kOther;
    // A rebuilt file gets the entry's time only once it is whole; where the
    // package says what it holds, its digest is checked as well.
    const bool isNew =
        file.present && SameTime(file.time, entry.fileTime) &&
        (!plan.hasRecord || DigestsEqual(file.digest, plan.record.updatedDigests[index]));
    if (!file.present)
        e->file = FoundFile::kMissing;
    else if (isNew)
        e->file = FoundFile::kNewVersion;
    else if (e->backup == FoundFile::kOldVersion)
        e->file = FoundFile::kWrittenByRun;
    else if (IsOldVersion(file, entry, plan.pass.lists.verifyMode))
        e->file = FoundFile::kOldVersion;
    else
        e->file = FoundFile::kOther;
}

void ExamineDelete(const RecoveryPlan& plan, const FileFacts& file, const FileFacts& backup,
                   EntryRecovery* e) {
    const FileEntry& entry = *e->entry;
    e->backup = !backup.present                                           ? FoundFile::kMissing
                : IsOldVersion(backup, entry, plan.pass.lists.verifyMode) ? FoundFile::kOldVersion
                                                                          : FoundFile::kOther;
    e->file = !file.present                                           ? FoundFile::kMissing
              : IsOldVersion(file, entry, plan.pass.lists.verifyMode) ? FoundFile::kOldVersion
                                                                      : FoundFile::kOther;
}

// An add's old state is the file the old release has at its name, or none.
// The recovery record says which; a package without one leaves a file that
// holds the first bytes of the add's data to be taken for the run's own.
Result ExamineAdd(PackageFile& package, const RecoveryPlan& plan, const UpdaterState& state,
                  uint32_t index, const char* path, const FileFacts& file, const FileFacts& backup,
                  EntryRecovery* e) {
    const FileEntry& entry = *e->entry;
    const ReplacedFile* replaced = plan.hasRecord ? &plan.record.replaced[index] : nullptr;
    if (!backup.present) {
        e->backup = FoundFile::kMissing;
    } else if (replaced != nullptr) {
        e->backup = replaced->present == 1 && DigestsEqual(backup.digest, replaced->digest)
                        ? FoundFile::kOldVersion
                        : FoundFile::kOther;
    } else {
        // Only an add that may overwrite moves a file to its backup name.
        e->backup = state.overwriteOnAdd != 0 ? FoundFile::kOldVersion : FoundFile::kOther;
    }
    if (!file.present) {
        e->file = FoundFile::kMissing;
        return kResultOk;
    }
    if (replaced != nullptr && replaced->present == 1 && e->backup != FoundFile::kOldVersion &&
        DigestsEqual(file.digest, replaced->digest)) {
        e->file = FoundFile::kOldVersion;
        return kResultOk;
    }
    const int same = CompareWithAddData(package, path, entry, file.size, state.heap);
    if (same < 0) return kErrorOldFileRead;
    if (same == 2 && SameTime(file.time, entry.fileTime))
        e->file = FoundFile::kNewVersion;
    else if (same > 0)
        e->file = FoundFile::kWrittenByRun;
    else
        e->file = FoundFile::kOther;
    return kResultOk;
}

// Whether an entry is as a finished run leaves it, or as it was before.
bool IsDone(const UpdaterState& state, const EntryRecovery& e) {
    switch (e.kind) {
        case EntryKind::kUpdate:
            // A missing file that the run was allowed to skip stays missing.
            return e.file == FoundFile::kNewVersion ||
                   (e.file == FoundFile::kMissing && state.ignoreMissingUpdate == 1 &&
                    e.backup != FoundFile::kOldVersion);
        case EntryKind::kAdd:
            return e.file == FoundFile::kNewVersion;
        case EntryKind::kDelete:
            return e.file == FoundFile::kMissing;
    }
    return false;
}

bool IsUntouched(const UpdaterState& state, const RecoveryPlan& plan, uint32_t index,
                 const EntryRecovery& e) {
    if (e.backup == FoundFile::kOldVersion) return false;
    switch (e.kind) {
        case EntryKind::kUpdate:
            return e.file == FoundFile::kOldVersion ||
                   (e.file == FoundFile::kMissing && state.ignoreMissingUpdate == 1);
        case EntryKind::kDelete:
            return e.file == FoundFile::kOldVersion ||
                   (e.file == FoundFile::kMissing && state.ignoreMissingDelete == 1);
        case EntryKind::kAdd: {
            if (plan.hasRecord && plan.record.replaced[index].present == 1) {
                return e.file == FoundFile::kOldVersion;
            }
            return e.file == FoundFile::kMissing ||
                   (e.file == FoundFile::kOther && state.overwriteOnAdd != 0);
        }
    }
    return false;
}

// What bringing an interrupted folder back asks of one entry.
RecoveryStep StepFor(const UpdaterState& state, const RecoveryPlan& plan, uint32_t index,
                     const EntryRecovery& e) {
    if (e.backup == FoundFile::kOldVersion) return RecoveryStep::kRestoreBackup;
    switch (e.kind) {
        case EntryKind::kUpdate:
        case EntryKind::kDelete: {
            const uint8_t ignoreMissing = e.kind == EntryKind::kUpdate ? state.ignoreMissingUpdate
                                                                       : state.ignoreMissingDelete;
            if (e.file == FoundFile::kOldVersion) return RecoveryStep::kLeave;
            if (e.file == FoundFile::kMissing && ignoreMissing == 1) return RecoveryStep::kLeave;
            return RecoveryStep::kLost;
        }
        case EntryKind::kAdd: {
            const bool replacesFile = plan.hasRecord && plan.record.replaced[index].present == 1;
            if (replacesFile)
                return e.file == FoundFile::kOldVersion ? RecoveryStep::kLeave
                                                        : RecoveryStep::kLost;
            if (e.file == FoundFile::kWrittenByRun || e.file == FoundFile::kNewVersion) {
                return RecoveryStep::kRemoveFile;
            }
            return RecoveryStep::kLeave;
        }
    }
    return RecoveryStep::kLeave;
}

// The index of an entry within its own list.
uint32_t IndexInList(const RecoveryPlan& plan, uint32_t position) {
    uint32_t index = position;
    for (int l = 0; l < 3; ++l) {
        const uint32_t count = static_cast<uint32_t>(EntryCount(plan.pass.entries[l]));
        if (index < count) return index;
        index -= count;
    }
    return index;
}

Result ExamineEntries(PackageFile& package, UpdaterState& state, RecoveryPlan* plan) {
    uint32_t position = 0;
    const EntryKind kinds[3] = {EntryKind::kUpdate, EntryKind::kAdd, EntryKind::kDelete};
    for (int l = 0; l < 3; ++l) {
        for (int32_t i = 0; i < EntryCount(plan->pass.entries[l]); ++i, ++position) {
            EntryRecovery& e = plan->entries[position];
            e.kind = kinds[l];
            e.entry = static_cast<const FileEntry*>(plan->pass.entries[l]->Get(i));
            char fullPath[kMaxPath];
            char backupPath[kMaxPath];
            if (!BuildFullPath(state, e.entry->name, fullPath) ||
                !BuildBackupPath(fullPath, state.oldVersion, backupPath)) {
                return kErrorOldFileOpen;
            }
            FileFacts file;
            FileFacts backup;
            if (!ReadFileFacts(fullPath, &file) || !ReadFileFacts(backupPath, &backup)) {
                return kErrorOldFileRead;
            }
            if (e.kind == EntryKind::kUpdate) {
                ExamineUpdate(*plan, static_cast<uint32_t>(i), file, backup, &e);
            } else if (e.kind == EntryKind::kDelete) {
                ExamineDelete(*plan, file, backup, &e);
            } else {
                Result r = ExamineAdd(package, *plan, state, static_cast<uint32_t>(i), fullPath,
                                      file, backup, &e);
                if (r != kResultOk) return r;
            }
        }
    }
    bool done = true;
    bool untouched = true;
    for (uint32_t p = 0; p < plan->count; ++p) {
        done = done && IsDone(state, plan->entries[p]);
        untouched = untouched && IsUntouched(state, *plan, IndexInList(*plan, p), plan->entries[p]);
    }
    plan->verdict = done        ? FolderVerdict::kComplete
                    : untouched ? FolderVerdict::kUntouched
                                : FolderVerdict::kInterrupted;
    for (uint32_t p = 0; p < plan->count; ++p) {
        EntryRecovery& e = plan->entries[p];
        e.step = plan->verdict == FolderVerdict::kInterrupted
                     ? StepFor(state, *plan, IndexInList(*plan, p), e)
                     : RecoveryStep::kLeave;
    }
    return kResultOk;
}

}  // namespace

Result ExamineFolder(UpdaterState& state, RecoveryPlan* plan) {
    *plan = RecoveryPlan{};
    PrepareForwardPass(&plan->pass);
    OwnedFile file(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    if (!file.IsOpen()) return kErrorOpenPackage;
    Os& os = TheOs();
    // Freed before the package file is closed.
    OwnedHeapBlock memory(state.heap, sizeof(PackageFile));
    Result result = kErrorReadPackage;
    if (memory.Get() != nullptr) {
        PackageFile& package = *new (memory.Get()) PackageFile(file.Get());
        // The folder is the caller's; the pass must not replace it.
        char folder[kMaxPath];
        CopyText(folder, kMaxPath, state.targetFolder);
        BaseFolderTable folders;
        BuildBaseFolderTable(kNoWindow, &folders);
        result = RunForwardPass(package, state, folders, PassMode::kFolderGiven, &plan->pass);
        CopyText(state.targetFolder, kMaxPath, folder);
        // No window shows the package's texts.
        ReleasePackageFont();
        if (result == kResultOk) {
            const ListHeader& lists = plan->pass.lists;
            const uint32_t trailerStart = kPackageOffset + plan->pass.packageLength - kTrailerSize;
            plan->hasRecord = ReadRecoveryRecord(package, trailerStart, lists.updateCount,
                                                 lists.addCount, state.heap, &plan->record);
            plan->count = static_cast<uint32_t>(EntryCount(plan->pass.entries[0]) +
                                                EntryCount(plan->pass.entries[1]) +
                                                EntryCount(plan->pass.entries[2]));
            plan->entries = static_cast<EntryRecovery*>(
                os.HeapAllocZero(state.heap, sizeof(EntryRecovery) * (plan->count + 1)));
            result =
                plan->entries == nullptr ? kErrorReadPackage : ExamineEntries(package, state, plan);
        }
    }
    return result;
}

uint32_t RecoverFolder(UpdaterState& state, RecoveryPlan* plan) {
    Os& os = TheOs();
    uint32_t notBack = 0;
    // Last entry first, as the rollback undoes the run.
    for (uint32_t p = plan->count; p-- > 0;) {
        EntryRecovery& e = plan->entries[p];
        if (e.step == RecoveryStep::kLeave) continue;
        if (e.step == RecoveryStep::kLost) {
            ++notBack;
            continue;
        }
        char fullPath[kMaxPath];
        char backupPath[kMaxPath];
        if (!BuildFullPath(state, e.entry->name, fullPath) ||
            !BuildBackupPath(fullPath, state.oldVersion, backupPath)) {
            e.failed = true;
        } else if (FileExists(fullPath) && !os.RemoveFile(fullPath)) {
            e.failed = true;
        } else if (e.step == RecoveryStep::kRestoreBackup) {
            e.failed = !os.MoveFileNoReplace(backupPath, fullPath);
        }
        if (e.failed) ++notBack;
    }
    return notBack;
}

void ReleaseRecoveryPlan(UpdaterState& state, RecoveryPlan* plan) {
    ReleaseForwardPass(state, &plan->pass);
    if (plan->entries != nullptr) TheOs().HeapFree(state.heap, plan->entries);
    plan->entries = nullptr;
    if (plan->hasRecord) ReleaseRecoveryRecord(state.heap, &plan->record);
}

}  // namespace kzp

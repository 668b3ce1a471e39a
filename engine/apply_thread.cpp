#include "engine/apply_thread.h"

#include <new>

#include "app/catalogue.h"
#include "app/updater_state.h"
#include "engine/file_operations.h"
#include "engine/notify.h"
#include "engine/old_file_verification.h"
#include "engine/prompts.h"
#include "engine/running_program_check.h"
#include "engine/target_folder.h"
#include "package/package_extent.h"
#include "package/package_layout.h"
#include "package/package_reader.h"
#include "package/trailer.h"
#include "support/file_helpers.h"
#include "support/format.h"

namespace kzp {
namespace {

constexpr int32_t kEntryGrowStep = 10;
// The caption, heading and question are formatted into buffers of this size.
constexpr size_t kFormattedTextSize = 1024;

// Texts that a run which stops before its catalogue is settled still needs:
// the Close button, the error line after every error message, and the
// messages of a wrong magic and of an unknown version. Systems with code page
// 932 get the built-in catalogue texts; every other system gets English texts
// that stand beside the window's other English start-up texts (209..211).
struct EarlyText {
    int slot;
    uint32_t englishString;
};
constexpr EarlyText kEarlyTexts[] = {
    {kSlotClose, 212},
    {kSlotErrorOccurred, 213},
    {kSlotOpenError + 2, 214},  // 0x10003, not a package of this format
    {kSlotOpenError + 3, 215},  // 0x10004, unsupported format version
};

// Everything the run holds that has to be given back when it ends.
struct Run {
    FileHandle file = kInvalidFile;
    PtrArray* lists[3] = {nullptr, nullptr, nullptr};  // update, add, delete
    char* documentBefore = nullptr;
    char* documentAfter = nullptr;
    bool catalogueSettled = false;
};

// Fills the empty ones of the slots above; slots the window or a language
// block already filled keep their texts.
void SupplyEarlyStopTexts(UpdaterState& state) {
    Os& os = TheOs();
    for (const EarlyText& early : kEarlyTexts) {
        char* slot = state.catalogue[early.slot];
        if (slot == nullptr || slot[0] != 0) continue;
        uint32_t id = ansiCodePage == kBuiltInCodePage
                          ? kCatalogueStringBase + static_cast<uint32_t>(early.slot)
                          : early.englishString;
        os.LoadStringResource(state.instance, id, slot, static_cast<int>(kMaxPath));
        slot[kMaxPath - 1] = 0;
    }
}

void DefaultIfEmpty(char* text260, const char* fallback) {
    if (text260[0] == 0) CopyText(text260, kMaxPath, fallback);
}

Result ReadEntries(PackageFile& package, UpdaterState& state, EntryKind kind, uint32_t count,
                   PtrArray* list) {
    Os& os = TheOs();
    for (uint32_t i = 0; i < count; ++i) {
        FileEntry* entry = static_cast<FileEntry*>(os.HeapAllocZero(state.heap, sizeof(FileEntry)));
        if (entry == nullptr) return kErrorReadPackage;
        if (IsCancelRequested(state)) {
            os.HeapFree(state.heap, entry);
            return kResultCancelled;
        }
        if (ReadFileEntry(package, kind, entry) != kResultOk || list == nullptr ||
            list->Push(entry) < 0) {
            os.HeapFree(state.heap, entry);
            return kErrorReadPackage;
        }
    }
    return kResultOk;
}

Result CheckRunningProgram(PackageFile& package, UpdaterState& state) {
    RunningCheckSection check;
    if (ReadRunningCheckSection(package, &check) != kResultOk) return kErrorReadPackage;
    if (check.checkType != kCheckByWindow && check.checkType != kCheckByProcess) return kResultOk;
    if (check.waitForExit == 1) NotifyText(state, SN_WAIT_FOR_PROGRAM, state.title);
    if (check.checkType == kCheckByWindow) {
        return CheckRunningWindow(check.windowTitle, check.windowClass, check.waitForExit);
    }
    return CheckRunningProcess(check.programName, check.waitForExit);
}

// Applies one list; after every entry the overall progress.
template <typename Apply>
Result ApplyList(PtrArray* list, uint64_t* done, uint64_t total, UpdaterState& state, Apply apply) {
    const int32_t count = list != nullptr ? list->Count() : 0;
    for (int32_t i = 0; i < count; ++i) {
        Result result = apply(*static_cast<const FileEntry*>(list->Get(i)));
        if (result != kResultOk) return result;
        ++*done;
        Notify(state, SN_TOTAL_PROGRESS, ProgressValue(*done, total));
    }
    return kResultOk;
}

// The run from opening the package to the last file; the first non-zero
// result ends it.
Result RunSteps(UpdaterState& state, Run& run, const BaseFolderTable& folders) {
    run.file = OpenFileForRead(state.packagePath, kFileShareRead, 0);
    if (run.file == kInvalidFile) return kErrorOpenPackage;
    // The read-ahead buffer is too large for the thread's stack.
    Os& os = TheOs();
    void* memory = os.HeapAllocZero(state.heap, sizeof(PackageFile));
    if (memory == nullptr) return kErrorReadPackage;
    PackageFile& package = *new (memory) PackageFile(run.file);
    struct Release {
        UpdaterState& state;
        void* memory;
        ~Release() { TheOs().HeapFree(state.heap, memory); }
    } release{state, memory};

    uint32_t fileSize = 0;
    if (!package.QuerySize(&fileSize)) return kErrorReadPackage;
    // A signed updater carries its certificate table behind the package.
    const uint32_t packageEnd = FindPackageEnd(package, fileSize);
    if (packageEnd <= kPackageOffset) return kErrorReadPackage;
    const uint32_t packageLength = packageEnd - kPackageOffset;

    PackageHeader header;
    Result result = ReadPackageHeader(package, &header);
    if (result != kResultOk) return result;
    TakePackageHeader(state, header);
    result = ReadLanguageSection(package, state, header.formatVersion);
    if (result != kResultOk) return result;
    if (state.codePage == 0) LoadDefaultCatalogue(state);
    run.catalogueSettled = true;
    CreatePackageFont(state);
    Notify(state, SN_APPLY_TEXTS);

    const uint32_t resume = package.Tell();
    if (resume == kInvalidFileValue || !package.Seek(kPackageOffset)) return kErrorReadPackage;
    Notify(state, SN_INTEGRITY_CHECK);
    StateDecodeContext context(state);
    result = VerifyPackageTrailer(package, packageLength, context);
    if (result != kResultOk) return result;
    if (!package.Seek(resume)) return kErrorReadPackage;

    DefaultIfEmpty(state.title, "No Title");
    DefaultIfEmpty(state.oldVersion, "Old Version");
    DefaultIfEmpty(state.newVersion, "New Version");
    char caption[kFormattedTextSize];
    char heading[kFormattedTextSize];
    FormatText(caption, sizeof(caption), state.catalogue[kSlotCaption], state.title,
               state.oldVersion, state.newVersion);
    FormatText(heading, sizeof(heading), state.catalogue[kSlotHeading], state.title,
               state.oldVersion, state.newVersion);
    NotifyText(state, SN_WINDOW_TITLE, caption);
    NotifyText(state, SN_HEADING, heading);
    Notify(state, SN_COPYRIGHT);
    Notify(state, SN_BACKUP_DEFAULT);

    if (state.skipConfirm == 0) {
        char question[kFormattedTextSize];
        FormatText(question, sizeof(question), state.catalogue[kSlotConfirm], state.title,
                   state.oldVersion, state.newVersion);
        if (state.prompts == nullptr || !state.prompts->Confirm(state, question, caption)) {
            return kResultCancelled;
        }
    }
    if (header.passwordFlag == 1 &&
        (state.prompts == nullptr || state.prompts->PasswordDialog(state) != 0)) {
        return kResultCancelled;
    }

    result = ResolveTargetFolder(package, header.formatVersion, state, folders);
    if (result != kResultOk) return result;

    if (header.formatVersion >= kVersionWithCheckSection) {
        result = CheckRunningProgram(package, state);
        if (result != kResultOk) return result;
        result = ReadLaunchAndDocuments(package, state.heap, state.launchFile, &run.documentBefore,
                                        &run.documentAfter);
        if (result != kResultOk) return result;
        if (run.documentBefore != nullptr && state.prompts != nullptr) {
            state.prompts->DocumentDialog(state, run.documentBefore);
        }
    }

    Notify(state, SN_TARGET_FOLDER);
    Notify(state, SN_READING_INFO);

    ApplyOptionFlags options;
    result = ReadApplyOptions(package, header.formatVersion, &options);
    TakeApplyOptions(state, options);
    if (result != kResultOk) return result;
    ListHeader lists;
    result = ReadListHeader(package, &lists);
    if (result != kResultOk) return result;
    const uint64_t total =
        static_cast<uint64_t>(lists.updateCount) + lists.addCount + lists.deleteCount;
    result = ReadEntries(package, state, EntryKind::kUpdate, lists.updateCount, run.lists[0]);
    if (result == kResultOk) {
        result = ReadEntries(package, state, EntryKind::kAdd, lists.addCount, run.lists[1]);
    }
    if (result == kResultOk) {
        result = ReadEntries(package, state, EntryKind::kDelete, lists.deleteCount, run.lists[2]);
    }
    if (result != kResultOk) return result;

    Notify(state, SN_SEPARATOR);
    result = VerifyOldFiles(run.lists[0], run.lists[1], run.lists[2], lists.verifyMode, state);
    if (result != kResultOk) return result;
    Notify(state, SN_SEPARATOR);

    uint64_t done = 0;
    result = ApplyList(run.lists[0], &done, total, state, [&](const FileEntry& entry) {
        return ApplyUpdateEntry(package, entry, state);
    });
    if (result != kResultOk) return result;
    result = ApplyList(run.lists[1], &done, total, state, [&](const FileEntry& entry) {
        return ApplyAddEntry(package, entry, state);
    });
    if (result != kResultOk) return result;
    return ApplyList(run.lists[2], &done, total, state,
                     [&](const FileEntry& entry) { return ApplyDeleteEntry(entry.name, state); });
}

void ReleaseRun(UpdaterState& state, Run& run) {
    Os& os = TheOs();
    for (PtrArray*& list : run.lists) {
        if (list == nullptr) continue;
        for (int32_t i = 0; i < list->Count(); ++i) os.HeapFree(state.heap, list->Get(i));
        PtrArray::Destroy(list);
        list = nullptr;
    }
    if (run.documentBefore != nullptr) os.HeapFree(state.heap, run.documentBefore);
    if (run.documentAfter != nullptr) os.HeapFree(state.heap, run.documentAfter);
    run.documentBefore = nullptr;
    run.documentAfter = nullptr;
}

void PostEndOfRun(UpdaterState& state, Result result) {
    switch (result) {
        case kResultOk:
            PostEndCode(state, SN_FINISHED, 0);
            break;
        case kResultCancelled:
            PostEndCode(state, SN_CANCELLED, 0);
            break;
        case kResultProgramRunning:
            PostEndCode(state, SN_PROGRAM_RUNNING, 0);
            break;
        default:
            PostEndCode(state, SN_FAILED, static_cast<intptr_t>(result));
            break;
    }
}

}  // namespace

uint32_t ApplyThread(void* parameter) {
    UpdaterState& state = *static_cast<UpdaterState*>(parameter);
    Run run;
    for (PtrArray*& list : run.lists) list = PtrArray::Create(kEntryGrowStep);
    BaseFolderTable folders;
    BuildBaseFolderTable(state.window, &folders);

    Result result = RunSteps(state, run, folders);

    if (run.file != kInvalidFile) TheOs().CloseFile(run.file);
    run.file = kInvalidFile;
    if (result == kResultOk && run.documentAfter != nullptr && state.prompts != nullptr) {
        state.prompts->DocumentDialog(state, run.documentAfter);
    }
    ReleaseRun(state, run);
    if (result != kResultOk && !run.catalogueSettled) SupplyEarlyStopTexts(state);
    state.runResult = result;
    PostEndOfRun(state, result);
    return 0;
}

}  // namespace kzp

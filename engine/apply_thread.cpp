#include "engine/apply_thread.h"

#include <new>

#include "app/catalogue.h"
#include "app/updater_state.h"
#include "engine/file_operations.h"
#include "engine/forward_pass.h"
#include "engine/notify.h"
#include "engine/old_file_verification.h"
#include "engine/prompts.h"
#include "engine/target_folder.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"

namespace kzp {
namespace {

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
    {kSlotClose, kStringCloseEn},
    {kSlotErrorOccurred, kStringErrorOccurredEn},
    {kSlotNotPackageError, kStringNotPackageEn},
    {kSlotPackageVersionError, kStringPackageVersionEn},
};

// Everything the run holds that has to be given back when it ends.
struct Run {
    OwnedFile file;
    ForwardPass pass;
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
    run.file.Reset(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    if (!run.file.IsOpen()) return kErrorOpenPackage;
    // The read-ahead buffer is too large for the thread's stack.
    OwnedHeapBlock memory(state.heap, sizeof(PackageFile));
    if (memory.Get() == nullptr) return kErrorReadPackage;
    PackageFile& package = *new (memory.Get()) PackageFile(run.file.Get());

    ForwardPass& pass = run.pass;
    Result result = RunForwardPass(package, state, folders, PassMode::kApply, &pass);
    if (result != kResultOk) return result;
    const uint64_t total = static_cast<uint64_t>(pass.lists.updateCount) + pass.lists.addCount +
                           pass.lists.deleteCount;

    Notify(state, SN_SEPARATOR);
    result = VerifyOldFiles(pass.entries[0], pass.entries[1], pass.entries[2],
                            pass.lists.verifyMode, state);
    if (result != kResultOk) return result;
    Notify(state, SN_SEPARATOR);

    uint64_t done = 0;
    result = ApplyList(pass.entries[0], &done, total, state, [&](const FileEntry& entry) {
        return ApplyUpdateEntry(package, entry, state);
    });
    if (result != kResultOk) return result;
    result = ApplyList(pass.entries[1], &done, total, state, [&](const FileEntry& entry) {
        return ApplyAddEntry(package, entry, state);
    });
    if (result != kResultOk) return result;
    return ApplyList(pass.entries[2], &done, total, state,
                     [&](const FileEntry& entry) { return ApplyDeleteEntry(entry.name, state); });
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
    PrepareForwardPass(&run.pass);
    BaseFolderTable folders;
    BuildBaseFolderTable(state.window, &folders);

    Result result = RunSteps(state, run, folders);

    run.file.Close();
    if (result == kResultOk && run.pass.documentAfter != nullptr && state.prompts != nullptr) {
        state.prompts->DocumentDialog(state, run.pass.documentAfter);
    }
    ReleaseForwardPass(state, &run.pass);
    if (result != kResultOk && !run.pass.catalogueSettled) SupplyEarlyStopTexts(state);
    state.runResult = result;
    PostEndOfRun(state, result);
    return 0;
}

}  // namespace kzp

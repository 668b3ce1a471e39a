#include "engine/forward_pass.h"

#include "app/catalogue.h"
#include "engine/notify.h"
#include "engine/prompts.h"
#include "engine/running_program_check.h"
#include "package/package_extent.h"
#include "package/package_layout.h"
#include "package/package_reader.h"
#include "package/trailer.h"
#include "platform/owned_handles.h"
#include "support/format.h"

namespace kzp {
namespace {

constexpr int32_t kEntryGrowStep = 10;
// The caption, heading and question are formatted into buffers of this size.
constexpr size_t kFormattedTextSize = 1024;

void DefaultIfEmpty(char* text260, const char* fallback) {
    if (text260[0] == 0) CopyText(text260, kMaxPath, fallback);
}

// Where the package ends (a signed updater carries its certificate table
// behind it), as a length from the package offset.
Result MeasurePackage(PackageFile& package, uint32_t* packageLength) {
    uint32_t fileSize = 0;
    if (!package.QuerySize(&fileSize)) return kErrorReadPackage;
    const uint32_t packageEnd = FindPackageEnd(package, fileSize);
    if (packageEnd <= kPackageOffset) return kErrorReadPackage;
    *packageLength = packageEnd - kPackageOffset;
    return kResultOk;
}

// Header and language blocks; afterwards the catalogue and the font are
// settled and the window has its texts.
Result ReadHeaderAndLanguages(PackageFile& package, UpdaterState& state, ForwardPass* pass) {
    Result result = ReadPackageHeader(package, &pass->header);
    if (result != kResultOk) return result;
    TakePackageHeader(state, pass->header);
    result = ReadLanguageSection(package, state, pass->header.formatVersion);
    if (result != kResultOk) return result;
    if (state.codePage == 0) LoadDefaultCatalogue(state);
    pass->catalogueSettled = true;
    CreatePackageFont(state);
    Notify(state, SN_APPLY_TEXTS);
    return kResultOk;
}

// The digest of the whole package, from the package offset; the read
// position is back where it was afterwards.
Result CheckTrailer(PackageFile& package, UpdaterState& state, uint32_t packageLength) {
    const uint32_t resume = package.Tell();
    if (resume == kInvalidFileValue || !package.Seek(kPackageOffset)) return kErrorReadPackage;
    Notify(state, SN_INTEGRITY_CHECK);
    StateDecodeContext context(state);
    Result result = VerifyPackageTrailer(package, packageLength, context);
    if (result != kResultOk) return result;
    return package.Seek(resume) ? kResultOk : kErrorReadPackage;
}

// Caption, heading and copyright to the window; then, for a run, the
// confirmation question and the password.
Result PresentAndAsk(UpdaterState& state, const PackageHeader& header, PassMode mode) {
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
    if (mode != PassMode::kApply) return kResultOk;

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
    return kResultOk;
}

Result CheckRunningProgram(PackageFile& package, UpdaterState& state, PassMode mode) {
    RunningCheckSection check;
    if (ReadRunningCheckSection(package, &check) != kResultOk) return kErrorReadPackage;
    if (mode != PassMode::kApply) return kResultOk;
    if (check.checkType != kCheckByWindow && check.checkType != kCheckByProcess) return kResultOk;
    if (check.waitForExit == 1) NotifyText(state, SN_WAIT_FOR_PROGRAM, state.title);
    if (check.checkType == kCheckByWindow) {
        return CheckRunningWindow(check.windowTitle, check.windowClass, check.waitForExit);
    }
    return CheckRunningProcess(check.programName, check.waitForExit);
}

Result ReadEntries(PackageFile& package, UpdaterState& state, EntryKind kind, uint32_t count,
                   bool compact, PtrArray* list) {
    for (uint32_t i = 0; i < count; ++i) {
        OwnedHeapBlock block(state.heap, sizeof(FileEntry));
        FileEntry* entry = static_cast<FileEntry*>(block.Get());
        if (entry == nullptr) return kErrorReadPackage;
        if (IsCancelRequested(state)) return kResultCancelled;
        if (ReadFileEntry(package, kind, entry) != kResultOk || list == nullptr ||
            list->Push(entry) < 0) {
            return kErrorReadPackage;
        }
        entry->compact = compact;
        block.Release();  // the list holds it now
    }
    return kResultOk;
}

// Option flags, the list header and the three lists.
Result ReadLists(PackageFile& package, UpdaterState& state, ForwardPass* pass) {
    ApplyOptionFlags options;
    Result result = ReadApplyOptions(package, pass->header.formatVersion, &options);
    TakeApplyOptions(state, options);
    if (result != kResultOk) return result;
    result = ReadListHeader(package, &pass->lists);
    if (result != kResultOk) return result;
    const uint32_t counts[3] = {pass->lists.updateCount, pass->lists.addCount,
                                pass->lists.deleteCount};
    const EntryKind kinds[3] = {EntryKind::kUpdate, EntryKind::kAdd, EntryKind::kDelete};
    for (int l = 0; l < 3; ++l) {
        result = ReadEntries(package, state, kinds[l], counts[l],
                             pass->header.formatVersion == kCompactFormatVersion, pass->entries[l]);
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

}  // namespace

Result RunForwardPass(PackageFile& package, UpdaterState& state, const BaseFolderTable& folders,
                      PassMode mode, ForwardPass* pass) {
    Result result = MeasurePackage(package, &pass->packageLength);
    if (result != kResultOk) return result;
    result = ReadHeaderAndLanguages(package, state, pass);
    if (result != kResultOk) return result;
    result = CheckTrailer(package, state, pass->packageLength);
    if (result != kResultOk) return result;
    result = PresentAndAsk(state, pass->header, mode);
    if (result != kResultOk) return result;

    const uint16_t formatVersion = pass->header.formatVersion;
    if (mode == PassMode::kFolderGiven) {
        TargetFolderSection section;
        result = ReadTargetFolderSection(package, formatVersion, state.heap, &section);
        ReleaseFolderRules(state.heap, &section);
    } else {
        result = ResolveTargetFolder(package, formatVersion, state, folders);
    }
    if (result != kResultOk) return result;
    if (formatVersion >= kVersionWithCheckSection) {
        result = CheckRunningProgram(package, state, mode);
        if (result != kResultOk) return result;
        result = ReadLaunchAndDocuments(package, state.heap, state.launchFile,
                                        &pass->documentBefore, &pass->documentAfter);
        if (result != kResultOk) return result;
        if (mode == PassMode::kApply && pass->documentBefore != nullptr &&
            state.prompts != nullptr) {
            state.prompts->DocumentDialog(state, pass->documentBefore);
        }
    }

    Notify(state, SN_TARGET_FOLDER);
    Notify(state, SN_READING_INFO);
    return ReadLists(package, state, pass);
}

void PrepareForwardPass(ForwardPass* pass) {
    for (PtrArray*& list : pass->entries) list = PtrArray::Create(kEntryGrowStep);
}

void ReleaseForwardPass(UpdaterState& state, ForwardPass* pass) {
    Os& os = TheOs();
    for (PtrArray*& list : pass->entries) {
        if (list == nullptr) continue;
        for (int32_t i = 0; i < list->Count(); ++i) os.HeapFree(state.heap, list->Get(i));
        PtrArray::Destroy(list);
        list = nullptr;
    }
    if (pass->documentBefore != nullptr) os.HeapFree(state.heap, pass->documentBefore);
    if (pass->documentAfter != nullptr) os.HeapFree(state.heap, pass->documentAfter);
    pass->documentBefore = nullptr;
    pass->documentAfter = nullptr;
}

}  // namespace kzp

// The package's forward pass, from the header to the last file entry, over
// any bytes placed behind the program image, with the target folder resolved
// as the apply thread resolves it. The trailer check runs where
// the apply thread runs it, but its verdict does not stop the pass, so that
// everything after it is reached by inputs whose digest does not match.
#include <string.h>

#include <new>

#include "app/catalogue.h"
#include "engine/notify.h"
#include "engine/target_folder.h"
#include "package/package_extent.h"
#include "package/package_layout.h"
#include "package/package_reader.h"
#include "package/trailer.h"
#include "support/file_helpers.h"
#include "tests/fuzz/fuzz_platform.h"

namespace kzp::fuzz {
namespace {

void RequireTerminated(const char* text) {
    Require(memchr(text, 0, kMaxPath) != nullptr, "a text field is not terminated");
}

// A long text is absent or exactly as long as its length field promised; the
// block holds one more byte, the terminator.
void RequireDocument(const char* document) {
    if (document != nullptr) Require(strlen(document) <= 0x7FFFFFFF, "document");
}

void ReadEntries(PackageFile& file, UpdaterState& state, EntryKind kind, uint32_t count,
                 PtrArray* list, bool* ok) {
    for (uint32_t i = 0; *ok && i < count; ++i) {
        auto* entry = static_cast<FileEntry*>(TheOs().HeapAllocZero(state.heap, sizeof(FileEntry)));
        Require(entry != nullptr, "entry record");
        if (ReadFileEntry(file, kind, entry) != kResultOk) {
            TheOs().HeapFree(state.heap, entry);
            *ok = false;
            return;
        }
        RequireTerminated(entry->name);
        Require(list->Push(entry) >= 0, "entry list");
    }
}

void ForwardPass(PackageFile& file, UpdaterState& state) {
    uint32_t fileSize = 0;
    if (!file.QuerySize(&fileSize)) return;
    const uint32_t packageEnd = FindPackageEnd(file, fileSize);
    Require(packageEnd <= fileSize, "the package ends behind the file");
    if (packageEnd <= kPackageOffset) return;

    PackageHeader header;
    if (ReadPackageHeader(file, &header) != kResultOk) return;
    for (const char* text :
         {header.title, header.oldVersion, header.newVersion, header.copyrightText}) {
        RequireTerminated(text);
    }
    TakePackageHeader(state, header);
    Result result = ReadLanguageSection(file, state, header.formatVersion);
    if (result == kResultOk && state.codePage == 0) LoadDefaultCatalogue(state);
    for (int k = 0; k < kCatalogueSlots; ++k) RequireTerminated(state.catalogue[k]);
    RequireTerminated(state.fontFace);
    FontDescription font =
        MakePackageFontDescription(state.fontFace, state.fontHeight, state.codePage);
    Require(memchr(font.faceName, 0, sizeof(font.faceName)) != nullptr, "font face not terminated");
    if (result != kResultOk) return;

    const uint32_t resume = file.Tell();
    if (resume == kInvalidFileValue || !file.Seek(kPackageOffset)) return;
    StateDecodeContext context(state);
    VerifyPackageTrailer(file, packageEnd - kPackageOffset, context);
    if (!file.Seek(resume)) return;

    // Read and resolved: registry values and INI files come from the seam's
    // tables (empty here), a folder prompt is answered with Cancel.
    BaseFolderTable folders;
    BuildBaseFolderTable(kNoWindow, &folders);
    result = ResolveTargetFolder(file, header.formatVersion, state, folders);
    RequireTerminated(state.targetFolder);
    Require(result == kResultOk || result == kResultCancelled || result == kErrorReadPackage ||
                result == kErrorTargetFolder,
            "target folder result");
    if (result == kResultOk) {
        const size_t length = strlen(state.targetFolder);
        Require(length > 0 && state.targetFolder[length - 1] == '\\',
                "target folder without its backslash");
    }
    if (result != kResultOk) return;

    if (header.formatVersion >= kVersionWithCheckSection) {
        RunningCheckSection check;
        if (ReadRunningCheckSection(file, &check) != kResultOk) return;
        char* before = nullptr;
        char* after = nullptr;
        result = ReadLaunchAndDocuments(file, state.heap, state.launchFile, &before, &after);
        RequireTerminated(state.launchFile);
        RequireDocument(before);
        RequireDocument(after);
        if (before != nullptr) TheOs().HeapFree(state.heap, before);
        if (after != nullptr) TheOs().HeapFree(state.heap, after);
        if (result != kResultOk) return;
    }
    ApplyOptionFlags options;
    if (ReadApplyOptions(file, header.formatVersion, &options) != kResultOk) return;
    TakeApplyOptions(state, options);
    ListHeader lists;
    if (ReadListHeader(file, &lists) != kResultOk) return;

    PtrArray* arrays[3] = {PtrArray::Create(10), PtrArray::Create(10), PtrArray::Create(10)};
    bool ok = true;
    ReadEntries(file, state, EntryKind::kUpdate, lists.updateCount, arrays[0], &ok);
    ReadEntries(file, state, EntryKind::kAdd, lists.addCount, arrays[1], &ok);
    ReadEntries(file, state, EntryKind::kDelete, lists.deleteCount, arrays[2], &ok);
    for (PtrArray* list : arrays) {
        for (int32_t i = 0; i < list->Count(); ++i) TheOs().HeapFree(state.heap, list->Get(i));
        PtrArray::Destroy(list);
    }
}

}  // namespace
}  // namespace kzp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    static const fuzz::ScratchFile updater = fuzz::Scratch("updater.exe");
    fuzz::Refill(updater, kPackageOffset, data, size);

    // Static: a fresh 20 KB record and 64 KB read-ahead per input would cost
    // more than the pass itself.
    static UpdaterState* state = new UpdaterState;
    InitUpdaterState(state, kNoInstance);
    FileHandle handle = OpenFileForRead(updater.windowsPath.c_str(), kFileShareRead, 0);
    fuzz::Require(handle != kInvalidFile, "cannot open the updater file");
    static void* fileMemory = operator new(sizeof(PackageFile));
    PackageFile* file = new (fileMemory) PackageFile(handle);
    fuzz::ForwardPass(*file, *state);
    file->~PackageFile();
    TheOs().CloseFile(handle);
    ReleaseUpdaterState(state);
    fuzz::Require(fuzz::Seam().OpenFileCount() == 0, "a file handle was left open");
    return 0;
}

// Language blocks from a package, then every catalogue text formatted with
// its arguments the way the apply thread and the window format them: the
// caption, heading and question with the three names, and every notification
// of the window logic with a text, a progress value or an error code.
//
// Input: a code-page selector, five short texts (title, old and new version,
// target folder, a path), then the language section of a version-120 package.
#include <string.h>

#include <new>

#include "app/catalogue.h"
#include "engine/notification_view.h"
#include "engine/status_notification.h"
#include "package/package_reader.h"
#include "support/file_helpers.h"
#include "support/format.h"
#include "tests/fuzz/fuzz_platform.h"

namespace kzp::fuzz {
namespace {

constexpr uint32_t kCodePages[] = {932, 1252, 1251, 0, 936, 949, 950, 65001};

void RequireTerminated(const char* text, size_t size) {
    Require(memchr(text, 0, size) != nullptr, "a text is not terminated inside its buffer");
}

void CopyField(char* field260, const std::string& text) {
    memcpy(field260, text.data(), text.size());
    field260[text.size()] = 0;
}

void CheckActions(const WindowActions& actions) {
    Require(actions.count >= 0 && actions.count <= kMaxWindowActions, "action count");
    for (int i = 0; i < actions.count; ++i)
        RequireTerminated(actions.items[i].text, kActionTextSize);
}

void FormatEverything(UpdaterState& state, const char* path) {
    // The apply thread's caption, heading and question (1,024-byte buffers).
    for (int slot : {kSlotCaption, kSlotHeading, kSlotConfirm}) {
        char text[1024];
        size_t length = FormatText(text, sizeof(text), state.catalogue[slot], state.title,
                                   state.oldVersion, state.newVersion);
        Require(length < sizeof(text) && text[length] == 0, "formatted length");
    }
    WindowActions* actions = new WindowActions;
    const intptr_t values[] = {0, 1, 999, 1000, 1001, -1, 0x7FFFFFFF};
    for (uint32_t code = 0; code <= SN_WINDOW_TITLE; ++code) {
        if (code == SN_FILE_PROGRESS || code == SN_TOTAL_PROGRESS) {
            for (intptr_t value : values) {
                DescribeNotification(state, code, value, actions);
                CheckActions(*actions);
            }
        } else if (code == SN_FAILED) {
            for (Result error = kErrorOpenPackage - 1; error <= kErrorAddExists + 1; ++error) {
                DescribeNotification(state, code, static_cast<intptr_t>(error), actions);
                CheckActions(*actions);
            }
        } else {
            DescribeNotification(state, code, reinterpret_cast<intptr_t>(path), actions);
            CheckActions(*actions);
        }
    }
    state.threadHandle = 1;
    DescribeCancelCommand(state, actions);
    CheckActions(*actions);
    state.threadHandle = kNoThread;
    DescribeCancelCommand(state, actions);
    CheckActions(*actions);
    delete actions;
}

}  // namespace
}  // namespace kzp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    static const fuzz::ScratchFile section = fuzz::Scratch("languages.bin");
    fuzz::InputReader input(data, size);
    const uint32_t codePage = fuzz::kCodePages[input.U8() % 8];
    fuzz::Seam().SetAnsiCodePage(codePage);

    // Static: a fresh 20 KB record and 64 KB read-ahead per input would cost
    // more than the pass itself.
    static UpdaterState* state = new UpdaterState;
    InitUpdaterState(state, kNoInstance);  // reads the ANSI code page
    state->threadHandle = kNoThread;
    fuzz::CopyField(state->title, input.ShortText());
    fuzz::CopyField(state->oldVersion, input.ShortText());
    fuzz::CopyField(state->newVersion, input.ShortText());
    fuzz::CopyField(state->targetFolder, input.ShortText());
    char path[kMaxPath];
    fuzz::CopyField(path, input.ShortText());
    // The open and read error slots as the window fills them before the run.
    TheOs().LoadStringResource(kNoInstance, kStringOpenErrorJa, state->catalogue[kSlotOpenError],
                               260);
    TheOs().LoadStringResource(kNoInstance, kStringReadErrorJa, state->catalogue[kSlotReadError],
                               260);
    state->changedFiles->Add("C:\\App\\a.exe");

    fuzz::Refill(section, 0, input.Rest(), input.RestSize());
    FileHandle handle = OpenFileForRead(section.windowsPath.c_str(), kFileShareRead, 0);
    fuzz::Require(handle != kInvalidFile, "cannot open the section");
    static void* fileMemory = operator new(sizeof(PackageFile));
    PackageFile* file = new (fileMemory) PackageFile(handle);
    Result result = ReadLanguageSection(*file, *state, 120);
    file->~PackageFile();
    TheOs().CloseFile(handle);
    fuzz::Require(result == kResultOk || result == kErrorReadPackage, "language section result");
    if (result == kResultOk && state->codePage == 0) LoadDefaultCatalogue(*state);
    for (int k = 0; k < kCatalogueSlots; ++k)
        fuzz::RequireTerminated(state->catalogue[k], kMaxPath);
    FontDescription font =
        MakePackageFontDescription(state->fontFace, state->fontHeight, state->codePage);
    fuzz::RequireTerminated(font.faceName, sizeof(font.faceName));
    fuzz::FormatEverything(*state, path);

    ReleaseUpdaterState(state);
    return 0;
}

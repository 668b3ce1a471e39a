// The one state record that the window, the apply thread and start-up share.
#pragma once

#include <stdint.h>

#include "package/package_layout.h"
#include "package/package_records.h"
#include "platform/os.h"
#include "support/string_list.h"
#include "support/text.h"

namespace kzp {

class StatusSink;
class Prompts;

constexpr int kCatalogueSlots = kLanguageBlockTexts;
constexpr intptr_t kNoThread = -1;

struct UpdaterState {
    HeapHandle heap;
    InstanceHandle instance;
    uint32_t runResult;
    char packagePath[kMaxPath];
    char targetFolder[kMaxPath];
    char title[kMaxPath];
    char oldVersion[kMaxPath];
    char newVersion[kMaxPath];
    char copyrightText[kMaxPath];
    char launchFile[kMaxPath];
    uint8_t passwordDigest[16];
    uint8_t deleteBackupsDefault;
    uint32_t codePage;
    char fontFace[kMaxPath];
    uint32_t fontHeight;
    char* catalogue[kCatalogueSlots];
    uint8_t ignoreMissingUpdate;
    uint8_t overwriteOnAdd;
    uint8_t ignoreMissingDelete;
    StringList* changedFiles;
    WindowHandle window;
    intptr_t threadHandle;  // kNoThread when no apply thread runs
    uint32_t threadId;
    // Written once (to 1) by the window, polled by the apply thread; read and
    // written only through the two functions below.
    uint32_t cancelRequested;
    uint32_t skipConfirm;
    uint32_t failed;

    // Where the engine's notifications and questions go (the window and its
    // dialogs in the program; recorders and scripts in tests).
    StatusSink* sink;
    Prompts* prompts;

    // The 260-byte buffers that the catalogue slots point to. They live in the
    // record so that a slot always has its buffer, whatever memory is left.
    char catalogueBuffers[kCatalogueSlots][kMaxPath];
};

// Process-wide values beside the record.
extern FontHandle packageFont;
extern uint32_t ansiCodePage;
extern const char* documentText;

void InitUpdaterState(UpdaterState* state, InstanceHandle instance);
void ReleaseUpdaterState(UpdaterState* state);
// Deletes packageFont when there is one; ReleaseUpdaterState does it as well.
void ReleasePackageFont();

// The header's texts and password digest into the state (texts as stored;
// the defaults for empty ones come later in the run).
void TakePackageHeader(UpdaterState& state, const PackageHeader& header);
void TakeApplyOptions(UpdaterState& state, const ApplyOptionFlags& options);

inline bool IsCancelRequested(const UpdaterState& state) {
    return __atomic_load_n(&state.cancelRequested, __ATOMIC_RELAXED) == 1;
}
inline void RequestCancel(UpdaterState& state) {
    __atomic_store_n(&state.cancelRequested, 1u, __ATOMIC_RELAXED);
}

}  // namespace kzp

#include "app/updater_state.h"

#include <string.h>

namespace kzp {

FontHandle packageFont = kNoFont;
uint32_t ansiCodePage = 0;
const char* documentText = nullptr;

void InitUpdaterState(UpdaterState* state, InstanceHandle instance) {
    Os& os = TheOs();
    memset(state, 0, sizeof(*state));
    state->heap = os.HeapCreate();
    state->instance = instance;
    state->changedFiles = StringList::Create(10);
    packageFont = kNoFont;
    for (int k = 0; k < kCatalogueSlots; ++k) state->catalogue[k] = state->catalogueBuffers[k];
    ansiCodePage = os.GetAnsiCodePage();
    os.GetOwnModulePath(state->packagePath, kMaxPath);
    state->packagePath[kMaxPath - 1] = 0;
}

void ReleaseUpdaterState(UpdaterState* state) {
    for (int k = 0; k < kCatalogueSlots; ++k) state->catalogue[k] = nullptr;
    StringList::Destroy(state->changedFiles);
    state->changedFiles = nullptr;
    if (state->heap != kNoHeap) TheOs().HeapDestroy(state->heap);
    state->heap = kNoHeap;
    ReleasePackageFont();
}

void ReleasePackageFont() {
    if (packageFont != kNoFont) TheOs().DestroyFont(packageFont);
    packageFont = kNoFont;
}

void TakePackageHeader(UpdaterState& state, const PackageHeader& header) {
    CopyText(state.title, kMaxPath, header.title);
    CopyText(state.oldVersion, kMaxPath, header.oldVersion);
    CopyText(state.newVersion, kMaxPath, header.newVersion);
    CopyText(state.copyrightText, kMaxPath, header.copyrightText);
    if (header.passwordFlag == 1) memcpy(state.passwordDigest, header.passwordDigest, 16);
}

void TakeApplyOptions(UpdaterState& state, const ApplyOptionFlags& options) {
    state.ignoreMissingUpdate = options.ignoreMissingUpdate;
    state.overwriteOnAdd = options.overwriteOnAdd;
    state.ignoreMissingDelete = options.ignoreMissingDelete;
}

}  // namespace kzp

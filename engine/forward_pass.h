// The package's forward pass, from the header to the three file lists: the
// part of a run that reads and asks, before anything in the target folder is
// looked at or changed. The apply thread and `kzp apply --dry-run` both run it.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "engine/target_folder.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/ptr_array.h"
#include "support/result_code.h"

namespace kzp {

enum class PassMode {
    // Asks the confirmation (unless state.skipConfirm) and the password,
    // shows the first document, looks for the running program.
    kApply,
    // Reads the same sections but asks, shows and waits for nothing; only a
    // folder the package leaves to the user is asked for.
    kCheckOnly,
    // As kCheckOnly, but the folder is the one the caller put into
    // state.targetFolder: the package's way of finding it is read, not used.
    kFolderGiven,
};

// What the pass leaves for the steps after it. Starts empty;
// ReleaseForwardPass gives back what it holds, whether the pass ran or not.
struct ForwardPass {
    uint32_t packageLength = 0;  // from the package offset to the end of the trailer
    PackageHeader header = {};
    ListHeader lists = {};
    PtrArray* entries[3] = {nullptr, nullptr, nullptr};  // update, add, delete
    char* documentBefore = nullptr;
    char* documentAfter = nullptr;
    bool catalogueSettled = false;
};

// Reads the package from its header to its last file entry: the catalogue
// and the package font are settled (notification 28), the trailer checked,
// caption and heading sent, the target folder resolved, the options and the
// entry records (from the state's heap) read into the prepared lists. Stops at the first non-zero
// result and returns it.
// Makes the three empty lists; a list that cannot be made fails the pass only
// when the package has entries for it.
void PrepareForwardPass(ForwardPass* pass);

Result RunForwardPass(PackageFile& package, UpdaterState& state, const BaseFolderTable& folders,
                      PassMode mode, ForwardPass* pass);

void ReleaseForwardPass(UpdaterState& state, ForwardPass* pass);

// The entries of one list (0 when the list could not be made).
inline int32_t EntryCount(const PtrArray* list) {
    return list != nullptr ? list->Count() : 0;
}
inline const FileEntry& EntryAt(const PtrArray* list, int32_t i) {
    return *static_cast<const FileEntry*>(list->Get(i));
}

}  // namespace kzp

// The prompts that the apply thread shows, owned by the main window: the
// password dialog (template 104), the target-folder dialog (103) with the
// shell's folder picker, and the document dialog (112).
#pragma once

#include <windows.h>

#include "app/updater_state.h"
#include "engine/prompts.h"

namespace kzp {

constexpr int kFolderTemplate = 103;
constexpr int kPasswordTemplate = 104;
constexpr int kDocumentTemplate = 112;

// 0 when the typed password matched the package's digest; 1 when the user
// cancelled or the dialog could not be shown.
uint32_t PasswordDialog(HWND owner);
// 0 with an existing folder in targetFolder (without a trailing backslash);
// 1 when the user cancelled or the dialog could not be shown.
uint32_t TargetFolderDialog(HWND owner);
// Shows `text` until the user closes the dialog; 1 then.
uint32_t DocumentDialog(HWND owner, const char* text);
// The shell's folder picker below `rootCsidl`, opened on `initialPath` when
// one is given. 1 with the chosen path in `output` (260 bytes), else 0.
int BrowseForFolder(HWND owner, const char* title, int rootCsidl, char* output,
                    const char* initialPath);

// The questions of the apply thread, answered by the user through these
// dialogs and a Yes/No message box, all owned by the main window.
class Win32Prompts final : public Prompts {
  public:
    bool Confirm(UpdaterState& state, const char* question, const char* caption) override;
    uint32_t PasswordDialog(UpdaterState& state) override;
    uint32_t TargetFolderDialog(UpdaterState& state) override;
    void DocumentDialog(UpdaterState& state, const char* text) override;
};

}  // namespace kzp

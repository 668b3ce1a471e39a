// The questions the apply thread asks the user. The Windows program answers
// them with its dialogs (owned by the main window); tests and the console tool
// answer them from a script or the terminal.
#pragma once

#include <stdint.h>

namespace kzp {

struct UpdaterState;

class Prompts {
  public:
    // The confirmation question (Yes/No); true for Yes.
    virtual bool Confirm(UpdaterState& state, const char* question, const char* caption) = 0;
    // 0 when the typed password matched state.passwordDigest, 1 when cancelled.
    virtual uint32_t PasswordDialog(UpdaterState& state) = 0;
    // 0 with an existing folder in state.targetFolder (no trailing backslash),
    // 1 when cancelled.
    virtual uint32_t TargetFolderDialog(UpdaterState& state) = 0;
    // Shows a document text until the user closes it.
    virtual void DocumentDialog(UpdaterState& state, const char* text) = 0;

  protected:
    ~Prompts() = default;
};

}  // namespace kzp

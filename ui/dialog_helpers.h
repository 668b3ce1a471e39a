// What every dialog of the updater does when it opens.
#pragma once

#include <windows.h>

#include "app/updater_state.h"

namespace kzp {

// Moves the window to the middle of the screen without changing its size or
// z-order.
void CentreOnScreen(HWND window);

// WM_SETFONT with the package font (and redraw) on each listed control.
void SetPackageFont(HWND dialog, const int* controls, int count);
template <int N>
void SetPackageFont(HWND dialog, const int (&controls)[N]) {
    SetPackageFont(dialog, controls, N);
}

// Sets the character format of a rich edit control's selection to the
// package's face at 9 points (cut to the 31 bytes the record holds, as the
// package font is); nothing else of the format changes.
void SetNinePointPackageFace(HWND richEdit, const UpdaterState& state);

// The state that the program's dialogs work on (they get no parameter).
UpdaterState& ProgramState();

// The program caption, also the caption of every message box.
extern const char kProgramCaption[];

}  // namespace kzp

// The main window: a modal dialog (template 102) that lasts one run. It
// starts the apply thread, turns its status notifications into what the user
// sees, lets the user cancel, rolls back a failed run and offers Close.
#pragma once

#include <windows.h>

namespace kzp {

constexpr int kMainWindowTemplate = 102;

// The dialog procedure of template 102.
INT_PTR CALLBACK MainWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Appends `text` and a line break at the end of the log pane.
void AppendLogLine(HWND window, const char* text);

// False while an apply thread that outlived the window's wait may still run;
// start-up then must not release the state that thread works on.
bool ApplyThreadHasEnded();

}  // namespace kzp

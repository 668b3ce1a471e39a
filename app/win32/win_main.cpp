// The program's entry: prepares the shared state, shows the main window (which
// runs the whole update), opens the follow-up file after a successful run and
// returns 0, or 255 when the run failed, was cancelled or found the program
// to update running.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdlib.h>

#include "app/program_helpers.h"
#include "app/updater_state.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_os.h"
#include "ui/dialog_helpers.h"
#include "ui/main_window.h"
#include "ui/prompt_dialogs.h"
#include "ui/status_sink.h"

namespace kzp {
namespace {

Win32Os g_os;
Win32Prompts g_prompts;

// Opens the package's follow-up file in the target folder with the shell. A
// joined path that does not fit in MAX_PATH names some other file: it is not
// opened.
void OpenFollowUpFile(const UpdaterState& state) {
    char path[kMaxPath];
    if (!JoinFollowUpPath(state.targetFolder, state.launchFile, ansiCodePage, path, sizeof(path))) {
        return;
    }
    ShellExecuteA(GetDesktopWindow(), "open", path, "", state.targetFolder, SW_SHOW);
}

}  // namespace
}  // namespace kzp

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace kzp;
    HMODULE richEdit = LoadLibraryA("RICHED20.dll");
    InitCommonControls();  // the progress bar class

    SetOs(&g_os);
    UpdaterState& state = ProgramState();
    InitUpdaterState(&state, FromWin32<InstanceHandle>(instance));
    static Win32StatusSink sink(state);
    state.sink = &sink;
    state.prompts = &g_prompts;
    if (IsSkipConfirmSwitch(__argc, __argv)) state.skipConfirm = 1;

    // The window only ever ends itself with 1. Anything else means it never
    // came up (no rich edit library, no display): nothing was applied, and
    // that must not leave with the exit code of a success.
    INT_PTR shown = DialogBoxParamA(instance, MAKEINTRESOURCEA(kMainWindowTemplate),
                                    GetDesktopWindow(), MainWindow, 0);
    if (shown != 1) state.failed = 1;

    if (state.runResult == 0 && state.launchFile[0] != 0) OpenFollowUpFile(state);

    int exitCode = state.failed != 0 ? 255 : 0;
    // An apply thread that outlived the window's wait may still be using the
    // state, its heap and the rich edit library: leave them to the process
    // exit, which ends that thread first.
    if (ApplyThreadHasEnded()) {
        ReleaseUpdaterState(&state);
        if (richEdit != nullptr) FreeLibrary(richEdit);
    }
    return exitCode;
}

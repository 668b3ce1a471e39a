// What the main window does with each status notification, as plain logic.
//
// The window (ui/) and the console tool turn a notification into a list of
// actions here and only carry them out on their controls; tests check the
// lists without any window.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"

namespace kzp {

// Controls of the main window (dialog template 102).
enum MainWindowControl : int {
    kButtonCancelClose = 2,
    kLabelStep = 1006,
    kBarFile = 1007,
    kLabelOverall = 1008,
    kBarOverall = 1009,
    kEditHeading = 1010,
    kEditCopyright = 1011,
    kLabelFilePercent = 1014,
    kLabelOverallPercent = 1015,
    kLogPane = 1016,
    kCheckDeleteBackups = 1019,
    kLabelCopyright = 1028,
    kLabelLog = 1029,
};

enum class WindowActionKind : uint8_t {
    kLog,                  // append `text` as one line to the log pane
    kSetCaption,           // window caption := text
    kSetText,              // control := text
    kSetBar,               // progress bar control := value (0..1000)
    kEnable,               // control enabled := value != 0
    kSetCheck,             // check box control := value (1 checked, 0 cleared)
    kApplyFonts,           // set packageFont on the controls that take it
    kMarkFailed,           // state.failed := 1
    kRestoreChangedFiles,  // run RestoreChangedFiles on the window's thread
    kShowOpenError,        // hide, warning box with kSlotOpenError on the desktop, end the dialog
    kWaitForApplyThread,   // wait up to 30 s for the thread, close its handle
    kDeleteBackupsIfChecked,            // DeleteBackupFiles when check box 1019 is checked
    kDeleteBackupsIfEnabledAndChecked,  // the same, only when 1019 is also enabled
    kRequestCancel,                     // state.cancelRequested := 1
    kCloseWindow,                       // EndDialog with 1
};

// Holds a caption or heading as the apply thread formats it (at most 1,023
// bytes), and a formatted text of at most 511 bytes behind the detail prefix.
constexpr size_t kActionTextSize = 1024;
constexpr int kMaxWindowActions = 16;

struct WindowAction {
    WindowActionKind kind;
    int control;
    intptr_t value;
    char text[kActionTextSize];
};

struct WindowActions {
    int count;
    WindowAction items[kMaxWindowActions];
};

// The detail prefix of some log lines: two ideographic spaces (code page 932),
// "-->" and a space.
extern const char kDetailPrefix[];

// The actions for one notification `code` with its value (for text codes the
// text pointer). Unknown codes give no action.
void DescribeNotification(UpdaterState& state, uint32_t code, intptr_t value,
                          WindowActions* actions);

// The actions for the Cancel/Close button (IDCANCEL): cancel while the run is
// in progress, close (deleting the backups when the box says so) after it.
void DescribeCancelCommand(UpdaterState& state, WindowActions* actions);

// "%d.%d%%" of a progress value in tenths of a percent.
void FormatPercentage(intptr_t value, char* out, size_t size);

}  // namespace kzp

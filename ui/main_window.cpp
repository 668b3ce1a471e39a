#include "ui/main_window.h"

#include <commctrl.h>
#include <richedit.h>

#include "app/catalogue.h"
#include "app/program_helpers.h"
#include "engine/apply_thread.h"
#include "engine/notification_view.h"
#include "engine/rollback.h"
#include "engine/status_notification.h"
#include "platform/win32/win32_handles.h"
#include "support/text.h"
#include "ui/dialog_helpers.h"

namespace kzp {
namespace {

constexpr uint32_t kThreadWaitMs = 30000;

// The controls that take the package font when the texts arrive. The
// percentage labels and the bars keep the template font.
constexpr int kFontControls[] = {kEditHeading,        kLabelCopyright, kEditCopyright,
                                 kLabelStep,          kLabelOverall,   kLabelLog,
                                 kCheckDeleteBackups, kLogPane,        kButtonCancelClose};

// An apply thread that had not ended when the window stopped waiting for it.
// Its handle is kept open so that start-up can ask whether it is gone.
HANDLE g_lingeringThread = nullptr;

DWORD WINAPI ApplyThreadStart(LPVOID parameter) {
    return ApplyThread(parameter);
}

HWND Control(HWND window, int id) {
    return GetDlgItem(window, id);
}

bool IsChecked(HWND window, int id) {
    return SendDlgItemMessageA(window, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Waits up to 30 seconds for the apply thread to end, then forgets it.
void WaitForApplyThread(UpdaterState& state) {
    if (state.threadHandle == kNoThread) return;
    HANDLE thread = reinterpret_cast<HANDLE>(state.threadHandle);
    Os& os = TheOs();
    uint32_t start = os.TickCount();
    bool ended = false;
    for (;;) {
        uint32_t elapsed = os.TickCount() - start;
        if (elapsed >= kThreadWaitMs) break;
        DWORD wait = WaitForSingleObject(thread, kThreadWaitMs - elapsed);
        if (wait == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        if (wait != WAIT_TIMEOUT) break;
    }
    if (ended) {
        CloseHandle(thread);
    } else {
        g_lingeringThread = thread;
    }
    state.threadHandle = kNoThread;
    state.threadId = 0;
}

void ShowOpenError(HWND window, const char* text) {
    ShowWindow(window, SW_HIDE);
    MessageBoxA(GetDesktopWindow(), text, kProgramCaption, MB_ICONWARNING | MB_OK);
    EndDialog(window, 1);
}

void CarryOut(HWND window, UpdaterState& state, const WindowActions& actions) {
    for (int i = 0; i < actions.count; ++i) {
        const WindowAction& a = actions.items[i];
        switch (a.kind) {
            case WindowActionKind::kLog:
                AppendLogLine(window, a.text);
                break;
            case WindowActionKind::kSetCaption:
                SetWindowTextA(window, a.text);
                break;
            case WindowActionKind::kSetText:
                SetDlgItemTextA(window, a.control, a.text);
                break;
            case WindowActionKind::kSetBar:
                SendDlgItemMessageA(window, a.control, PBM_SETPOS, static_cast<WPARAM>(a.value), 0);
                break;
            case WindowActionKind::kEnable:
                EnableWindow(Control(window, a.control), a.value != 0);
                break;
            case WindowActionKind::kSetCheck:
                SendDlgItemMessageA(window, a.control, BM_SETCHECK,
                                    a.value != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
                break;
            case WindowActionKind::kApplyFonts:
                SetPackageFont(window, kFontControls);
                break;
            case WindowActionKind::kMarkFailed:
                state.failed = 1;
                break;
            case WindowActionKind::kRestoreChangedFiles:
                RestoreChangedFiles(state);
                break;
            case WindowActionKind::kShowOpenError:
                ShowOpenError(window, a.text);
                break;
            case WindowActionKind::kWaitForApplyThread:
                WaitForApplyThread(state);
                break;
            case WindowActionKind::kDeleteBackupsIfChecked:
                if (IsChecked(window, kCheckDeleteBackups)) DeleteBackupFiles(state);
                break;
            case WindowActionKind::kDeleteBackupsIfEnabledAndChecked:
                if (IsWindowEnabled(Control(window, kCheckDeleteBackups)) &&
                    IsChecked(window, kCheckDeleteBackups)) {
                    DeleteBackupFiles(state);
                }
                break;
            case WindowActionKind::kRequestCancel:
                RequestCancel(state);
                break;
            case WindowActionKind::kCloseWindow:
                EndDialog(window, 1);
                break;
        }
    }
}

// A string resource of the main window, Japanese on code page 932 and English
// elsewhere.
int LoadFixedText(UpdaterState& state, uint32_t japanese, uint32_t english, char* buffer,
                  int size) {
    uint32_t id = ansiCodePage == 932 ? japanese : english;
    return TheOs().LoadStringResource(state.instance, id, buffer, size);
}

// No thread means no run and no end code: the Cancel button would stay
// disabled for good. Turn it into Close so that the user can leave.
// Its text is the one every early stop shows: the catalogue's on code page
// 932, the English string elsewhere.
void OfferCloseWithoutRun(HWND window, UpdaterState& state) {
    char close[kMaxPath];
    close[0] = 0;
    LoadFixedText(state, kCatalogueStringBase + kSlotClose, kStringCloseEn, close, sizeof(close));
    SetDlgItemTextA(window, kButtonCancelClose, close);
    EnableWindow(Control(window, kButtonCancelClose), TRUE);
}

BOOL OnInitDialog(HWND window) {
    UpdaterState& state = ProgramState();

    char caption[kMaxPath];
    wsprintfA(caption, "%s ver.%d.%02d", kProgramCaption, 1, 20);
    SetWindowTextA(window, caption);
    EnableWindow(Control(window, kButtonCancelClose), FALSE);
    CentreOnScreen(window);

    SendDlgItemMessageA(window, kBarFile, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendDlgItemMessageA(window, kBarOverall, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SetDlgItemTextA(window, kLabelFilePercent, "0.0%");
    SetDlgItemTextA(window, kLabelOverallPercent, "0.0%");
    // A rich edit control takes 32K characters unless told otherwise; a long
    // run would silently lose its last lines, the ones that tell how it ended.
    SendDlgItemMessageA(window, kLogPane, EM_EXLIMITTEXT, 0, 0x7FFFFFF0);

    LoadFixedText(state, kStringOpenErrorJa, kStringOpenErrorEn, state.catalogue[kSlotOpenError],
                  kMaxPath);
    LoadFixedText(state, kStringReadErrorJa, kStringReadErrorEn, state.catalogue[kSlotReadError],
                  kMaxPath);

    state.window = FromWin32<WindowHandle>(window);
    state.cancelRequested = 0;

    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ApplyThreadStart, &state, 0, &threadId);
    if (thread != nullptr) {
        state.threadHandle = reinterpret_cast<intptr_t>(thread);
        state.threadId = threadId;
    } else {
        state.threadHandle = kNoThread;
        char text[512];
        text[0] = 0;
        LoadFixedText(state, kStringThreadStartFailedJa, kStringThreadStartFailedEn, text,
                      sizeof(text) - 2);
        AppendText(text, sizeof(text), "\r\n");
        AppendLogLine(window, text);
        OfferCloseWithoutRun(window, state);
    }

    if (state.skipConfirm == 1) EnableWindow(Control(window, kCheckDeleteBackups), FALSE);
    return TRUE;
}

}  // namespace

bool ApplyThreadHasEnded() {
    if (g_lingeringThread == nullptr) return true;
    if (WaitForSingleObject(g_lingeringThread, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(g_lingeringThread);
    g_lingeringThread = nullptr;
    return true;
}

void AppendLogLine(HWND window, const char* text) {
    UpdaterState& state = ProgramState();
    HWND pane = Control(window, kLogPane);

    LRESULT lines = SendMessageA(pane, EM_GETLINECOUNT, 0, 0);
    LRESULT end = SendMessageA(pane, EM_LINEINDEX, static_cast<WPARAM>(lines), 0);
    if (end < 0) {
        LRESULT last = SendMessageA(pane, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
        end = last + SendMessageA(pane, EM_LINELENGTH, static_cast<WPARAM>(last), 0);
    }
    CHARRANGE range;
    range.cpMin = static_cast<LONG>(end);
    range.cpMax = static_cast<LONG>(end);
    SendMessageA(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));

    // The log always writes 9 points in the package's face.
    SetNinePointPackageFace(pane, state);

    char line[kLogLineSize];
    MakeLogLine(text, ansiCodePage, line, sizeof(line));
    SendMessageA(pane, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(line));
}

INT_PTR CALLBACK MainWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    UpdaterState& state = ProgramState();
    WindowActions actions;
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog(window);
        case WM_COMMAND:
            if (LOWORD(wParam) != IDCANCEL || HIWORD(wParam) != 0) return FALSE;
            actions.count = 0;
            DescribeCancelCommand(state, &actions);
            CarryOut(window, state, actions);
            return TRUE;
        case WM_STATUS_NOTIFICATION:
            actions.count = 0;
            DescribeNotification(state, static_cast<uint32_t>(wParam),
                                 static_cast<intptr_t>(lParam), &actions);
            CarryOut(window, state, actions);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace kzp

#include "ui/dialog_helpers.h"

#include <richedit.h>

#include "app/catalogue.h"
#include "platform/win32/win32_handles.h"

namespace kzp {

const char kProgramCaption[] = "kzp Self Extract Updater";

UpdaterState& ProgramState() {
    static UpdaterState state;
    return state;
}

void CentreOnScreen(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void SetPackageFont(HWND dialog, const int* controls, int count) {
    for (int i = 0; i < count; ++i) {
        SendDlgItemMessageA(dialog, controls[i], WM_SETFONT,
                            reinterpret_cast<WPARAM>(ToWin32(packageFont)), TRUE);
    }
}

void SetNinePointPackageFace(HWND richEdit, const UpdaterState& state) {
    CHARFORMATA format;
    ZeroMemory(&format, sizeof(format));
    format.cbSize = sizeof(format);
    format.dwMask = CFM_FACE | CFM_SIZE;
    format.yHeight = 180;  // twips
    FontDescription font =
        MakePackageFontDescription(state.fontFace, state.fontHeight, state.codePage);
    CopyText(format.szFaceName, sizeof(format.szFaceName), font.faceName);
    SendMessageA(richEdit, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

}  // namespace kzp

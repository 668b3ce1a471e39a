#include "ui/prompt_dialogs.h"

#include <objbase.h>
#include <richedit.h>
#include <shlobj.h>

#include "app/catalogue.h"
#include "app/program_helpers.h"
#include "package/trailer.h"
#include "platform/win32/win32_handles.h"
#include "support/file_helpers.h"
#include "support/text.h"
#include "ui/dialog_helpers.h"

namespace kzp {
namespace {

// Controls of the prompts.
constexpr int kPromptText = 1026;
constexpr int kPasswordEdit = 1017;
constexpr int kFolderEdit = 1003;
constexpr int kBrowseButton = 1005;
constexpr int kDocumentView = 1022;

// Set by a prompt just before it ends with 0. DialogBoxParamA also returns 0
// when it cannot make the dialog, and that must not count as a right password
// or a chosen folder.
bool g_answerAccepted = false;

HWND Owner(const UpdaterState& state) {
    return ToWin32(state.window);
}

void Inform(HWND dialog, const char* text) {
    MessageBoxA(dialog, text, kProgramCaption, MB_ICONINFORMATION | MB_OK);
}

// The caption and each listed control's text ({control, slot} pairs) from
// the catalogue.
template <int N>
void SetTexts(HWND dialog, int captionSlot, const int (&controls)[N][2]) {
    UpdaterState& state = ProgramState();
    SetWindowTextA(dialog, state.catalogue[captionSlot]);
    for (const auto& [control, slot] : controls)
        SetDlgItemTextA(dialog, control, state.catalogue[slot]);
}

bool IsPlainCommand(WPARAM wParam, int id) {
    return LOWORD(wParam) == id && HIWORD(wParam) == 0;
}

void Accept(HWND dialog) {
    g_answerAccepted = true;
    EndDialog(dialog, 0);
}

INT_PTR CALLBACK PasswordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    UpdaterState& state = ProgramState();
    if (message == WM_INITDIALOG) {
        CentreOnScreen(dialog);
        static const int fonts[] = {kPromptText, kPasswordEdit, IDOK, IDCANCEL};
        SetPackageFont(dialog, fonts);
        static const int texts[][2] = {
            {kPromptText, kSlotPasswordPrompt}, {IDOK, kSlotOk}, {IDCANCEL, kSlotCancel}};
        SetTexts(dialog, kSlotPasswordCaption, texts);
        SendDlgItemMessageA(dialog, kPasswordEdit, EM_LIMITTEXT, kMaxPath - 1, 0);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != 0) return FALSE;
    if (IsPlainCommand(wParam, IDOK)) {
        char typed[kMaxPath];
        GetDlgItemTextA(dialog, kPasswordEdit, typed, sizeof(typed));
        if (CheckPassword(typed, state.passwordDigest)) {
            Accept(dialog);
        } else {
            Inform(dialog, state.catalogue[kSlotPasswordMismatch]);
        }
        SecureZeroMemory(typed, sizeof(typed));
        return TRUE;
    }
    if (IsPlainCommand(wParam, IDCANCEL)) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK FolderProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    UpdaterState& state = ProgramState();
    if (message == WM_INITDIALOG) {
        if (state.targetFolder[0] != 0) SetDlgItemTextA(dialog, kFolderEdit, state.targetFolder);
        static const int fonts[] = {kPromptText, kFolderEdit, kBrowseButton, IDOK, IDCANCEL};
        SetPackageFont(dialog, fonts);
        static const int texts[][2] = {{kPromptText, kSlotFolderPrompt},
                                       {kBrowseButton, kSlotBrowse},
                                       {IDOK, kSlotOk},
                                       {IDCANCEL, kSlotCancel}};
        SetTexts(dialog, kSlotFolderCaption, texts);
        SendDlgItemMessageA(dialog, kFolderEdit, EM_LIMITTEXT, kMaxPath - 1, 0);
        CentreOnScreen(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != 0) return FALSE;
    if (IsPlainCommand(wParam, IDOK)) {
        GetDlgItemTextA(dialog, kFolderEdit, state.targetFolder, kMaxPath);
        if (state.targetFolder[0] == 0) {
            Inform(dialog, state.catalogue[kSlotFolderEmpty]);
            return TRUE;
        }
        DropTrailingBackslash(state.targetFolder, ansiCodePage);
        if (FileExists(state.targetFolder)) {
            Accept(dialog);
        } else {
            Inform(dialog, state.catalogue[kSlotFolderMissing]);
        }
        return TRUE;
    }
    if (IsPlainCommand(wParam, IDCANCEL)) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    if (IsPlainCommand(wParam, kBrowseButton)) {
        char typed[kMaxPath];
        char chosen[kMaxPath];
        GetDlgItemTextA(dialog, kFolderEdit, typed, sizeof(typed));
        chosen[0] = 0;
        if (BrowseForFolder(dialog, state.catalogue[kSlotFolderPickerTitle], CSIDL_DESKTOP, chosen,
                            typed[0] != 0 ? typed : nullptr) == 1) {
            SetDlgItemTextA(dialog, kFolderEdit, chosen);
        }
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK DocumentProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    UpdaterState& state = ProgramState();
    if (message == WM_INITDIALOG) {
        CentreOnScreen(dialog);
        static const int fonts[] = {kDocumentView, IDOK};
        SetPackageFont(dialog, fonts);
        static const int texts[][2] = {{IDOK, kSlotClose}};
        SetTexts(dialog, kSlotDocumentCaption, texts);

        SetNinePointPackageFace(GetDlgItem(dialog, kDocumentView), state);
        // Documents can be longer than the 32K characters a rich edit takes
        // by default.
        SendDlgItemMessageA(dialog, kDocumentView, EM_EXLIMITTEXT, 0, 0x7FFFFFF0);
        SetDlgItemTextA(dialog, kDocumentView, documentText != nullptr ? documentText : "");
        return TRUE;
    }
    if (message == WM_COMMAND && IsPlainCommand(wParam, IDOK)) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// Opens the picker on the initial folder.
int CALLBACK SelectInitialFolder(HWND picker, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED) SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

uint32_t AskAndAccept(HWND owner, int templateId, DLGPROC procedure) {
    g_answerAccepted = false;
    INT_PTR result = DialogBoxParamA(ToWin32(ProgramState().instance), MAKEINTRESOURCEA(templateId),
                                     owner, procedure, 0);
    return (result == 0 && g_answerAccepted) ? 0 : 1;
}

}  // namespace

uint32_t PasswordDialog(HWND owner) {
    return AskAndAccept(owner, kPasswordTemplate, PasswordProc);
}

uint32_t TargetFolderDialog(HWND owner) {
    return AskAndAccept(owner, kFolderTemplate, FolderProc);
}

uint32_t DocumentDialog(HWND owner, const char* text) {
    documentText = text;
    INT_PTR result = DialogBoxParamA(ToWin32(ProgramState().instance),
                                     MAKEINTRESOURCEA(kDocumentTemplate), owner, DocumentProc, 0);
    return static_cast<uint32_t>(result);
}

int BrowseForFolder(HWND owner, const char* title, int rootCsidl, char* output,
                    const char* initialPath) {
    IMalloc* allocator = nullptr;
    if (SHGetMalloc(&allocator) != S_OK || allocator == nullptr) return 0;
    LPITEMIDLIST root = nullptr;
    SHGetSpecialFolderLocation(owner, rootCsidl, &root);

    char displayName[kMaxPath];
    BROWSEINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.hwndOwner = owner;
    info.pidlRoot = root;
    info.pszDisplayName = displayName;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    if (initialPath != nullptr) {
        info.lpfn = SelectInitialFolder;
        info.lParam = reinterpret_cast<LPARAM>(initialPath);
    }

    int result = 0;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (chosen != nullptr) {
        SHGetPathFromIDListA(chosen, output);
        allocator->Free(chosen);
        result = 1;
    }
    if (root != nullptr) allocator->Free(root);
    allocator->Release();
    return result;
}

bool Win32Prompts::Confirm(UpdaterState& state, const char* question, const char* caption) {
    return MessageBoxA(Owner(state), question, caption, MB_ICONQUESTION | MB_YESNO) == IDYES;
}

uint32_t Win32Prompts::PasswordDialog(UpdaterState& state) {
    return ::kzp::PasswordDialog(Owner(state));
}

uint32_t Win32Prompts::TargetFolderDialog(UpdaterState& state) {
    return ::kzp::TargetFolderDialog(Owner(state));
}

void Win32Prompts::DocumentDialog(UpdaterState& state, const char* text) {
    ::kzp::DocumentDialog(Owner(state), text);
}

}  // namespace kzp

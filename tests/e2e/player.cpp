#include "tests/e2e/player.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/notification_view.h"

namespace kzp::e2e {
namespace {

constexpr std::chrono::milliseconds kMessageWait{10000};
// How long a process that is ended by force takes to be gone.
constexpr std::chrono::milliseconds kEndWait{10000};

DWORD Milliseconds(std::chrono::milliseconds wait) {
    return static_cast<DWORD>(Scaled(wait).count());
}

// Sends a message to a window of the updater without hanging on it when the
// window's thread is busy (it may be waiting for the apply thread).
bool SendTimed(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                               Milliseconds(kMessageWait),
                               result != nullptr ? result : &ignored) != 0;
}

double ReadWaitFactor() {
    const char* text = std::getenv("KZP_E2E_WAIT_FACTOR");
    if (text == nullptr || *text == 0) return 1;
    char* end = nullptr;
    const double factor = std::strtod(text, &end);
    // Above 1000 a minute's wait would outlast any test run.
    if (*end != 0 || !(factor > 0 && factor <= 1000)) {
        std::fprintf(stderr,
                     "KZP_E2E_WAIT_FACTOR must be a number above 0 (and up to 1000), not \"%s\"\n",
                     text);
        std::exit(2);
    }
    return factor;
}

std::wstring ReadText(HWND window) {
    if (window == nullptr) return L"";
    DWORD_PTR length = 0;
    if (!SendTimed(window, WM_GETTEXTLENGTH, 0, 0, &length)) return L"";
    // Room for twice the reported length: a rich edit control in ANSI mode
    // reports its length before line breaks become CR LF, and copies nothing
    // at all when the buffer turns out too small.
    std::wstring text(2 * length + 16, L'\0');
    DWORD_PTR copied = 0;
    if (!SendTimed(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                   &copied)) {
        return L"";
    }
    text.resize(copied);
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

WindowKind Classify(HWND window) {
    if (ClassOf(window) != "#32770") return WindowKind::kOther;
    if (GetDlgItem(window, kLogPane) != nullptr) return WindowKind::kMain;
    if (GetDlgItem(window, 1017) != nullptr) return WindowKind::kPassword;
    if (GetDlgItem(window, 1003) != nullptr) return WindowKind::kFolder;
    if (GetDlgItem(window, 1022) != nullptr) return WindowKind::kDocument;
    if (GetDlgItem(window, IDOK) != nullptr || GetDlgItem(window, IDYES) != nullptr) {
        return WindowKind::kMessageBox;
    }
    return WindowKind::kOther;
}

const char* KindName(WindowKind kind) {
    switch (kind) {
        case WindowKind::kMain:
            return "main";
        case WindowKind::kPassword:
            return "password";
        case WindowKind::kFolder:
            return "folder";
        case WindowKind::kDocument:
            return "document";
        case WindowKind::kMessageBox:
            return "message box";
        default:
            return "other";
    }
}

struct Collect {
    DWORD processId;
    std::vector<FoundWindow>* found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
    auto* collect = reinterpret_cast<Collect*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != collect->processId) return TRUE;
    WindowKind kind = Classify(window);
    // The main window hides itself before it reports that the package cannot
    // be opened; every other window counts only while it can be seen.
    if (kind != WindowKind::kMain && !IsWindowVisible(window)) return TRUE;
    collect->found->push_back({window, kind});
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(child);
    return TRUE;
}

std::vector<HWND> Children(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

// What a static control or a button draws of a text: an "&" marks the next
// character as the mnemonic and is not drawn, "&&" draws one "&".
std::wstring WithoutMnemonics(const std::wstring& text) {
    std::wstring shown;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'&' && i + 1 < text.size()) ++i;
        shown.push_back(text[i]);
    }
    return shown;
}

bool IsCheckBox(LONG style) {
    switch (style & BS_TYPEMASK) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return true;
        default:
            return false;
    }
}

// The part of a control's client area that its text may use, with `dc`
// holding the control's font.
RECT TextRoom(HWND control, HDC dc) {
    RECT room{};
    GetClientRect(control, &room);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    const std::string kind = ClassOf(control);
    if (kind == "Button" && IsCheckBox(style)) {
        // The box, 13 pixels at 96 DPI, then a gap of half a digit's width.
        SIZE digit{};
        GetTextExtentPoint32W(dc, L"0", 1, &digit);
        room.left += 12 * GetDeviceCaps(dc, LOGPIXELSX) / 96 + 1 + digit.cx / 2;
    } else if (kind == "Button") {
        // The 3D edge and the focus rectangle one pixel inside it; a default
        // button has a frame of one pixel more.
        int inset = GetSystemMetrics(SM_CXEDGE) + 1;
        if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) ++inset;
        InflateRect(&room, -inset, -inset);
    } else if (kind == "Edit") {
        DWORD_PTR margins = 0;
        SendTimed(control, EM_GETMARGINS, 0, 0, &margins);
        room.left += LOWORD(margins);
        room.right -= HIWORD(margins);
    }
    return room;
}

}  // namespace

double WaitFactor() {
    static const double factor = ReadWaitFactor();
    return factor;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds wait) {
    return std::chrono::milliseconds(
        static_cast<long long>(std::ceil(static_cast<double>(wait.count()) * WaitFactor())));
}

std::string WaitFactorLine() {
    char line[64];
    std::snprintf(line, sizeof(line), "end-to-end waits scaled by %g", WaitFactor());
    return line;
}

void Pause(std::chrono::milliseconds wait) {
    std::this_thread::sleep_for(Scaled(wait));
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return "";
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return L"";
    int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

UpdaterRun::~UpdaterRun() {
    ReleaseWork();
    if (process_ == nullptr) return;
    if (!Exited()) {
        TerminateProcess(process_, 999);
        WaitForSingleObject(process_, Milliseconds(kEndWait));
    }
    CloseHandle(process_);
    if (thread_ != nullptr) CloseHandle(thread_);
}

bool UpdaterRun::Start(const std::string& program, const std::string& arguments,
                       const std::string& workingFolder, bool suspended) {
    std::wstring commandLine = L"\"" + Wide(program) + L"\"";
    if (!arguments.empty()) commandLine += L" " + Wide(arguments);
    std::wstring folder = Wide(workingFolder);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        suspended ? CREATE_SUSPENDED : 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        return false;
    }
    thread_ = info.hThread;
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    threadId_ = info.dwThreadId;
    return true;
}

bool UpdaterRun::Resume() {
    return thread_ != nullptr && ResumeThread(thread_) != static_cast<DWORD>(-1);
}

bool UpdaterRun::Exited(DWORD* exitCode) const {
    if (process_ == nullptr || WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return false;
    if (exitCode != nullptr) GetExitCodeProcess(process_, exitCode);
    return true;
}

long UpdaterRun::WaitForExit(std::chrono::milliseconds wait) {
    if (process_ == nullptr) return -1;
    if (WaitForSingleObject(process_, Milliseconds(wait)) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 999);
        WaitForSingleObject(process_, Milliseconds(kEndWait));
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
}

bool UpdaterRun::Kill() {
    if (process_ == nullptr) return false;
    TerminateProcess(process_, 999);
    return WaitForSingleObject(process_, Milliseconds(kEndWait)) == WAIT_OBJECT_0;
}

bool UpdaterRun::HoldWork() {
    if (process_ == nullptr || !held_.empty()) return false;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    bool ok = true;
    for (BOOL more = Thread32First(snapshot, &entry); more && ok;
         more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId_ || entry.th32ThreadID == threadId_) continue;
        HANDLE thread =
            OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
        if (thread == nullptr) continue;  // it ended in the meantime
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
            CloseHandle(thread);
            ok = false;
            break;
        }
        held_.push_back(thread);
        // A suspension takes effect later; asking for the thread's registers
        // waits until it has.
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        ok = GetThreadContext(thread, &context) != 0;
    }
    CloseHandle(snapshot);
    if (!ok) ReleaseWork();
    return ok;
}

void UpdaterRun::ReleaseWork() {
    for (HANDLE thread : held_) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
    held_.clear();
}

std::vector<FoundWindow> UpdaterRun::Windows() const {
    std::vector<FoundWindow> found;
    Collect collect{processId_, &found};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&collect));
    return found;
}

HWND UpdaterRun::WaitFor(WindowKind kind, std::chrono::milliseconds wait) const {
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (const FoundWindow& w : Windows()) {
                // A dialog is shown once it has set itself up.
                if (w.kind == kind && IsWindowVisible(w.handle)) {
                    result = w.handle;
                    return true;
                }
            }
            return Exited();
        },
        wait);
    return result;
}

bool UpdaterRun::WaitGone(WindowKind kind, std::chrono::milliseconds wait) const {
    return WaitUntil(
        [&] {
            for (const FoundWindow& w : Windows()) {
                if (w.kind == kind) return false;
            }
            return true;
        },
        wait);
}

std::string UpdaterRun::Describe() const {
    std::string out;
    DWORD code = 0;
    if (Exited(&code)) out += "process exited with " + std::to_string(code) + "\n";
    for (const FoundWindow& w : Windows()) {
        out += std::string("[") + KindName(w.kind) + "] \"" + WindowText(w.handle) + "\"" +
               (IsWindowVisible(w.handle) ? "" : " (hidden)") + "\n";
        for (HWND child : Children(w.handle)) {
            int id = GetDlgCtrlID(child);
            out += "    " + std::to_string(id) + " " + ClassOf(child) + ": \"" +
                   Utf8(ReadText(child)) + "\"" + (IsWindowEnabled(child) ? "" : " (disabled)") +
                   "\n";
        }
    }
    return out;
}

std::string WindowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(length + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), length + 1));
    return Utf8(text);
}

std::string ControlText(HWND dialog, int id) {
    return Utf8(ReadText(GetDlgItem(dialog, id)));
}

bool ControlExists(HWND dialog, int id) {
    return GetDlgItem(dialog, id) != nullptr;
}

bool IsControlEnabled(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr && IsWindowEnabled(control);
}

namespace {

// The button, where a person could press it now: shown in an enabled
// dialog and enabled itself; null otherwise.
HWND PressableButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr || !IsWindowVisible(dialog) || !IsWindowEnabled(dialog) ||
        !IsWindowEnabled(button)) {
        return nullptr;
    }
    return button;
}

}  // namespace

bool Press(HWND dialog, int id) {
    HWND button = PressableButton(dialog, id);
    return button != nullptr && PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                             reinterpret_cast<LPARAM>(button)) != 0;
}

bool PressAndWait(HWND dialog, int id) {
    HWND button = PressableButton(dialog, id);
    return button != nullptr && SendTimed(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                          reinterpret_cast<LPARAM>(button), nullptr);
}

bool Type(HWND dialog, int id, const std::string& utf8) {
    HWND edit = GetDlgItem(dialog, id);
    if (edit == nullptr || !IsWindowEnabled(dialog)) return false;
    std::wstring text = Wide(utf8);
    return SendTimed(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), nullptr);
}

bool SetChecked(HWND dialog, int id, bool checked) {
    HWND box = GetDlgItem(dialog, id);
    if (box == nullptr || !IsWindowEnabled(dialog) || !IsWindowEnabled(box)) return false;
    return SendTimed(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0, nullptr);
}

bool IsChecked(HWND dialog, int id) {
    DWORD_PTR state = 0;
    return SendTimed(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0, &state) && state == BST_CHECKED;
}

int ProgressPosition(HWND dialog, int id) {
    DWORD_PTR position = 0;
    if (!SendTimed(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0, &position)) return -1;
    return static_cast<int>(position);
}

std::vector<std::string> LogLines(HWND mainWindow) {
    std::wstring text = ReadText(GetDlgItem(mainWindow, kLogPane));
    std::vector<std::string> lines;
    std::wstring line;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(Utf8(line));
            line.clear();
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(Utf8(line));
    return lines;
}

std::string MessageBoxText(HWND box) {
    std::wstring longest;
    for (HWND child : Children(box)) {
        if (ClassOf(child) != "Static") continue;
        std::wstring text = ReadText(child);
        if (text.empty()) {
            // A box of a 32-bit program under Wine's WoW64 answers WM_GETTEXT
            // of its text with nothing; the text the window keeps is there.
            wchar_t kept[4096] = {};
            text = std::wstring(kept, InternalGetWindowText(child, kept, 4096));
        }
        if (text.size() > longest.size()) longest = text;
    }
    return Utf8(longest);
}

TextFit MeasureInControl(HWND dialog, int id, const std::wstring& text, HFONT font) {
    TextFit fit;
    HWND control = GetDlgItem(dialog, id);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    RECT room{};
    if (control != nullptr) room = TextRoom(control, dc);
    fit.room = {room.right - room.left, room.bottom - room.top};

    const bool drawsMnemonics =
        ClassOf(control) == "Button" ||
        (ClassOf(control) == "Static" && (GetWindowLongW(control, GWL_STYLE) & SS_NOPREFIX) == 0);
    const std::wstring shown = drawsMnemonics ? WithoutMnemonics(text) : text;
    if (shown.find(L'\n') == std::wstring::npos) {
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &fit.needed);
        fit.needed.cy = metrics.tmHeight;
    } else {
        // DrawText widens the rectangle for a word longer than a line.
        RECT lines{0, 0, fit.room.cx, 0};
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &lines,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | (drawsMnemonics ? 0 : DT_NOPREFIX));
        fit.needed = {lines.right - lines.left, lines.bottom - lines.top};
    }
    SelectObject(dc, previous);
    DeleteDC(dc);
    return fit;
}

SIZE TextExtent(HFONT font, const std::wstring& text) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    DeleteDC(dc);
    return size;
}

int EditCharacterOffset(HWND dialog, int id, int index) {
    HWND edit = GetDlgItem(dialog, id);
    DWORD_PTR first = 0;
    DWORD_PTR at = 0;
    if (!SendTimed(edit, EM_POSFROMCHAR, 0, 0, &first) ||
        !SendTimed(edit, EM_POSFROMCHAR, static_cast<WPARAM>(index), 0, &at)) {
        return -1;
    }
    return static_cast<short>(LOWORD(at)) - static_cast<short>(LOWORD(first));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    auto deadline = Clock::now() + Scaled(wait);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kzp::e2e

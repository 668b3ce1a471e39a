// Plays the user of the updater: starts it, finds its windows, reads what
// they show and presses their buttons, the way a person at the screen would.
// Everything goes through window messages to the updater's own windows; a
// button that is disabled, or that sits in a window disabled by a prompt,
// cannot be pressed.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kzp::e2e {

// Which of the updater's windows.
enum class WindowKind { kMain, kPassword, kFolder, kDocument, kMessageBox, kOther };

struct FoundWindow {
    HWND handle = nullptr;
    WindowKind kind = WindowKind::kOther;
};

using Clock = std::chrono::steady_clock;

// Every wait given to the player, its own and the scenarios', is what a run
// needs on an idle machine, with room to spare. The player stretches each one
// by the same factor, KZP_E2E_WAIT_FACTOR (a number above 0; 1 when unset),
// so that a machine slowed by other work, or an emulated one, makes a slower
// run rather than a failed one. A value that is not such a number stops the
// program with a message.
double WaitFactor();
std::chrono::milliseconds Scaled(std::chrono::milliseconds wait);
// "end-to-end waits scaled by N", for the start of a run's output.
std::string WaitFactorLine();
// Sleeps for `wait`, scaled: the time in which something must not happen
// (a window must stay open, a folder unchanged), or that a window is given
// to settle.
void Pause(std::chrono::milliseconds wait);

constexpr std::chrono::milliseconds kDefaultWait{60000};

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

class UpdaterRun {
  public:
    UpdaterRun() = default;
    UpdaterRun(const UpdaterRun&) = delete;
    UpdaterRun& operator=(const UpdaterRun&) = delete;
    // Ends the process if it is still there.
    ~UpdaterRun();

    // Starts `program` with `arguments` in `workingFolder`. It runs with the
    // driver's ANSI code page: under Wine a child process takes the locale
    // of the process that starts it.
    bool Start(const std::string& program, const std::string& arguments,
               const std::string& workingFolder = "", bool suspended = false);
    // Lets a process started suspended run.
    bool Resume();

    DWORD ProcessId() const { return processId_; }
    bool Exited(DWORD* exitCode = nullptr) const;
    // The exit code, or -1 when the process does not end in time (it is then
    // ended by force). Waits here and below are scaled.
    long WaitForExit(std::chrono::milliseconds wait = kDefaultWait);
    // Ends the process at once, as a crash or a task kill would: nothing of
    // it runs any more (no rollback). True once it is gone.
    bool Kill();
    // Holds every thread of the process but the one that runs its windows,
    // so that what the windows show stands still while the player reads
    // them and acts on them; ReleaseWork lets the threads go on. False (and
    // nothing held) when a thread could not be held.
    bool HoldWork();
    void ReleaseWork();

    // The visible top-level windows of the process, classified.
    std::vector<FoundWindow> Windows() const;
    // Waits for a visible window of that kind.
    HWND WaitFor(WindowKind kind, std::chrono::milliseconds wait = kDefaultWait) const;
    // Waits until no visible window of that kind is left.
    bool WaitGone(WindowKind kind, std::chrono::milliseconds wait = kDefaultWait) const;

    // A line per window with its kind, caption and control texts: what the
    // screen showed, for failure messages.
    std::string Describe() const;

  private:
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
    std::vector<HANDLE> held_;
};

// Reading and operating controls of a window of another process.
std::string WindowText(HWND window);
std::string ControlText(HWND dialog, int id);
bool IsControlEnabled(HWND dialog, int id);
bool ControlExists(HWND dialog, int id);
// Presses a push button: only when it and its window are enabled.
bool Press(HWND dialog, int id);
// The same, returning once the window has handled the press: for a window
// whose process is held (UpdaterRun::HoldWork), so that what the press does
// is done before the process goes on.
bool PressAndWait(HWND dialog, int id);
// Types `text` into an edit control (replacing its contents).
bool Type(HWND dialog, int id, const std::string& utf8);
// Sets or clears a check box as a click would: only when it is enabled.
bool SetChecked(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);
int ProgressPosition(HWND dialog, int id);
// The lines of the log pane (without line breaks; no empty last line).
std::vector<std::string> LogLines(HWND mainWindow);
// The text of a message box.
std::string MessageBoxText(HWND box);

// How a text sits in a control of the updater: the pixels the text needs
// and the pixels the control gives its text, both measured here. A font
// handle cannot be read across processes, so the caller passes a font made
// the way the updater makes the control's font.
struct TextFit {
    SIZE needed{};
    SIZE room{};
    bool Fits() const { return needed.cx <= room.cx && needed.cy <= room.cy; }
};
// `text` as the control `id` would draw it (line breaks as CR LF): one line
// by its extent, several by DrawText breaking words in the room's width.
TextFit MeasureInControl(HWND dialog, int id, const std::wstring& text, HFONT font);
// The extent of one line of `text` in `font`.
SIZE TextExtent(HFONT font, const std::wstring& text);
// How far right the edit control `id` puts character `index` from its first
// one (EM_POSFROMCHAR): the control's own font at work, to compare with the
// extent of the characters before it in a font made here.
int EditCharacterOffset(HWND dialog, int id, int index);

// Polls `condition` every few milliseconds until it holds or `wait`, scaled,
// passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds wait = kDefaultWait);

}  // namespace kzp::e2e

// Plays the user for `make demo`: starts the updater, answers its question
// with Yes, closes document dialogs, waits for the end of the run, writes the
// log and the window's position for a screenshot, waits until the shot is
// taken, presses Close and reports the exit code.
//
//   kzp_demo_player UPDATER SIGNAL_FOLDER [CLOSE_TEXT]
//
// CLOSE_TEXT is the text of the Close button in the language block the run
// shows (ASCII); the updater's own Japanese text by default.
// In SIGNAL_FOLDER it writes log.txt (UTF-8), window.txt ("x y width
// height"), and after the run exit.txt; it waits for a file shot-done.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/player.h"
#include "tests/support/test_platform.h"

namespace {

using namespace kzp::e2e;
using namespace std::chrono_literals;

bool WriteText(const std::string& path, const std::string& text) {
    return kzp::test::WriteBytes(path, BytesOf(text));
}

int Fail(const UpdaterRun& run, const std::string& folder, const char* what) {
    WriteText(folder + "\\failure.txt", std::string(what) + "\n" + run.Describe());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: kzp_demo_player UPDATER SIGNAL_FOLDER [CLOSE_TEXT]\n");
        return 2;
    }
    std::string updater = argv[1];
    std::string folder = argv[2];
    std::printf("%s\n", WaitFactorLine().c_str());

    UpdaterRun run;
    if (!run.Start(updater, "")) return Fail(run, folder, "the updater did not start");
    HWND main = run.WaitFor(WindowKind::kMain);
    if (main == nullptr) return Fail(run, folder, "no main window");

    // Answer what comes until the run has ended and the window offers Close.
    const std::string close = argc == 4 ? argv[3] : Slot(2);
    bool ended = WaitUntil(
        [&] {
            for (const FoundWindow& w : run.Windows()) {
                if (w.kind == WindowKind::kMessageBox) Press(w.handle, IDYES);
                if (w.kind == WindowKind::kDocument) Press(w.handle, IDOK);
            }
            return IsControlEnabled(main, 2) && ControlText(main, 2) == close;
        },
        120s);
    if (!ended) return Fail(run, folder, "the run did not end");

    std::string log;
    for (const std::string& line : LogLines(main)) log += line + "\n";
    WriteText(folder + "\\log.txt", log);

    RECT rect;
    GetWindowRect(main, &rect);
    char where[96];
    std::snprintf(where, sizeof(where), "%ld %ld %ld %ld\n", rect.left, rect.top,
                  rect.right - rect.left, rect.bottom - rect.top);
    WriteText(folder + "\\window.txt", where);

    std::string done = folder + "\\shot-done";
    if (!WaitUntil([&] { return kzp::test::PathExists(done); }, 120s)) {
        return Fail(run, folder, "no screenshot was taken");
    }
    if (!Press(main, 2)) return Fail(run, folder, "Close could not be pressed");
    long code = run.WaitForExit(60s);
    WriteText(folder + "\\exit.txt", std::to_string(code) + "\n");
    return code == 0 ? 0 : 1;
}

#include "engine/running_program_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/simulated_system.h"

namespace kzp {
namespace {

using Process = test::SimulatedSystem::Process;

// The checks against described windows and processes, on a virtual clock so
// that the 30-second waits pass at once.
class RunningProgramTest : public testing::Test {
  protected:
    RunningProgramTest() : use_(system_) {}

    void SetOsClass(int osClass) {
        system_.version =
            osClass == 3 ? OsVersion{kPlatformWin32Nt, 4, 0} : OsVersion{kPlatformWin32Nt, 5, 0};
    }

    // A window that exists while `alive` says so; records the clock at every
    // probe and what was looked for.
    void WindowWhile(std::function<bool(uint32_t elapsed)> alive) {
        const uint32_t start = system_.clock;
        system_.findWindow = [this, alive, start](const char* cls, const char* title) {
            probes_.push_back(system_.clock - start);
            lastClass_ = cls ? cls : "(any)";
            lastTitle_ = title ? title : "(any)";
            return alive(probes_.back());
        };
    }
    uint32_t LargestGap() const {
        uint32_t gap = 0;
        for (size_t i = 1; i < probes_.size(); ++i)
            gap = std::max(gap, probes_[i] - probes_[i - 1]);
        return gap;
    }

    test::SimulatedSystem system_;
    test::ScopedOs use_;
    std::vector<uint32_t> probes_;
    std::string lastClass_;
    std::string lastTitle_;
};

TEST_F(RunningProgramTest, WindowNotRunningOrNothingToLookFor) {
    WindowWhile([](uint32_t) { return false; });
    EXPECT_EQ(CheckRunningWindow("App", "KzpApp", 1), kResultOk);
    EXPECT_EQ(probes_.size(), 1u);
    EXPECT_EQ(lastClass_, "KzpApp");
    EXPECT_EQ(lastTitle_, "App");

    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("", "", 1), kResultOk);
    EXPECT_EQ(probes_.size(), 1u);  // no probe at all
}

TEST_F(RunningProgramTest, WindowRunningWithoutWaitingStopsAtOnce) {
    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("", "KzpApp", 0), kResultProgramRunning);
    EXPECT_EQ(probes_.size(), 1u);
    EXPECT_EQ(lastClass_, "KzpApp");
    EXPECT_EQ(lastTitle_, "(any)");
    EXPECT_EQ(CheckRunningWindow("App", "", 0), kResultProgramRunning);
    EXPECT_EQ(lastClass_, "(any)");
}

TEST_F(RunningProgramTest, WindowClosedDuringTheWait) {
    WindowWhile([](uint32_t elapsed) { return elapsed < 10000; });
    EXPECT_EQ(CheckRunningWindow("App", "", 1), kResultOk);
    ASSERT_GE(probes_.size(), 2u);
    EXPECT_GE(probes_.back(), 10000u);
    EXPECT_LE(probes_.back(), 10000u + kRunningProgramProbePauseMs);
    EXPECT_LE(LargestGap(), kRunningProgramProbePauseMs);
}

TEST_F(RunningProgramTest, WindowStillOpenAfterThirtySeconds) {
    // Any value but 0 waits; the counter wraps during the wait.
    system_.clock = 0xFFFFFFFFu - 12000;
    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("App", "", 2), kResultProgramRunning);
    EXPECT_GE(probes_.back(), kRunningProgramWaitMs);
    EXPECT_LE(probes_.back(), kRunningProgramWaitMs + kRunningProgramProbePauseMs);
    EXPECT_LE(LargestGap(), kRunningProgramProbePauseMs);
    EXPECT_GT(probes_.size(), kRunningProgramWaitMs / kRunningProgramProbePauseMs);
}

TEST_F(RunningProgramTest, ProcessStatusComparesEveryModuleName) {
    SetOsClass(3);
    system_.processes = {
        {4, "system", {}},
        {8, "other.exe", {"c:\\windows\\other.exe", "c:\\windows\\system32\\kernel32.dll"}},
        {12, "app.exe", {"c:\\program files\\app\\app.exe"}},
    };
    EXPECT_EQ(CheckRunningProcess("APP.EXE", 0), kResultProgramRunning);
    EXPECT_EQ(CheckRunningProcess("Kernel32.DLL", 0), kResultProgramRunning);  // a library
    EXPECT_EQ(CheckRunningProcess("app", 0), kResultOk);
    EXPECT_EQ(CheckRunningProcess("program files", 0), kResultOk);
    // Only the ASCII letters are folded: 0xC4 and 0xE4 differ.
    system_.processes = {{5, "\xC4pp.exe", {"c:\\\xC4pp.exe"}}};
    EXPECT_EQ(CheckRunningProcess("\xE4pp.exe", 0), kResultOk);
    EXPECT_EQ(CheckRunningProcess("\xC4PP.EXE", 0), kResultProgramRunning);
}

TEST_F(RunningProgramTest, ProcessStatusSkipsWhatItCannotOpen) {
    SetOsClass(3);
    Process hidden{12, "app.exe", {"c:\\app\\app.exe"}};
    hidden.canOpen = false;
    Process closed{13, "app.exe", {"c:\\app\\app.exe"}};
    closed.canListModules = false;
    system_.processes = {hidden, closed};
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kResultOk);
}

TEST_F(RunningProgramTest, ProcessStatusLooksAtTheFirstThousandEntries) {
    SetOsClass(3);
    std::vector<Process> table(1001, Process{0, "x.exe", {}});
    for (uint32_t i = 0; i < 1001; ++i) table[i].id = i + 1;
    table[1000].modules = {"c:\\late.exe"};
    system_.processes = table;
    EXPECT_EQ(CheckRunningProcess("late.exe", 0), kResultOk);
    table[999].modules = {"c:\\late.exe"};
    system_.processes = table;
    EXPECT_EQ(CheckRunningProcess("late.exe", 0), kResultProgramRunning);

    std::vector<std::string> modules(1001, "c:\\x.dll");
    modules[1000] = "c:\\late.dll";
    system_.processes = {{1, "x.exe", modules}};
    EXPECT_EQ(CheckRunningProcess("late.dll", 0), kResultOk);
}

TEST_F(RunningProgramTest, ToolHelpComparesTheWholeExeName) {
    system_.processes = {{7, "APP.EXE", {}}, {9, "C:\\tools\\tool.exe", {}}};
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kResultProgramRunning);
    EXPECT_EQ(CheckRunningProcess("tool.exe", 0), kResultOk);
    SetOsClass(3);  // the module path is split into its file name
    system_.processes = {{9, "tool.exe", {"C:\\tools\\tool.exe"}}};
    EXPECT_EQ(CheckRunningProcess("tool.exe", 0), kResultProgramRunning);
}

TEST_F(RunningProgramTest, ProcessListNotAvailable) {
    SetOsClass(3);
    system_.processStatusAvailable = false;
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);
    system_.processStatusAvailable = true;
    system_.beforeScan = [] { return false; };
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);

    SetOsClass(4);
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);  // no snapshot
    system_.beforeScan = nullptr;
    system_.toolHelpAvailable = false;
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);
    // Windows 95 without Tool Help never tries psapi.
    system_.version = {kPlatformWin32Windows, 4, 0};
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);
    EXPECT_EQ(system_.scans, 2);
}

TEST_F(RunningProgramTest, ProcessEndsDuringTheWaitOrNot) {
    for (int osClass : {3, 4}) {
        SetOsClass(osClass);
        system_.processes = {{12, "app.exe", {"c:\\app\\app.exe"}}};
        uint32_t start = system_.clock;
        system_.beforeScan = [&] {
            if (system_.clock - start >= 10000) system_.processes.clear();
            return true;
        };
        EXPECT_EQ(CheckRunningProcess("app.exe", 1), kResultOk) << osClass;
        EXPECT_GE(system_.clock - start, 10000u);
        EXPECT_LE(system_.clock - start, 10000u + kRunningProgramProbePauseMs);

        system_.processes = {{12, "app.exe", {"c:\\app\\app.exe"}}};
        system_.beforeScan = nullptr;
        start = system_.clock;
        EXPECT_EQ(CheckRunningProcess("app.exe", 1), kResultProgramRunning) << osClass;
        EXPECT_GE(system_.clock - start, kRunningProgramWaitMs);
        EXPECT_LE(system_.clock - start, kRunningProgramWaitMs + kRunningProgramProbePauseMs);
    }
}

TEST_F(RunningProgramTest, AFailedRescanDuringTheWaitIsAnError) {
    for (int osClass : {3, 4}) {
        SetOsClass(osClass);
        system_.processes = {{12, "app.exe", {"c:\\app.exe"}}};
        system_.scans = 0;
        system_.beforeScan = [&] { return system_.scans < 3; };
        EXPECT_EQ(CheckRunningProcess("app.exe", 1), kErrorProcessList);
        EXPECT_EQ(system_.scans, 3);
    }
}

}  // namespace
}  // namespace kzp

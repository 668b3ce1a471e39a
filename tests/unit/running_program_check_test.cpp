#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/running_program_check.h"
#include "platform/posix/posix_os.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

// The checks against the window and process tables of the POSIX seam, on a
// virtual clock so that the 30-second waits pass at once.
class RunningProgramTest : public testing::Test {
  protected:
    void SetUp() override {
        os_ = test::Posix();
        if (os_ == nullptr) GTEST_SKIP() << "window and process tables of the POSIX seam";
        os_->UseVirtualClock(true);
        SetOsClass(4);
    }
    void TearDown() override {
        if (os_ == nullptr) return;
        os_->UseVirtualClock(false);
        os_->SetTickOffset(0);
        os_->SetWindows({});
        os_->SetWindowProbe(nullptr);
        os_->SetProcessProbe(nullptr);
        os_->SetProcessTable({});
        os_->SetProcessStatusAvailable(true);
        os_->SetToolHelpAvailable(true);
        os_->SetVersion({kPlatformWin32Nt, 5, 1});
    }

    void SetOsClass(int osClass) {
        if (osClass == 3) os_->SetVersion({kPlatformWin32Nt, 4, 0});
        else os_->SetVersion({kPlatformWin32Nt, 5, 0});
    }

    // A window of class "KzpApp" that exists while `alive` says so; records
    // the clock at every probe.
    void WindowWhile(std::function<bool(uint32_t elapsed)> alive) {
        start_ = os_->TickCount();
        os_->SetWindowProbe([this, alive](const char* cls, const char* title) {
            probes_.push_back(os_->TickCount() - start_);
            lastClass_ = cls ? cls : "(any)";
            lastTitle_ = title ? title : "(any)";
            return alive(probes_.back());
        });
    }

    uint32_t LargestGap() const {
        uint32_t gap = 0;
        for (size_t i = 1; i < probes_.size(); ++i) gap = std::max(gap, probes_[i] - probes_[i - 1]);
        return gap;
    }

    static PosixOs::Process Process(uint32_t id, std::string exe, std::vector<std::string> modules) {
        PosixOs::Process p;
        p.id = id;
        p.exeFile = std::move(exe);
        p.modules = std::move(modules);
        return p;
    }

    PosixOs* os_ = nullptr;
    uint32_t start_ = 0;
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

    probes_.clear();
    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("", "", 1), kResultOk);
    EXPECT_TRUE(probes_.empty());
}

TEST_F(RunningProgramTest, WindowRunningWithoutWaitingStopsAtOnce) {
    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("", "KzpApp", 0), kResultProgramRunning);
    EXPECT_EQ(probes_.size(), 1u);
    EXPECT_EQ(lastTitle_, "(any)");
}

TEST_F(RunningProgramTest, OnlyTheClassMatchesAnyTitle) {
    os_->SetWindows({{"KzpApp", "Some document - App"}});
    EXPECT_EQ(CheckRunningWindow("", "kzpapp", 0), kResultProgramRunning);
    EXPECT_EQ(CheckRunningWindow("Other", "KzpApp", 0), kResultOk);
    EXPECT_EQ(CheckRunningWindow("some document - app", "", 0), kResultProgramRunning);
}

TEST_F(RunningProgramTest, WindowClosedDuringTheWait) {
    WindowWhile([](uint32_t elapsed) { return elapsed < 10000; });
    EXPECT_EQ(CheckRunningWindow("App", "", 1), kResultOk);
    ASSERT_GE(probes_.size(), 2u);
    EXPECT_GE(probes_.back(), 10000u);
    EXPECT_LT(probes_.back(), 10000u + kRunningProgramProbePauseMs + 1);
    EXPECT_LE(LargestGap(), kRunningProgramProbePauseMs);
}

TEST_F(RunningProgramTest, WindowStillOpenAfterThirtySeconds) {
    // Any value but 0 waits; the counter wraps during the wait.
    os_->SetTickOffset(0xFFFFFFFFu - 12000);
    WindowWhile([](uint32_t) { return true; });
    EXPECT_EQ(CheckRunningWindow("App", "", 2), kResultProgramRunning);
    EXPECT_GE(probes_.back(), kRunningProgramWaitMs);
    EXPECT_LE(probes_.back(), kRunningProgramWaitMs + kRunningProgramProbePauseMs);
    EXPECT_GT(probes_.size(), kRunningProgramWaitMs / kRunningProgramProbePauseMs);
    EXPECT_LE(LargestGap(), kRunningProgramProbePauseMs);
}

TEST_F(RunningProgramTest, ProcessStatusComparesEveryModuleName) {
    SetOsClass(3);
    os_->SetProcessTable({
        Process(4, "system", {}),
        Process(8, "other.exe", {"c:\\windows\\other.exe", "c:\\windows\\system32\\kernel32.dll"}),
        Process(12, "app.exe", {"c:\\program files\\app\\app.exe"}),
    });
    EXPECT_EQ(CheckRunningProcess("APP.EXE", 0), kResultProgramRunning);
    EXPECT_EQ(CheckRunningProcess("Kernel32.DLL", 0), kResultProgramRunning);  // a loaded library
    EXPECT_EQ(CheckRunningProcess("app", 0), kResultOk);
    EXPECT_EQ(CheckRunningProcess("program files", 0), kResultOk);
    // Only the ASCII letters are folded: 0xC4 and 0xE4 differ.
    os_->SetProcessTable({Process(5, "\xC4pp.exe", {"c:\\\xC4pp.exe"})});
    EXPECT_EQ(CheckRunningProcess("\xE4pp.exe", 0), kResultOk);
    EXPECT_EQ(CheckRunningProcess("\xC4PP.EXE", 0), kResultProgramRunning);
}

TEST_F(RunningProgramTest, ProcessStatusSkipsWhatItCannotOpen) {
    SetOsClass(3);
    PosixOs::Process hidden = Process(12, "app.exe", {"c:\\app\\app.exe"});
    hidden.canOpen = false;
    PosixOs::Process closed = Process(13, "app.exe", {"c:\\app\\app.exe"});
    closed.canListModules = false;
    os_->SetProcessTable({hidden, closed});
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kResultOk);
}

TEST_F(RunningProgramTest, ProcessStatusLooksAtTheFirstThousandProcesses) {
    SetOsClass(3);
    std::vector<PosixOs::Process> table;
    for (uint32_t id = 1; id <= 1001; ++id) table.push_back(Process(id, "x.exe", {}));
    table.back().modules = {"c:\\late.exe"};
    os_->SetProcessTable(table);
    EXPECT_EQ(CheckRunningProcess("late.exe", 0), kResultOk);
    table[999].modules = {"c:\\late.exe"};
    os_->SetProcessTable(table);
    EXPECT_EQ(CheckRunningProcess("late.exe", 0), kResultProgramRunning);
}

TEST_F(RunningProgramTest, ToolHelpComparesTheWholeExeName) {
    os_->SetProcessTable({Process(7, "APP.EXE", {}), Process(9, "C:\\tools\\tool.exe", {})});
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kResultProgramRunning);
    EXPECT_EQ(CheckRunningProcess("tool.exe", 0), kResultOk);
}

TEST_F(RunningProgramTest, ProcessListNotAvailable) {
    SetOsClass(3);
    os_->SetProcessStatusAvailable(false);
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);
    os_->SetProcessStatusAvailable(true);
    os_->SetProcessProbe([] { return false; });
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);

    SetOsClass(4);
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);  // no snapshot
    os_->SetProcessProbe(nullptr);
    os_->SetToolHelpAvailable(false);
    EXPECT_EQ(CheckRunningProcess("app.exe", 0), kErrorProcessList);
}

TEST_F(RunningProgramTest, ProcessEndsDuringTheWaitOrNot) {
    for (int osClass : {3, 4}) {
        SetOsClass(osClass);
        os_->SetProcessTable({Process(12, "app.exe", {"c:\\app\\app.exe"})});
        uint32_t start = os_->TickCount();
        int scans = 0;
        os_->SetProcessProbe([&] {
            if (++scans > 1 && os_->TickCount() - start >= 10000) os_->SetProcessTable({});
            return true;
        });
        EXPECT_EQ(CheckRunningProcess("app.exe", 1), kResultOk) << osClass;
        EXPECT_GE(os_->TickCount() - start, 10000u);
        EXPECT_LT(os_->TickCount() - start, 10000u + 2 * kRunningProgramProbePauseMs);

        os_->SetProcessTable({Process(12, "app.exe", {"c:\\app\\app.exe"})});
        os_->SetProcessProbe(nullptr);
        start = os_->TickCount();
        EXPECT_EQ(CheckRunningProcess("app.exe", 1), kResultProgramRunning) << osClass;
        EXPECT_GE(os_->TickCount() - start, kRunningProgramWaitMs);
        EXPECT_LE(os_->TickCount() - start, kRunningProgramWaitMs + kRunningProgramProbePauseMs);
    }
}

TEST_F(RunningProgramTest, AFailedRescanDuringTheWaitIsAnError) {
    os_->SetProcessTable({Process(12, "app.exe", {})});
    int scans = 0;
    os_->SetProcessProbe([&] { return ++scans < 3; });
    EXPECT_EQ(CheckRunningProcess("app.exe", 1), kErrorProcessList);
    EXPECT_EQ(scans, 3);
}

}  // namespace
}  // namespace kzp

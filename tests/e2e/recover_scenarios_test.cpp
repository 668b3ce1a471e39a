// Interrupted runs end to end: the real updater is killed at moments spread
// over a run with a large update, a large add into a new folder and deletes;
// `kzp recover` (the Windows kzp.exe) must bring the folder back to the old
// tree, contents and times, after which the updater runs again to the new
// tree. A kill ends the process dead, as a crash, a power cut or a task kill
// would: nothing of the updater's own rollback runs.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

#include "engine/notification_view.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/player.h"
#include "tests/support/test_platform.h"

namespace kzp::e2e {
namespace {

using namespace std::chrono_literals;

const char kOld[] = "1.0";
// The run reports progress to its window after every piece of an update's
// stream and every KiB of an add, and under Wine that is what takes the time
// (2 to 5 ms a report on a busy machine): the large update comes in 1024
// pieces of 32 KiB, the add has 2048 KiB. Each phase still lasts long enough
// for a kill to land in its middle. The add's file has its whole size from
// the start (its space is taken ahead), its first bytes written and zeros
// after them.
constexpr size_t kLargeUpdateSize = 32u << 20;
constexpr uint32_t kLargeUpdatePiece = 32u << 10;
constexpr size_t kLargeAddSize = 2u << 20;
// A whole run on an idle machine, with room to spare (scaled like every
// wait of the player).
constexpr std::chrono::milliseconds kRunWait{240000};
const char kLargeUpdate[] = "media\\video.dat";
const char kLargeAdd[] = "plugins\\pdf\\render.dll";

// Many small files to delete, so that the deletes last long enough to be
// killed in their middle too.
constexpr int kParts = 40;

std::string PartName(int i) {
    char name[32];
    std::snprintf(name, sizeof(name), "part-%02d", i);
    return name;
}

std::string Part(int i) {
    return "old\\parts\\" + PartName(i) + ".bin";
}

// Small files around the large ones: the run updates two before the large
// update, adds one before and one after the large add, and deletes two
// files before the parts.
Tree OldTree() {
    Tree t;
    t["app.exe"] = Pattern(60000, 11);
    t["data\\config.ini"] = BytesOf("[main]\r\nlevel=1\r\n");
    t["keep.txt"] = BytesOf("unchanged\r\n");
    t[kLargeUpdate] = Pattern(kLargeUpdateSize, 12);
    t["obsolete.dll"] = Pattern(3000, 13);
    t["old\\legacy.bin"] = Pattern(70000, 14);
    for (int i = 0; i < kParts; ++i) t[Part(i)] = Pattern(100 + i, 100 + i);
    return t;
}

Tree NewTree() {
    Tree t = OldTree();
    Bytes& app = t["app.exe"];
    Bytes inserted = Pattern(5000, 15);
    app.insert(app.begin() + 20000, inserted.begin(), inserted.end());
    t["data\\config.ini"] = BytesOf("[main]\r\nlevel=2\r\n");
    // A third of the large file is new; the rest is copied from the old one.
    Bytes& video = t[kLargeUpdate];
    Bytes middle = Pattern(kLargeUpdateSize / 3, 16);
    std::copy(middle.begin(), middle.end(), video.begin() + kLargeUpdateSize / 3);
    t["data\\new.bin"] = Pattern(2500, 17);
    t[kLargeAdd] = Pattern(kLargeAddSize, 18);
    t["readme.txt"] = BytesOf("version 2\r\n");
    t.erase("obsolete.dll");
    t.erase("old\\legacy.bin");
    for (int i = 0; i < kParts; ++i) t.erase(Part(i));
    return t;
}

// The record kzp make writes for kzp recover: the digest of each file an
// update builds, and for each add the file the old release has at its name.
writer::Package WithRecoveryRecord(writer::Package package, const Tree& oldTree,
                                   const Tree& newTree) {
    writer::RecoveryRecord record;
    for (const writer::UpdateEntry& u : package.updates) {
        record.updatedDigests.push_back(writer::Md5(newTree.at(u.name)));
    }
    for (const writer::AddEntry& a : package.adds) {
        auto old = oldTree.find(a.name);
        record.replacedDigests.push_back(
            old == oldTree.end() ? std::nullopt
                                 : std::optional<writer::Digest>(writer::Md5(old->second)));
    }
    package.recovery = record;
    return package;
}

// The files of a folder with their contents and last-write times.
struct Snapshot {
    Tree files;
    std::map<std::string, uint64_t> times;
};

Snapshot TakeSnapshot(const std::string& folder) {
    Snapshot s;
    s.files = test::ReadTree(folder);
    for (const auto& entry : s.files) {
        uint64_t ticks = 0;
        test::FileTimeOf(folder + "\\" + entry.first, &ticks);
        s.times[entry.first] = ticks;
    }
    return s;
}

// What differs, a line per file; empty when the folders are the same. With
// `withTimes` false only the names and contents count.
std::string Differences(const Snapshot& got, const Snapshot& expected, bool withTimes = true) {
    std::string out;
    for (const auto& [name, data] : expected.files) {
        auto found = got.files.find(name);
        if (found == got.files.end()) {
            out += "  missing: " + name + "\n";
        } else if (found->second != data) {
            out += "  other contents: " + name + " (" + std::to_string(found->second.size()) +
                   " bytes, expected " + std::to_string(data.size()) + ")\n";
        } else if (withTimes && got.times.at(name) != expected.times.at(name)) {
            out += "  other time: " + name + "\n";
        }
    }
    for (const auto& entry : got.files) {
        if (expected.files.count(entry.first) == 0) out += "  stray file: " + entry.first + "\n";
    }
    return out;
}

std::string Backup(const std::string& name) {
    return name + "." + kOld + ".old";
}

// The moments at which the run is killed. The player watches the window
// (the log, the step label and the file bar) and kills as soon as it shows
// the moment; the folder the kill leaves is then checked to lie in that
// phase, so that a moment the run has passed before the kill lands is
// reported rather than taken for another.
enum class Moment {
    kVerifying,        // checking the old files: nothing changed yet
    kLargeUpdate,      // writing the large update, the updates before it done
    kLargeAdd,         // writing the large add, every update done
    kDeleting,         // between the deletes, every add done
    kDoneBeforeClose,  // everything applied, the backups still there
};

const char* MomentName(Moment m) {
    switch (m) {
        case Moment::kVerifying:
            return "while the old files are checked";
        case Moment::kLargeUpdate:
            return "in the middle of the large update";
        case Moment::kLargeAdd:
            return "in the middle of the large add";
        case Moment::kDeleting:
            return "in the middle of the deletes";
        case Moment::kDoneBeforeClose:
            return "after the deletes, before Close";
    }
    return "";
}

bool FileBarBetween(HWND main, int low, int high) {
    int position = ProgressPosition(main, kBarFile);
    return position >= low && position <= high;
}

class InterruptedRun : public ::testing::Test {
  protected:
    void SetUp() override {
        // The moments are told by the built-in Japanese texts of the window.
        if (GetACP() != 932) GTEST_SKIP() << "needs ANSI code page 932 (LC_ALL=ja_JP.UTF-8)";
        root_ = test::NewScratchFolder();
        app_ = root_ + "\\app";
        old_ = OldTree();
        new_ = NewTree();
        writer::Package package = PackageFor(old_, new_, app_);
        for (writer::UpdateEntry& u : package.updates) {
            if (u.name == kLargeUpdate)
                u.stream = DiffFor(old_[u.name], new_[u.name], kLargeUpdatePiece);
        }
        package_ = WithRecoveryRecord(package, old_, new_);
        exe_ = root_ + "\\kzpupdate.exe";
        ASSERT_TRUE(WriteUpdater(exe_, package_));
    }
    void TearDown() override {
        if (!root_.empty()) test::RemovePath(root_);
    }

    std::string Full(const std::string& name) const { return app_ + "\\" + name; }

    // A fresh old tree (with `extra` files beside it); its snapshot.
    Snapshot InstallOld(const Tree& extra = {}) {
        test::RemovePath(app_);
        Tree files = old_;
        files.insert(extra.begin(), extra.end());
        EXPECT_TRUE(WriteTree(app_, files));
        return TakeSnapshot(app_);
    }

    // Runs kzp.exe recover on the folder; its exit code and report.
    long Recover(const std::string& options, std::string* report) {
        return RunConsoleProgram(
            KzpToolPath(), "recover \"" + exe_ + "\" --target \"" + app_ + "\" " + options, report);
    }

    // Starts the updater and kills it at `moment`. Sets *missed where the
    // run ended before the player saw the moment (a busy machine may leave
    // the player no turn during a short phase).
    void KillAt(Moment moment, bool* missed) {
        *missed = false;
        UpdaterRun run;
        const bool question = moment == Moment::kDoneBeforeClose;
        ASSERT_TRUE(run.Start(exe_, question ? "" : "-F"));
        HWND main = run.WaitFor(WindowKind::kMain);
        ASSERT_NE(main, nullptr) << run.Describe();
        if (question) {
            // The window that waits for Close: a run started without -F.
            HWND box = run.WaitFor(WindowKind::kMessageBox);
            ASSERT_NE(box, nullptr) << run.Describe();
            ASSERT_TRUE(Press(box, IDYES));
        }
        const std::string updating = Format(Slot(12), {"video", ".dat"});
        const std::string adding = Format(Slot(13), {"render", ".dll"});
        const std::string verifying = kDetail + Format(Slot(28), {Full("app.exe")});
        std::function<bool()> reached;
        switch (moment) {
            case Moment::kVerifying:
                reached = [&] {
                    std::vector<std::string> log = LogLines(main);
                    return std::find(log.begin(), log.end(), verifying) != log.end();
                };
                break;
            case Moment::kLargeUpdate:
                reached = [&] {
                    return ControlText(main, kLabelStep) == updating &&
                           FileBarBetween(main, 150, 600);
                };
                break;
            case Moment::kLargeAdd:
                reached = [&] {
                    return ControlText(main, kLabelStep) == adding &&
                           FileBarBetween(main, 150, 600);
                };
                break;
            case Moment::kDeleting:
                reached = [&] {
                    // Some parts deleted, most still to come.
                    const std::string label = ControlText(main, kLabelStep);
                    for (int i = kParts / 10; i < kParts / 2; ++i) {
                        if (label == Format(Slot(14), {PartName(i), ".bin"})) return true;
                    }
                    return false;
                };
                break;
            case Moment::kDoneBeforeClose:
                reached = [&] {
                    return IsControlEnabled(main, kButtonCancelClose) &&
                           ControlText(main, kButtonCancelClose) == Slot(2);
                };
                break;
        }
        ASSERT_TRUE(WaitUntil([&] { return run.Exited() || reached(); }, kRunWait))
            << run.Describe();
        if (run.Exited()) {
            *missed = true;
            return;
        }
        ASSERT_TRUE(run.Kill());
    }

    // Whether the folder a kill left lies in the phase of `moment`.
    bool InPhase(Moment moment, const Snapshot& killed, const Snapshot& before) const {
        const Tree& f = killed.files;
        auto has = [&](const std::string& name) { return f.count(name) != 0; };
        switch (moment) {
            case Moment::kVerifying:
                return Differences(killed, before).empty();
            case Moment::kLargeUpdate:
                return has(Backup("app.exe")) && has(Backup("data\\config.ini")) &&
                       has(Backup(kLargeUpdate)) && has(kLargeUpdate) &&
                       f.at(kLargeUpdate) != new_.at(kLargeUpdate) && !has("data\\new.bin");
            case Moment::kLargeAdd:
                return has(kLargeUpdate) && f.at(kLargeUpdate) == new_.at(kLargeUpdate) &&
                       has("data\\new.bin") && has(kLargeAdd) &&
                       f.at(kLargeAdd) != new_.at(kLargeAdd) && !has("readme.txt") &&
                       has("obsolete.dll") && !has(Backup("obsolete.dll"));
            case Moment::kDeleting:
                return has("readme.txt") && has(kLargeAdd) &&
                       f.at(kLargeAdd) == new_.at(kLargeAdd) && !has("obsolete.dll") &&
                       has(Backup("obsolete.dll")) && !has(Part(0)) && has(Backup(Part(0))) &&
                       has(Part(kParts - 1)) && !has(Backup(Part(kParts - 1)));
            case Moment::kDoneBeforeClose: {
                std::vector<std::string> changed;
                for (const auto& entry : old_) {
                    auto now = new_.find(entry.first);
                    if (now == new_.end() || now->second != entry.second)
                        changed.push_back(entry.first);
                }
                return Differences(killed, Snapshot{WithBackups(new_, old_, changed, kOld), {}},
                                   false)
                    .empty();
            }
        }
        return false;
    }

    // Installs the old tree (with `extra` files), kills a run at `moment`,
    // and gives the folder before the run and after the kill. The player
    // sees a moment a little after it comes; where the run has passed the
    // phase before the kill lands (a fast machine), or ended before the
    // player saw it (a busy one), it says so and tries again, three times at
    // most.
    bool KillInPhase(Moment moment, const Tree& extra, Snapshot* before, Snapshot* killed) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            *before = InstallOld(extra);
            bool missed = false;
            KillAt(moment, &missed);
            if (HasFatalFailure()) return false;
            *killed = TakeSnapshot(app_);
            if (!missed && InPhase(moment, *killed, *before)) return true;
            std::printf("the kill came after the moment %s; once more\n", MomentName(moment));
        }
        ADD_FAILURE() << "three kills came after the moment " << MomentName(moment);
        return false;
    }

    // The updater run again with -F: it applies the package and removes its
    // backups; every file it wrote carries its entry's time.
    void ExpectRunToTheNewTree() {
        UpdaterRun run;
        ASSERT_TRUE(run.Start(exe_, "-F"));
        EXPECT_EQ(run.WaitForExit(kRunWait), 0) << run.Describe();
        Snapshot now = TakeSnapshot(app_);
        EXPECT_EQ(Differences(now, Snapshot{new_, now.times}, false), "");
        for (const auto& u : package_.updates)
            EXPECT_EQ(now.times[u.name], u.fileTime.Ticks()) << u.name;
        for (const auto& a : package_.adds)
            EXPECT_EQ(now.times[a.name], a.fileTime.Ticks()) << a.name;
    }

    std::string root_;
    std::string app_;
    std::string exe_;
    Tree old_;
    Tree new_;
    writer::Package package_;
};

// Killed at each moment, recovered, run again. A folder killed before
// anything changed is left as it is; one killed in the middle gets the old
// tree back, times included; one killed after the last file is reported
// complete and left alone (the updater then refuses to run again, because
// its old files are gone).
TEST_F(InterruptedRun, KilledAnywhereRecoversToTheOldTreeAndRunsAgain) {
    for (Moment moment : {Moment::kVerifying, Moment::kLargeUpdate, Moment::kLargeAdd,
                          Moment::kDeleting, Moment::kDoneBeforeClose}) {
        SCOPED_TRACE(MomentName(moment));
        Snapshot before;
        Snapshot killed;
        if (!KillInPhase(moment, {}, &before, &killed)) return;

        std::string report;
        if (moment == Moment::kLargeUpdate) {
            // A dry run reports and changes nothing.
            EXPECT_EQ(Recover("--dry-run", &report), 0) << report;
            EXPECT_NE(report.find("would restore the backup"), std::string::npos) << report;
            EXPECT_EQ(Differences(TakeSnapshot(app_), killed), "");
        }
        EXPECT_EQ(Recover("--yes", &report), 0) << report;
        if (moment == Moment::kDoneBeforeClose) {
            EXPECT_NE(report.find("the update is complete"), std::string::npos) << report;
            EXPECT_EQ(Differences(TakeSnapshot(app_), killed), "");
            UpdaterRun again;
            ASSERT_TRUE(again.Start(exe_, "-F"));
            HWND main = again.WaitFor(WindowKind::kMain);
            ASSERT_NE(main, nullptr) << again.Describe();
            ASSERT_TRUE(WaitUntil(
                [&] {
                    return IsControlEnabled(main, kButtonCancelClose) &&
                           ControlText(main, kButtonCancelClose) == Slot(2);
                },
                kRunWait))
                << again.Describe();
            ASSERT_TRUE(Press(main, kButtonCancelClose));
            EXPECT_EQ(again.WaitForExit(), 255);
            EXPECT_EQ(Differences(TakeSnapshot(app_), killed), "");
            continue;
        }
        const char* verdict =
            moment == Moment::kVerifying ? "nothing to recover" : "holds the old version again";
        EXPECT_NE(report.find(verdict), std::string::npos) << report;
        EXPECT_EQ(Differences(TakeSnapshot(app_), before), "") << report;
        ExpectRunToTheNewTree();
    }
}

// Backups that an older update left under this package's backup names,
// with other contents: recover reports them and leaves them alone, and
// brings back what the killed run changed.
TEST_F(InterruptedRun, StaleBackupsAreReportedAndLeftAlone) {
    const Tree stale = {{Backup("obsolete.dll"), BytesOf("from release 0.9\r\n")},
                        {Backup("old\\legacy.bin"), Pattern(70000, 19)}};
    Snapshot before;
    Snapshot killed;
    if (!KillInPhase(Moment::kLargeUpdate, stale, &before, &killed)) return;

    std::string report;
    EXPECT_EQ(Recover("--yes", &report), 0) << report;
    for (const char* name : {"obsolete.dll", "old\\legacy.bin"}) {
        const std::string line = std::string("delete  ") + name +
                                 "  file: old version, backup: from another update (left alone)";
        EXPECT_NE(report.find(line), std::string::npos) << report;
    }
    EXPECT_NE(report.find("holds the old version again"), std::string::npos) << report;
    EXPECT_EQ(Differences(TakeSnapshot(app_), before), "") << report;
}

}  // namespace
}  // namespace kzp::e2e

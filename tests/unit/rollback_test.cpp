// Rolling back and finishing runs: the walks over the changed-file list, and
// the property that a run stopped anywhere (by a failing call or a cancel)
// is undone completely by RestoreChangedFiles.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "engine/file_operations.h"
#include "engine/old_file_verification.h"
#include "engine/rollback.h"
#include "support/file_helpers.h"
#include "tests/support/diff_model.h"
#include "tests/support/faulty_os.h"
#include "tests/support/package_fixture.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

using test::Bytes;

struct FileState {
    Bytes data;
    uint64_t time = 0;
    bool operator==(const FileState&) const = default;
};
using Tree = std::map<std::string, FileState>;

// Every file below `folder` with its content and last-write time.
Tree Snapshot(const std::string& folder) {
    Tree tree;
    for (auto& [name, data] : test::ReadTree(folder)) {
        FileState& file = tree[name];
        file.data = std::move(data);
        test::FileTimeOf(folder + "\\" + name, &file.time);
    }
    return tree;
}

void WriteTree(const std::string& folder, const Tree& tree) {
    test::RemovePath(folder);
    test::MakeFolder(folder);
    for (const auto& [name, file] : tree) {
        size_t slash = name.rfind('\\');
        if (slash != std::string::npos) test::MakeFolder(folder + "\\" + name.substr(0, slash));
        ASSERT_TRUE(test::WriteBytes(folder + "\\" + name, file.data));
        ASSERT_TRUE(test::SetFileTimeOf(folder + "\\" + name, file.time));
    }
}

// Names of the files that differ between two trees, for messages.
std::string Difference(const Tree& actual, const Tree& expected) {
    std::string out;
    for (const auto& [name, file] : actual) {
        auto it = expected.find(name);
        if (it == expected.end())
            out += " stray:" + name;
        else if (it->second.data != file.data)
            out += " content:" + name;
        else if (it->second.time != file.time)
            out += " time:" + name;
    }
    for (const auto& [name, file] : expected) {
        if (actual.count(name) == 0) out += " missing:" + name;
    }
    return out;
}

// An old tree, a package that turns it into the new tree, and that tree.
struct Scenario {
    Tree oldTree;
    Tree newTree;
    writer::Package package;
    // Folders that only the new tree has.
    std::vector<std::string> newFolders;
};

constexpr uint64_t kOldTime = 0x01C3D3A1B2C3D4E0ull;
constexpr uint64_t kNewTime = 0x01C4D4E5F6A7B8C0ull;

Scenario MakeScenario(uint32_t seed, uint8_t verifyMode) {
    std::mt19937 rng(seed);
    Scenario s;
    writer::Package& p = s.package;
    p.oldVersion = "2004/01/06";
    p.newVersion = "2004/02/01";
    p.verifyMode = verifyMode;
    p.overwriteOnAdd = 1;
    uint64_t tick = 0;
    auto oldFile = [&](const std::string& name, size_t size) {
        FileState file{test::RandomBytes(rng, size), kOldTime + 10000000 * ++tick};
        s.oldTree[name] = file;
        return file;
    };
    auto digest = [&](const FileState& file) {
        return verifyMode == 0 ? writer::Md5(file.data)
                               : writer::DateSizeDigest(writer::FileTimeValue::FromTicks(file.time),
                                                        static_cast<uint32_t>(file.data.size()));
    };

    // Files the package leaves alone.
    for (const char* name : {"readme.txt", "lib\\keep.dat"}) s.newTree[name] = oldFile(name, 300);
    // Updates: rebuilt from random opcode programs over the old content.
    const char* updated[] = {"app.exe", "lib\\core.dll", "lib\\plug ins\\a,b.dll"};
    const uint32_t blocks[] = {64, 7, 4096};
    for (int i = 0; i < 3; ++i) {
        FileState old = oldFile(updated[i], 500 + rng() % 9000);
        test::ModelledStream diff =
            test::ModelDiff(test::RandomDiffOps(rng, old.data, blocks[i], 12), old.data, blocks[i]);
        writer::UpdateEntry entry;
        entry.name = updated[i];
        entry.digest = digest(old);
        entry.fileTime = writer::FileTimeValue::FromTicks(kNewTime + i);
        entry.stream = diff.stream;
        p.updates.push_back(entry);
        s.newTree[updated[i]] = FileState{diff.output, kNewTime + i};
    }
    // Adds: into folders that do not exist yet, and one over an old file.
    s.newFolders = {"new"};
    const char* added[] = {"new\\deep\\er\\data.bin", "new\\b.txt", "settings.ini"};
    FileState replaced = oldFile("settings.ini", 200);
    (void)replaced;
    for (int i = 0; i < 3; ++i) {
        writer::AddEntry entry;
        entry.name = added[i];
        entry.fileTime = writer::FileTimeValue::FromTicks(kNewTime + 10 + i);
        entry.contents = test::RandomBytes(rng, i == 0 ? 2500 : 700);
        p.adds.push_back(entry);
        s.newTree[added[i]] = FileState{entry.contents, kNewTime + 10 + i};
    }
    // Deletes.
    for (const char* name : {"old.hlp", "lib\\gone;1.dll"}) {
        FileState old = oldFile(name, 100 + rng() % 2000);
        writer::DeleteEntry entry;
        entry.name = name;
        entry.digest = digest(old);
        p.deletes.push_back(entry);
    }
    return s;
}

// Runs verification and the three lists in order, as the apply thread does.
class ScenarioRun {
  public:
    ScenarioRun(const Scenario& scenario, const test::UpdaterFile& updater,
                const std::string& target)
        : scenario_(scenario), package_(updater.path) {
        EXPECT_TRUE(package_.ok());
        state_.SetTargetFolder(target);
        state_.SetOldVersion(scenario.package.oldVersion);
        state_.state().overwriteOnAdd = scenario.package.overwriteOnAdd;
        for (size_t i = 0; i < scenario.package.updates.size(); ++i) {
            entries_.push_back(test::UpdateEntryOf(scenario.package, updater.layout, i));
        }
        for (size_t i = 0; i < scenario.package.adds.size(); ++i) {
            entries_.push_back(test::AddEntryOf(scenario.package, updater.layout, i));
        }
        for (size_t i = 0; i < scenario.package.deletes.size(); ++i) {
            entries_.push_back(test::DeleteEntryOf(scenario.package, i));
        }
        const size_t updates = scenario.package.updates.size();
        const size_t adds = scenario.package.adds.size();
        for (PtrArray*& list : lists_) list = PtrArray::Create(10);
        for (size_t i = 0; i < entries_.size(); ++i) {
            lists_[i < updates ? 0 : i < updates + adds ? 1 : 2]->Push(&entries_[i]);
        }
    }
    ~ScenarioRun() {
        for (PtrArray* list : lists_) PtrArray::Destroy(list);
    }

    Result Apply() {
        const size_t updates = scenario_.package.updates.size();
        const size_t adds = scenario_.package.adds.size();
        Result result = VerifyOldFiles(lists_[0], lists_[1], lists_[2],
                                       scenario_.package.verifyMode, state_.state());
        for (size_t i = 0; i < entries_.size() && result == kResultOk; ++i) {
            if (i < updates) {
                result = ApplyUpdateEntry(package_.file(), entries_[i], state_.state());
            } else if (i < updates + adds) {
                result = ApplyAddEntry(package_.file(), entries_[i], state_.state());
            } else {
                result = ApplyDeleteEntry(entries_[i].name, state_.state());
            }
        }
        return result;
    }

    test::ScopedUpdaterState& state() { return state_; }

  private:
    const Scenario& scenario_;
    test::OpenedPackage package_;
    test::ScopedUpdaterState state_;
    std::vector<FileEntry> entries_;
    PtrArray* lists_[3] = {};
};

class Rollback : public ::testing::TestWithParam<uint8_t> {
  protected:
    void SetUp() override {
        scenario_ = MakeScenario(1000 + GetParam(), GetParam());
        updater_ = test::WriteUpdaterFile(scenario_.package);
        target_ = test::NewScratchFolder() + "\\target";
    }

    // One run from the old tree, stopped by `arm` (which may install a
    // fault or a cancel); checks what the tree looks like afterwards and
    // after RestoreChangedFiles. Returns the run's result.
    Result RunAndCheck(test::FaultyOs& faulty, const std::string& label) {
        // The tree is written afresh unless the last restore left exactly
        // the old tree; folders a run created are removed either way, so
        // that every run creates them again.
        if (!treeIsOld_) WriteTree(target_, scenario_.oldTree);
        for (const std::string& folder : scenario_.newFolders)
            test::RemovePath(target_ + "\\" + folder);
        treeIsOld_ = false;
        ScenarioRun run(scenario_, updater_, target_);
        faulty.ResetCounts();
        uint64_t events = 0;
        auto tick = [&] {
            if (++events == cancelAt_) RequestCancel(run.state().state());
        };
        if (armCancel_) {
            faulty.onCall = [&](test::OsCall) { tick(); };
            run.state().sink().onSend = [&](const test::Notification&) { tick(); };
        }
        Result result;
        {
            test::ScopedOs use(faulty);
            result = run.Apply();
        }
        faulty.onCall = nullptr;
        run.state().sink().onSend = nullptr;
        lastEvents_ = faulty.CountOf(AllKinds()) + run.state().sink().All().size();

        if (result == kResultOk) {
            // Done: the new tree (a refused time stamp is the one fault a
            // run survives with a visible trace).
            Tree now = Snapshot(target_);
            Tree expected = scenario_.newTree;
            AddBackups(&expected, run.state().ChangedFiles());
            if (faulty.Fired() && faulty.FiredKind() == test::OsCall::kSetTime) {
                for (auto& [name, file] : now) file.time = expected[name].time;
            }
            EXPECT_EQ(now, expected) << label << Difference(now, expected);
        }
        RestoreChangedFiles(run.state().state());
        Tree restored = Snapshot(target_);
        treeIsOld_ = restored == scenario_.oldTree;
        EXPECT_EQ(restored, scenario_.oldTree)
            << label << " result " << ResultName(result) << Difference(restored, scenario_.oldTree);
        return result;
    }

    // Backups that a finished run leaves beside the new files.
    void AddBackups(Tree* tree, const std::vector<std::string>& changed) const {
        for (const std::string& path : changed) {
            std::string name = path.substr(target_.size() + 1);
            auto old = scenario_.oldTree.find(name);
            if (old == scenario_.oldTree.end()) continue;
            char backup[kMaxPath];
            ASSERT_TRUE(BuildBackupPath(path.c_str(), "2004/01/06", backup));
            (*tree)[std::string(backup).substr(target_.size() + 1)] = old->second;
        }
    }

    static std::vector<test::OsCall> AllKinds() {
        std::vector<test::OsCall> kinds;
        for (int k = 0; k < static_cast<int>(test::OsCall::kCount); ++k) {
            kinds.push_back(static_cast<test::OsCall>(k));
        }
        return kinds;
    }

    Scenario scenario_;
    test::UpdaterFile updater_;
    std::string target_;
    bool treeIsOld_ = false;
    bool armCancel_ = false;
    uint64_t cancelAt_ = 0;
    uint64_t lastEvents_ = 0;
};

TEST_P(Rollback, AFailureAtAnyCallIsUndone) {
    // Calls that may fail: every file call, and every allocation (buffers,
    // the copies of recorded paths, the list's storage).
    std::vector<test::OsCall> kinds = test::FileCallKinds();
    kinds.push_back(test::OsCall::kHeapAlloc);
    kinds.push_back(test::OsCall::kGlobalAlloc);

    test::FaultyOs clean(test::BaseOs());
    ASSERT_EQ(RunAndCheck(clean, "without a fault"), kResultOk);
    const uint64_t calls = clean.CountOf(kinds);
    ASSERT_GT(calls, 50u);

    int failed = 0;
    std::map<Result, int> results;
    for (uint64_t n = 1; n <= calls; ++n) {
        test::FaultyOs faulty(test::BaseOs());
        faulty.FailNthOf(kinds, n);
        Result result = RunAndCheck(faulty, "fault at call " + std::to_string(n));
        ASSERT_TRUE(faulty.Fired()) << n;
        ++results[result];
        if (result != kResultOk) ++failed;
        if (HasFailure()) {
            ADD_FAILURE() << "stopped after the fault at call " << n << " ("
                          << test::OsCallName(faulty.FiredKind()) << ")";
            return;
        }
    }
    // Most faults end the run; some are absorbed (a buffer that could not be
    // had, a time stamp).
    EXPECT_GT(failed, static_cast<int>(calls / 2));
    EXPECT_GT(results.size(), 6u) << "faults should meet many different steps";
}

TEST_P(Rollback, ACancelAtAnyMomentIsUndone) {
    test::FaultyOs clean(test::BaseOs());
    ASSERT_EQ(RunAndCheck(clean, "without a cancel"), kResultOk);
    const uint64_t events = lastEvents_;
    ASSERT_GT(events, 50u);

    armCancel_ = true;
    int cancelled = 0;
    for (cancelAt_ = 1; cancelAt_ <= events; ++cancelAt_) {
        test::FaultyOs faulty(test::BaseOs());
        Result result = RunAndCheck(faulty, "cancel at event " + std::to_string(cancelAt_));
        ASSERT_TRUE(result == kResultOk || result == kResultCancelled) << ResultName(result);
        if (result == kResultCancelled) ++cancelled;
        if (HasFailure()) {
            ADD_FAILURE() << "stopped after the cancel at event " << cancelAt_;
            return;
        }
    }
    // A cancel after the last poll lets the run finish; before it, never.
    EXPECT_GT(cancelled, static_cast<int>(events * 3 / 4));
}

INSTANTIATE_TEST_SUITE_P(VerifyModes, Rollback, ::testing::Values(0, 1),
                         [](const testing::TestParamInfo<uint8_t>& info) {
                             return info.param == 0 ? std::string("Md5") : std::string("DateSize");
                         });

// ---- the two walks on their own ------------------------------------------

class Walks : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = test::NewScratchFolder();
        state_.SetTargetFolder(folder_);
        state_.SetOldVersion("2004/01/06");
    }
    std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
    void Put(const std::string& name, const std::string& text) {
        ASSERT_TRUE(test::WriteBytes(Path(name), Bytes(text.begin(), text.end())));
    }
    void Record(const std::string& name) {
        ASSERT_GE(state_.state().changedFiles->Add(Path(name).c_str()), 0);
    }
    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> files;
        for (const auto& [name, data] : test::ReadTree(folder_)) {
            files[name] = std::string(data.begin(), data.end());
        }
        return files;
    }

    std::string folder_;
    test::ScopedUpdaterState state_;
};

TEST_F(Walks, RestorePutsBackupsBackAndRemovesWhatTheRunWrote) {
    Put("updated.dll", "new");
    Put("updated.dll.2004_01_06.old", "old");
    Put("added.txt", "added");
    Put("deleted.txt.2004_01_06.old", "deleted");
    Put("added over.ini", "new ini");
    Put("added over.ini.2004_01_06.old", "user ini");
    Put("unrelated.txt", "unrelated");
    Put("unrelated.txt.2004_01_06.old", "an older backup");
    for (const char* name : {"updated.dll", "added.txt", "deleted.txt", "added over.ini"}) {
        Record(name);
    }
    RestoreChangedFiles(state_.state());
    EXPECT_EQ(Files(), (std::map<std::string, std::string>{
                           {"updated.dll", "old"},
                           {"deleted.txt", "deleted"},
                           {"added over.ini", "user ini"},
                           {"unrelated.txt", "unrelated"},
                           {"unrelated.txt.2004_01_06.old", "an older backup"}}));
}

TEST_F(Walks, ABackupLyingThereBeforeAnAddTakesTheAddedFilesPlace) {
    Put("added.txt", "added");
    Put("added.txt.2004_01_06.old", "from an earlier run");
    Record("added.txt");
    RestoreChangedFiles(state_.state());
    EXPECT_EQ(Files(), (std::map<std::string, std::string>{{"added.txt", "from an earlier run"}}));
}

TEST_F(Walks, DeleteBackupsRemovesOnlyTheRunsBackups) {
    Put("a.dll", "new a");
    Put("a.dll.2004_01_06.old", "old a");
    Put("b.dll.2004_01_06.old", "deleted b");
    Put("c.dll", "c");
    Put("c.dll.2004_01_06.old", "not this run's");
    Put("a.dll.2003_12_01.old", "another version's");
    Record("a.dll");
    Record("b.dll");
    DeleteBackupFiles(state_.state());
    EXPECT_EQ(Files(),
              (std::map<std::string, std::string>{{"a.dll", "new a"},
                                                  {"c.dll", "c"},
                                                  {"c.dll.2004_01_06.old", "not this run's"},
                                                  {"a.dll.2003_12_01.old", "another version's"}}));
}

TEST_F(Walks, AnEmptyListTouchesNothing) {
    Put("a.dll", "a");
    Put("a.dll.2004_01_06.old", "backup");
    RestoreChangedFiles(state_.state());
    DeleteBackupFiles(state_.state());
    StringList* list = state_.state().changedFiles;
    state_.state().changedFiles = nullptr;
    RestoreChangedFiles(state_.state());
    DeleteBackupFiles(state_.state());
    state_.state().changedFiles = list;
    EXPECT_EQ(Files().size(), 2u);
}

TEST_F(Walks, AFileThatCannotBeDeletedKeepsItsBackup) {
    Put("held.dll", "new");
    Put("held.dll.2004_01_06.old", "old");
    Record("held.dll");
    FileHandle held = test::BaseOs().CreateFileHandle(Path("held.dll").c_str(), kGenericRead, 0,
                                                      false, kOpenExisting, 0);
    ASSERT_NE(held, kInvalidFile);
    RestoreChangedFiles(state_.state());
    test::BaseOs().CloseFile(held);
    EXPECT_EQ(Files(), (std::map<std::string, std::string>{{"held.dll", "new"},
                                                           {"held.dll.2004_01_06.old", "old"}}));
}

}  // namespace
}  // namespace kzp

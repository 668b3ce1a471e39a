// Recovery over folders made by hand: the states that runs of packages from
// other writers, adds over the user's own files, reproducible builds and FAT
// volumes leave, each with what recovery must make of it. Names are compared
// as Windows compares them.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/recovery.h"
#include "support/text.h"
#include "tests/robust/generated_case.h"
#include "tests/support/robust_run.h"

namespace kzp::test {
namespace {

namespace w = writer;

const w::Bytes kOld = {'o', 'l', 'd', ' ', 'v', 'e', 'r', 's', 'i', 'o', 'n',
                       ' ', 'o', 'f', ' ', 'a', 'p', 'p', '.', 'd', 'l', 'l'};
const w::Bytes kNew = {'n', 'e', 'w', ' ', 'v', 'e', 'r', 's', 'i', 'o', 'n', ' ',
                       'o', 'f', ' ', 'a', 'p', 'p', ' ', '(', '1', '.', '1', ')'};
const w::Bytes kUsers = {'t', 'h', 'e', ' ', 'u', 's', 'e', 'r', '\'', 's', ' ', 'o', 'w', 'n'};
const w::Bytes kAdded = {'s', 'e', 't', 't', 'i', 'n', 'g', 's', ' ', 'o', 'f', ' ', '1', '.', '1'};
constexpr uint64_t kOldTime = 0x01D0000000000000ull;
constexpr uint64_t kNewTime = 0x01D1000000000001ull;  // an odd second and then some

w::UpdateEntry Update(const std::string& name, uint8_t verifyMode = 0,
                      uint64_t newTime = kNewTime) {
    w::UpdateEntry e;
    e.name = name;
    e.digest = verifyMode == 0 ? w::Md5(kOld)
                               : w::DateSizeDigest(w::FileTimeValue::FromTicks(kOldTime),
                                                   static_cast<uint32_t>(kOld.size()));
    e.fileTime = w::FileTimeValue::FromTicks(newTime);
    e.stream = EncodeStream(kOld, kNew, 8, false);
    return e;
}

w::AddEntry Add(const std::string& name) {
    return {name, w::FileTimeValue::FromTicks(kNewTime), kAdded, std::nullopt, std::nullopt};
}

// The record kzp make writes: every update builds kNew, no add replaces a
// file of the old release.
void WithRecord(w::Package* p) {
    w::RecoveryRecord record;
    for (size_t i = 0; i < p->updates.size(); ++i) record.updatedDigests.push_back(w::Md5(kNew));
    for (size_t i = 0; i < p->adds.size(); ++i) record.replacedDigests.push_back(std::nullopt);
    p->recovery = record;
}

w::Bytes ZerosAfter(const w::Bytes& data, size_t kept) {
    w::Bytes part(data.size(), 0);
    std::copy(data.begin(), data.begin() + static_cast<long>(kept), part.begin());
    return part;
}

struct Case {
    const char* what;
    std::function<void(w::Package&)> make;
    TreeState crashed;   // the folder as the stopped run left it
    TreeState expected;  // after recovery
    FolderVerdict verdict;
    uint32_t kept;
    uint32_t notBack;
};

TEST(RecoveryTable, HandMadeFoldersComeBackWithoutLosingAByte) {
    const FileState old{kOld, kOldTime};
    const FileState made{kNew, kNewTime};
    const FileState users{kUsers, kOldTime};
    const std::string tooLong(240, 'n');
    const Case cases[] = {
        {"an add over the user's own file, stopped after the move",
         [](w::Package& p) {
             p.overwriteOnAdd = 1;
             p.adds.push_back(Add("user.cfg"));
             WithRecord(&p);
         },
         {{"user.cfg.1.0.old", users}},
         {{"user.cfg", users}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"the same, stopped while writing the new file",
         [](w::Package& p) {
             p.overwriteOnAdd = 1;
             p.adds.push_back(Add("user.cfg"));
             WithRecord(&p);
         },
         {{"user.cfg", {ZerosAfter(kAdded, 3), kOldTime}}, {"user.cfg.1.0.old", users}},
         {{"user.cfg", users}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"the same, the add finished and the deletes not begun",
         [](w::Package& p) {
             p.overwriteOnAdd = 1;
             p.adds.push_back(Add("user.cfg"));
             p.deletes.push_back({"legacy.dll", w::Md5(kOld)});
             WithRecord(&p);
         },
         {{"user.cfg", {kAdded, kNewTime}}, {"user.cfg.1.0.old", users}, {"legacy.dll", old}},
         {{"user.cfg", users}, {"legacy.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"an update under a name in another case than the folder's, stopped after the move",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             WithRecord(&p);
         },
         {{"app.dll.1.0.old", old}},
         {{"APP.DLL", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"add app.dll beside delete App.dll, which the updater refuses: nothing is deleted",
         [](w::Package& p) {
             p.adds.push_back(Add("app.dll"));
             p.deletes.push_back({"App.dll", w::Md5(kOld)});
         },
         {{"App.dll", old}},
         {{"App.dll", old}},
         FolderVerdict::kUntouched,
         0,
         0},
        {"one file updated twice, stopped after the first: not complete",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             p.updates.push_back(Update("APP.DLL"));
             WithRecord(&p);
         },
         {{"app.dll", made}, {"app.dll.1.0.old", old}},
         {{"app.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"no record, new files with the old ones' time, stopped after the first update",
         [](w::Package& p) {
             p.updates.push_back(Update("a.dll", 0, kOldTime));
             p.updates.push_back(Update("b.dll", 0, kOldTime));
         },
         {{"a.dll", {kNew, kOldTime}}, {"a.dll.1.0.old", old}, {"b.dll", old}},
         {{"a.dll", old}, {"b.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"the same, checked by time and size",
         [](w::Package& p) {
             p.verifyMode = 1;
             p.updates.push_back(Update("a.dll", 1, kOldTime));
             p.updates.push_back(Update("b.dll", 1, kOldTime));
         },
         {{"a.dll", {kNew, kOldTime}}, {"a.dll.1.0.old", old}, {"b.dll", old}},
         {{"a.dll", old}, {"b.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"an empty file at an add's name, nothing else of a run: kept",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             p.adds.push_back(Add("plugin.dll"));
             WithRecord(&p);
         },
         {{"app.dll", old}, {"plugin.dll", {{}, kOldTime}}},
         {{"app.dll", old}, {"plugin.dll", {{}, kOldTime}}},
         FolderVerdict::kUntouched,
         1,
         0},
        {"the first bytes of an add's data, nothing else of a run: kept",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             p.adds.push_back(Add("plugin.dll"));
             WithRecord(&p);
         },
         {{"app.dll", old},
          {"plugin.dll", {w::Bytes(kAdded.begin(), kAdded.begin() + 4), kOldTime}}},
         {{"app.dll", old},
          {"plugin.dll", {w::Bytes(kAdded.begin(), kAdded.begin() + 4), kOldTime}}},
         FolderVerdict::kUntouched,
         1,
         0},
        {"an add's data grown ahead and part written: only a run makes it",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             p.adds.push_back(Add("plugin.dll"));
             WithRecord(&p);
         },
         {{"app.dll", old}, {"plugin.dll", {ZerosAfter(kAdded, 4), kOldTime}}},
         {{"app.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         0},
        {"an entry whose path cannot be formed does not stop the others",
         [&](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             p.updates.push_back(Update(tooLong));
             WithRecord(&p);
         },
         {{"app.dll", made}, {"app.dll.1.0.old", old}},
         {{"app.dll", old}},
         FolderVerdict::kInterrupted,
         0,
         1},
        {"a finished update on a FAT volume (its time rounded) is complete",
         [](w::Package& p) {
             p.updates.push_back(Update("app.dll"));
             WithRecord(&p);
         },
         {{"app.dll", {kNew, kNewTime + 19999999}}, {"app.dll.1.0.old", old}},
         {{"app.dll", {kNew, kNewTime + 19999999}}, {"app.dll.1.0.old", old}},
         FolderVerdict::kComplete,
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = NewScratchFolder();
        const std::string target = folder + "\\target";
        w::Package package = PackageForFolder(target);
        c.make(package);
        const std::string updater = folder + "\\update.exe";
        ASSERT_TRUE(WriteBytes(updater, w::BuildUpdaterFile(w::MakeStubImage(), package)));
        ASSERT_TRUE(MakeFolder(target));
        ASSERT_TRUE(WriteTreeState(target, c.crashed));

        WholeRun holder;
        UpdaterState& state = holder.state();
        CopyText(state.packagePath, kMaxPath, updater.c_str());
        CopyText(state.targetFolder, kMaxPath, (target + "\\").c_str());
        RecoveryPlan plan;
        ASSERT_EQ(ExamineFolder(state, &plan), kResultOk);
        EXPECT_EQ(plan.verdict, c.verdict);
        RecoveryOutcome outcome = {};
        if (plan.verdict == FolderVerdict::kInterrupted) {
            outcome = RecoverFolder(state, &plan);
        } else {
            for (uint32_t i = 0; i < plan.count; ++i) {
                if (plan.entries[i].step == RecoveryStep::kKept) ++outcome.kept;
                if (plan.entries[i].step == RecoveryStep::kUnexamined) ++outcome.notBack;
            }
        }
        ReleaseRecoveryPlan(state, &plan);
        EXPECT_EQ(outcome.kept, c.kept);
        EXPECT_EQ(outcome.notBack, c.notBack);
        EXPECT_EQ(DescribeDifference(FoldedTree(c.expected), FoldedTree(ReadTreeState(target))),
                  "");
        RemovePath(folder);
    }
}

}  // namespace
}  // namespace kzp::test

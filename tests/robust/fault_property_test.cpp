// Whole runs under every single fault: the apply thread end to end over a
// generated package, then the window's handling of the end code, with the
// Nth file call failing for every N the run makes, the Nth allocation failing,
// the disk full after a number of bytes, and the user pressing Cancel after
// every call and every notification. Each run must either succeed with the new tree or end
// with the code of the failed call and, once the window has restored the
// changed files, leave the old tree exactly as it was (contents and
// last-write times, no stray file). A fault met by the restore itself must
// lose nothing either: each old file survives under its own name or its
// backup name.
//
// Crashes as well: a run that stops dead at any call, with no rollback (a
// kill, a power cut), leaves the folder as it stood when that call came.
// Every such folder of a clean run, of the deletion of its backups and of a
// failing run's restore is handed to the recovery that kzp recover runs. It
// must lose nothing and strand nothing: either it finds the update complete
// with the new tree in place, or every file of the old tree is back at its
// own name (contents and time) with nothing else left but the files it names
// as kept (ones the run may or may not have written), and where it kept
// none, the updater run again ends as on the untouched folder.
//
// Packages from other writers are in the mix: names in another case than the
// folder has them, one file named twice, no recovery record; so are adds
// over the user's own files, new files that keep their old files' times, and
// folders that keep times as FAT does. Names are compared as Windows does.
//
// Every other case runs on a system of the 9x family, which refuses
// positioned reads, and every case that copies old data is applied on both
// families.
//
// KZP_FAULT_CASES sets the number of generated cases (default 24), KZP_FAULT_SEED
// the seed they come from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "engine/recovery.h"
#include "engine/rollback.h"
#include "support/text.h"
#include "tests/robust/generated_case.h"
#include "tests/support/faulty_os.h"
#include "tests/support/robust_run.h"

namespace kzp::test {
namespace {

namespace w = writer;

// The codes a run may end with when one call of a kind fails.
const std::map<OsCall, std::set<Result>>& CodesOf() {
    static const std::map<OsCall, std::set<Result>> codes = {
        {OsCall::kOpen, {kErrorOpenPackage, kErrorOldFileOpen, kErrorNewFileOpen}},
        {OsCall::kRead, {kErrorReadPackage, kErrorOldFileRead}},
        {OsCall::kWrite, {kErrorNewFileWrite}},
        {OsCall::kSeek, {kErrorReadPackage, kErrorOldFileRead}},
        {OsCall::kFileSize, {kErrorReadPackage, kErrorOldFileRead}},
        {OsCall::kGetTime, {kErrorOldFileRead}},
        {OsCall::kSetTime, {}},  // its outcome does not change the result
        {OsCall::kMove, {kErrorRename}},
        {OsCall::kDelete, {}},  // the run deletes nothing
        {OsCall::kMakeDirectory, {kErrorNewFileOpen}},
        // Growing a new file ahead may fail without harm (it is then written
        // a range at a time); cutting it back may not.
        {OsCall::kSetSize, {kErrorNewFileWrite}},
    };
    return codes;
}

// The codes for a fault of `kind`, and the one the case ends with anyway.
std::set<Result> CodesFor(const std::set<Result>& codes, Result expected) {
    std::set<Result> all = codes;
    if (expected != kResultOk) all.insert(expected);
    return all;
}

// What GetVersion reports: Windows XP and Windows 98.
constexpr OsVersion kNtSystem{kPlatformWin32Nt, 5, 1};
constexpr OsVersion k9xSystem{kPlatformWin32Windows, 4, 10};

// One generated case and the folders it runs in.
struct CaseRunner {
    std::string folder = NewScratchFolder();
    std::string target = folder + "\\target";
    std::string crashed = folder + "\\crashed";  // where crashed folders are recovered
    GeneratedCase generated;
    std::string updater;
    std::string crashedUpdater;  // the same package for the folder `crashed`
    TreeState expectedNew;       // the new tree with the backups of the changed files
    std::vector<std::string> failures;
    int runs = 0;
    OsVersion system;  // the system its runs are made on

    CaseRunner(std::mt19937& random, const CaseLimits& limits, const OsVersion& on)
        : generated(GenerateCase(random, target, limits)), system(on) {
        updater = folder + "\\update.exe";
        crashedUpdater = folder + "\\update-crashed.exe";
        w::Package forCrashed = generated.package;
        forCrashed.target.path = crashed;
        for (const auto& [path, package] :
             {std::pair{updater, generated.package}, std::pair{crashedUpdater, forCrashed}}) {
            w::Bytes file = w::MakeStubImage();
            w::Bytes body = w::BuildPackage(package);
            file.insert(file.end(), body.begin(), body.end());
            EXPECT_TRUE(WriteBytes(path, file));
        }
        expectedNew = WithBackups(generated);
    }

    void Fail(const std::string& what, const std::string& detail) {
        if (failures.size() < 12)
            failures.push_back(what + ": " + detail);
        else if (failures.size() == 12)
            failures.push_back("...");
    }

    // A fresh target folder holding the old tree.
    void Reset() {
        RemovePath(target);
        ASSERT_TRUE(MakeFolder(target));
        ASSERT_TRUE(WriteTreeState(target, generated.oldTree));
    }

    // Judges the folder after a run: the new tree on success (with
    // `contentsOnly` when a file's time may be missing), else the old tree.
    bool Judge(const std::string& what, const RunOutcome& outcome,
               const std::set<Result>& faultCodes, bool contentsOnly) {
        ++runs;
        const std::set<Result> codes = CodesFor(faultCodes, generated.expected);
        TreeState after = FoldedTree(ReadTreeState(target));
        if (outcome.result == kResultOk) {
            TreeState expected = expectedNew;
            if (contentsOnly) {
                for (auto& [name, file] : after) {
                    auto it = expected.find(name);
                    if (it != expected.end()) file.time = it->second.time;
                }
            }
            std::string difference = DescribeDifference(expected, after);
            if (!difference.empty()) {
                Fail(what, "succeeded without the new tree: " + difference);
                return false;
            }
            return true;
        }
        if (codes.count(outcome.result) == 0) {
            std::ostringstream code;
            code << "ended with 0x" << std::hex << outcome.result;
            Fail(what, code.str());
        }
        if (outcome.restored != !outcome.changedFiles.empty()) Fail(what, "restore not run");
        std::string difference = DescribeDifference(FoldedTree(generated.oldTree), after);
        if (!difference.empty()) {
            Fail(what, "old tree not restored: " + difference);
            return false;
        }
        return true;
    }

    RunOutcome Run(FaultyOs& faulty, const std::function<void(WholeRun&)>& prepare = nullptr) {
        faulty.KeepTimesAsFat(generated.fatTimes);
        Reset();
        WholeRun run;
        if (prepare) prepare(run);
        faulty.ReportVersion(system);
        ScopedOs use(faulty);
        return run.Run(updater);
    }
};

// What decides a crashed folder's recovery, file by file: whether it holds
// the old or the new version of its entry (a backup: of the entry it backs
// up), with or without that version's time, nothing, or anything else. Two
// folders that differ only in how much of a file had been written have the
// same shape.
std::string ShapeOf(const TreeState& crashed, const GeneratedCase& generated) {
    const w::Package& p = generated.package;
    std::map<std::string, std::string> backedUp;
    for (const auto& e : p.updates)
        backedUp[FoldedName(BackupNameOf(e.name, p.oldVersion))] = e.name;
    for (const auto& e : p.adds) backedUp[FoldedName(BackupNameOf(e.name, p.oldVersion))] = e.name;
    for (const auto& e : p.deletes)
        backedUp[FoldedName(BackupNameOf(e.name, p.oldVersion))] = e.name;
    const TreeState oldTree = FoldedTree(generated.oldTree);
    const TreeState newTree = FoldedTree(generated.newTree);
    std::string shape;
    for (const auto& [name, file] : FoldedTree(crashed)) {
        auto original = backedUp.find(name);
        const std::string entry = original != backedUp.end() ? FoldedName(original->second) : name;
        auto old = oldTree.find(entry);
        auto made = newTree.find(entry);
        char kind = file.contents.empty() ? 'e' : 'x';
        if (old != oldTree.end() && old->second.contents == file.contents) {
            kind = old->second.time == file.time ? 'O' : 'o';
        } else if (made != newTree.end() && made->second.contents == file.contents) {
            kind = made->second.time == file.time ? 'N' : 'n';
        }
        shape += name + "=" + kind + ";";
    }
    return shape;
}

// The folders a crash before each call of a run would leave, one of each
// shape, and how many calls there were.
struct CrashStates {
    const GeneratedCase& generated;
    uint64_t points = 0;
    std::set<std::string> shapes;
    std::vector<TreeState> states;

    void Take(const std::string& folder) {
        TreeState now = ReadTreeState(folder);
        if (shapes.insert(ShapeOf(now, generated)).second) states.push_back(std::move(now));
    }
    void Watch(FaultyOs& faulty, const std::string& folder) {
        faulty.beforeCall = [this, folder](OsCall) {
            ++points;
            Take(folder);
        };
    }
};

// The new tree as a crashed folder holds it: the files a finished run leaves,
// less the backups that may or may not have been deleted yet.
TreeState WithoutBackups(const TreeState& tree, const GeneratedCase& generated) {
    TreeState rest = FoldedTree(tree);
    const w::Package& p = generated.package;
    for (const auto& e : p.updates) rest.erase(FoldedName(BackupNameOf(e.name, p.oldVersion)));
    for (const auto& e : p.adds) rest.erase(FoldedName(BackupNameOf(e.name, p.oldVersion)));
    for (const auto& e : p.deletes) rest.erase(FoldedName(BackupNameOf(e.name, p.oldVersion)));
    return rest;
}

// What recovery made of one crashed folder.
struct Recovered {
    std::string problem;  // "" when the invariant holds
    bool kept = false;    // it kept files that may be the user's
};

// Recovery over a copy of a crashed folder, judged by the invariant. A folder
// it finds complete must hold the new tree and stay as it is. Every other one
// must hold the old tree again, but for files it names as kept (each the
// crashed folder's, at an entry's name); where none is kept, the updater run
// again must end as on the untouched folder.
Recovered RecoverCrashedFolder(CaseRunner& runner, const TreeState& crashed) {
    Recovered out;
    const std::string& folder = runner.crashed;
    RemovePath(folder);
    if (!MakeFolder(folder) || !WriteTreeState(folder, crashed)) {
        out.problem = "the crashed folder cannot be written";
        return out;
    }
    WholeRun holder;
    UpdaterState& state = holder.state();
    CopyText(state.packagePath, kMaxPath, runner.updater.c_str());
    CopyText(state.targetFolder, kMaxPath, (folder + "\\").c_str());
    RecoveryPlan plan;
    const Result examined = ExamineFolder(state, &plan);
    const RecoveryOutcome outcome =
        examined == kResultOk && plan.verdict == FolderVerdict::kInterrupted
            ? RecoverFolder(state, &plan)
            : RecoveryOutcome{};
    const FolderVerdict verdict = plan.verdict;
    // What recovery found, for the failure message.
    std::string found = std::string(plan.hasRecord ? " [record;" : " [no record;") + " verdict " +
                        std::to_string(int(plan.verdict)) + ";";
    std::set<std::string> kept;
    uint32_t lost = 0;
    for (uint32_t i = 0; i < plan.count; ++i) {
        const EntryRecovery& e = plan.entries[i];
        found += " " + std::string(e.entry->name) + " " + std::to_string(int(e.file)) + "/" +
                 std::to_string(int(e.backup)) + "->" + std::to_string(int(e.step));
        if (e.step == RecoveryStep::kKept) kept.insert(FoldedName(e.entry->name));
        if (e.step == RecoveryStep::kLost || e.step == RecoveryStep::kUnexamined || e.failed)
            ++lost;
    }
    found += "]";
    ReleaseRecoveryPlan(state, &plan);
    if (examined != kResultOk) {
        out.problem = "examined with result " + std::to_string(examined);
        return out;
    }
    if (outcome.notBack != 0 || lost != 0) {
        out.problem = std::to_string(lost) + " entries not brought back" + found;
        return out;
    }
    const TreeState after = FoldedTree(ReadTreeState(folder));
    const TreeState crashedFolded = FoldedTree(crashed);
    if (verdict == FolderVerdict::kComplete) {
        // The contents only: a run stopped between writing its last file and
        // stamping it leaves that file complete with another time.
        TreeState made = WithoutBackups(after, runner.generated);
        const TreeState expected = FoldedTree(runner.generated.newTree);
        for (auto& [name, file] : made) {
            auto it = expected.find(name);
            if (it != expected.end()) file.time = it->second.time;
        }
        std::string difference = DescribeDifference(expected, made);
        if (!difference.empty())
            out.problem = "called complete without the new tree: " + difference;
        else if (after != crashedFolded)
            out.problem = "a complete folder was changed";
        return out;
    }
    // Kept files are left out of the comparison: each must be as the crash
    // left it (recovery did not touch it).
    TreeState oldTree = FoldedTree(runner.generated.oldTree);
    TreeState rest = after;
    for (const std::string& name : kept) {
        auto now = rest.find(name);
        auto before = crashedFolded.find(name);
        const bool same = now == rest.end()
                              ? before == crashedFolded.end()
                              : before != crashedFolded.end() && before->second == now->second;
        if (!same) {
            out.problem = "kept " + name + " is not what the crash left" + found;
            return out;
        }
        rest.erase(name);
        oldTree.erase(name);
    }
    std::string difference = DescribeDifference(oldTree, rest);
    if (!difference.empty()) {
        out.problem = "old tree not recovered: " + difference + found;
        return out;
    }
    out.kept = !kept.empty();
    if (out.kept) return out;
    // The updater again, on the recovered folder.
    FaultyOs volume(BaseOs());
    volume.KeepTimesAsFat(runner.generated.fatTimes);
    WholeRun again;
    RunOutcome rerun;
    {
        ScopedOs use(volume);
        rerun = again.Run(runner.crashedUpdater);
    }
    const TreeState rerunTree = FoldedTree(ReadTreeState(folder));
    if (rerun.result != runner.generated.expected) {
        out.problem = "the updater run again ended with " + std::to_string(rerun.result);
    } else {
        const TreeState expected = rerun.result == kResultOk ? WithBackups(runner.generated)
                                                             : FoldedTree(runner.generated.oldTree);
        difference = DescribeDifference(expected, rerunTree);
        if (!difference.empty()) out.problem = "the updater run again left: " + difference;
    }
    return out;
}

struct Totals {
    uint64_t faultRuns = 0;
    uint64_t diskRuns = 0;
    uint64_t memoryRuns = 0;
    uint64_t cancelRuns = 0;
    uint64_t restoreFaultRuns = 0;
    uint64_t lost = 0;
    uint64_t crashPoints = 0;
    uint64_t crashStates = 0;
    uint64_t unrecoverable = 0;  // folders that lost or stranded anything
    uint64_t keptFolders = 0;    // recovered with files kept and named
    uint64_t ninetyXCases = 0;   // cases whose faults hit a system of the 9x family
    uint64_t copyingCases = 0;   // cases that copy old data, applied on both families
};

void RunCase(int index, std::mt19937& random, const CaseLimits& limits, Totals* totals) {
    const bool ninetyX = index % 2 == 1;
    CaseRunner runner(random, limits, ninetyX ? k9xSystem : kNtSystem);
    SCOPED_TRACE("case " + std::to_string(index) + (ninetyX ? " (9x)" : " (NT)") + ": " +
                 runner.generated.summary);
    const std::vector<OsCall> kinds = FileCallKinds();
    if (ninetyX) ++totals->ninetyXCases;

    // The clean run on the other family first: where the case copies old
    // data, the NT run reads it at positions, and the 9x run must do without.
    {
        runner.system = ninetyX ? kNtSystem : k9xSystem;
        FaultyOs other(BaseOs());
        RunOutcome clean = runner.Run(other);
        ASSERT_EQ(clean.result, runner.generated.expected) << "on the other family";
        ASSERT_TRUE(runner.Judge("clean run on the other family", clean, {}, false))
            << runner.failures.front();
        runner.system = ninetyX ? k9xSystem : kNtSystem;
        if (ninetyX && other.PositionedReads() != 0) ++totals->copyingCases;
    }

    // The clean run: it ends as the case says (it succeeds but for a package
    // that names a file twice), and it tells how many calls there are.
    // Only the run's own calls count: those of a failing run's restore are
    // the restore faults' below.
    FaultyOs counter(BaseOs());
    uint64_t fileCalls = 0;
    uint64_t allCalls = 0;
    RunOutcome clean = runner.Run(counter, [&](WholeRun& run) {
        run.beforeEndCode = [&] {
            fileCalls = counter.CountOf(kinds);
            for (int k = 0; k < static_cast<int>(OsCall::kCount); ++k)
                allCalls += counter.Count(static_cast<OsCall>(k));
        };
    });
    ASSERT_EQ(clean.result, runner.generated.expected);
    ASSERT_TRUE(runner.Judge("clean run", clean, {}, false)) << runner.failures.front();
    if (!ninetyX && counter.PositionedReads() != 0) ++totals->copyingCases;

    // The Nth file call fails, for every N. The run with the most changes to
    // undo is kept for the faults of the restore.
    uint64_t mostChanged = 0;
    size_t mostChangedCount = 0;
    for (uint64_t n = 1; n <= fileCalls; ++n) {
        FaultyOs faulty(BaseOs());
        faulty.FailNthOf(kinds, n);
        RunOutcome outcome = runner.Run(faulty);
        const std::string what =
            "call " + std::to_string(n) + " (" + OsCallName(faulty.FiredKind()) + ")";
        if (!faulty.Fired()) {
            runner.Fail(what, "the fault was never met");
            continue;
        }
        ++totals->faultRuns;
        if (!runner.Judge(what, outcome, CodesOf().at(faulty.FiredKind()),
                          faulty.FiredKind() == OsCall::kSetTime)) {
            ++totals->lost;
        }
        if (outcome.result != kResultOk && outcome.changedFiles.size() > mostChangedCount) {
            mostChangedCount = outcome.changedFiles.size();
            mostChanged = n;
        }
    }

    // The Nth block of memory cannot be had, for every N: any error code
    // will do, but the trees must be right.
    const std::vector<OsCall> memory = {OsCall::kHeapAlloc, OsCall::kGlobalAlloc};
    const uint64_t allocations = counter.CountOf(memory);
    std::set<Result> anyError;
    for (Result code = kErrorOpenPackage; code <= kErrorAddExists; ++code) anyError.insert(code);
    for (uint64_t n = 1; n <= allocations; ++n) {
        FaultyOs faulty(BaseOs());
        faulty.FailNthOf(memory, n);
        RunOutcome outcome = runner.Run(faulty);
        if (!faulty.Fired()) continue;
        ++totals->memoryRuns;
        if (!runner.Judge("allocation " + std::to_string(n), outcome, anyError, false))
            ++totals->lost;
    }

    // A full disk after each of a spread of byte counts.
    uint64_t written = 0;
    for (const auto& e : runner.generated.package.updates) {
        auto it = runner.generated.newTree.find(e.name);
        if (it != runner.generated.newTree.end()) written += it->second.contents.size();
    }
    for (const auto& e : runner.generated.package.adds) written += e.contents.size();
    for (int step = 0; step <= 8; ++step) {
        // The last one leaves a byte too few.
        const uint64_t space = step == 8 && written > 0 ? written - 1 : written * step / 8;
        FaultyOs faulty(BaseOs());
        faulty.SetDiskSpace(space);
        RunOutcome outcome = runner.Run(faulty);
        ++totals->diskRuns;
        if (!runner.Judge("disk of " + std::to_string(space) + " bytes", outcome,
                          {kErrorNewFileWrite}, false)) {
            ++totals->lost;
        }
    }

    // Cancel after every call of any kind, and after every notification.
    for (uint64_t k = 1; k <= allCalls; ++k) {
        FaultyOs faulty(BaseOs());
        uint64_t seen = 0;
        UpdaterState* state = nullptr;
        faulty.onCall = [&](OsCall) {
            if (++seen == k && state != nullptr) RequestCancel(*state);
        };
        RunOutcome outcome = runner.Run(faulty, [&](WholeRun& run) { state = &run.state(); });
        ++totals->cancelRuns;
        if (!runner.Judge("cancel after call " + std::to_string(k), outcome, {kResultCancelled},
                          false)) {
            ++totals->lost;
        }
    }
    for (size_t k = 1;; ++k) {
        FaultyOs faulty(BaseOs());
        bool reached = false;
        RunOutcome outcome = runner.Run(faulty, [&](WholeRun& run) {
            UpdaterState* state = &run.state();
            run.sink().onSend = [&reached, state, k,
                                 count = size_t{0}](const Notification&) mutable {
                if (++count == k) {
                    RequestCancel(*state);
                    reached = true;
                }
            };
        });
        if (!reached) break;
        ++totals->cancelRuns;
        if (!runner.Judge("cancel after notification " + std::to_string(k), outcome,
                          {kResultCancelled}, false)) {
            ++totals->lost;
        }
    }

    // Faults met by the restore: the run with the most changes to undo, and
    // in its restore the Mth file call fails, for every M.
    if (mostChanged != 0) {
        for (uint64_t m = 1;; ++m) {
            FaultyOs faulty(BaseOs());
            faulty.FailNthOf(kinds, mostChanged);
            RunOutcome outcome = runner.Run(faulty, [&](WholeRun& run) {
                run.beforeEndCode = [&faulty, &kinds, m] { faulty.FailNthOf(kinds, m); };
            });
            if (!faulty.Fired()) break;  // the restore makes fewer than M calls
            ++totals->restoreFaultRuns;
            ++runner.runs;
            // Nothing lost: every old file under its own name or its backup's.
            TreeState after = FoldedTree(ReadTreeState(runner.target));
            const std::string what =
                "restore call " + std::to_string(m) + " (" + OsCallName(faulty.FiredKind()) + ")";
            bool kept = true;
            for (const auto& [name, file] : FoldedTree(runner.generated.oldTree)) {
                auto own = after.find(name);
                auto backup =
                    after.find(FoldedName(BackupNameOf(name, runner.generated.package.oldVersion)));
                if ((own == after.end() || own->second.contents != file.contents) &&
                    (backup == after.end() || backup->second.contents != file.contents)) {
                    runner.Fail(what, "lost the old contents of " + name);
                    kept = false;
                }
            }
            if (!kept) ++totals->lost;
        }
    }

    // Crashes: the run stops dead at a call, with no rollback. The calls of
    // a clean run and of the deletion of its backups, and of the run with the
    // most changes to undo failing and its restore.
    CrashStates crash{runner.generated, 0, {}, {}};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && mostChanged == 0) break;
        runner.Reset();
        FaultyOs faulty(BaseOs());
        faulty.KeepTimesAsFat(runner.generated.fatTimes);
        faulty.ReportVersion(runner.system);
        if (pass == 1) faulty.FailNthOf(kinds, mostChanged);
        crash.Watch(faulty, runner.target);
        {
            WholeRun run;
            ScopedOs use(faulty);
            RunOutcome outcome = run.Run(runner.updater);
            if (outcome.result == kResultOk) DeleteBackupFiles(run.state());
        }
        faulty.beforeCall = nullptr;
        crash.Take(runner.target);
    }
    totals->crashPoints += crash.points;
    totals->crashStates += crash.states.size();
    for (size_t i = 0; i < crash.states.size(); ++i) {
        const Recovered recovered = RecoverCrashedFolder(runner, crash.states[i]);
        if (recovered.kept) ++totals->keptFolders;
        if (!recovered.problem.empty()) {
            ++totals->unrecoverable;
            runner.Fail("crash state " + std::to_string(i), recovered.problem);
        }
    }

    EXPECT_TRUE(runner.failures.empty()) << [&] {
        std::string all;
        for (const auto& f : runner.failures) all += "\n  " + f;
        return all;
    }();
    RemovePath(runner.folder);
}

TEST(FaultPropertyTest, EveryFaultAndCancelEndsWithTheNewTreeOrTheOldOne) {
    if (Posix() == nullptr) GTEST_SKIP() << "faults go through the POSIX side of the seam";
    const int cases = static_cast<int>(EnvNumber("KZP_FAULT_CASES", 24));
    std::mt19937 random(static_cast<uint32_t>(EnvNumber("KZP_FAULT_SEED", 7)));
    CaseLimits limits;
    Totals totals;
    for (int i = 0; i < cases; ++i) {
        RunCase(i, random, limits, &totals);
        if (HasFatalFailure()) return;
    }
    std::printf(
        "fault runs %llu, full-disk runs %llu, allocation-fault runs %llu, cancel runs %llu, "
        "restore-fault runs %llu, runs that lost anything %llu\n"
        "crash points %llu, crashed folders of distinct shapes %llu, recovered with files kept "
        "%llu, that lost or stranded anything %llu\n"
        "cases on the 9x family %llu, cases that copy old data (run on both families) %llu\n",
        static_cast<unsigned long long>(totals.faultRuns),
        static_cast<unsigned long long>(totals.diskRuns),
        static_cast<unsigned long long>(totals.memoryRuns),
        static_cast<unsigned long long>(totals.cancelRuns),
        static_cast<unsigned long long>(totals.restoreFaultRuns),
        static_cast<unsigned long long>(totals.lost),
        static_cast<unsigned long long>(totals.crashPoints),
        static_cast<unsigned long long>(totals.crashStates),
        static_cast<unsigned long long>(totals.keptFolders),
        static_cast<unsigned long long>(totals.unrecoverable),
        static_cast<unsigned long long>(totals.ninetyXCases),
        static_cast<unsigned long long>(totals.copyingCases));
    EXPECT_EQ(totals.lost, 0u);
    EXPECT_EQ(totals.unrecoverable, 0u);
    // Without copies the 9x runs would prove nothing about old-file reads.
    EXPECT_GT(totals.copyingCases, 0u);
}

}  // namespace
}  // namespace kzp::test

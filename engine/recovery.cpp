#include "engine/recovery.h"

#include <new>

#include "engine/entry_evidence.h"
#include "engine/file_history.h"
#include "engine/file_operations.h"
#include "engine/target_folder.h"
#include "package/package_layout.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/text.h"

namespace kzp {

namespace {

// What recovery learns of one entry's two places.
struct Examined {
    bool pathFormed;
    bool examined;
    FileFacts file;
    FileFacts backup;
    Evidence atName;
    Evidence atBackup;
};

// A hash that names Windows takes for one file share: letters of ASCII
// folded, every other character (which may fold in ways a hash cannot
// follow) counted by its bytes only. Names with different hashes never name
// one file; names with equal ones are compared by the system.
uint32_t NameShape(const char* name, uint32_t codePage) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; name[i] != 0;) {
        const size_t step = CharacterLength(name + i, codePage);
        uint8_t c = static_cast<uint8_t>(name[i]);
        if (step == 2 || c >= 0x80) c = 0x80;
        if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
        if (c == '/') c = '\\';
        for (size_t k = 0; k < step; ++k) hash = (hash ^ c) * 16777619u;
        i += step;
    }
    return hash;
}

uint8_t IgnoreFlag(const UpdaterState& state, EntryKind kind) {
    return kind == EntryKind::kUpdate ? state.ignoreMissingUpdate : state.ignoreMissingDelete;
}

bool BuildPaths(const UpdaterState& state, const FileEntry& entry, char* fullPath,
                char* backupPath) {
    return BuildFullPath(state, entry.name, fullPath) &&
           BuildBackupPath(fullPath, state.oldVersion, backupPath);
}

// Reads and judges an entry's two places as they stand now.
bool ExamineEntry(const EvidenceSource& source, const UpdaterState& state, const EntryRecovery& e,
                  Examined* out) {
    *out = Examined{};
    char fullPath[kMaxPath];
    char backupPath[kMaxPath];
    out->pathFormed = BuildPaths(state, *e.entry, fullPath, backupPath);
    out->examined = out->pathFormed && ReadFileFacts(fullPath, &out->file) &&
                    ReadFileFacts(backupPath, &out->backup) &&
                    JudgeEntryFiles(source, e.kind, *e.entry, e.listIndex, fullPath, backupPath,
                                    out->file, out->backup, &out->atName, &out->atBackup);
    return out->examined;
}

FileMember MemberOf(const UpdaterState& state, const EntryRecovery& e, const Examined& x) {
    FileMember m = {};
    m.kind = e.kind;
    m.skipsMissing = e.kind != EntryKind::kAdd && IgnoreFlag(state, e.kind) == 1;
    m.overwrites = e.kind == EntryKind::kAdd && state.overwriteOnAdd == 1;
    m.allowsFile = e.kind != EntryKind::kAdd || state.overwriteOnAdd != 0;
    m.atName = x.atName;
    m.atBackup = x.atBackup;
    return m;
}

// The entries that name the same file as entry `leader` (itself first), in
// the order the run applies them; false when there are too many to judge.
bool CollectMembers(const RecoveryPlan& plan, uint32_t leader, uint32_t* positions,
                    uint32_t* count) {
    *count = 0;
    for (uint32_t p = leader; p < plan.count; ++p) {
        if (plan.entries[p].sameFileAs != leader) continue;
        if (*count == kMaxSameFile) return false;
        positions[(*count)++] = p;
    }
    return true;
}

// Matches the places of the file that entry `leader` names with the run's
// states, from what `examined` holds for each of its entries.
FileMatch MatchGroup(const UpdaterState& state, const RecoveryPlan& plan, const uint32_t* members,
                     uint32_t count, const Examined* examined, bool withCleanUp) {
    FileMember view[kMaxSameFile];
    for (uint32_t i = 0; i < count; ++i)
        view[i] = MemberOf(state, plan.entries[members[i]], examined[i]);
    return MatchFileHistory(view, count, examined[0].file.present, examined[0].backup.present,
                            withCleanUp);
}

FoundFile NameFinding(const EntryRecovery& e, const Examined& x) {
    if (!x.file.present) return FoundFile::kMissing;
    const Evidence& ev = x.atName;
    if (ev.whole == Match::kYes) return FoundFile::kNewVersion;
    if (e.kind != EntryKind::kAdd && ev.old == Match::kYes) return FoundFile::kOldVersion;
    if (e.kind == EntryKind::kAdd && ev.part == Match::kYes) return FoundFile::kWrittenByRun;
    if (e.kind == EntryKind::kUpdate && x.atBackup.old == Match::kYes && !e.backupForeign)
        return FoundFile::kWrittenByRun;
    return ev.whole == Match::kMaybe ? FoundFile::kUnchecked : FoundFile::kOther;
}

FoundFile BackupFinding(const EntryRecovery& e, const Examined& x) {
    if (!x.backup.present) return FoundFile::kMissing;
    if (e.backupForeign) return FoundFile::kOther;
    if (e.kind != EntryKind::kAdd)
        return x.atBackup.old == Match::kYes ? FoundFile::kOldVersion : FoundFile::kOther;
    if (x.atBackup.whole == Match::kYes) return FoundFile::kNewVersion;
    return x.atBackup.part == Match::kYes ? FoundFile::kWrittenByRun : FoundFile::kReplaced;
}

// Whether the check before the run would pass for the entry as it stands.
bool PassesCheck(const UpdaterState& state, const EntryRecovery& e, const Examined& x) {
    if (e.kind == EntryKind::kAdd) return !x.file.present || state.overwriteOnAdd != 0;
    if (!x.file.present) return IgnoreFlag(state, e.kind) == 1;
    return x.atName.old == Match::kYes;
}

// Neither place holds the entry's old file, where it had one to lose.
bool OldFileGone(const UpdaterState& state, const EntryRecovery& e, const Examined& x) {
    if (e.kind == EntryKind::kAdd) return false;
    if (!x.file.present && !x.backup.present && IgnoreFlag(state, e.kind) == 1) return false;
    return x.atName.old != Match::kYes && (e.backupForeign || x.atBackup.old != Match::kYes);
}

// Judges every file the package names: each entry's places read, entries of
// one file grouped and matched together.
void ExamineEntries(const EvidenceSource& source, UpdaterState& state, RecoveryPlan* plan,
                    Examined* examined, uint32_t* shapes) {
    Os& os = TheOs();
    const uint32_t codePage = os.GetAnsiCodePage();
    for (uint32_t p = 0; p < plan->count; ++p) {
        EntryRecovery& e = plan->entries[p];
        shapes[p] = NameShape(e.entry->name, codePage);
        e.sameFileAs = p;
        for (uint32_t q = 0; q < p; ++q) {
            if (shapes[q] == shapes[p] &&
                os.SameFileName(plan->entries[q].entry->name, e.entry->name)) {
                e.sameFileAs = plan->entries[q].sameFileAs;
                break;
            }
        }
        ExamineEntry(source, state, e, &examined[p]);
    }
    for (uint32_t leader = 0; leader < plan->count; ++leader) {
        if (plan->entries[leader].sameFileAs != leader) continue;
        uint32_t members[kMaxSameFile];
        uint32_t count = 0;
        bool judged = CollectMembers(*plan, leader, members, &count);
        Examined view[kMaxSameFile];
        bool formed = true;
        for (uint32_t i = 0; judged && i < count; ++i) {
            judged = examined[members[i]].examined;
            formed = formed && examined[members[i]].pathFormed;
            view[i] = examined[members[i]];
        }
        // Too many entries for one file, or one that cannot be read: none of
        // them is judged, and each may be anything.
        const FileMatch match =
            judged ? MatchGroup(state, *plan, members, count, view, true) : FileMatch{};
        for (uint32_t p = leader; p < plan->count; ++p) {
            EntryRecovery& e = plan->entries[p];
            if (e.sameFileAs != leader) continue;
            if (!judged) {
                // A file that cannot be read may be in any state. One whose
                // path cannot be formed the run never touched: it stopped there.
                e.step = RecoveryStep::kUnexamined;
                e.phases = EntryPhases{true, formed, formed};
                e.mayBeCleaned = formed;
                continue;
            }
            uint32_t i = 0;
            while (members[i] != p) ++i;
            e.phases = EntryPhases{(match.phases[i] & kPhaseBefore) != 0,
                                   (match.phases[i] & (kPhaseDuring | kPhaseAfter)) != 0,
                                   (match.phases[i] & kPhaseAfter) != 0};
            e.mayBeCleaned = (match.phases[i] & kPhaseCleaned) != 0;
            e.backupForeign = match.backupForeign;
            e.file = NameFinding(e, examined[p]);
            e.backup = BackupFinding(e, examined[p]);
        }
    }
}

// Whether the folder is as a finished run leaves it: every entry finished,
// the clean-up (which deletes the backups from the first entry on) stopped
// anywhere.
bool MayBeComplete(const RecoveryPlan& plan) {
    uint32_t cleaned = 0;  // entries from the first on that may be cleaned up
    while (cleaned < plan.count && plan.entries[cleaned].mayBeCleaned) ++cleaned;
    for (uint32_t p = plan.count; p-- > 0;) {
        if (!plan.entries[p].phases.after) return p < cleaned;
    }
    return true;
}

// The step for an entry of a folder that is not complete, from whether some
// explanation leaves it untouched (`before`) and some has the run touch it.
RecoveryStep StepFor(FolderVerdict verdict, bool before, bool touched, const EntryRecovery& e,
                     const Examined& x) {
    if (verdict == FolderVerdict::kUntouched) {
        // Nothing is undone; a file that a run may have written is named.
        return touched && x.file.present ? RecoveryStep::kKept : RecoveryStep::kLeave;
    }
    // A file that one explanation has the run write and another not: kept.
    // (Where neither place holds a file, both come to the same.)
    if (before && touched)
        return x.file.present || x.backup.present ? RecoveryStep::kKept : RecoveryStep::kLeave;
    if (before) return RecoveryStep::kLeave;
    if (!touched) return RecoveryStep::kKept;
    return e.kind == EntryKind::kAdd && !x.backup.present ? RecoveryStep::kRemoveFile
                                                          : RecoveryStep::kRestoreBackup;
}

// Judges the folder as a whole and plans each entry's step.
void PlanSteps(UpdaterState& state, RecoveryPlan* plan, const Examined* examined,
               EntryPhases* phases, EntryExplanation* explained, uint32_t* work) {
    bool allBefore = true;
    bool undecidable = false;  // an old file that may as well be the new one
    bool unexplained = false;  // an entry that no state of the run fits
    bool traces = false;       // what only a run leaves
    bool failsCheck = false;   // the check before the run would stop it
    for (uint32_t p = 0; p < plan->count; ++p) {
        const EntryRecovery& e = plan->entries[p];
        phases[p] = e.phases;
        allBefore = allBefore && e.phases.before;
        if (e.step == RecoveryStep::kUnexamined) continue;
        undecidable =
            undecidable || (e.kind == EntryKind::kUpdate && examined[p].atName.old == Match::kYes &&
                            examined[p].atName.whole == Match::kMaybe);
        const bool fits = e.phases.before || e.phases.touched || e.mayBeCleaned;
        unexplained = unexplained || !fits;
        // A backup of this run's, or part of an add's data: only a run makes them.
        traces = traces || (fits && examined[p].backup.present && !e.backupForeign) ||
                 examined[p].atName.runsOwn;
        failsCheck = failsCheck || !PassesCheck(state, e, examined[p]);
    }
    const bool complete = MayBeComplete(*plan);
    const bool progress = ExplainProgress(phases, plan->count, explained, work);
    // A folder that may be untouched as well as complete is complete where
    // the two come to the same (files the run may have skipped as missing,
    // an add's file the user may have had already). Where the package cannot
    // tell an old file from the new one (time and size alone, and no record),
    // it is left as it is, the files named: running the updater again over a
    // new file taken for the old one would spoil it. A folder the check would
    // refuse, with nothing that only a run leaves, may be one the run never
    // started on.
    if (allBefore && (!complete || undecidable))
        plan->verdict = FolderVerdict::kUntouched;
    else if (complete)
        plan->verdict = FolderVerdict::kComplete;
    else if (!traces && failsCheck)
        plan->verdict = FolderVerdict::kUntouched;
    else
        plan->verdict = FolderVerdict::kInterrupted;
    plan->explained = progress && !unexplained;
    for (uint32_t p = 0; p < plan->count; ++p) {
        EntryRecovery& e = plan->entries[p];
        if (progress) e.explained = explained[p];
        if (e.step == RecoveryStep::kUnexamined) continue;
        if (plan->verdict == FolderVerdict::kComplete) {
            e.step = RecoveryStep::kLeave;
            continue;
        }
        // Without an explanation of the whole folder, each entry is judged
        // by its own file alone.
        const bool before = plan->explained ? explained[p].mayBeBefore : e.phases.before;
        bool touched = progress ? explained[p].mayBeTouched : e.phases.touched;
        if (plan->verdict == FolderVerdict::kUntouched && complete)
            touched = touched || e.mayBeCleaned;
        e.step = StepFor(plan->verdict, before, touched, e, examined[p]);
        if (!e.phases.before && !e.phases.touched && plan->verdict != FolderVerdict::kUntouched)
            e.step = RecoveryStep::kKept;
        if ((e.step == RecoveryStep::kLeave || e.step == RecoveryStep::kKept) &&
            OldFileGone(state, e, examined[p]))
            e.step = RecoveryStep::kLost;
    }
    // One file named by several entries is one decision: a doubt about one
    // of them holds for the file.
    for (uint32_t p = 0; p < plan->count; ++p) {
        if (plan->entries[p].step != RecoveryStep::kKept) continue;
        for (uint32_t q = 0; q < plan->count; ++q) {
            EntryRecovery& other = plan->entries[q];
            if (other.sameFileAs == plan->entries[p].sameFileAs &&
                (other.step == RecoveryStep::kRestoreBackup ||
                 other.step == RecoveryStep::kRemoveFile))
                other.step = RecoveryStep::kKept;
        }
    }
}

// Brings back the file that the entries from `leader` on name, judged as it
// stands now. Returns the step taken.
RecoveryStep RestoreFile(const EvidenceSource& source, UpdaterState& state, RecoveryPlan* plan,
                         uint32_t leader, bool* failed) {
    *failed = false;
    uint32_t members[kMaxSameFile];
    uint32_t count = 0;
    if (!CollectMembers(*plan, leader, members, &count)) return RecoveryStep::kUnexamined;
    Examined examined[kMaxSameFile];
    for (uint32_t i = 0; i < count; ++i) {
        if (!ExamineEntry(source, state, plan->entries[members[i]], &examined[i]))
            return RecoveryStep::kUnexamined;
    }
    // Only an interrupted folder is restored: no clean-up ever ran on it.
    const FileMatch match = MatchGroup(state, *plan, members, count, examined, false);
    const EntryRecovery& e = plan->entries[leader];
    char fullPath[kMaxPath];
    char backupPath[kMaxPath];
    if (!BuildPaths(state, *e.entry, fullPath, backupPath)) return RecoveryStep::kUnexamined;
    const bool namePresent = examined[0].file.present;
    Os& os = TheOs();
    if (match.backupIsFileBefore) {
        // The backup holds what stood at the name: what the run put there
        // makes way for it.
        if (namePresent && !match.nameIsRuns) return RecoveryStep::kKept;
        *failed = (namePresent && !os.RemoveFile(fullPath)) ||
                  !os.MoveFileNoReplace(backupPath, fullPath);
        return RecoveryStep::kRestoreBackup;
    }
    if (match.backupIsRuns) return RecoveryStep::kKept;
    if (namePresent && match.nameIsRuns && match.nameStartedEmpty) {
        *failed = !os.RemoveFile(fullPath);
        return RecoveryStep::kRemoveFile;
    }
    return OldFileGone(state, e, examined[0]) ? RecoveryStep::kLost : RecoveryStep::kLeave;
}

// Reads the package up to its lists and its recovery record.
Result ReadPackage(PackageFile& package, UpdaterState& state, RecoveryPlan* plan) {
    // The folder is the caller's; the pass must not replace it.
    char folder[kMaxPath];
    CopyText(folder, kMaxPath, state.targetFolder);
    BaseFolderTable folders;
    BuildBaseFolderTable(kNoWindow, &folders);
    Result result = RunForwardPass(package, state, folders, PassMode::kFolderGiven, &plan->pass);
    CopyText(state.targetFolder, kMaxPath, folder);
    // No window shows the package's texts.
    ReleasePackageFont();
    if (result != kResultOk) return result;
    const ListHeader& lists = plan->pass.lists;
    const uint32_t trailerStart = kPackageOffset + plan->pass.packageLength - kTrailerSize;
    plan->hasRecord = ReadRecoveryRecord(package, trailerStart, lists.updateCount, lists.addCount,
                                         state.heap, &plan->record);
    return kResultOk;
}

// The plan's entries in the order the run applies them.
bool ListEntries(UpdaterState& state, RecoveryPlan* plan) {
    const EntryKind kinds[3] = {EntryKind::kUpdate, EntryKind::kAdd, EntryKind::kDelete};
    plan->count = static_cast<uint32_t>(EntryCount(plan->pass.entries[0]) +
                                        EntryCount(plan->pass.entries[1]) +
                                        EntryCount(plan->pass.entries[2]));
    plan->entries = static_cast<EntryRecovery*>(
        TheOs().HeapAllocZero(state.heap, sizeof(EntryRecovery) * (plan->count + 1)));
    if (plan->entries == nullptr) return false;
    uint32_t position = 0;
    for (int l = 0; l < 3; ++l) {
        for (int32_t i = 0; i < EntryCount(plan->pass.entries[l]); ++i, ++position) {
            EntryRecovery& e = plan->entries[position];
            e.kind = kinds[l];
            e.entry = &EntryAt(plan->pass.entries[l], i);
            e.listIndex = static_cast<uint32_t>(i);
        }
    }
    return true;
}

EvidenceSource SourceOf(PackageFile& package, UpdaterState& state, const RecoveryPlan& plan) {
    return EvidenceSource{package, state, plan.pass.lists.verifyMode,
                          plan.hasRecord ? &plan.record : nullptr};
}

// Scratch memory for examining the folder, all from the state's heap.
struct Scratch {
    OwnedHeapBlock examined;
    OwnedHeapBlock shapes;
    OwnedHeapBlock phases;
    OwnedHeapBlock explained;
    OwnedHeapBlock work;
    Scratch(HeapHandle heap, uint32_t count)
        : examined(heap, sizeof(Examined) * (count + 1)),
          shapes(heap, sizeof(uint32_t) * (count + 1)),
          phases(heap, sizeof(EntryPhases) * (count + 1)),
          explained(heap, sizeof(EntryExplanation) * (count + 1)),
          work(heap, sizeof(uint32_t) * ExplainProgressWorkSize(count)) {}
    bool Ok() const {
        return examined.Get() != nullptr && shapes.Get() != nullptr && phases.Get() != nullptr &&
               explained.Get() != nullptr && work.Get() != nullptr;
    }
};

}  // namespace

Result ExamineFolder(UpdaterState& state, RecoveryPlan* plan) {
    *plan = RecoveryPlan{};
    PrepareForwardPass(&plan->pass);
    OwnedFile file(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    if (!file.IsOpen()) return kErrorOpenPackage;
    // Freed before the package file is closed.
    OwnedHeapBlock memory(state.heap, sizeof(PackageFile));
    if (memory.Get() == nullptr) return kErrorReadPackage;
    PackageFile& package = *new (memory.Get()) PackageFile(file.Get());
    Result result = ReadPackage(package, state, plan);
    if (result != kResultOk) return result;
    if (!ListEntries(state, plan)) return kErrorReadPackage;
    Scratch scratch(state.heap, plan->count);
    if (!scratch.Ok()) return kErrorReadPackage;
    Examined* examined = static_cast<Examined*>(scratch.examined.Get());
    ExamineEntries(SourceOf(package, state, *plan), state, plan, examined,
                   static_cast<uint32_t*>(scratch.shapes.Get()));
    PlanSteps(state, plan, examined, static_cast<EntryPhases*>(scratch.phases.Get()),
              static_cast<EntryExplanation*>(scratch.explained.Get()),
              static_cast<uint32_t*>(scratch.work.Get()));
    return kResultOk;
}

RecoveryOutcome RecoverFolder(UpdaterState& state, RecoveryPlan* plan) {
    RecoveryOutcome outcome = {};
    OwnedFile file(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    OwnedHeapBlock memory(state.heap, sizeof(PackageFile));
    const bool readable = file.IsOpen() && memory.Get() != nullptr;
    PackageFile* package = readable ? new (memory.Get()) PackageFile(file.Get()) : nullptr;
    auto acts = [](const EntryRecovery& e) {
        return e.step == RecoveryStep::kRestoreBackup || e.step == RecoveryStep::kRemoveFile;
    };
    // Last entry first, as the rollback undoes the run.
    for (uint32_t p = plan->count; p-- > 0;) {
        EntryRecovery& e = plan->entries[p];
        if (acts(e)) {
            // Once for all entries of the file, judged again as it stands now.
            e.step = readable ? RestoreFile(SourceOf(*package, state, *plan), state, plan,
                                            e.sameFileAs, &e.failed)
                              : RecoveryStep::kUnexamined;
            for (uint32_t q = 0; q < p; ++q) {
                EntryRecovery& other = plan->entries[q];
                if (other.sameFileAs == e.sameFileAs && acts(other))
                    other.step = RecoveryStep::kDoneByOther;
            }
        }
        if (e.step == RecoveryStep::kKept) ++outcome.kept;
        if (e.failed || e.step == RecoveryStep::kLost || e.step == RecoveryStep::kUnexamined)
            ++outcome.notBack;
    }
    return outcome;
}

void ReleaseRecoveryPlan(UpdaterState& state, RecoveryPlan* plan) {
    ReleaseForwardPass(state, &plan->pass);
    if (plan->entries != nullptr) TheOs().HeapFree(state.heap, plan->entries);
    plan->entries = nullptr;
    if (plan->hasRecord) ReleaseRecoveryRecord(state.heap, &plan->record);
}

}  // namespace kzp

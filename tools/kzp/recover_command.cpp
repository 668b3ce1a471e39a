#include "tools/kzp/recover_command.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "app/updater_state.h"
#include "engine/recovery.h"
#include "engine/status_notification.h"
#include "support/text.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/exit_codes.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;

// The run's notifications are not shown: the report says what was found.
class QuietSink : public StatusSink {
  public:
    void Send(uint32_t, intptr_t) override {}
    void Post(uint32_t, intptr_t) override {}
};

const char* KindName(EntryKind kind) {
    switch (kind) {
        case EntryKind::kUpdate:
            return "update";
        case EntryKind::kAdd:
            return "add   ";
        case EntryKind::kDelete:
            return "delete";
    }
    return "";
}

const char* FoundName(FoundFile found) {
    switch (found) {
        case FoundFile::kMissing:
            return "missing";
        case FoundFile::kOldVersion:
            return "old version";
        case FoundFile::kNewVersion:
            return "new version";
        case FoundFile::kWrittenByRun:
            return "partly written";
        case FoundFile::kReplaced:
            return "the file the add replaced";
        case FoundFile::kUnchecked:
            return "not the old version (nothing to check it against the new one)";
        case FoundFile::kOther:
            return "other contents";
    }
    return "";
}

std::string StepText(const EntryRecovery& e, bool dryRun) {
    if (e.failed)
        return "  -> FAILED: " + std::string(e.step == RecoveryStep::kRestoreBackup
                                                 ? "the backup could not be moved back"
                                                 : "the file could not be removed");
    switch (e.step) {
        case RecoveryStep::kLeave:
            return "";
        case RecoveryStep::kRestoreBackup:
            return dryRun ? "  -> would restore the backup" : "  -> backup restored";
        case RecoveryStep::kRemoveFile:
            return dryRun ? "  -> would remove the file" : "  -> file removed";
        case RecoveryStep::kKept:
            return "  -> KEPT: it may have been there before the run; check it by hand";
        case RecoveryStep::kLost:
            return "  -> CANNOT BE BROUGHT BACK: neither the old file nor its backup is there";
        case RecoveryStep::kUnexamined:
            return "  -> CANNOT BE EXAMINED: its path is too long or it cannot be read; left "
                   "alone";
        case RecoveryStep::kDoneByOther:
            return "  -> the same file as another entry, dealt with there";
    }
    return "";
}

std::string EntryLine(const UpdaterState& state, const EntryRecovery& e, bool dryRun) {
    const uint32_t codePage = state.codePage != 0 ? state.codePage : ansiCodePage;
    std::string line = std::string(KindName(e.kind)) + "  " + ForTerminal(e.entry->name, codePage);
    if (e.step != RecoveryStep::kUnexamined) {
        line += std::string("  file: ") + FoundName(e.file);
        if (e.backup != FoundFile::kMissing) {
            line += ", backup: ";
            line += e.backupForeign ? "from another update (left alone)" : FoundName(e.backup);
        }
    }
    return line + StepText(e, dryRun);
}

bool Confirmed(std::ostream& out) {
    out << "Bring the folder back to the old version? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

}  // namespace

CLI::App* AddRecoverCommand(CLI::App& app, RecoverOptions& o) {
    CLI::App* recover = app.add_subcommand(
        "recover",
        "bring a folder that an interrupted run left half changed back to the old version");
    recover->add_option("file", o.file, "the updater file that was run")->required();
    recover->add_option("-t,--target", o.target, "the folder it was updating")->required();
    recover->add_flag("-n,--dry-run", o.dryRun, "report what was found and change nothing");
    recover->add_flag("-y,--yes", o.yes, "do not ask before changing the folder");
    recover->add_option("--code-page", o.codePage,
                        "the system code page the run assumed (default: the system's)");
    recover->footer(
        "Reports each entry's file and backup. A finished update and an untouched folder are left "
        "as they are; an interrupted one gets every backup moved back and what the run wrote "
        "removed, so that the updater can be run again. Contents decide, never times. A file that "
        "may have been there before the run is never deleted: it is kept and named. Exit codes: 0 "
        "the folder is complete, untouched or recovered; 1 bad options; 2 the updater cannot be "
        "read; 4 an entry cannot be brought back (its old file and backup are both gone) or "
        "cannot be examined, everything else was recovered; 5 not confirmed, nothing changed; 6 "
        "recovered, but files that may be the user's were kept and are named.");
    return recover;
}

int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err) {
    SetOs(&HostPlatform(options.codePage.value_or(0)));
    std::error_code ec;
    if (!fs::is_regular_file(HostPath(options.file), ec)) {
        err << "kzp recover: " << options.file << " is not a file\n";
        return kExitUnreadable;
    }
    if (!fs::is_directory(HostPath(options.target), ec)) {
        err << "kzp recover: " << options.target << " is not a folder\n";
        return kExitUsage;
    }
    const std::string packagePath = WindowsPathOf(options.file);
    std::string target = WindowsFolderOf(options.target);
    // An empty path (one Windows cannot name in full) must not become the
    // root of the drive.
    if (!target.empty() && target.back() != '\\') target += '\\';
    if (packagePath.empty() || target.empty() || packagePath.size() >= kMaxPath) {
        err << "kzp recover: the paths cannot be used (too long or outside every drive)\n";
        return kExitUsage;
    }

    std::unique_ptr<UpdaterState> holder(new UpdaterState);
    UpdaterState& state = *holder;
    InitUpdaterState(&state, HostInstance());
    QuietSink sink;
    state.sink = &sink;
    CopyText(state.packagePath, kMaxPath, packagePath.c_str());
    CopyText(state.targetFolder, kMaxPath, target.c_str());

    RecoveryPlan plan;
    const Result examined = ExamineFolder(state, &plan);
    int exitCode = kExitOk;
    if (examined != kResultOk) {
        err << "kzp recover: the updater's package cannot be read (result " << ResultText(examined)
            << ")\n";
        exitCode = kExitUnreadable;
    } else {
        if (!plan.hasRecord)
            out << "(the package has no recovery record: each update's new file is known by "
                   "rebuilding it from the old one)\n";
        bool changes = false;
        for (uint32_t i = 0; i < plan.count; ++i) {
            const RecoveryStep step = plan.entries[i].step;
            changes = changes || step == RecoveryStep::kRestoreBackup ||
                      step == RecoveryStep::kRemoveFile;
        }
        if (plan.verdict == FolderVerdict::kInterrupted && changes && !options.dryRun &&
            !options.yes) {
            for (uint32_t i = 0; i < plan.count; ++i)
                out << EntryLine(state, plan.entries[i], true) << "\n";
            if (!Confirmed(out)) {
                out << "kzp recover: nothing changed\n";
                ReleaseRecoveryPlan(state, &plan);
                ReleaseUpdaterState(&state);
                return kExitNotConfirmed;
            }
        }
        RecoveryOutcome outcome = {};
        if (plan.verdict == FolderVerdict::kInterrupted && !options.dryRun)
            outcome = RecoverFolder(state, &plan);
        for (uint32_t i = 0; i < plan.count; ++i) {
            const EntryRecovery& e = plan.entries[i];
            out << EntryLine(state, e, options.dryRun) << "\n";
            if (options.dryRun || plan.verdict != FolderVerdict::kInterrupted) {
                // Nothing was carried out: count what the plan says.
                if (e.step == RecoveryStep::kKept) ++outcome.kept;
                if (e.step == RecoveryStep::kLost || e.step == RecoveryStep::kUnexamined)
                    ++outcome.notBack;
            }
        }
        switch (plan.verdict) {
            case FolderVerdict::kComplete:
                out << "kzp recover: the update is complete; nothing changed\n";
                break;
            case FolderVerdict::kUntouched:
                out << "kzp recover: nothing to recover; the run changed nothing\n";
                break;
            case FolderVerdict::kInterrupted:
                if (options.dryRun)
                    out << "kzp recover: the update was interrupted; without --dry-run the folder "
                           "is brought back to the old version\n";
                else if (outcome.notBack == 0 && outcome.kept == 0)
                    out << "kzp recover: the folder holds the old version again; the updater can "
                           "be run again\n";
                else
                    out << "kzp recover: everything else was brought back to the old version\n";
                break;
        }
        if (!plan.explained)
            out << "kzp recover: the folder was also changed by something other than the run; "
                   "only what is certainly the run's was undone\n";
        if (outcome.notBack > 0) {
            out << "kzp recover: " << outcome.notBack
                << (outcome.notBack == 1 ? " entry" : " entries")
                << " could not be brought back or examined\n";
            exitCode = kExitNotRecovered;
        } else if (outcome.kept > 0) {
            out << "kzp recover: " << outcome.kept << (outcome.kept == 1 ? " file" : " files")
                << " kept: each may have been there before the run (see above)\n";
            exitCode = kExitKept;
        }
    }
    ReleaseRecoveryPlan(state, &plan);
    ReleaseUpdaterState(&state);
    return exitCode;
}

}  // namespace kzp::tool

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
        case FoundFile::kOther:
            return "other contents";
    }
    return "";
}

std::string StepText(const EntryRecovery& e, bool dryRun) {
    std::string text;
    switch (e.step) {
        case RecoveryStep::kLeave:
            return "";
        case RecoveryStep::kRestoreBackup:
            text = dryRun ? "would restore the backup" : "backup restored";
            break;
        case RecoveryStep::kRemoveFile:
            text = dryRun ? "would remove the file" : "file removed";
            break;
        case RecoveryStep::kLost:
            return "  CANNOT BE BROUGHT BACK: neither the old file nor its backup is there";
    }
    if (e.failed)
        text = "FAILED: " + std::string(e.step == RecoveryStep::kRestoreBackup
                                            ? "the backup could not be moved back"
                                            : "the file could not be removed");
    return "  -> " + text;
}

std::string EntryLine(const UpdaterState& state, const EntryRecovery& e, bool dryRun) {
    const uint32_t codePage = state.codePage != 0 ? state.codePage : ansiCodePage;
    std::string line = std::string(KindName(e.kind)) + "  " + ForTerminal(e.entry->name, codePage) +
                       "  file: " + FoundName(e.file);
    if (e.backup == FoundFile::kOldVersion) line += ", backup: old version";
    if (e.backup == FoundFile::kOther) line += ", backup: from another update (left alone)";
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
        "removed, so that the updater can be run again. Exit codes: 0 the folder is complete, "
        "untouched or recovered; 1 bad options; 2 the updater or a file cannot be read; 4 an "
        "entry cannot be brought back (its old file and backup are both gone; everything else was "
        "restored); 5 not confirmed, nothing changed.");
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
        err << "kzp recover: "
            << (examined >= kErrorOldFileMissing && examined <= kErrorOldFileRead
                    ? "a file of the folder cannot be read"
                    : "the updater's package cannot be read")
            << " (result " << ResultText(examined) << ")\n";
        exitCode = kExitUnreadable;
    } else {
        if (!plan.hasRecord)
            out << "(the package has no recovery record: adds are judged by their contents)\n";
        bool changes = false;
        for (uint32_t i = 0; i < plan.count; ++i)
            changes = changes || plan.entries[i].step != RecoveryStep::kLeave;
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
        const uint32_t notBack = plan.verdict == FolderVerdict::kInterrupted && !options.dryRun
                                     ? RecoverFolder(state, &plan)
                                     : 0;
        uint32_t lost = 0;
        for (uint32_t i = 0; i < plan.count; ++i) {
            out << EntryLine(state, plan.entries[i], options.dryRun) << "\n";
            if (plan.entries[i].step == RecoveryStep::kLost) ++lost;
        }
        switch (plan.verdict) {
            case FolderVerdict::kComplete:
                out << "kzp recover: the update is complete; nothing changed\n";
                break;
            case FolderVerdict::kUntouched:
                out << "kzp recover: nothing to recover; the folder holds the old version\n";
                break;
            case FolderVerdict::kInterrupted:
                if (options.dryRun) {
                    out << "kzp recover: the update was interrupted; without --dry-run the folder "
                           "is brought back to the old version"
                        << (lost > 0 ? ", except what cannot be brought back" : "") << "\n";
                    if (lost > 0) exitCode = kExitNotRecovered;
                } else if (notBack == 0) {
                    out << "kzp recover: the folder holds the old version again; the updater can "
                           "be run again\n";
                } else {
                    out << "kzp recover: " << notBack << (notBack == 1 ? " entry" : " entries")
                        << " could not be brought back; everything else was\n";
                    exitCode = kExitNotRecovered;
                }
                break;
        }
    }
    ReleaseRecoveryPlan(state, &plan);
    ReleaseUpdaterState(&state);
    return exitCode;
}

}  // namespace kzp::tool

#include "tools/kzp/apply_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "app/catalogue.h"
#include "app/updater_state.h"
#include "engine/apply_thread.h"
#include "engine/forward_pass.h"
#include "engine/notification_view.h"
#include "engine/notify.h"
#include "engine/old_file_verification.h"
#include "engine/prompts.h"
#include "engine/rollback.h"
#include "engine/status_notification.h"
#include "engine/target_folder.h"
#include "package/compact_decoder.h"
#include "package/diff_decoder.h"
#include "package/package_layout.h"
#include "package/trailer.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/ptr_array.h"
#include "support/text.h"
#include "tools/kzp/console_os.h"
#include "tools/kzp/exit_codes.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;

std::atomic<UpdaterState*> interruptedState{nullptr};

void OnInterrupt() {
    UpdaterState* state = interruptedState.load();
    if (state != nullptr) RequestCancel(*state);
}

bool ReadLine(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

// The main window's part, on a console: log lines, progress, the check box.
class ConsoleView : public StatusSink {
  public:
    ConsoleView(UpdaterState& state, std::ostream& out, bool terminal, bool quiet,
                const std::string& target)
        : state_(state), out_(out), terminal_(terminal), quiet_(quiet), target_(target) {}

    void Send(uint32_t code, intptr_t value) override {
        if (code == SN_TARGET_FOLDER && !target_.empty()) {
            // The folder named on the command line, whatever the package's
            // method found; nothing has used the folder yet.
            CopyText(state_.targetFolder, kMaxPath, target_.c_str());
            AppendText(state_.targetFolder, kMaxPath, "\\");
        }
        if (code == SN_FILE_PROGRESS) {
            // Sent once per opcode: only a bar position, drawn on a terminal.
            fileBar_ = static_cast<int>(value);
            DrawProgress();
            return;
        }
        WindowActions actions;
        DescribeNotification(state_, code, value, &actions);
        Carry(actions);
    }

    void Post(uint32_t code, intptr_t value) override {
        postedCode_ = code;
        postedValue_ = value;
        posted_ = true;
    }

    // The posted end code, after the apply thread has ended.
    void Finish(std::optional<bool> deleteBackups) {
        // The box as the user would leave it before the window closes.
        if (deleteBackups) {
            checked_ = *deleteBackups;
            checkFixed_ = true;
        }
        if (posted_) {
            WindowActions actions;
            DescribeNotification(state_, postedCode_, postedValue_, &actions);
            Carry(actions);
        }
        state_.threadHandle = kNoThread;
        if (!closed_) {
            WindowActions actions;
            DescribeCancelCommand(state_, &actions);
            Carry(actions);
        }
        EndProgressLine();
    }

    bool Posted() const { return posted_; }
    uint32_t PostedCode() const { return postedCode_; }
    void Print(const std::string& line) {
        EndProgressLine();
        out_ << line << "\n";
        out_.flush();
    }
    // The code page of the texts the engine hands over.
    uint32_t TextCodePage() const { return state_.codePage != 0 ? state_.codePage : ansiCodePage; }
    std::string Show(const char* text) const {
        std::string s = text;
        // The detail prefix is written in code page 932.
        if (s.compare(0, 4, "\x81\x40\x81\x40") == 0 && TextCodePage() != 932)
            s.replace(0, 4, "  ");
        return ForTerminal(s, TextCodePage());
    }

  private:
    void Carry(const WindowActions& actions) {
        for (int i = 0; i < actions.count; ++i) {
            const WindowAction& a = actions.items[i];
            switch (a.kind) {
                case WindowActionKind::kLog:
                    if (!quiet_) Print(Show(a.text));
                    break;
                case WindowActionKind::kSetText:
                    if (a.control == kLabelStep) step_ = Show(a.text);
                    break;
                case WindowActionKind::kSetBar:
                    if (a.control == kBarFile) fileBar_ = static_cast<int>(a.value);
                    if (a.control == kBarOverall) {
                        overallBar_ = static_cast<int>(a.value);
                        if (!terminal_ && !quiet_) {
                            out_ << "progress " << overallBar_ / 10 << "." << overallBar_ % 10
                                 << "%\n";
                        }
                    }
                    DrawProgress();
                    break;
                case WindowActionKind::kEnable:
                    if (a.control == kCheckDeleteBackups) enabled_ = a.value != 0;
                    break;
                case WindowActionKind::kSetCheck:
                    if (a.control == kCheckDeleteBackups && !checkFixed_) checked_ = a.value == 1;
                    break;
                case WindowActionKind::kMarkFailed:
                    state_.failed = 1;
                    break;
                case WindowActionKind::kRestoreChangedFiles:
                    RestoreChangedFiles(state_);
                    break;
                case WindowActionKind::kDeleteBackupsIfChecked:
                    if (checked_) DeleteBackupFiles(state_);
                    break;
                case WindowActionKind::kDeleteBackupsIfEnabledAndChecked:
                    if (checked_ && enabled_) DeleteBackupFiles(state_);
                    break;
                case WindowActionKind::kRequestCancel:
                    RequestCancel(state_);
                    break;
                case WindowActionKind::kCloseWindow:
                    closed_ = true;
                    break;
                default:
                    break;
            }
        }
    }

    void DrawProgress() {
        if (!terminal_ || quiet_) return;
        const int key = fileBar_ * 1001 + overallBar_;
        if (key == lastDrawn_) return;
        lastDrawn_ = key;
        constexpr int kWidth = 24;
        const int filled = std::clamp(overallBar_, 0, 1000) * kWidth / 1000;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(kWidth, '.');
        char line[160];
        std::snprintf(line, sizeof(line), "\r\x1b[K[%s] %3d.%d%%  file %3d.%d%%  ", bar.c_str(),
                      overallBar_ / 10, overallBar_ % 10, fileBar_ / 10, fileBar_ % 10);
        out_ << line << step_.substr(0, 60);
        out_.flush();
        progressShown_ = true;
    }

    void EndProgressLine() {
        if (!progressShown_) return;
        out_ << "\r\x1b[K";
        out_.flush();
        progressShown_ = false;
        lastDrawn_ = -1;
    }

    UpdaterState& state_;
    std::ostream& out_;
    bool terminal_;
    bool quiet_;
    std::string target_;
    std::string step_;
    int fileBar_ = 0;
    int overallBar_ = 0;
    int lastDrawn_ = -1;
    bool progressShown_ = false;
    bool checked_ = true;
    bool checkFixed_ = false;  // set by --keep-backups or --delete-backups
    bool enabled_ = true;
    bool closed_ = false;
    bool posted_ = false;
    uint32_t postedCode_ = 0;
    intptr_t postedValue_ = 0;
};

// The prompts, answered on the console.
class ConsolePrompts : public Prompts {
  public:
    ConsolePrompts(ConsoleView& view, const ApplyOptions& options, const std::string& target)
        : view_(view), options_(options), target_(target) {}

    bool Confirm(UpdaterState&, const char* question, const char*) override {
        view_.Print(view_.Show(question));
        std::cout << "Apply the update? [y/N] " << std::flush;
        std::string answer;
        if (!ReadLine(&answer)) return false;
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
    }

    uint32_t PasswordDialog(UpdaterState& state) override {
        for (;;) {
            std::string typed;
            if (options_.passwordFromStdin) {
                if (!ReadLine(&typed)) return 1;
            } else {
                view_.Print(view_.Show(state.catalogue[kSlotPasswordPrompt]));
                EchoOff quiet;
                if (!ReadLine(&typed)) return 1;
                std::cout << "\n";
            }
            // The password is digested in the system's code page.
            std::optional<std::string> text = FromUtf8(typed, ansiCodePage);
            const std::string bytes = text ? *text : typed;
            if (bytes.size() < kMaxPath && CheckPassword(bytes.c_str(), state.passwordDigest))
                return 0;
            view_.Print(view_.Show(state.catalogue[kSlotPasswordMismatch]));
        }
    }

    uint32_t TargetFolderDialog(UpdaterState& state) override {
        if (!target_.empty()) {
            CopyText(state.targetFolder, kMaxPath, target_.c_str());
            return 0;
        }
        for (;;) {
            view_.Print(view_.Show(state.catalogue[kSlotFolderPrompt]));
            std::string typed;
            if (!ReadLine(&typed)) return 1;
            if (typed.empty()) {
                view_.Print(view_.Show(state.catalogue[kSlotFolderEmpty]));
                continue;
            }
            std::error_code ec;
            std::string windows = WindowsPathOf(typed);
            while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
            if (!fs::is_directory(HostPath(typed), ec) || windows.empty() ||
                windows.size() >= kMaxPath) {
                view_.Print(view_.Show(state.catalogue[kSlotFolderMissing]));
                continue;
            }
            CopyText(state.targetFolder, kMaxPath, windows.c_str());
            return 0;
        }
    }

    void DocumentDialog(UpdaterState& state, const char* text) override {
        view_.Print("---- " + view_.Show(state.catalogue[kSlotDocumentCaption]) + " ----");
        view_.Print(view_.Show(text));
        view_.Print("----");
        if (!options_.yes && !options_.passwordFromStdin && IsTerminal(stdin)) {
            std::cout << "Press Enter to go on. " << std::flush;
            std::string ignored;
            ReadLine(&ignored);
        }
    }

  private:
    ConsoleView& view_;
    const ApplyOptions& options_;
    std::string target_;
};

// The apply thread's forward pass, asking nothing, then the old-file checks
// and every stream decoded into the null file. Nothing is changed.
Result DryRun(UpdaterState& state, ConsoleView& view, ConsoleOs& os) {
    OwnedFile handle(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    if (!handle.IsOpen()) return kErrorOpenPackage;
    std::unique_ptr<PackageFile> package(new (std::nothrow) PackageFile(handle.Get()));
    ForwardPass pass;
    PrepareForwardPass(&pass);
    BaseFolderTable folders;
    BuildBaseFolderTable(kNoWindow, &folders);
    auto run = [&]() -> Result {
        Result r = RunForwardPass(*package, state, folders, PassMode::kCheckOnly, &pass);
        if (r != kResultOk) return r;
        view.Send(SN_SEPARATOR, 0);
        r = VerifyOldFiles(pass.entries[0], pass.entries[1], pass.entries[2], pass.lists.verifyMode,
                           state);
        if (r != kResultOk) return r;
        view.Send(SN_SEPARATOR, 0);
        for (int32_t i = 0; i < EntryCount(pass.entries[0]); ++i) {
            const FileEntry& entry = EntryAt(pass.entries[0], i);
            char path[kMaxPath];
            CopyText(path, kMaxPath, state.targetFolder);
            if (!AppendText(path, kMaxPath, entry.name)) return kErrorOldFileOpen;
            OwnedFile old(OpenFileForRead(path, 0, 0));
            if (!old.IsOpen()) {
                if (state.ignoreMissingUpdate == 1 && !TheOs().FindFirstFileExists(path)) continue;
                return kErrorOldFileOpen;
            }
            OwnedFile sink(
                os.CreateFileHandle(kNullFilePath, kGenericWrite, 0, false, kCreateAlways, 0));
            StateDecodeContext decode(state);
            r = entry.compact ? ApplyCompactData(*package, entry, old.Get(), sink.Get(), decode)
                              : ApplyDiffStream(*package, entry, old.Get(), sink.Get(), decode);
            if (r != kResultOk) return r;
            view.Print("  ok  " + view.Show(entry.name));
        }
        // Added files: their data must lie inside the package; compact data
        // is decoded as well.
        for (int32_t i = 0; i < EntryCount(pass.entries[1]); ++i) {
            const FileEntry& entry = EntryAt(pass.entries[1], i);
            if (entry.compact) {
                OwnedFile sink(
                    os.CreateFileHandle(kNullFilePath, kGenericWrite, 0, false, kCreateAlways, 0));
                StateDecodeContext decode(state);
                r = ApplyCompactData(*package, entry, kInvalidFile, sink.Get(), decode);
                if (r != kResultOk) return r;
                continue;
            }
            if (static_cast<uint64_t>(entry.dataOffset) + entry.dataLength >
                pass.packageLength - kTrailerSize) {
                return kErrorReadPackage;
            }
        }
        return kResultOk;
    };
    Result result = package ? run() : kErrorReadPackage;
    ReleaseForwardPass(state, &pass);
    return result;
}

}  // namespace

CLI::App* AddApplyCommand(CLI::App& app, ApplyOptions& o) {
    CLI::App* apply =
        app.add_subcommand("apply", "apply an updater file to a folder, as the updater would");
    apply->add_option("file", o.file, "the updater file")->required();
    apply->add_option("-t,--target", o.target,
                      "the folder to update (default: the package's own way of finding it)");
    apply->add_flag("-n,--dry-run", o.dryRun,
                    "check the old files and decode every stream without changing anything");
    apply->add_flag("-y,--yes", o.yes, "do not ask for confirmation (the updater's -F)");
    apply->add_flag("--password-stdin", o.passwordFromStdin,
                    "read the password from standard input, one try per line");
    CLI::Option* keep = apply->add_flag_callback(
        "--keep-backups", [&o] { o.deleteBackups = false; },
        "keep the backup files (*.old) whatever the package says");
    CLI::Option* remove = apply->add_flag_callback(
        "--delete-backups", [&o] { o.deleteBackups = true; },
        "delete the backup files after a successful run");
    keep->excludes(remove);
    apply->add_option(
        "--code-page", o.codePage,
        "the system code page to assume: picks the language block and the password's encoding "
        "(default: the system's; 932 for a Japanese locale, 1252 otherwise)");
    apply->add_flag("-q,--quiet", o.quiet, "print only the result");
    apply->footer(
        "Exit codes are the updater's: 0 success, 255 anything else (cancelled, the program still "
        "running, or an error); the run's result code is printed (0, 1 cancelled, 2 program "
        "running, 0x10001..0x10012 errors). Ctrl+C cancels and restores what was changed.");
    return apply;
}

int RunApply(const ApplyOptions& options, std::ostream& out, std::ostream& err) {
    Os& platform = HostPlatform(options.codePage.value_or(0));
    static ConsoleOs* consoleOs = nullptr;
    if (consoleOs == nullptr) consoleOs = new ConsoleOs(platform);
    ConsoleOs& os = *consoleOs;
    os.SetAnsiCodePage(options.codePage.value_or(0));
    SetOs(&os);

    std::error_code ec;
    if (!fs::is_regular_file(HostPath(options.file), ec)) {
        err << "kzp apply: " << options.file << " is not a file\n";
        return kExitApplyFailed;
    }
    const std::string packagePath = WindowsPathOf(options.file);
    if (packagePath.empty() || packagePath.size() >= kMaxPath) {
        err << "kzp apply: the path of " << options.file
            << " cannot be used (too long or outside every drive)\n";
        return kExitApplyFailed;
    }
    std::string target;
    if (!options.target.empty()) {
        if (!fs::is_directory(HostPath(options.target), ec)) {
            err << "kzp apply: " << options.target << " is not a folder\n";
            return kExitApplyFailed;
        }
        target = WindowsFolderOf(options.target);
        if (target.empty()) {
            err << "kzp apply: the folder " << options.target << " cannot be used\n";
            return kExitApplyFailed;
        }
    }
    os.SetTargetAnswer(target);

    std::unique_ptr<UpdaterState> holder(new UpdaterState);
    UpdaterState& state = *holder;
    InitUpdaterState(&state, HostInstance());
    CopyText(state.packagePath, kMaxPath, packagePath.c_str());
    state.skipConfirm = options.yes ? 1 : 0;
    // The main window's texts for failures before the catalogue is settled.
    const bool japanese = ansiCodePage == kBuiltInCodePage;
    os.LoadStringResource(state.instance, japanese ? kStringOpenErrorJa : kStringOpenErrorEn,
                          state.catalogue[kSlotOpenError], kMaxPath);
    os.LoadStringResource(state.instance, japanese ? kStringReadErrorJa : kStringReadErrorEn,
                          state.catalogue[kSlotReadError], kMaxPath);

    ConsoleView view(state, out, IsTerminal(stdout), options.quiet, target);
    ConsolePrompts prompts(view, options, target);
    state.sink = &view;
    state.prompts = &prompts;
    interruptedState = &state;
    CatchInterrupt(OnInterrupt);

    int exitCode;
    if (options.dryRun) {
        Result r = DryRun(state, view, os);
        view.Print(r == kResultOk ? "dry run: the old files match and every stream decodes"
                                  : "dry run failed: result " + ResultText(r));
        if (r != kResultOk) {
            WindowActions actions;
            DescribeNotification(state, SN_FAILED, static_cast<intptr_t>(r), &actions);
            for (int i = 0; i < actions.count; ++i) {
                if (actions.items[i].kind == WindowActionKind::kLog)
                    view.Print(view.Show(actions.items[i].text));
            }
        }
        state.runResult = r;
        exitCode = r == kResultOk ? kExitOk : kExitApplyFailed;
    } else {
        state.threadHandle = 1;
        RunOnThread(ApplyThread, &state);
        view.Finish(options.deleteBackups);
        exitCode = state.failed != 0 || state.runResult != kResultOk ? kExitApplyFailed : kExitOk;
        out << "result " << ResultText(state.runResult) << ", exit code " << exitCode << "\n";
        if (state.runResult == kResultOk && state.launchFile[0] != 0) {
            out << "launch file (not opened): " << view.Show(state.launchFile) << "\n";
        }
    }
    interruptedState = nullptr;
    ReleaseUpdaterState(&state);
    return exitCode;
}

}  // namespace kzp::tool

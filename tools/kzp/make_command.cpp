#include "tools/kzp/make_command.h"

#include "tools/encoder/diff_encoder.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tools/kzp/exit_codes.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/info_command.h"
#include "tools/kzp/package_maker.h"

namespace kzp::tool {

CLI::App* AddMakeCommand(CLI::App& app, MakeOptions& o) {
    CLI::App* make = app.add_subcommand(
        "make",
        "compare OLD and NEW and write a self-applying updater (kzp make OLD NEW -o update.exe)");
    make->add_option("folders", o.folders,
                     "OLD and NEW: the folder of the installed version and of the new one")
        ->expected(0, 2);
    make->add_option(
            "-p,--project", o.project,
            "JSON project file with any of the settings below (see README); options given here win")
        ->check(CLI::ExistingFile);
    make->add_option("-o,--output", o.output, "the updater file to write");
    make->add_option("--old-version", o.oldVersion,
                     "name of the installed version (also names the backups)");
    AddPackageOptions(*make, o);
    make->add_flag("-q,--quiet", o.quiet, "print only the summary");
    make->add_flag(
        "--json", o.json,
        "print a JSON summary instead (files, sizes, package and updater size, digests)");
    make->footer(
        "Exit codes: 0 written; 1 a setting cannot be used; 2 a file cannot be read or written.");
    return make;
}

void AddPackageOptions(CLI::App& command, MakeOptions& o) {
    CLI::App* make = &command;
    make->add_option("--stub", o.stub,
                     "the updater image to put before the package (at most 0x18000 bytes; default: "
                     "kzpupdater.exe beside kzp, else the installed one in ../share/kzp)");
    make->add_option("--title", o.title, "product name shown by the updater");
    make->add_option("--new-version", o.newVersion, "name of the new version");
    make->add_option("--copyright", o.copyright, "copyright line shown by the updater");
    make->add_option("--password", o.password,
                     "protect the update with this password (its MD5 digest is stored)");
    make->add_flag("--keep-backups", o.keepBackups,
                   "leave the box that deletes the backup files (*.old) cleared");
    make->add_flag("--delete-backups", o.deleteBackups,
                   "set the box that deletes the backup files (the default)");
    make->add_option("--code-page", o.codePage,
                     "code page of the texts, names and documents in the package (default 1252)");
    make->add_option("--verify", o.verify, "how old files are checked: md5 (default) or date-size")
        ->check(CLI::IsMember({"md5", "date-size"}));
    make->add_option("--block-size", o.blockSize,
                     "block size of the diff streams in bytes (default 65536)");
    make->add_flag("--smallest", o.smallest,
                   "the smallest diff streams, whatever their number of opcodes");
    make->add_flag("--fast-apply", o.fastApply,
                   "fewer, longer opcodes: a faster apply for a somewhat larger package");
    make->add_option(
        "--opcode-cost", o.opcodeCost,
        "bytes each opcode is taken to cost for the decoder's work (--smallest 0, default " +
            std::to_string(encoder::kDefaultOpcodeCost) + ", --fast-apply " +
            std::to_string(encoder::kFastApplyOpcodeCost) + ")");
    make->add_flag("--compact", o.compact,
                   "a compact package: far smaller, LZMA-coded data that only kzp's own updater "
                   "reads (format version 130)");
    make->add_option("--memory", o.memoryMiB,
                     "MiB of memory for matching one file (default " +
                         std::to_string(encoder::kDefaultMemoryLimit >> 20) +
                         "); larger pairs are matched in pieces, 0: no limit");
    make->add_flag("--target-ask", o.targetAsk,
                   "the updater asks the user for the folder (the default)");
    make->add_option("--target-registry", o.targetRegistry,
                     "ROOT KEY VALUE: the folder is a registry value (ROOT: HKCR, HKCU, HKLM, HKU)")
        ->expected(3);
    make->add_option("--target-ini", o.targetIni,
                     "BASE FILE SECTION KEY: the folder is an INI value; FILE lies in BASE "
                     "(windows, system, "
                     "program-files, windows-drive, desktop, documents, or none for a full path)")
        ->expected(4);
    make->add_option("--target-folder", o.targetFolder,
                     "BASE PATH: the folder is PATH in the base folder BASE")
        ->expected(2);
    make->add_option(
        "--rule", o.rules,
        "a lookup rule, in order (the folder is what %0 holds at the end): "
        "registry|VAR|ROOT|KEY|VALUE or ini|VAR|BASE|FILE|SECTION|KEY; texts may use %0..%9");
    make->add_option(
        "--check-window", o.checkWindowTitle,
        "stop while a window with this title runs (empty: any title; see --check-class)");
    make->add_option("--check-class", o.checkWindowClass, "stop while a window of this class runs");
    make->add_option("--check-program", o.checkProgram,
                     "stop while this program (file name, e.g. app.exe) runs");
    make->add_option(
        "--check-wait", o.checkWait,
        "when it runs: none (stop at once, the default), ask (ask to close it, wait 30 s), "
        "quiet (wait 30 s)");
    make->add_option("--launch", o.launch,
                     "file of the patched folder that is opened after a successful run");
    make->add_option("--document-before", o.documentBefore,
                     "text file shown before anything is changed")
        ->check(CLI::ExistingFile);
    make->add_option("--document-after", o.documentAfter, "text file shown after a successful run")
        ->check(CLI::ExistingFile);
    make->add_flag("--ignore-missing-update", o.ignoreMissingUpdate,
                   "skip files to update that are missing");
    make->add_flag("--overwrite-on-add", o.overwriteOnAdd,
                   "back up and overwrite files to add that exist");
    make->add_flag("--ignore-missing-delete", o.ignoreMissingDelete,
                   "skip files to delete that are missing");
    make->add_option(
        "--languages", o.languages,
        "language blocks in order, comma-separated: en (English, 1252), ja (built-in Japanese, "
        "932); none for no block (default: en,ja)");
}

namespace {

// The way to the target folder the options give, if any.
void SetTargetFrom(const MakeOptions& o, MakeSettings& s) {
    const int targets = (o.targetAsk ? 1 : 0) + (!o.targetRegistry.empty() ? 1 : 0) +
                        (!o.targetIni.empty() ? 1 : 0) + (!o.targetFolder.empty() ? 1 : 0) +
                        (!o.rules.empty() ? 1 : 0);
    if (targets > 1) throw SettingsError("give one way to find the target folder");
    if (o.targetAsk) s.target = {};
    if (!o.targetRegistry.empty()) {
        s.target = {};
        s.target.type = 1;
        s.target.rootOrBase = ParseRegistryRoot(o.targetRegistry[0]);
        s.target.path = o.targetRegistry[1];
        s.target.name = o.targetRegistry[2];
    }
    if (!o.targetIni.empty()) {
        s.target = {};
        s.target.type = 2;
        s.target.rootOrBase = ParseBaseFolder(o.targetIni[0]);
        s.target.path = o.targetIni[1];
        s.target.name = o.targetIni[2];
        s.target.key = o.targetIni[3];
    }
    if (!o.targetFolder.empty()) {
        s.target = {};
        s.target.type = 3;
        s.target.rootOrBase = ParseBaseFolder(o.targetFolder[0]);
        s.target.path = o.targetFolder[1];
    }
    if (!o.rules.empty()) {
        s.target = {};
        s.target.type = 4;
        for (const std::string& r : o.rules) s.target.rules.push_back(ParseRuleText(r));
    }
}

// The running-program check the options give, if any.
void SetCheckFrom(const MakeOptions& o, MakeSettings& s) {
    if (o.checkProgram && (o.checkWindowTitle || o.checkWindowClass)) {
        throw SettingsError("check either a window or a program, not both");
    }
    if (o.checkProgram) {
        s.check = {};
        s.check.type = 2;
        s.check.programName = *o.checkProgram;
    }
    if (o.checkWindowTitle || o.checkWindowClass) {
        s.check = {};
        s.check.type = 1;
        s.check.windowTitle = o.checkWindowTitle.value_or("");
        s.check.windowClass = o.checkWindowClass.value_or("");
    }
    if (o.checkWait) s.check.waitForExit = ParseWaitMode(*o.checkWait);
}

// --languages: built-in blocks by name, in order.
void SetLanguagesFrom(const MakeOptions& o, MakeSettings& s) {
    if (!o.languages) return;
    s.languages.clear();
    if (*o.languages == "none") return;
    const std::string& list = *o.languages;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string name =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name != "en" && name != "ja")
            throw SettingsError("unknown language \"" + name + "\" (en, ja)");
        LanguageSetting l;
        l.builtIn = name;
        s.languages.push_back(l);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

}  // namespace

MakeSettings SettingsFrom(const MakeOptions& o) {
    MakeSettings s;
    if (!o.project.empty()) LoadProjectFile(o.project, &s);
    if (o.folders.size() == 1) throw SettingsError("give both folders, OLD and NEW");
    if (o.folders.size() == 2) {
        s.oldFolder = o.folders[0];
        s.newFolder = o.folders[1];
    }
    auto set = [](std::string& field, const std::optional<std::string>& v) {
        if (v) field = *v;
    };
    set(s.output, o.output);
    set(s.stub, o.stub);
    set(s.title, o.title);
    set(s.oldVersion, o.oldVersion);
    set(s.newVersion, o.newVersion);
    set(s.copyright, o.copyright);
    set(s.launchFile, o.launch);
    set(s.documentBefore, o.documentBefore);
    set(s.documentAfter, o.documentAfter);
    if (o.password) s.password = o.password;
    if (o.keepBackups && o.deleteBackups)
        throw SettingsError("--keep-backups and --delete-backups contradict");
    if (o.keepBackups) s.deleteBackups = false;
    if (o.deleteBackups) s.deleteBackups = true;
    if (o.codePage) s.codePage = *o.codePage;
    if (o.verify) s.verifyMode = ParseVerifyMode(*o.verify);
    if (o.blockSize) s.blockSize = *o.blockSize;
    if ((o.smallest ? 1 : 0) + (o.fastApply ? 1 : 0) + (o.opcodeCost ? 1 : 0) > 1) {
        throw SettingsError("give one of --smallest, --fast-apply and --opcode-cost");
    }
    if (o.smallest) s.opcodeCost = encoder::kSmallestOpcodeCost;
    if (o.fastApply) s.opcodeCost = encoder::kFastApplyOpcodeCost;
    if (o.opcodeCost) s.opcodeCost = *o.opcodeCost;
    if (o.compact) s.compact = true;
    if (o.memoryMiB) {
        if (*o.memoryMiB > (uint64_t{1} << 40)) throw SettingsError("--memory is too large");
        s.memoryLimit = *o.memoryMiB << 20;
    }
    SetTargetFrom(o, s);
    SetCheckFrom(o, s);
    SetLanguagesFrom(o, s);
    return s;
}

namespace {

// One line of what is being worked on, rewritten in place on a terminal and
// wiped at the end. Spaces rather than escape sequences: every console
// understands them.
class StatusLine {
  public:
    explicit StatusLine(std::ostream& err) : err_(err) {}
    ~StatusLine() { Clear(); }
    void Show(std::string text) {
        if (text.size() > kWidth) text = text.substr(0, kWidth - 3) + "...";
        err_ << '\r' << text << std::string(shown_ > text.size() ? shown_ - text.size() : 0, ' ')
             << std::flush;
        shown_ = text.size();
    }
    void Clear() {
        if (shown_ == 0) return;
        err_ << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
        shown_ = 0;
    }

  private:
    static constexpr size_t kWidth = 79;
    std::ostream& err_;
    size_t shown_ = 0;
};

// Whether `stream` is the process's standard error and that is a terminal.
bool IsTerminalError(const std::ostream& stream) {
    return &stream == &std::cerr && IsTerminal(stderr);
}

nlohmann::json SummaryJson(const MakeSettings& s, const MakeReport& r) {
    using nlohmann::json;
    json j;
    j["output"] = s.output;
    j["updaterImage"] = r.stub;
    j["updaterSize"] = r.fileSize;
    j["packageSize"] = r.packageSize;
    j["padding"] = r.padding;
    j["recoverySize"] = r.recoverySize;
    j["updaterMd5"] = HexDigest(r.updaterDigest);
    j["packageMd5"] = HexDigest(r.packageDigest);
    j["unchanged"] = r.unchanged;
    j["warnings"] = r.warnings;
    j["updates"] = json::array();
    for (const MadeEntry& e : r.updates) {
        j["updates"].push_back({{"name", e.name},
                                {"oldSize", e.oldSize},
                                {"newSize", e.newSize},
                                {"streamSize", e.dataSize},
                                {"copiedBytes", e.stats.copiedBytes},
                                {"literalBytes", e.stats.literalBytes}});
    }
    j["adds"] = json::array();
    for (const MadeEntry& e : r.adds) j["adds"].push_back({{"name", e.name}, {"size", e.newSize}});
    j["deletes"] = json::array();
    for (const MadeEntry& e : r.deletes)
        j["deletes"].push_back({{"name", e.name}, {"oldSize", e.oldSize}});
    return j;
}

}  // namespace

int RunMake(const MakeOptions& o, std::ostream& out, std::ostream& err) {
    try {
        MakeSettings s = SettingsFrom(o);
        if (!s.oldReleases.empty())
            throw SettingsError("the project file lists several old releases: use kzp release");
        // The status line is wiped before each line of the report: both may
        // go to the same terminal.
        StatusLine status(err);
        Progress listing;
        if (!o.quiet && !o.json) {
            listing = [&out, &status](const std::string& line) {
                status.Clear();
                out << line << "\n";
            };
        }
        Progress working;
        if (!o.quiet && IsTerminalError(err))
            working = [&status](const std::string& line) { status.Show(line); };
        MakeReport r = MakeUpdater(s, listing, working);
        status.Clear();
        for (const std::string& warning : r.warnings)
            err << "kzp make: warning: " << warning << "\n";
        if (o.json) {
            out << SummaryJson(s, r).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
            return kExitOk;
        }
        out << "kzp make: " << r.updates.size() << " to update, " << r.adds.size() << " to add, "
            << r.deletes.size() << " to delete, " << r.unchanged << " unchanged\n";
        out << "package " << r.packageSize << " bytes (" << r.padding
            << " bytes of padding), updater " << r.fileSize << " bytes: " << s.output << "\n";
        return kExitOk;
    } catch (const SettingsError& e) {
        err << "kzp make: " << e.what() << "\n";
        return kExitUsage;
    } catch (const FileError& e) {
        err << "kzp make: " << e.what() << "\n";
        return kExitUnreadable;
    } catch (const std::exception& e) {
        err << "kzp make: " << e.what() << "\n";
        return kExitUnreadable;
    }
}

}  // namespace kzp::tool

// kzp: makes self-applying updates from two folders, inspects them and
// applies them from a console.
#include <CLI/CLI.hpp>
#include <iostream>

#include "tools/encoder/diff_encoder.h"
#include "tools/kzp/apply_command.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/info_command.h"
#include "tools/kzp/make_settings.h"
#include "tools/kzp/package_maker.h"

namespace {

using namespace kzp::tool;

struct MakeOptions {
    std::string project;
    std::vector<std::string> folders;
    std::optional<std::string> output, stub, title, oldVersion, newVersion, copyright, password, launch;
    std::optional<std::string> documentBefore, documentAfter, verify, languages;
    std::optional<uint32_t> codePage, blockSize, opcodeCost;
    bool fastApply = false, smallest = false;
    bool keepBackups = false, deleteBackups = false;
    bool ignoreMissingUpdate = false, overwriteOnAdd = false, ignoreMissingDelete = false;
    bool targetAsk = false;
    std::vector<std::string> targetRegistry, targetIni, targetFolder, rules;
    std::optional<std::string> checkWindowTitle, checkWindowClass, checkProgram, checkWait;
    bool quiet = false;
};

void AddMakeOptions(CLI::App* make, MakeOptions& o) {
    make->add_option("folders", o.folders, "OLD and NEW: the folder of the installed version and of the new one")
        ->expected(0, 2);
    make->add_option("-p,--project", o.project,
                     "JSON project file with any of the settings below (see README); options given here win")
        ->check(CLI::ExistingFile);
    make->add_option("-o,--output", o.output, "the updater file to write");
    make->add_option("--stub", o.stub,
                     "the updater image to put before the package (at most 0x18000 bytes; default: "
                     "kzpupdater.exe beside kzp, else the tree's 32-bit build)");
    make->add_option("--title", o.title, "product name shown by the updater");
    make->add_option("--old-version", o.oldVersion, "name of the installed version (also names the backups)");
    make->add_option("--new-version", o.newVersion, "name of the new version");
    make->add_option("--copyright", o.copyright, "copyright line shown by the updater");
    make->add_option("--password", o.password, "protect the update with this password (its MD5 digest is stored)");
    make->add_flag("--keep-backups", o.keepBackups, "leave the box that deletes the backup files (*.old) cleared");
    make->add_flag("--delete-backups", o.deleteBackups, "set the box that deletes the backup files (the default)");
    make->add_option("--code-page", o.codePage,
                     "code page of the texts, names and documents in the package (default 1252)");
    make->add_option("--verify", o.verify, "how old files are checked: md5 (default) or date-size")
        ->check(CLI::IsMember({"md5", "date-size"}));
    make->add_option("--block-size", o.blockSize, "block size of the diff streams in bytes (default 65536)");
    make->add_flag("--smallest", o.smallest, "the smallest diff streams, whatever their number of opcodes");
    make->add_flag("--fast-apply", o.fastApply,
                   "fewer, longer opcodes: a faster apply for a somewhat larger package");
    make->add_option("--opcode-cost", o.opcodeCost,
                     "bytes each opcode is taken to cost for the decoder's work (--smallest 0, default " +
                         std::to_string(kzp::encoder::kDefaultOpcodeCost) + ", --fast-apply " +
                         std::to_string(kzp::encoder::kFastApplyOpcodeCost) + ")");
    make->add_flag("--target-ask", o.targetAsk, "the updater asks the user for the folder (the default)");
    make->add_option("--target-registry", o.targetRegistry,
                     "ROOT KEY VALUE: the folder is a registry value (ROOT: HKCR, HKCU, HKLM, HKU)")
        ->expected(3);
    make->add_option("--target-ini", o.targetIni,
                     "BASE FILE SECTION KEY: the folder is an INI value; FILE lies in BASE (windows, system, "
                     "program-files, windows-drive, desktop, documents, or none for a full path)")
        ->expected(4);
    make->add_option("--target-folder", o.targetFolder, "BASE PATH: the folder is PATH in the base folder BASE")
        ->expected(2);
    make->add_option("--rule", o.rules,
                     "a lookup rule, in order (the folder is what %0 holds at the end): "
                     "registry|VAR|ROOT|KEY|VALUE or ini|VAR|BASE|FILE|SECTION|KEY; texts may use %0..%9");
    make->add_option("--check-window", o.checkWindowTitle,
                     "stop while a window with this title runs (empty: any title; see --check-class)");
    make->add_option("--check-class", o.checkWindowClass, "stop while a window of this class runs");
    make->add_option("--check-program", o.checkProgram, "stop while this program (file name, e.g. app.exe) runs");
    make->add_option("--check-wait", o.checkWait,
                     "when it runs: none (stop at once, the default), ask (ask to close it, wait 30 s), "
                     "quiet (wait 30 s)");
    make->add_option("--launch", o.launch, "file of the patched folder that is opened after a successful run");
    make->add_option("--document-before", o.documentBefore, "text file shown before anything is changed")
        ->check(CLI::ExistingFile);
    make->add_option("--document-after", o.documentAfter, "text file shown after a successful run")
        ->check(CLI::ExistingFile);
    make->add_flag("--ignore-missing-update", o.ignoreMissingUpdate, "skip files to update that are missing");
    make->add_flag("--overwrite-on-add", o.overwriteOnAdd, "back up and overwrite files to add that exist");
    make->add_flag("--ignore-missing-delete", o.ignoreMissingDelete, "skip files to delete that are missing");
    make->add_option("--languages", o.languages,
                     "language blocks in order, comma-separated: en (English, 1252), ja (built-in Japanese, "
                     "932); none for no block (default: en,ja)");
    make->add_flag("-q,--quiet", o.quiet, "print only the summary");
}

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
    if (o.keepBackups && o.deleteBackups) throw SettingsError("--keep-backups and --delete-backups contradict");
    if (o.keepBackups) s.deleteBackups = false;
    if (o.deleteBackups) s.deleteBackups = true;
    if (o.codePage) s.codePage = *o.codePage;
    if (o.verify) s.verifyMode = ParseVerifyMode(*o.verify);
    if (o.blockSize) s.blockSize = *o.blockSize;
    if ((o.smallest ? 1 : 0) + (o.fastApply ? 1 : 0) + (o.opcodeCost ? 1 : 0) > 1) {
        throw SettingsError("give one of --smallest, --fast-apply and --opcode-cost");
    }
    if (o.smallest) s.opcodeCost = kzp::encoder::kSmallestOpcodeCost;
    if (o.fastApply) s.opcodeCost = kzp::encoder::kFastApplyOpcodeCost;
    if (o.opcodeCost) s.opcodeCost = *o.opcodeCost;
    const int targets = (o.targetAsk ? 1 : 0) + (!o.targetRegistry.empty() ? 1 : 0) + (!o.targetIni.empty() ? 1 : 0) +
                        (!o.targetFolder.empty() ? 1 : 0) + (!o.rules.empty() ? 1 : 0);
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
    if (o.languages) {
        s.languages.clear();
        if (*o.languages != "none") {
            std::string rest = *o.languages;
            size_t start = 0;
            while (start <= rest.size()) {
                size_t comma = rest.find(',', start);
                std::string name = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (name != "en" && name != "ja") throw SettingsError("unknown language \"" + name + "\" (en, ja)");
                LanguageSetting l;
                l.builtIn = name;
                s.languages.push_back(l);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        }
    }
    return s;
}

int RunMake(const MakeOptions& o) {
    try {
        MakeSettings s = SettingsFrom(o);
        Progress progress;
        if (!o.quiet) progress = [](const std::string& line) { std::cout << line << "\n"; };
        MakeReport r = MakeUpdater(s, progress);
        std::cout << "kzp make: " << r.updates.size() << " to update, " << r.adds.size() << " to add, "
                  << r.deletes.size() << " to delete, " << r.unchanged << " unchanged\n";
        std::cout << "package " << r.packageSize << " bytes (" << r.padding << " bytes of padding), updater "
                  << r.fileSize << " bytes: " << s.output << "\n";
        return 0;
    } catch (const SettingsError& e) {
        std::cerr << "kzp make: " << e.what() << "\n";
        return kExitUsage;
    } catch (const FileError& e) {
        std::cerr << "kzp make: " << e.what() << "\n";
        return kExitUnreadable;
    } catch (const std::exception& e) {
        std::cerr << "kzp make: " << e.what() << "\n";
        return kExitUnreadable;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kzp: make self-applying updates, inspect them, apply them"};
    app.require_subcommand(1);

    MakeOptions make;
    CLI::App* makeCommand = app.add_subcommand(
        "make", "compare OLD and NEW and write a self-applying updater (kzp make OLD NEW -o update.exe)");
    AddMakeOptions(makeCommand, make);

    std::string infoFile;
    bool infoJson = false;
    uint32_t infoCodePage = 1252;
    CLI::App* infoCommand = app.add_subcommand("info", "show everything an updater file or package holds");
    infoCommand->add_option("file", infoFile, "the updater file (or a bare package)")->required();
    infoCommand->add_flag("--json", infoJson, "print JSON instead of text");
    infoCommand->footer("Exit codes: 0 the package holds together; 2 the file cannot be read or is not a "
                        "package (cut short, wrong magic or version); 3 it was read, but its trailer does "
                        "not match or a stream is not well-formed.");
    infoCommand->add_option("--code-page", infoCodePage,
                            "code page of the package's texts and names (default 1252; language blocks use "
                            "their own)");

    ApplyOptions apply;
    bool keep = false, remove = false;
    std::optional<uint32_t> applyCodePage;
    CLI::App* applyCommand = app.add_subcommand("apply", "apply an updater file to a folder, as the updater would");
    applyCommand->add_option("file", apply.file, "the updater file")->required();
    applyCommand->add_option("-t,--target", apply.target,
                             "the folder to update (default: the package's own way of finding it)");
    applyCommand->add_flag("-n,--dry-run", apply.dryRun,
                           "check the old files and decode every stream without changing anything");
    applyCommand->add_flag("-y,--yes", apply.yes, "do not ask for confirmation (the updater's -F)");
    applyCommand->add_flag("--password-stdin", apply.passwordFromStdin,
                           "read the password from standard input, one try per line");
    applyCommand->add_flag("--keep-backups", keep, "keep the backup files (*.old) whatever the package says");
    applyCommand->add_flag("--delete-backups", remove, "delete the backup files after a successful run");
    applyCommand->add_option("--code-page", applyCodePage,
                             "the system code page to assume: picks the language block and the password's "
                             "encoding (default: the system's; 932 for a Japanese locale, 1252 otherwise)");
    applyCommand->add_flag("-q,--quiet", apply.quiet, "print only the result");
    applyCommand->footer("Exit codes are the updater's: 0 success, 255 anything else (cancelled, the "
                         "program still running, or an error); the run's result code is printed (0, 1 "
                         "cancelled, 2 program running, 0x10001..0x10012 errors). Ctrl+C cancels and "
                         "restores what was changed.");
    makeCommand->footer("Exit codes: 0 written; 1 a setting cannot be used; 2 a file cannot be read or "
                        "written.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }
    if (makeCommand->parsed()) return RunMake(make);
    if (infoCommand->parsed()) return RunInfo(infoFile, infoJson, infoCodePage, std::cout, std::cerr);
    if (keep && remove) {
        std::cerr << "kzp apply: --keep-backups and --delete-backups contradict\n";
        return kExitUsage;
    }
    if (keep) apply.deleteBackups = false;
    if (remove) apply.deleteBackups = true;
    apply.codePage = applyCodePage;
    return RunApply(apply, std::cout, std::cerr);
}

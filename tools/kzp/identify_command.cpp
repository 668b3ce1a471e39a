#include "tools/kzp/identify_command.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app/updater_state.h"
#include "engine/forward_pass.h"
#include "engine/old_file_verification.h"
#include "engine/status_notification.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/text.h"
#include "tools/kzp/exit_codes.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Thrown for a release.json or an updater that cannot be read.
class Unreadable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The verification's notifications are not shown: the report says what differs.
class QuietSink : public StatusSink {
  public:
    void Send(uint32_t, intptr_t) override {}
    void Post(uint32_t, intptr_t) override {}
};

// One updater as release.json describes it: the entries its package verifies.
struct Described {
    std::string label;
    std::string oldVersion;
    uint8_t verifyMode = 0;
    uint32_t codePage = 1252;
    ApplyOptionFlags options{};
    std::vector<FileEntry> lists[3];  // update, add, delete
};

// An updater's lists, with the options that decide what may be missing.
struct Lists {
    uint8_t verifyMode = 0;
    uint32_t codePage = 1252;
    std::vector<const FileEntry*> entries[3];  // update, add, delete
};

// Every entry through the updater's own checks, each on its own so that
// all that differ are found, not only the first.
void Judge(UpdaterState& state, const Lists& lists, Verdict* verdict) {
    auto differ = [&](const FileEntry& e, Result code) {
        verdict->differences.push_back({ToUtf8(e.name, lists.codePage), code});
    };
    const uint8_t ignore[3] = {state.ignoreMissingUpdate, 0, state.ignoreMissingDelete};
    const uint32_t skipped[3] = {SN_VERIFY_UPDATE_SKIPPED, 0, SN_VERIFY_DELETE_SKIPPED};
    for (int l : {0, 2}) {
        for (const FileEntry* e : lists.entries[l]) {
            const Result r = VerifyOldEntry(*e, lists.verifyMode, state, ignore[l], skipped[l]);
            if (r == kResultOk) ++verdict->checked;
            if (r != kResultOk && r != kOutcomeSkippedMissing) differ(*e, r);
        }
    }
    for (const FileEntry* e : lists.entries[1]) {
        const Result r = VerifyAddEntry(*e, state);
        if (r == kResultOk) ++verdict->checked;
        if (r != kResultOk) differ(*e, r);
    }
}

// A fresh state for one updater, aimed at the folder.
struct Run {
    std::unique_ptr<UpdaterState> state{new UpdaterState};
    QuietSink sink;
    Run(const std::string& packagePath, const std::string& target) {
        InitUpdaterState(state.get(), HostInstance());
        state->sink = &sink;
        CopyText(state->packagePath, kMaxPath, packagePath.c_str());
        CopyText(state->targetFolder, kMaxPath, target.c_str());
    }
    ~Run() { ReleaseUpdaterState(state.get()); }
};

// The updater's own forward pass reads its lists; the folder is the one given.
Verdict JudgeUpdater(const std::string& file, const std::string& target, uint32_t codePage) {
    const std::string packagePath = WindowsPathOf(file);
    if (packagePath.empty() || packagePath.size() >= kMaxPath)
        throw Unreadable("the path of " + file + " cannot be used");
    Run run(packagePath, target);
    UpdaterState& state = *run.state;
    OwnedFile handle(OpenFileForRead(state.packagePath, kFileShareRead, 0));
    if (!handle.IsOpen()) throw Unreadable("cannot open " + file);
    std::unique_ptr<PackageFile> package(new PackageFile(handle.Get()));
    ForwardPass pass;
    PrepareForwardPass(&pass);
    BaseFolderTable unused{};
    const Result r = RunForwardPass(*package, state, unused, PassMode::kFolderGiven, &pass);
    Verdict verdict;
    verdict.label = Utf8Of(HostPath(file).filename());
    verdict.oldVersion = ToUtf8(state.oldVersion, codePage);
    if (r == kResultOk) {
        Lists lists;
        lists.verifyMode = pass.lists.verifyMode;
        lists.codePage = codePage;
        for (int l = 0; l < 3; ++l) {
            for (int32_t i = 0; i < EntryCount(pass.entries[l]); ++i)
                lists.entries[l].push_back(&EntryAt(pass.entries[l], i));
        }
        Judge(state, lists, &verdict);
    }
    ReleaseForwardPass(state, &pass);
    if (r != kResultOk)
        throw Unreadable(file + " cannot be read as an updater (result " + ResultText(r) + ")");
    return verdict;
}

bool ParseHexDigest(const std::string& hex, uint8_t digest[16]) {
    if (hex.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = hex[2 * i + k];
            const int v = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (v < 0) return false;
            value = value * 16 + static_cast<unsigned>(v);
        }
        digest[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// An entry named in UTF-8, in the package's code page. A name that cannot be
// written there, or is too long, makes release.json unusable for this folder.
FileEntry EntryNamed(const std::string& utf8, uint32_t codePage) {
    FileEntry e{};
    std::optional<std::string> name = FromUtf8(utf8, codePage);
    if (!name || name->size() >= kMaxPath)
        throw Unreadable("the file name \"" + utf8 + "\" cannot be used");
    std::memcpy(e.name, name->c_str(), name->size() + 1);
    return e;
}

Described DescribedFrom(const json& u, std::optional<uint32_t> codePage) {
    Described d;
    d.label = u.at("file").get<std::string>();
    d.oldVersion = u.at("oldVersion").get<std::string>();
    const json& id = u.at("identifies");
    const std::string verify = id.at("verify").get<std::string>();
    if (verify != "md5" && verify != "date-size")
        throw Unreadable("unknown verify \"" + verify + "\"");
    d.verifyMode = verify == "md5" ? 0 : 1;
    d.codePage = codePage.value_or(id.at("codePage").get<uint32_t>());
    d.options.ignoreMissingUpdate = id.at("ignoreMissingUpdate").get<bool>() ? 1 : 0;
    d.options.overwriteOnAdd = id.at("overwriteOnAdd").get<bool>() ? 1 : 0;
    d.options.ignoreMissingDelete = id.at("ignoreMissingDelete").get<bool>() ? 1 : 0;
    for (int l : {0, 2}) {
        for (const auto& [name, value] : id.at(l == 0 ? "update" : "delete").items()) {
            FileEntry e = EntryNamed(name, d.codePage);
            if (!ParseHexDigest(value.get<std::string>(), e.digest))
                throw Unreadable("the check value of " + name + " is not 32 hex digits");
            d.lists[l].push_back(e);
        }
    }
    for (const json& name : id.at("add"))
        d.lists[1].push_back(EntryNamed(name.get<std::string>(), d.codePage));
    return d;
}

std::vector<Described> ReadReleaseJson(const std::string& path, std::optional<uint32_t> codePage) {
    std::ifstream in(HostPath(path), std::ios::binary);
    if (!in) throw Unreadable("cannot read " + path);
    try {
        const json j = json::parse(in);
        std::vector<Described> out;
        for (const json& u : j.at("updaters")) out.push_back(DescribedFrom(u, codePage));
        return out;
    } catch (const json::exception& e) {
        throw Unreadable(path + " is not a release description: " + e.what());
    } catch (const Unreadable& e) {
        throw Unreadable(path + ": " + e.what());
    }
}

Verdict JudgeDescribed(const Described& d, const std::string& target) {
    Run run("", target);
    TakeApplyOptions(*run.state, d.options);
    Verdict verdict;
    verdict.label = d.label;
    verdict.oldVersion = d.oldVersion;
    Lists lists;
    lists.verifyMode = d.verifyMode;
    lists.codePage = d.codePage;
    for (int l = 0; l < 3; ++l) {
        for (const FileEntry& e : d.lists[l]) lists.entries[l].push_back(&e);
    }
    Judge(*run.state, lists, &verdict);
    return verdict;
}

std::string Files(size_t n) {
    return std::to_string(n) + (n == 1 ? " file" : " files");
}

void Report(const std::vector<Verdict>& verdicts, int best, std::ostream& out) {
    const Verdict& b = verdicts[static_cast<size_t>(best)];
    if (b.Fits()) {
        out << "fits: " << b.label << " (old version " << b.oldVersion << "), " << Files(b.checked)
            << " checked\n";
        for (const Verdict& v : verdicts) {
            if (&v == &b || !v.Fits()) continue;
            out << "also accepted: " << v.label << " (old version " << v.oldVersion << "), only "
                << Files(v.checked) << " checked: an older release passes a later one's checks "
                << "where that one left the files alone\n";
        }
        return;
    }
    out << "no updater fits this folder\n";
    const size_t n = b.differences.size();
    out << "nearest: " << b.label << " (old version " << b.oldVersion << "), " << n << " of "
        << Files(b.checked + n) << (n == 1 ? " differs" : " differ") << ":\n";
    for (const Difference& d : b.differences)
        out << "  " << ForTerminal(d.name, 65001) << "  " << DifferenceText(d.code) << "\n";
}

}  // namespace

int BestVerdict(const std::vector<Verdict>& verdicts) {
    int best = -1;
    for (size_t i = 0; i < verdicts.size(); ++i) {
        const Verdict& v = verdicts[i];
        if (best < 0) {
            best = static_cast<int>(i);
            continue;
        }
        const Verdict& b = verdicts[static_cast<size_t>(best)];
        const bool better =
            v.Fits() != b.Fits()
                ? v.Fits()
                : (v.Fits() ? v.checked > b.checked : v.differences.size() < b.differences.size());
        if (better) best = static_cast<int>(i);
    }
    return best;
}

std::string DifferenceText(Result code) {
    switch (code) {
        case kErrorOldFileMissing:
            return "missing";
        case kErrorOldFileOpen:
            return "cannot be opened (in use, no access, or its name is too long)";
        case kErrorOldFileRead:
            return "cannot be read";
        case kErrorDigestMismatch:
            return "other contents (MD5)";
        case kErrorDateSizeMismatch:
            return "other date or size";
        case kErrorAddExists:
            return "is there, but the updater adds it";
        case kErrorNewFileOpen:
            return "its name is too long for the folder";
        default:
            return "result " + ResultText(code);
    }
}

CLI::App* AddIdentifyCommand(CLI::App& app, IdentifyOptions& o) {
    CLI::App* identify =
        app.add_subcommand("identify",
                           "say which updater of a release fits an installed folder "
                           "(kzp identify FOLDER --release release.json, or FOLDER UPDATER...)");
    identify->add_option("folder", o.folder, "the installed folder")->required();
    identify->add_option("updaters", o.updaters, "updater files to try (instead of --release)");
    identify->add_option("-r,--release", o.release,
                         "the release.json that kzp release wrote beside the updaters");
    identify->add_option("--code-page", o.codePage,
                         "code page of the file names (default: release.json's; for updater "
                         "files the system's)");
    identify->footer(
        "Each updater's own verification is run on the folder (MD5 or date and size, as the "
        "package says; files it may skip when missing; files it adds must be absent unless it "
        "overwrites them); nothing is changed. Where several fit, the one that checks the most "
        "files is the folder's own. Exit codes: 0 an updater fits (named on the first line); 6 "
        "none fits (the nearest one and its differing files are listed); 2 the folder, "
        "release.json or an updater cannot be read; 1 bad options.");
    return identify;
}

int RunIdentify(const IdentifyOptions& o, std::ostream& out, std::ostream& err) {
    if (o.release.empty() == o.updaters.empty()) {
        err << "kzp identify: give either --release release.json or updater files\n";
        return kExitUsage;
    }
    std::error_code ec;
    if (!fs::is_directory(HostPath(o.folder), ec)) {
        err << "kzp identify: " << o.folder << " is not a folder\n";
        return kExitUnreadable;
    }
    try {
        std::vector<Described> described;
        if (!o.release.empty()) described = ReadReleaseJson(o.release, o.codePage);
        if (!o.release.empty() && described.empty())
            throw Unreadable(o.release + " lists no updater");
        // The seam turns the package's names into the host's with this code page.
        const uint32_t codePage =
            !described.empty() ? described.front().codePage : o.codePage.value_or(0);
        SetOs(&HostPlatform(codePage));
        std::string target = WindowsFolderOf(o.folder);
        if (!target.empty() && target.back() != '\\') target += '\\';
        if (target.empty() || target.size() >= kMaxPath) {
            err << "kzp identify: the folder " << o.folder
                << " cannot be used (too long or outside every drive)\n";
            return kExitUnreadable;
        }
        std::vector<Verdict> verdicts;
        for (const Described& d : described) verdicts.push_back(JudgeDescribed(d, target));
        for (const std::string& file : o.updaters) {
            if (!fs::is_regular_file(HostPath(file), ec)) throw Unreadable(file + " is not a file");
            verdicts.push_back(JudgeUpdater(file, target, TheOs().GetAnsiCodePage()));
        }
        const int best = BestVerdict(verdicts);
        Report(verdicts, best, out);
        return verdicts[static_cast<size_t>(best)].Fits() ? kExitOk : kExitNoneFits;
    } catch (const Unreadable& e) {
        err << "kzp identify: " << e.what() << "\n";
        return kExitUnreadable;
    }
}

}  // namespace kzp::tool

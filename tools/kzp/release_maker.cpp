#include "tools/kzp/release_maker.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "tools/kzp/host_files.h"
#include "tools/kzp/memory_budget.h"
#include "tools/kzp/zip_archive.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

std::string Hex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

bool IsDeviceName(const std::string& name) {
    // Windows takes these for devices with any extension as well.
    const std::string stem = Lower(name.substr(0, name.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul"}) {
        if (stem == device) return true;
    }
    return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

// Characters in UTF-16, as Windows counts a name's length.
size_t Utf16Length(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

// Names Windows would take for the same file.
std::string NameKey(const std::string& name) {
    return Lower(name);
}

// The digests and names the package verifies, as release.json lists them.
ordered_json Identity(const MakeSettings& s, const MakeReport& r) {
    ordered_json id;
    id["verify"] = s.verifyMode == 0 ? "md5" : "date-size";
    id["codePage"] = s.codePage;
    id["ignoreMissingUpdate"] = s.ignoreMissingUpdate;
    id["overwriteOnAdd"] = s.overwriteOnAdd;
    id["ignoreMissingDelete"] = s.ignoreMissingDelete;
    id["update"] = ordered_json::object();
    for (const MadeEntry& e : r.updates)
        id["update"][e.name] = Hex(e.checkValue.data(), e.checkValue.size());
    id["delete"] = ordered_json::object();
    for (const MadeEntry& e : r.deletes)
        id["delete"][e.name] = Hex(e.checkValue.data(), e.checkValue.size());
    id["add"] = ordered_json::array();
    for (const MadeEntry& e : r.adds) id["add"].push_back(e.name);
    return id;
}

// Runs task(i) for i in [0, count) on up to `jobs` threads; the first
// failure stops the tasks not yet started and is thrown again here.
template <typename Task>
void RunTasks(size_t count, unsigned jobs, Task task) {
    std::atomic<size_t> next{0};
    std::mutex failureMutex;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    auto worker = [&] {
        for (size_t i = next++; i < count && !failed; i = next++) {
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure) failure = std::current_exception();
                failed = true;
            }
        }
    };
    const size_t threads = std::min<size_t>(std::max(jobs, 1u), count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

std::string UpdaterFileName(const std::string& pattern, const std::string& title,
                            const std::string& oldVersion, const std::string& newVersion) {
    std::string name;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '{') {
            name += pattern[i];
            continue;
        }
        const size_t close = pattern.find('}', i);
        const std::string field =
            pattern.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
        if (close == std::string::npos || (field != "title" && field != "old" && field != "new")) {
            throw SettingsError("the name pattern \"" + pattern +
                                "\" may hold {title}, {old} and {new}, and no other {...}");
        }
        name += field == "title" ? (title.empty() ? "update" : title)
                : field == "old" ? oldVersion
                                 : newVersion;
        i = close;
    }
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) c = '_';
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    // Built anew rather than inserted at the front: GCC 12 at -O2 warns about
    // that insert (a false -Wrestrict).
    if (name.empty() || IsDeviceName(name)) name = "_" + name;
    if (Utf16Length(name) > 255)
        throw SettingsError("the updater name \"" + name + "\" is longer than 255 characters");
    return name;
}

void CheckReleaseSettings(const MakeSettings& s) {
    std::error_code ec;
    if (s.newFolder.empty()) throw SettingsError("give the new release's folder");
    if (!fs::is_directory(HostPath(s.newFolder), ec))
        throw FileError("the new release's folder " + s.newFolder + " is not a folder");
    if (s.oldReleases.empty())
        throw SettingsError("give the old releases with --old DIR=VERSION (or \"old\" as a list)");
    if (s.newVersion.empty()) throw SettingsError("give the new version's name (--new-version)");
    if (s.output.empty()) throw SettingsError("give the folder for the updaters (-o)");
    const std::string pattern = s.namePattern.empty() ? kDefaultNamePattern : s.namePattern;
    std::set<std::string> versions;
    std::set<std::string> names{NameKey(kReleaseJsonName)};
    for (const OldRelease& old : s.oldReleases) {
        if (old.version.empty())
            throw SettingsError("the old release " + old.folder + " has no version name");
        if (old.version == s.newVersion) {
            throw SettingsError("the old release " + old.folder + " has the new version's name \"" +
                                old.version + "\"");
        }
        if (!versions.insert(old.version).second)
            throw SettingsError("the version \"" + old.version + "\" is given twice");
        if (!fs::is_directory(HostPath(old.folder), ec))
            throw FileError("the old release's folder " + old.folder + " is not a folder");
        const std::string name = UpdaterFileName(pattern, s.title, old.version, s.newVersion);
        if (!names.insert(NameKey(name)).second) {
            throw SettingsError(
                "two updaters would be named \"" + name +
                "\" (Windows does not tell case apart); give another --name-pattern");
        }
    }
    const fs::path out = HostPath(s.output);
    fs::create_directories(out, ec);
    if (!fs::is_directory(out, ec))
        throw FileError("the output folder " + s.output + " cannot be made");
    // A file that can be made there now, before hours of encoding.
    const fs::path probe = out / ".kzp-release-probe";
    {
        std::ofstream test(probe, std::ios::binary | std::ios::trunc);
        if (!test) throw FileError("cannot write into the output folder " + s.output);
    }
    fs::remove(probe, ec);
}

ReleaseReport MakeRelease(const MakeSettings& s, unsigned jobs, const std::string& zipPath,
                          const Progress& working) {
    CheckReleaseSettings(s);
    const std::string pattern = s.namePattern.empty() ? kDefaultNamePattern : s.namePattern;
    const fs::path out = HostPath(s.output);
    ReleaseReport report;
    report.updaters.resize(s.oldReleases.size());
    std::unique_ptr<MemoryBudget> budget;
    if (s.memoryLimit != 0) budget = std::make_unique<MemoryBudget>(s.memoryLimit);
    std::mutex workingMutex;

    // One task per old release, and the .zip of the new release beside them.
    const size_t zipTask = s.oldReleases.size();
    RunTasks(zipTask + 1, jobs, [&](size_t i) {
        if (i == zipTask) {
            if (zipPath.empty()) {
                report.zipSize = WriteZipArchive(HostPath(s.newFolder), nullptr);
                return;
            }
            std::ofstream zip(HostPath(zipPath), std::ios::binary | std::ios::trunc);
            if (!zip) throw FileError("cannot create " + zipPath);
            report.zipSize = WriteZipArchive(HostPath(s.newFolder), &zip);
            zip.close();
            if (!zip) throw FileError("cannot write " + zipPath);
            return;
        }
        ReleasedUpdater& u = report.updaters[i];
        u.old = s.oldReleases[i];
        u.fileName = UpdaterFileName(pattern, s.title, u.old.version, s.newVersion);
        MakeSettings one = s;
        one.oldFolder = u.old.folder;
        one.oldVersion = u.old.version;
        one.output = Utf8Of(out / HostPath(u.fileName));
        one.oldReleases.clear();
        Progress tell;
        if (working) {
            tell = [&, version = u.old.version](const std::string& line) {
                std::lock_guard<std::mutex> lock(workingMutex);
                working("[" + version + "] " + line);
            };
        }
        u.report = MakeUpdater(one, {}, tell, budget.get());
        u.size = u.report.fileSize;
        u.md5 = u.report.updaterDigest;
        u.sha256 = Sha256OfFile(HostPath(one.output));
    });
    if (budget) report.memoryPeak = budget->Peak();

    const std::string json = ReleaseJson(s, report).dump(2) + "\n";
    WriteWholeFile(out / kReleaseJsonName, Bytes(json.begin(), json.end()));
    return report;
}

ordered_json ReleaseJson(const MakeSettings& s, const ReleaseReport& r) {
    ordered_json j;
    j["title"] = s.title;
    j["newVersion"] = s.newVersion;
    j["newReleaseZipSize"] = r.zipSize;
    j["updaters"] = ordered_json::array();
    for (const ReleasedUpdater& u : r.updaters) {
        ordered_json one;
        one["oldVersion"] = u.old.version;
        one["file"] = u.fileName;
        one["size"] = u.size;
        one["sha256"] = Hex(u.sha256.data(), u.sha256.size());
        one["md5"] = Hex(u.md5.data(), u.md5.size());
        one["updates"] = u.report.updates.size();
        one["adds"] = u.report.adds.size();
        one["deletes"] = u.report.deletes.size();
        one["unchanged"] = u.report.unchanged;
        one["identifies"] = Identity(s, u.report);
        j["updaters"].push_back(std::move(one));
    }
    return j;
}

}  // namespace kzp::tool

#include "tools/kzp/info_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "tools/kzp/host_files.h"
#include "tools/kzp/make_settings.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

using nlohmann::json;

std::string Utf8(const std::string& text, uint32_t codePage) {
    return ToUtf8(text, codePage);
}

json TargetJson(const writer::Package& p, uint32_t cp) {
    const writer::TargetFolder& t = p.target;
    json j;
    auto root = [](uint8_t r) -> json {
        const char* name = RegistryRootName(r);
        return name != nullptr ? json(name) : json(r);
    };
    auto base = [](uint8_t b) -> json {
        return b < 6 ? json(BaseFolderName(b)) : (b == 255 ? json("none") : json(b));
    };
    switch (t.type) {
        case 0:
            j["type"] = "ask";
            break;
        case 1:
            j["type"] = "registry";
            j["root"] = root(t.rootOrBase);
            j["key"] = Utf8(t.path, cp);
            j["value"] = Utf8(t.name, cp);
            break;
        case 2:
            j["type"] = "ini";
            j["base"] = base(t.rootOrBase);
            j["path"] = Utf8(t.path, cp);
            j["section"] = Utf8(t.name, cp);
            j["key"] = Utf8(t.key, cp);
            break;
        case 3:
            j["type"] = "folder";
            j["base"] = base(t.rootOrBase);
            j["path"] = Utf8(t.path, cp);
            break;
        case 4:
            j["type"] = "rules";
            j["rules"] = json::array();
            for (const writer::FolderRule& r : t.rules) {
                json rule;
                if (r.kind == 1) {
                    rule["kind"] = "registry";
                    rule["root"] = root(r.rootOrBase);
                    rule["key"] = Utf8(r.path, cp);
                    rule["value"] = Utf8(r.name, cp);
                } else if (r.kind == 2) {
                    rule["kind"] = "ini";
                    rule["base"] = base(r.rootOrBase);
                    rule["path"] = Utf8(r.path, cp);
                    rule["section"] = Utf8(r.name, cp);
                    rule["key"] = Utf8(r.key, cp);
                } else {
                    rule["kind"] = r.kind;
                    rule["rootOrBase"] = r.rootOrBase;
                    rule["path"] = Utf8(r.path, cp);
                    rule["name"] = Utf8(r.name, cp);
                    rule["key"] = Utf8(r.key, cp);
                }
                rule["variable"] = r.resultVariable;
                j["rules"].push_back(rule);
            }
            if (p.formatVersion < 120) j["rules"] = nullptr;
            break;
        default:
            j["type"] = t.type;
            break;
    }
    return j;
}

json CheckJson(const writer::RunningCheck& c, uint32_t cp) {
    json j;
    if (c.type == 1) {
        j["type"] = "window";
        j["title"] = Utf8(c.windowTitle, cp);
        j["class"] = Utf8(c.windowClass, cp);
    } else if (c.type == 2) {
        j["type"] = "program";
        j["program"] = Utf8(c.programName, cp);
    } else {
        j["type"] = "none";
        if (c.type != 0) j["value"] = c.type;
        return j;
    }
    j["wait"] = WaitModeName(c.waitForExit);
    j["waitValue"] = c.waitForExit;
    return j;
}

json StatsJson(const encoder::StreamCheck& check) {
    const encoder::StreamStats& s = check.stats;
    json j;
    j["wellFormed"] = check.wellFormed;
    if (!check.wellFormed) {
        j["problem"] = check.problem;
        j["problemOffset"] = check.problemOffset;
    }
    j["version"] = s.version;
    j["blockSize"] = s.blockSize;
    j["opcodes"] = json::array();
    for (uint64_t n : s.opcodes) j["opcodes"].push_back(n);
    j["copiedBytes"] = s.copiedBytes;
    j["literalBytes"] = s.literalBytes;
    j["newSize"] = s.OutputBytes();
    j["oldBytesNeeded"] = s.oldEnd;
    return j;
}

json TimeJson(const writer::FileTimeValue& t) {
    return json{{"ticks", t.Ticks()}, {"utc", FormatFileTime(t.Ticks())}};
}

// The parts of a date-and-size check value: FILETIME, then the size.
uint64_t CheckTicks(const writer::Digest& d) {
    uint64_t ticks = 0;
    for (int k = 7; k >= 0; --k) ticks = ticks << 8 | d[static_cast<size_t>(k)];
    return ticks;
}
uint32_t CheckSize(const writer::Digest& d) {
    return static_cast<uint32_t>(d[8]) | static_cast<uint32_t>(d[9]) << 8 |
           static_cast<uint32_t>(d[10]) << 16 | static_cast<uint32_t>(d[11]) << 24;
}

std::string Thousands(uint64_t v) {
    const std::string digits = std::to_string(v);
    std::string s;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

}  // namespace

std::string HexDigest(const writer::Digest& digest) {
    static const char* kDigits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : digest) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::string FormatFileTime(uint64_t ticks) {
    // Days from 1601-01-01 to a civil date (proleptic Gregorian).
    const uint64_t fraction = ticks % 10000000u;
    uint64_t seconds = ticks / 10000000u;
    const int64_t days = static_cast<int64_t>(seconds / 86400) - 134774;  // to 1970-01-01
    seconds %= 86400;
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    char buffer[96];
    std::snprintf(buffer, sizeof(buffer), "%04lld-%02lld-%02lld %02llu:%02llu:%02llu.%07llu UTC",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60),
                  static_cast<unsigned long long>(fraction));
    return buffer;
}

namespace {

// The sections of `kzp info`, in the package's order (see package_inspector).

void HeaderJson(const InspectedPackage& r, uint32_t cp, json& j) {
    const writer::Package& p = r.package;
    j["fileSize"] = r.fileSize;
    j["packageOffset"] = r.packageOffset;
    j["packageSize"] = r.packageEnd - r.packageOffset;
    j["signed"] = r.certificateTable;
    if (r.certificateTable) j["certificateTableSize"] = r.certificateSize;
    j["formatVersion"] = p.formatVersion;
    j["format"] = r.compact ? "compact" : "original";
    j["codePage"] = cp;
    j["title"] = Utf8(p.title, cp);
    j["oldVersion"] = Utf8(p.oldVersion, cp);
    j["newVersion"] = Utf8(p.newVersion, cp);
    j["copyright"] = Utf8(p.copyright, cp);
    j["password"] = p.passwordFlag == 1;
    j["passwordFlag"] = p.passwordFlag;
    if (p.passwordFlag == 1) j["passwordDigest"] = HexDigest(p.passwordDigest);
}

void LanguageSectionJson(const writer::Package& p, json& j) {
    j["deleteBackups"] = p.deleteBackupsDefault != 0;
    j["languages"] = json::array();
    for (const writer::LanguageBlock& b : p.languages) {
        json block;
        block["codePage"] = b.codePage;
        block["fontFace"] = Utf8(b.fontFace, b.codePage);
        block["fontHeight"] = b.fontHeight;
        block["texts"] = json::array();
        for (const std::string& t : b.texts) block["texts"].push_back(Utf8(t, b.codePage));
        j["languages"].push_back(block);
    }
}

void LaunchDocumentsAndOptionsJson(const writer::Package& p, uint32_t cp, json& j) {
    j["launch"] = Utf8(p.launchFile, cp);
    j["documentBefore"] = p.documentBefore ? json(Utf8(*p.documentBefore, cp)) : json(nullptr);
    j["documentAfter"] = p.documentAfter ? json(Utf8(*p.documentAfter, cp)) : json(nullptr);
    j["ignoreMissingUpdate"] = p.ignoreMissingUpdate != 0;
    j["overwriteOnAdd"] = p.overwriteOnAdd != 0;
    j["ignoreMissingDelete"] = p.ignoreMissingDelete != 0;
}

// The old file's time and size that date-and-size packages keep in the digest.
void OldTimeAndSizeJson(const writer::Package& p, const writer::Digest& digest, json& entry) {
    if (p.verifyMode == 0) return;
    entry["oldTime"] = TimeJson(writer::FileTimeValue::FromTicks(CheckTicks(digest)));
    entry["oldSize"] = CheckSize(digest);
}

const char* const kCompactStreamNames[kCompactStreams] = {
    "copyLengths", "literalLengths", "oldSteps", "changeGaps",
    "changeKinds", "changeWords",    "literals"};

// The sizes compact data holds: the new file, and each stream's, packed and not.
json CompactJson(const encoder::CompactHeader& h) {
    json c;
    c["newSize"] = h.newSize;
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        c["streams"][kCompactStreamNames[i]] = {
            {"unpacked", h.unpacked[i]}, {"packed", h.packed[i]}, {"dictionary", h.dictionary[i]}};
    }
    return c;
}

std::string CompactText(const encoder::CompactHeader& h) {
    std::string text = Thousands(h.newSize) + " bytes; streams (packed/unpacked)";
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        text += std::string(i == 0 ? " " : ", ") + kCompactStreamNames[i] + " " +
                Thousands(h.packed[i]) + "/" + Thousands(h.unpacked[i]);
    }
    return text;
}

void FileEntriesJson(const InspectedPackage& r, uint32_t cp, json& j) {
    const writer::Package& p = r.package;
    j["verify"] = p.verifyMode == 0 ? "md5" : "date-size";
    j["updates"] = json::array();
    for (size_t i = 0; i < p.updates.size(); ++i) {
        const writer::UpdateEntry& e = p.updates[i];
        json u;
        u["name"] = Utf8(e.name, cp);
        u["digest"] = HexDigest(e.digest);
        OldTimeAndSizeJson(p, e.digest, u);
        u["fileTime"] = TimeJson(e.fileTime);
        u["dataOffset"] = r.updateData[i].dataOffset;
        u["dataLength"] = r.updateData[i].dataLength;
        if (r.compact) {
            u["compact"] = CompactJson(r.compactUpdates[i]);
            u["wellFormed"] = r.streams[i].wellFormed;
        } else {
            u["stream"] = StatsJson(r.streams[i]);
        }
        j["updates"].push_back(u);
    }
    j["adds"] = json::array();
    for (size_t i = 0; i < p.adds.size(); ++i) {
        const writer::AddEntry& e = p.adds[i];
        json a;
        a["name"] = Utf8(e.name, cp);
        a["fileTime"] = TimeJson(e.fileTime);
        a["dataOffset"] = r.addData[i].dataOffset;
        a["dataLength"] = r.addData[i].dataLength;
        a["inside"] = r.addData[i].inside;
        if (r.compact) a["compact"] = CompactJson(r.compactAdds[i]);
        j["adds"].push_back(a);
    }
    j["deletes"] = json::array();
    for (const writer::DeleteEntry& e : p.deletes) {
        json d = {{"name", Utf8(e.name, cp)}, {"digest", HexDigest(e.digest)}};
        OldTimeAndSizeJson(p, e.digest, d);
        j["deletes"].push_back(d);
    }
    j["dataAreaOffset"] = r.listsEnd;
}

void TrailerAndProblemsJson(const InspectedPackage& r, uint32_t cp, json& j) {
    j["trailer"] = {{"matches", r.trailerMatches},
                    {"stored", HexDigest(r.storedTrailer)},
                    {"computed", HexDigest(r.computedTrailer)}};
    // Problems quote entry names as the package holds them, in its code page.
    j["problems"] = json::array();
    for (const std::string& problem : r.problems) j["problems"].push_back(Utf8(problem, cp));
}

void HeaderText(const InspectedPackage& r, uint32_t cp, std::ostream& o) {
    const writer::Package& p = r.package;
    auto text = [&](const std::string& s) { return ForTerminal(s, cp); };
    o << "file            " << Thousands(r.fileSize) << " bytes; package at " << r.packageOffset
      << ", " << Thousands(r.packageEnd - r.packageOffset) << " bytes";
    if (r.certificateTable)
        o << "; signed (certificate table of " << Thousands(r.certificateSize) << " bytes)";
    o << "\nformat version  " << p.formatVersion << (r.compact ? " (compact)" : "") << "\n";
    o << "title           " << text(p.title) << "\n";
    o << "old version     " << text(p.oldVersion) << "\n";
    o << "new version     " << text(p.newVersion) << "\n";
    o << "copyright       " << text(p.copyright) << "\n";
    o << "password        "
      << (p.passwordFlag == 1 ? "yes (MD5 " + HexDigest(p.passwordDigest) + ")" : std::string("no"))
      << "\n";
}

void SectionsText(const writer::Package& p, uint32_t cp, std::ostream& o) {
    auto text = [&](const std::string& s) { return ForTerminal(s, cp); };
    o << "delete backups  " << (p.deleteBackupsDefault ? "checked" : "cleared") << " by default\n";
    o << "languages       " << p.languages.size() << "\n";
    for (const writer::LanguageBlock& b : p.languages) {
        o << "  code page " << b.codePage << ", font \"" << ForTerminal(b.fontFace, b.codePage)
          << "\" " << static_cast<int>(b.fontHeight)
          << "; slot 8: " << ForTerminal(b.texts[8], b.codePage) << "\n";
    }
    o << "target folder   "
      << TargetJson(p, cp).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    o << "program check   "
      << CheckJson(p.check, cp).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    o << "launch file     " << text(p.launchFile) << "\n";
    o << "document before "
      << (p.documentBefore ? std::to_string(p.documentBefore->size()) + " bytes" : "none") << "\n";
    o << "document after  "
      << (p.documentAfter ? std::to_string(p.documentAfter->size()) + " bytes" : "none") << "\n";
    o << "options         ignoreMissingUpdate " << int(p.ignoreMissingUpdate) << ", overwriteOnAdd "
      << int(p.overwriteOnAdd) << ", ignoreMissingDelete " << int(p.ignoreMissingDelete) << "\n";
}

void FileEntriesText(const InspectedPackage& r, uint32_t cp, std::ostream& o) {
    const writer::Package& p = r.package;
    auto text = [&](const std::string& s) { return ForTerminal(s, cp); };
    o << "verification    " << (p.verifyMode == 0 ? "MD5" : "date and size") << "\n";
    o << "updates         " << p.updates.size() << "\n";
    for (size_t i = 0; i < p.updates.size() && r.compact; ++i) {
        o << "  " << text(p.updates[i].name) << "  data " << Thousands(r.updateData[i].dataLength)
          << " bytes -> " << CompactText(r.compactUpdates[i]);
        if (!r.streams[i].wellFormed) o << "; NOT WELL-FORMED: " << r.streams[i].problem;
        o << "\n";
    }
    for (size_t i = 0; i < p.updates.size() && !r.compact; ++i) {
        const encoder::StreamCheck& c = r.streams[i];
        o << "  " << text(p.updates[i].name) << "  stream " << Thousands(r.updateData[i].dataLength)
          << " bytes -> " << Thousands(c.stats.OutputBytes()) << " bytes; copied "
          << Thousands(c.stats.copiedBytes) << ", literal " << Thousands(c.stats.literalBytes)
          << "; opcodes";
        for (int op = 0; op < 7; ++op) o << " " << op << ":" << c.stats.opcodes[op];
        if (!c.wellFormed) o << "; NOT WELL-FORMED: " << c.problem;
        o << "\n";
    }
    o << "adds            " << p.adds.size() << "\n";
    for (size_t i = 0; i < p.adds.size(); ++i) {
        o << "  " << text(p.adds[i].name) << "  " << Thousands(r.addData[i].dataLength)
          << " bytes, " << FormatFileTime(p.adds[i].fileTime.Ticks());
        if (r.compact) o << "; compact data -> " << CompactText(r.compactAdds[i]);
        o << "\n";
    }
    o << "deletes         " << p.deletes.size() << "\n";
    for (const writer::DeleteEntry& e : p.deletes) {
        o << "  " << text(e.name);
        if (p.verifyMode != 0)
            o << "  " << Thousands(CheckSize(e.digest)) << " bytes, "
              << FormatFileTime(CheckTicks(e.digest));
        o << "\n";
    }
}

}  // namespace

json DescribePackageJson(const InspectedPackage& r, uint32_t cp) {
    json j;
    HeaderJson(r, cp, j);
    LanguageSectionJson(r.package, j);
    j["target"] = TargetJson(r.package, cp);
    j["check"] = CheckJson(r.package.check, cp);
    LaunchDocumentsAndOptionsJson(r.package, cp, j);
    FileEntriesJson(r, cp, j);
    TrailerAndProblemsJson(r, cp, j);
    return j;
}

std::string DescribePackageText(const InspectedPackage& r, uint32_t cp) {
    std::ostringstream o;
    HeaderText(r, cp, o);
    SectionsText(r.package, cp, o);
    FileEntriesText(r, cp, o);
    o << "trailer         " << (r.trailerMatches ? "matches" : "DOES NOT MATCH") << " ("
      << HexDigest(r.storedTrailer) << ")\n";
    for (const std::string& problem : r.problems)
        o << "problem: " << ForTerminal(problem, cp) << "\n";
    return o.str();
}

CLI::App* AddInfoCommand(CLI::App& app, InfoOptions& o) {
    CLI::App* info = app.add_subcommand("info", "show everything an updater file or package holds");
    info->add_option("file", o.file, "the updater file (or a bare package)")->required();
    info->add_flag("--json", o.json, "print JSON instead of text");
    info->add_option(
        "--code-page", o.codePage,
        "code page of the package's texts and names (default 1252; language blocks use their own)");
    info->footer(
        "Exit codes: 0 the package holds together; 2 the file cannot be read or is not a package "
        "(cut short, wrong magic or version); 3 it was read, but its trailer does not match or a "
        "stream is not well-formed.");
    return info;
}

int RunInfo(const InfoOptions& options, std::ostream& out, std::ostream& err) {
    const std::string& path = options.file;
    const uint32_t codePage = options.codePage;
    std::vector<uint8_t> file;
    try {
        file = ReadWholeFile(HostPath(path));
    } catch (const FileError& e) {
        err << "kzp info: " << e.what() << "\n";
        return kExitUnreadable;
    }
    InspectedPackage package;
    try {
        package = InspectPackage(file);
    } catch (const PackageError& e) {
        err << "kzp info: " << path << ": " << e.what() << " (package offset " << e.offset << ")\n";
        return kExitUnreadable;
    }
    if (options.json) {
        json j = DescribePackageJson(package, codePage);
        j["file"] = path;
        out << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        out << DescribePackageText(package, codePage);
    }
    return package.problems.empty() ? kExitOk : kExitProblems;
}

}  // namespace kzp::tool

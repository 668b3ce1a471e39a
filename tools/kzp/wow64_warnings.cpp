#include "tools/kzp/wow64_warnings.h"

#include <cstdint>

#include "package/package_layout.h"
#include "tools/kzp/make_settings.h"

namespace kzp::tool {
namespace {

// The registry root and base folder indices the package writes (see
// ParseRegistryRoot and ParseBaseFolder).
constexpr uint8_t kHklm = 2;
constexpr uint8_t kWindowsBase = 0;
constexpr uint8_t kSystemBase = 1;
constexpr uint8_t kProgramFilesBase = 2;

// `path` without leading separators, lower case, with '/' as '\'.
std::string Normalised(const std::string& path) {
    std::string p = Lower(path);
    for (char& c : p) {
        if (c == '/') c = '\\';
    }
    size_t start = p.find_first_not_of('\\');
    return start == std::string::npos ? std::string() : p.substr(start);
}

// Whether `path` is `folder` or lies beneath it.
bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(folder + "\\", 0) == 0;
}

// HKLM\Software, except the parts every view shares or that name the 32-bit
// view already.
bool IsRedirectedKey(uint8_t root, const std::string& key) {
    if (root != kHklm) return false;
    const std::string k = Normalised(key);
    return IsAtOrBelow(k, "software") && !IsAtOrBelow(k, "software\\wow6432node") &&
           !IsAtOrBelow(k, "software\\classes");
}

std::string RegistryWarning(const std::string& where, const std::string& key) {
    return where + " reads HKLM\\" + key +
           ": on 64-bit Windows the 32-bit updater reads it through "
           "HKLM\\Software\\Wow6432Node, so a value that a 64-bit installer wrote is not "
           "found (0x10008). Have the installer write the value into the 32-bit view as well, "
           "or use HKCU\\Software, which both views share.";
}

// A warning for a folder given as `base` + `path`, or empty.
std::string FolderWarning(const std::string& where, uint8_t base, const std::string& path) {
    if (base == kProgramFilesBase) {
        return where +
               " starts at the Program Files folder: on 64-bit Windows the 32-bit "
               "updater is given \"Program Files (x86)\", where a 64-bit program is "
               "not. For a 64-bit program, use the base windows-drive with "
               "\"Program Files\\" +
               path + "\".";
    }
    if (base == kSystemBase ||
        (base == kWindowsBase && IsAtOrBelow(Normalised(path), "system32"))) {
        return where +
               " lies in the system folder: on 64-bit Windows the 32-bit updater's "
               "accesses there go to SysWOW64, where a 64-bit installer's files are not.";
    }
    return {};
}

}  // namespace

bool IsX86Image(const writer::Bytes& image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
    const uint32_t pe = image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 |
                        static_cast<uint32_t>(image[0x3F]) << 24;
    if (pe > image.size() || image.size() - pe < 6) return false;
    if (image[pe] != 'P' || image[pe + 1] != 'E' || image[pe + 2] != 0 || image[pe + 3] != 0)
        return false;
    return (image[pe + 4] | image[pe + 5] << 8) == 0x14C;
}

std::vector<std::string> Wow64Warnings(const writer::TargetFolder& target) {
    std::vector<std::string> warnings;
    auto add = [&warnings](std::string warning) {
        if (!warning.empty()) warnings.push_back(std::move(warning));
    };
    const std::string targetName = "the target folder";
    if (target.type == kFolderRegistry && IsRedirectedKey(target.rootOrBase, target.path))
        add(RegistryWarning(targetName, target.path));
    if (target.type == kFolderIni)
        add(FolderWarning("the target's INI file", target.rootOrBase, target.path));
    if (target.type == kFolderBasePlusPath)
        add(FolderWarning(targetName, target.rootOrBase, target.path));
    for (size_t i = 0; i < target.rules.size(); ++i) {
        const writer::FolderRule& rule = target.rules[i];
        const std::string where = "lookup rule " + std::to_string(i + 1);
        if (rule.kind == kRuleRegistry && IsRedirectedKey(rule.rootOrBase, rule.path))
            add(RegistryWarning(where, rule.path));
        if (rule.kind == kRuleIni)
            add(FolderWarning(where + "'s INI file", rule.rootOrBase, rule.path));
    }
    return warnings;
}

}  // namespace kzp::tool

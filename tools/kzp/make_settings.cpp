#include "tools/kzp/make_settings.h"

#include "tools/kzp/host_files.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// Accessors that name the key in their message.
std::string String(const json& object, const char* key, const std::string& fallback = "") {
    if (!object.contains(key)) return fallback;
    const json& v = object.at(key);
    if (!v.is_string()) throw SettingsError(std::string("\"") + key + "\" must be a text");
    return v.get<std::string>();
}

bool Flag(const json& object, const char* key, bool fallback) {
    if (!object.contains(key)) return fallback;
    const json& v = object.at(key);
    if (!v.is_boolean()) throw SettingsError(std::string("\"") + key + "\" must be true or false");
    return v.get<bool>();
}

uint32_t Number(const json& object, const char* key, uint32_t max, uint32_t fallback) {
    if (!object.contains(key)) return fallback;
    const json& v = object.at(key);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max) {
        throw SettingsError(std::string("\"") + key + "\" must be a number from 0 to " +
                            std::to_string(max));
    }
    return static_cast<uint32_t>(v.get<uint64_t>());
}

// A name or a number, for roots, bases and wait modes.
std::string NameOrNumber(const json& object, const char* key, const std::string& fallback) {
    if (!object.contains(key)) return fallback;
    const json& v = object.at(key);
    if (v.is_number_unsigned()) return std::to_string(v.get<uint64_t>());
    if (v.is_string()) return v.get<std::string>();
    throw SettingsError(std::string("\"") + key + "\" must be a name or a number");
}

std::string RelativeTo(const fs::path& folder, const std::string& path) {
    if (path.empty()) return path;
    fs::path p = HostPath(path);
    if (p.is_absolute()) return path;
    return Utf8Of((folder / p).lexically_normal());
}

writer::FolderRule RuleFromJson(const json& r) {
    if (!r.is_object()) throw SettingsError("a folder rule must be an object");
    writer::FolderRule rule;
    const std::string kind = Lower(String(r, "kind"));
    rule.resultVariable = static_cast<uint8_t>(Number(r, "variable", 255, 0));
    if (kind == "registry") {
        rule.kind = 1;
        rule.rootOrBase = ParseRegistryRoot(NameOrNumber(r, "root", "HKLM"));
        rule.path = String(r, "key");
        rule.name = String(r, "value");
    } else if (kind == "ini") {
        rule.kind = 2;
        rule.rootOrBase = ParseBaseFolder(NameOrNumber(r, "base", "none"));
        rule.path = String(r, "path");
        rule.name = String(r, "section");
        rule.key = String(r, "key");
    } else if (r.contains("kind") && r.at("kind").is_number_unsigned()) {
        // Any other kind is carried and skipped by the updater.
        rule.kind = static_cast<uint8_t>(Number(r, "kind", 255, 0));
        rule.rootOrBase = static_cast<uint8_t>(Number(r, "rootOrBase", 255, 0));
        rule.path = String(r, "path");
        rule.name = String(r, "name");
        rule.key = String(r, "key");
    } else {
        throw SettingsError("a folder rule's \"kind\" must be \"registry\" or \"ini\"");
    }
    return rule;
}

void TargetFromJson(const json& t, writer::TargetFolder* target) {
    if (!t.is_object()) throw SettingsError("\"target\" must be an object");
    const std::string type = Lower(String(t, "type", "ask"));
    *target = writer::TargetFolder{};
    if (type == "ask") {
        target->type = 0;
    } else if (type == "registry") {
        target->type = 1;
        target->rootOrBase = ParseRegistryRoot(NameOrNumber(t, "root", "HKLM"));
        target->path = String(t, "key");
        target->name = String(t, "value");
    } else if (type == "ini") {
        target->type = 2;
        target->rootOrBase = ParseBaseFolder(NameOrNumber(t, "base", "none"));
        target->path = String(t, "path");
        target->name = String(t, "section");
        target->key = String(t, "key");
    } else if (type == "folder") {
        target->type = 3;
        target->rootOrBase = ParseBaseFolder(NameOrNumber(t, "base", "none"));
        target->path = String(t, "path");
    } else if (type == "rules") {
        target->type = 4;
        if (!t.contains("rules") || !t.at("rules").is_array()) {
            throw SettingsError("a target of type \"rules\" needs a \"rules\" list");
        }
        for (const json& r : t.at("rules")) target->rules.push_back(RuleFromJson(r));
    } else {
        throw SettingsError("\"target\" type must be ask, registry, ini, folder or rules");
    }
}

void CheckFromJson(const json& c, writer::RunningCheck* check) {
    if (!c.is_object()) throw SettingsError("\"check\" must be an object");
    const std::string type = Lower(String(c, "type", "none"));
    *check = writer::RunningCheck{};
    if (type == "none") return;
    check->waitForExit = ParseWaitMode(NameOrNumber(c, "wait", "none"));
    if (type == "window") {
        check->type = 1;
        check->windowTitle = String(c, "title");
        check->windowClass = String(c, "class");
    } else if (type == "program") {
        check->type = 2;
        check->programName = String(c, "program");
    } else {
        throw SettingsError("\"check\" type must be none, window or program");
    }
}

LanguageSetting LanguageFromJson(const json& l) {
    LanguageSetting setting;
    if (l.is_string()) {
        setting.builtIn = l.get<std::string>();
        if (setting.builtIn != "en" && setting.builtIn != "ja") {
            throw SettingsError("built-in languages are \"en\" and \"ja\"");
        }
        return setting;
    }
    if (!l.is_object()) throw SettingsError("a language must be \"en\", \"ja\" or an object");
    setting.builtIn = String(l, "base");
    if (!setting.builtIn.empty() && setting.builtIn != "en" && setting.builtIn != "ja") {
        throw SettingsError("a language's \"base\" must be \"en\" or \"ja\"");
    }
    if (l.contains("codePage")) setting.codePage = Number(l, "codePage", 0xFFFFFFFFu, 0);
    if (l.contains("fontFace")) setting.fontFace = String(l, "fontFace");
    if (l.contains("fontHeight"))
        setting.fontHeight = static_cast<uint8_t>(Number(l, "fontHeight", 255, 0));
    if (l.contains("texts")) {
        const json& texts = l.at("texts");
        if (texts.is_array()) {
            if (texts.size() != 69)
                throw SettingsError("a language's \"texts\" list must hold 69 texts");
            for (int k = 0; k < 69; ++k) {
                if (!texts[k].is_string()) throw SettingsError("language texts must be texts");
                setting.texts[k] = texts[k].get<std::string>();
            }
        } else if (texts.is_object()) {
            for (auto it = texts.begin(); it != texts.end(); ++it) {
                uint32_t slot;
                if (!ParseNumber(it.key(), 68, &slot) || !it.value().is_string()) {
                    throw SettingsError(
                        "language texts are keyed by slot numbers 0..68 and hold texts");
                }
                setting.texts[static_cast<int>(slot)] = it.value().get<std::string>();
            }
        } else {
            throw SettingsError("a language's \"texts\" must be a list or an object");
        }
    }
    if (setting.builtIn.empty() && !setting.codePage) {
        throw SettingsError("a language of its own needs a \"codePage\"");
    }
    return setting;
}

// "old" is one folder for kzp make, or a list of {"dir", "version"} for
// kzp release.
void OldFromJson(const json& j, const fs::path& folder, MakeSettings* s) {
    if (!j.contains("old")) return;
    const json& old = j.at("old");
    if (old.is_string()) {
        s->oldFolder = RelativeTo(folder, old.get<std::string>());
        return;
    }
    if (!old.is_array())
        throw SettingsError("\"old\" must be a folder or a list of {\"dir\", \"version\"}");
    s->oldReleases.clear();
    for (const json& r : old) {
        if (!r.is_object() || !r.contains("dir") || !r.contains("version")) {
            throw SettingsError("each old release needs a \"dir\" and a \"version\"");
        }
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (it.key() != "dir" && it.key() != "version")
                throw SettingsError("an old release has only \"dir\" and \"version\"");
        }
        s->oldReleases.push_back({RelativeTo(folder, String(r, "dir")), String(r, "version")});
    }
}

const char* const kBaseNames[] = {"windows",       "system",  "program-files",
                                  "windows-drive", "desktop", "documents"};

}  // namespace

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

uint8_t ParseRegistryRoot(const std::string& text) {
    const std::string t = Lower(text);
    if (t == "hkcr" || t == "hkey_classes_root") return 0;
    if (t == "hkcu" || t == "hkey_current_user") return 1;
    if (t == "hklm" || t == "hkey_local_machine") return 2;
    if (t == "hku" || t == "hkey_users") return 3;
    uint32_t v;
    if (ParseNumber(t, 255, &v)) return static_cast<uint8_t>(v);
    throw SettingsError("unknown registry root \"" + text + "\" (HKCR, HKCU, HKLM, HKU)");
}

uint8_t ParseBaseFolder(const std::string& text) {
    const std::string t = Lower(text);
    for (uint8_t i = 0; i < 6; ++i) {
        if (t == kBaseNames[i]) return i;
    }
    if (t == "none") return 255;
    uint32_t v;
    if (ParseNumber(t, 255, &v)) return static_cast<uint8_t>(v);
    throw SettingsError(
        "unknown base folder \"" + text +
        "\" (windows, system, program-files, windows-drive, desktop, documents, none)");
}

uint8_t ParseWaitMode(const std::string& text) {
    const std::string t = Lower(text);
    if (t == "none") return 0;
    if (t == "ask") return 1;
    if (t == "quiet") return 2;
    uint32_t v;
    if (ParseNumber(t, 255, &v)) return static_cast<uint8_t>(v);
    throw SettingsError("unknown wait mode \"" + text + "\" (none, ask, quiet)");
}

uint8_t ParseVerifyMode(const std::string& text) {
    const std::string t = Lower(text);
    if (t == "md5") return 0;
    if (t == "date-size") return 1;
    throw SettingsError("unknown verification \"" + text + "\" (md5, date-size)");
}

const char* RegistryRootName(uint8_t root) {
    static const char* const kNames[] = {"HKCR", "HKCU", "HKLM", "HKU"};
    return root < 4 ? kNames[root] : nullptr;
}

std::string BaseFolderName(uint8_t base) {
    if (base < 6) return kBaseNames[base];
    return "none";
}

std::string WaitModeName(uint8_t wait) {
    if (wait == 0) return "none";
    if (wait == 1) return "ask";
    return "quiet";
}

writer::FolderRule ParseRuleText(const std::string& text) {
    std::vector<std::string> f = Split(text, '|');
    writer::FolderRule rule;
    uint32_t variable = 0;
    const std::string kind = f.empty() ? "" : Lower(f[0]);
    if (kind == "registry" && f.size() == 5 && ParseNumber(f[1], 255, &variable)) {
        rule.kind = 1;
        rule.rootOrBase = ParseRegistryRoot(f[2]);
        rule.path = f[3];
        rule.name = f[4];
    } else if (kind == "ini" && f.size() == 6 && ParseNumber(f[1], 255, &variable)) {
        rule.kind = 2;
        rule.rootOrBase = ParseBaseFolder(f[2]);
        rule.path = f[3];
        rule.name = f[4];
        rule.key = f[5];
    } else {
        throw SettingsError(
            "a rule is registry|VAR|ROOT|KEY|VALUE or ini|VAR|BASE|FILE|SECTION|KEY, not \"" +
            text + "\"");
    }
    rule.resultVariable = static_cast<uint8_t>(variable);
    return rule;
}

void LoadProjectFile(const std::string& path, MakeSettings* s) {
    std::ifstream in(HostPath(path), std::ios::binary);
    if (!in) throw SettingsError("cannot read the project file " + path);
    json j;
    try {
        j = json::parse(in);
    } catch (const json::exception& e) {
        throw SettingsError("project file " + path + ": " + e.what());
    }
    if (!j.is_object())
        throw SettingsError("project file " + path + ": the top level must be an object");
    static const char* const kKeys[] = {"old",
                                        "new",
                                        "output",
                                        "stub",
                                        "title",
                                        "oldVersion",
                                        "newVersion",
                                        "copyright",
                                        "password",
                                        "deleteBackups",
                                        "codePage",
                                        "verify",
                                        "blockSize",
                                        "target",
                                        "check",
                                        "launch",
                                        "documentBefore",
                                        "documentAfter",
                                        "ignoreMissingUpdate",
                                        "overwriteOnAdd",
                                        "ignoreMissingDelete",
                                        "languages",
                                        "compact",
                                        "namePattern"};
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (std::find_if(std::begin(kKeys), std::end(kKeys),
                         [&](const char* k) { return it.key() == k; }) == std::end(kKeys)) {
            throw SettingsError("project file " + path + ": unknown key \"" + it.key() + "\"");
        }
    }
    const fs::path folder = HostPath(path).parent_path();
    try {
        OldFromJson(j, folder, s);
        s->newFolder = RelativeTo(folder, String(j, "new", s->newFolder));
        s->output = RelativeTo(folder, String(j, "output", s->output));
        s->stub = RelativeTo(folder, String(j, "stub", s->stub));
        s->namePattern = String(j, "namePattern", s->namePattern);
        s->title = String(j, "title", s->title);
        s->oldVersion = String(j, "oldVersion", s->oldVersion);
        s->newVersion = String(j, "newVersion", s->newVersion);
        s->copyright = String(j, "copyright", s->copyright);
        if (j.contains("password")) s->password = String(j, "password");
        s->deleteBackups = Flag(j, "deleteBackups", s->deleteBackups);
        s->codePage = Number(j, "codePage", 0xFFFFFFFFu, s->codePage);
        if (j.contains("verify")) s->verifyMode = ParseVerifyMode(String(j, "verify"));
        s->blockSize = Number(j, "blockSize", 0xFFFFFFFFu, s->blockSize);
        s->compact = Flag(j, "compact", s->compact);
        if (j.contains("target")) TargetFromJson(j.at("target"), &s->target);
        if (j.contains("check")) CheckFromJson(j.at("check"), &s->check);
        s->launchFile = String(j, "launch", s->launchFile);
        s->documentBefore = RelativeTo(folder, String(j, "documentBefore", s->documentBefore));
        s->documentAfter = RelativeTo(folder, String(j, "documentAfter", s->documentAfter));
        s->ignoreMissingUpdate = Flag(j, "ignoreMissingUpdate", s->ignoreMissingUpdate);
        s->overwriteOnAdd = Flag(j, "overwriteOnAdd", s->overwriteOnAdd);
        s->ignoreMissingDelete = Flag(j, "ignoreMissingDelete", s->ignoreMissingDelete);
        if (j.contains("languages")) {
            if (!j.at("languages").is_array()) throw SettingsError("\"languages\" must be a list");
            s->languages.clear();
            for (const json& l : j.at("languages")) s->languages.push_back(LanguageFromJson(l));
        }
    } catch (const SettingsError& e) {
        throw SettingsError("project file " + path + ": " + e.what());
    } catch (const json::exception& e) {
        throw SettingsError("project file " + path + ": " + e.what());
    }
}

}  // namespace kzp::tool

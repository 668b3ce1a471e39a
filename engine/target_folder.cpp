#include "engine/target_folder.h"

#include <string.h>

#include "engine/prompts.h"
#include "package/package_layout.h"
#include "package/package_reader.h"
#include "platform/owned_handles.h"

namespace kzp {
namespace {

// shell32.dll 5.0 knows the Program Files folder itself.
constexpr uint32_t kShellWithProgramFiles = 0x50000;
constexpr uint8_t kLastRegistryRoot = kUsers;

// A folder query's result, or the empty text when the buffer did not hold it
// (the call then reports the size it needs instead of the length).
void QueryFolder(uint32_t (Os::*query)(char*, uint32_t), char* entry260) {
    entry260[0] = 0;
    uint32_t length = (TheOs().*query)(entry260, kMaxPath);
    if (length == 0 || length >= kMaxPath) entry260[0] = 0;
    entry260[kMaxPath - 1] = 0;
}

// "<drive>:\" followed by `rest`, with the drive letter of the Windows folder.
void DriveFolder(const char* windowsFolder, const char* rest, char* entry260) {
    entry260[0] = 0;
    if (windowsFolder[0] == 0) return;
    const char root[4] = {windowsFolder[0], ':', '\\', 0};
    CopyText(entry260, kMaxPath, root);
    AppendText(entry260, kMaxPath, rest);
}

// `base` (an entry of the table, or none above index 5), a backslash unless it
// already ends in one, then `text`. False when the base folder is unknown or
// the path does not fit 259 bytes.
bool ComposeBasePath(const BaseFolderTable& table, uint8_t baseIndex, const char* text,
                     char* out260) {
    out260[0] = 0;
    if (baseIndex > kLastBaseIndex) return CopyText(out260, kMaxPath, text);
    const char* base = table.entries[baseIndex];
    // An entry the system could not supply would turn the path into one
    // relative to the current drive.
    if (base[0] == 0) return false;
    return CopyText(out260, kMaxPath, base) && AppendBackslashIfMissing(out260, kMaxPath) &&
           AppendText(out260, kMaxPath, text);
}

// RegOpenKeyExA + RegQueryValueExA of one value into `out260`. The value is
// read into a buffer one byte longer than the 260 bytes it may fill, so that a
// value stored without terminator is terminated behind its last byte; a text
// that then needs more than 259 bytes is refused like an unreadable one.
Result ReadRegistryText(uint8_t root, const char* keyPath, const char* valueName, char* out260) {
    if (root > kLastRegistryRoot) return kErrorTargetFolder;
    Os& os = TheOs();
    RegistryKey opened = kNoRegistryKey;
    if (!os.OpenRegistryKey(static_cast<RegistryRoot>(root), keyPath, &opened)) {
        return kErrorTargetFolder;
    }
    OwnedRegistryKey key(opened);
    out260[0] = 0;
    char value[kMaxPath + 1];
    value[0] = 0;
    uint32_t size = kMaxPath;
    bool ok = os.QueryRegistryValue(key.Get(), valueName, value, &size);
    if (!ok || size > kMaxPath) return kErrorTargetFolder;
    value[size] = 0;
    if (!CopyText(out260, kMaxPath, value)) {
        out260[0] = 0;
        return kErrorTargetFolder;
    }
    return out260[0] == 0 ? kErrorTargetFolder : kResultOk;
}

// GetPrivateProfileStringA with the empty default into `out260`. A value
// longer than 259 bytes would come back cut; it is refused instead.
Result ReadIniText(const char* section, const char* key, const char* iniPath, char* out260) {
    char value[kMaxPath + 1];
    value[0] = 0;
    uint32_t length = TheOs().ReadProfileString(section, key, "", value, sizeof(value), iniPath);
    value[kMaxPath] = 0;
    out260[0] = 0;
    if (length >= kMaxPath || !CopyText(out260, kMaxPath, value)) {
        out260[0] = 0;
        return kErrorTargetFolder;
    }
    return out260[0] == 0 ? kErrorTargetFolder : kResultOk;
}

Result RunRegistryRule(const FolderRule& rule, char (*variables)[kMaxPath]) {
    char keyPath[kExpansionSize];
    char valueName[kExpansionSize];
    if (!ExpandFolderVariables(keyPath, rule.rulePath, variables) ||
        !ExpandFolderVariables(valueName, rule.ruleName, variables)) {
        return kErrorTargetFolder;
    }
    return ReadRegistryText(rule.rootOrBase, keyPath, valueName, variables[rule.resultVariable]);
}

Result RunIniRule(const FolderRule& rule, char (*variables)[kMaxPath],
                  const BaseFolderTable& table) {
    char file[kExpansionSize];
    char section[kExpansionSize];
    char key[kExpansionSize];
    char iniPath[kMaxPath];
    if (!ExpandFolderVariables(file, rule.rulePath, variables) ||
        !ExpandFolderVariables(section, rule.ruleName, variables) ||
        !ExpandFolderVariables(key, rule.ruleKey, variables) ||
        !ComposeBasePath(table, rule.rootOrBase, file, iniPath)) {
        return kErrorTargetFolder;
    }
    return ReadIniText(section, key, iniPath, variables[rule.resultVariable]);
}

Result ResolveSection(const TargetFolderSection& section, UpdaterState& state,
                      const BaseFolderTable& table) {
    char* folder = state.targetFolder;
    if (!section.hasRecord) return kErrorTargetFolder;  // unknown type, or rules before 120
    switch (section.folderType) {
        case kFolderAsk:
            if (state.prompts == nullptr) return kResultCancelled;
            return state.prompts->TargetFolderDialog(state) == 0 && folder[0] != 0
                       ? kResultOk
                       : kResultCancelled;
        case kFolderRegistry:
            return ReadRegistryText(section.rootOrBase, section.path, section.name, folder);
        case kFolderIni: {
            char iniPath[kMaxPath];
            if (!ComposeBasePath(table, section.rootOrBase, section.path, iniPath)) {
                return kErrorTargetFolder;
            }
            return ReadIniText(section.name, section.key, iniPath, folder);
        }
        case kFolderBasePlusPath:
            if (!ComposeBasePath(table, section.rootOrBase, section.path, folder)) {
                folder[0] = 0;
                return kErrorTargetFolder;
            }
            return folder[0] == 0 ? kErrorTargetFolder : kResultOk;
        case kFolderRules:
            return EvaluateFolderRules(folder, section.rules, table);
        default:
            return kErrorTargetFolder;
    }
}

}  // namespace

void QueryFileVersion(const char* file, FixedFileInfo* info) {
    memset(info, 0, sizeof(*info));
    Os& os = TheOs();
    uint32_t size = os.VersionInfoSize(file);
    if (size == 0) return;
    OwnedHeapBlock block(os.ProcessHeap(), size);
    if (block.Get() == nullptr) return;
    FixedFileInfo found;
    if (os.VersionInfoBlock(file, size, block.Get()) &&
        os.QueryRootVersionValue(block.Get(), &found)) {
        *info = found;
    }
}

void BuildBaseFolderTable(WindowHandle owner, BaseFolderTable* table) {
    Os& os = TheOs();
    memset(table, 0, sizeof(*table));
    FixedFileInfo shell;
    QueryFileVersion("shell32.dll", &shell);

    QueryFolder(&Os::GetWindowsFolder, table->entries[0]);
    QueryFolder(&Os::GetSystemFolder, table->entries[1]);
    if (shell.fileVersionMS < kShellWithProgramFiles) {
        DriveFolder(table->entries[0], "Program Files", table->entries[2]);
    } else {
        os.GetSpecialFolder(owner, kCsidlProgramFiles, table->entries[2]);
    }
    DriveFolder(table->entries[0], "", table->entries[3]);
    os.GetSpecialFolder(owner, kCsidlDesktopDirectory, table->entries[4]);
    os.GetSpecialFolder(owner, kCsidlPersonal, table->entries[5]);
    for (char* entry : table->entries) entry[kMaxPath - 1] = 0;
}

Result ResolveTargetFolder(PackageFile& file, uint16_t formatVersion, UpdaterState& state,
                           const BaseFolderTable& table) {
    state.targetFolder[0] = 0;
    TargetFolderSection section;
    Result result = ReadTargetFolderSection(file, formatVersion, state.heap, &section);
    if (result == kResultOk) result = ResolveSection(section, state, table);
    ReleaseFolderRules(state.heap, &section);
    if (result != kResultOk) return result;
    // Every file path of the run is this folder followed by a relative name;
    // an empty folder would mean the root of the current drive.
    if (state.targetFolder[0] == 0) return kErrorTargetFolder;
    if (!AppendBackslashIfMissing(state.targetFolder, kMaxPath)) {
        state.targetFolder[0] = 0;
        return kErrorTargetFolder;
    }
    return kResultOk;
}

Result EvaluateFolderRules(char* result260, PtrArray* rules, const BaseFolderTable& table) {
    char variables[kFolderVariableCount][kMaxPath];
    memset(variables, 0, sizeof(variables));
    Result result = kResultOk;
    const int32_t count = rules != nullptr ? rules->Count() : 0;
    for (int32_t i = 0; i < count && result == kResultOk; ++i) {
        const FolderRule& rule = *static_cast<const FolderRule*>(rules->Get(i));
        if (rule.ruleKind != kRuleRegistry && rule.ruleKind != kRuleIni) continue;
        if (rule.resultVariable >= kFolderVariableCount) {
            result = kErrorTargetFolder;
            break;
        }
        result = rule.ruleKind == kRuleRegistry ? RunRegistryRule(rule, variables)
                                                : RunIniRule(rule, variables, table);
        if (variables[rule.resultVariable][0] == 0) result = kErrorTargetFolder;
    }
    CopyText(result260, kMaxPath, variables[0]);
    // A list that never set %0 (none at all, or only skipped rules) found no
    // folder.
    if (result == kResultOk && result260[0] == 0) result = kErrorTargetFolder;
    return result;
}

bool ExpandFolderVariables(char* out512, const char* text, const char (*variables)[kMaxPath]) {
    size_t n = 0;
    bool fits = true;
    auto put = [&](char c) {
        if (n + 1 < kExpansionSize) {
            out512[n++] = c;
        } else {
            fits = false;
        }
    };
    for (size_t i = 0; text[i] != 0 && fits; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if (IsCp932LeadByte(c)) {
            put(text[i]);
            if (text[i + 1] == 0) break;
            put(text[++i]);
        } else if (c == '%') {
            const char next = text[i + 1];
            if (next == 0) break;
            ++i;
            if (next >= '0' && next <= '9') {
                for (const char* v = variables[next - '0']; *v != 0 && fits; ++v) put(*v);
            } else {
                put(next);
            }
        } else {
            put(text[i]);
        }
    }
    out512[n] = 0;
    return fits;
}

}  // namespace kzp

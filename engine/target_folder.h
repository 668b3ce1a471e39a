// Finding the folder to patch: ask the user, a registry value, an INI value,
// a well-known folder plus a path, or a list of lookup rules.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

constexpr int kBaseFolderCount = 6;
constexpr int kFolderVariableCount = 10;
constexpr size_t kExpansionSize = 512;

// 0 Windows directory, 1 system directory, 2 Program Files, 3 root of the
// Windows drive, 4 desktop folder, 5 My Documents.
struct BaseFolderTable {
    char entries[kBaseFolderCount][kMaxPath];
};

void BuildBaseFolderTable(WindowHandle owner, BaseFolderTable* table);
// The file's VS_FIXEDFILEINFO, all zero when it carries no version information.
void QueryFileVersion(const char* file, FixedFileInfo* info);

// Reads the target-folder section at the file position and resolves it into
// state.targetFolder, which then ends in a backslash. 0, 1 (folder prompt
// cancelled), 0x10002 or 0x10008. A section that yields no folder (an unknown
// type, rules before version 120, a path longer than 259 bytes) is 0x10008:
// the folder is never left empty, which would mean the root of the drive.
Result ResolveTargetFolder(PackageFile& file, uint16_t formatVersion, UpdaterState& state,
                           const BaseFolderTable& table);

// Runs the rules in order and copies %0 into `result` (also after a stop).
// 0 or 0x10008; a list that leaves %0 empty (no rules, or only skipped ones),
// a registry root above 3 and a variable above 9 are 0x10008 as well.
Result EvaluateFolderRules(char* result260, PtrArray* rules, const BaseFolderTable& table);

// Expands %0..%9 in `text` into `out` (512 bytes). False when the expansion
// does not fit 511 bytes.
bool ExpandFolderVariables(char* out512, const char* text, const char (*variables)[kMaxPath]);

}  // namespace kzp

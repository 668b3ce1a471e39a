// In-memory records of what the package's forward pass reads.
#pragma once

#include <stdint.h>

#include "platform/os.h"
#include "support/ptr_array.h"
#include "support/text.h"

namespace kzp {

// The header's fields; texts are terminated, as stored (an empty title stays
// empty here).
struct PackageHeader {
    uint16_t formatVersion;
    char title[kMaxPath];
    char oldVersion[kMaxPath];
    char newVersion[kMaxPath];
    char copyrightText[kMaxPath];
    uint8_t passwordFlag;  // 1: protected, anything else: not
    uint8_t passwordDigest[16];
};

// What comes before the language blocks. A package below version 120 has no
// such section: backups are deleted by default and there are no blocks.
struct LanguageSectionHead {
    uint8_t deleteBackupsDefault;
    uint16_t blockCount;
};

// The start of one language block; the block's texts follow it, one short
// string per catalogue slot.
struct LanguageBlockHead {
    uint32_t codePage;
    char fontFace[kMaxPath];
    uint8_t fontHeight;
};

// The three option flags (all 0 below version 120).
struct ApplyOptionFlags {
    uint8_t ignoreMissingUpdate;
    uint8_t overwriteOnAdd;
    uint8_t ignoreMissingDelete;
};

// One update, add or delete entry. Fields an entry kind does not carry stay 0.
struct FileEntry {
    char name[kMaxPath];
    uint8_t digest[16];
    FileTime fileTime;
    uint32_t dataOffset;
    uint32_t dataLength;
    // Not read from the entry: set for every entry of a compact package,
    // whose data is compact data (package_layout.h).
    bool compact;
};

enum class EntryKind { kUpdate, kAdd, kDelete };

// One lookup rule of a rule list (folder type 4).
struct FolderRule {
    uint8_t ruleKind;
    uint8_t rootOrBase;
    char rulePath[kMaxPath];
    char ruleName[kMaxPath];
    char ruleKey[kMaxPath];
    uint8_t resultVariable;
};

// The target-folder section. `rules` holds FolderRule records taken from the
// state's heap (type 4 only); ReleaseFolderRules gives them back.
struct TargetFolderSection {
    uint8_t folderType;
    uint8_t rootOrBase;   // registryRoot (type 1) or baseIndex (types 2 and 3)
    char path[kMaxPath];  // keyPath, iniPath or relativePath
    char name[kMaxPath];  // valueName or section
    char key[kMaxPath];   // keyName (type 2)
    bool hasRecord;       // false for types outside 0..4 and type 4 below 120
    PtrArray* rules;
};

struct RunningCheckSection {
    uint8_t checkType;
    char windowTitle[kMaxPath];
    char windowClass[kMaxPath];
    char programName[kMaxPath];
    uint8_t waitForExit;
};

struct ListHeader {
    uint8_t verifyMode;  // 0: MD5, anything else: last-write time and size
    uint32_t updateCount;
    uint32_t addCount;
    uint32_t deleteCount;
};

}  // namespace kzp

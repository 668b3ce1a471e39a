// Constants of the package and diff stream formats.
#pragma once

#include <stdint.h>

namespace kzp {

// The program image fills the first 0x18000 bytes of the executable; the
// package starts right after it and every offset inside the package counts
// from here.
constexpr uint32_t kPackageOffset = 0x18000;

constexpr char kPackageMagic[4] = {'K', 'Z', 'P', ' '};
constexpr uint16_t kMaxFormatVersion = 120;
// Sections that exist from these format versions on.
constexpr uint16_t kVersionWithCheckSection = 110;
constexpr uint16_t kVersionWithLanguages = 120;

constexpr uint32_t kTrailerSize = 16;

// Texts in a language block, one per catalogue slot.
constexpr int kLanguageBlockTexts = 69;

// Bytes of a file entry after its name (a short string): digest, file time,
// data offset and length, as far as the entry kind carries them.
constexpr uint32_t kUpdateEntryFields = 16 + 8 + 4 + 4;
constexpr uint32_t kAddEntryFields = 8 + 4 + 4;
constexpr uint32_t kDeleteEntryFields = 16;

constexpr char kDiffMagic[4] = {'K', 'Z', 'S', ' '};
constexpr uint16_t kMaxDiffVersion = 100;
constexpr uint32_t kDiffHeaderSize = 10;

enum DiffOpcode : uint8_t {
    kOpEnd = 0,
    kOpCopyBlock = 1,
    kOpCopyBlocks = 2,
    kOpCopyRange = 3,
    kOpLiteralBlock = 4,
    kOpLiteralBlocks = 5,
    kOpLiteralRange = 6,
};

// Target-folder section.
enum FolderType : uint8_t {
    kFolderAsk = 0,
    kFolderRegistry = 1,
    kFolderIni = 2,
    kFolderBasePlusPath = 3,
    kFolderRules = 4,
};
enum RuleKind : uint8_t { kRuleRegistry = 1, kRuleIni = 2 };
// Base indexes above this name no base folder: the text is a complete path.
constexpr uint8_t kLastBaseIndex = 5;

// Running-program check section.
enum CheckType : uint8_t { kCheckByWindow = 1, kCheckByProcess = 2 };

}  // namespace kzp

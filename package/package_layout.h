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

// The recovery record: an optional tail of the data area, just before the
// trailer, that only kzp recover reads. Per update entry the MD5 of the file
// it builds; per add entry a byte (1 when the old release has a file of that
// name) and, when it is 1, that file's MD5; then the update count, the add
// count and the length of all that (u32 each), then the magic.
constexpr char kRecoveryMagic[8] = {'K', 'Z', 'P', 'R', 'E', 'C', 'V', '1'};
constexpr uint32_t kRecoveryFooterSize = 12 + sizeof(kRecoveryMagic);

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

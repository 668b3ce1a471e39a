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
// A compact package: laid out as version 120 in every byte, except that the
// entries' data is compact data (below) instead of diff streams and plain
// contents. A reader that knows only the versions up to 120 refuses it
// before it touches anything; every other version above 120 is refused here
// too.
constexpr uint16_t kCompactFormatVersion = 130;
constexpr bool IsKnownFormatVersion(uint16_t version) {
    return version <= kMaxFormatVersion || version == kCompactFormatVersion;
}

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

// Compact data: the data of an update or add entry of a compact package. A
// header, then the packed streams back to back in the order of
// CompactStream. The new file is rebuilt from segments, each a copy of
// `copy` bytes of the old file followed by `literal` bytes of the literal
// stream; a few places of the copied bytes are changed. All integers
// little-endian.
//
//   offset  width  field
//   0       4      magic "KZC "
//   4       2      version, 1
//   6       8      size of the new file
//   14      17 x 7 per stream: its LZMA properties (5 bytes: lc/lp/pb and the
//                  dictionary size), its unpacked size (u64) and its packed
//                  size (u32); a stream of unpacked size 0 has packed size 0
//   133            the packed streams, raw LZMA without an end mark
//
// Lengths, steps and counts are unsigned LEB128 numbers (7 bits a byte, low
// first). Per segment: copy length (kCopyLengths), literal length
// (kLiteralLengths), and where the copy starts in the old file as a step
// from the old cursor, zigzag-coded (kOldSteps; 2n for n >= 0, 2|n| - 1
// below). The old cursor starts at 0 and moves with the new file: after a
// copy it is the copy's end, and each literal byte moves it on by one, so
// that a run of new bytes that replaced as many old ones costs a step of 0.
// A segment without a copy has step 0.
//
// The changes lie in the copied bytes of all segments, in order: per change
// a count of unchanged copied bytes before it (kChangeGaps) and its kind
// (kChangeKinds). Kind 0: the four bytes from there, read as a 32-bit
// number, gain the next addend of kChangeWords (u32, modulo 2^32): a moved
// pointer or displacement, whose addend is the same for every pointer into
// the same moved code whatever carries its bytes see. Kind k > 0: the next k
// bytes are replaced by k bytes of the literal stream. A change lies inside
// one copy; after the last one the copied bytes are unchanged. The literal
// stream holds, in the order of the new file, the replaced bytes and the
// literal runs. An add entry's data is one literal segment, or none for an
// empty file.
constexpr char kCompactMagic[4] = {'K', 'Z', 'C', ' '};
constexpr uint16_t kCompactDataVersion = 1;
enum CompactStream : uint8_t {
    kCopyLengths = 0,
    kLiteralLengths = 1,
    kOldSteps = 2,
    kChangeGaps = 3,
    kChangeKinds = 4,
    kChangeWords = 5,
    kLiterals = 6,
};
constexpr uint32_t kCompactStreams = 7;
// The bytes a kind-0 change adds to.
constexpr uint32_t kChangeWordSize = 4;
constexpr uint32_t kLzmaPropertiesSize = 5;
constexpr uint32_t kCompactStreamFields = kLzmaPropertiesSize + 8 + 4;
constexpr uint32_t kCompactHeaderSize = 14 + kCompactStreams * kCompactStreamFields;
// The dictionaries a decoder gives the streams, together at most this, and
// each at most kCompactMaxDictionary: with the old file's read cache and the
// buffers the whole update stays under 4 MiB whatever the file sizes. The
// encoder stays inside; data that asks for more is refused as damaged.
constexpr uint32_t kCompactMaxDictionary = 1024u * 1024u;
constexpr uint32_t kCompactMaxDictionaries = 2560u * 1024u;
// A stream's literal context and literal position bits together, at most
// (LZMA's lc + lp).
constexpr uint32_t kCompactMaxContextBits = 4;

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

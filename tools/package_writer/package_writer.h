// Writes packages: every version and section the updater reads, diff streams
// from explicit opcodes, the MD5 trailer, and the updater file (an image of
// exactly 0x18000 bytes with the package appended).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/package_layout.h"

namespace kzp::writer {

using Bytes = std::vector<uint8_t>;
using Digest = std::array<uint8_t, 16>;

struct FileTimeValue {
    uint32_t low = 0;
    uint32_t high = 0;
    uint64_t Ticks() const { return (static_cast<uint64_t>(high) << 32) | low; }
    static FileTimeValue FromTicks(uint64_t ticks) {
        return {static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    }
    bool operator==(const FileTimeValue&) const = default;
};

struct LanguageBlock {
    uint32_t codePage = 0;
    std::string fontFace;
    uint8_t fontHeight = 0;
    std::array<std::string, kLanguageBlockTexts> texts;  // bytes in the block's code page
};

struct FolderRule {
    uint8_t kind = 0;
    uint8_t rootOrBase = 0;
    std::string path;
    std::string name;
    std::string key;
    uint8_t resultVariable = 0;
};

// The target-folder section. `type` 0..4 writes the record of that type;
// `rootOrBase` is the registry root (type 1) or base index (types 2, 3);
// `path` the key path, INI path or relative path; `name` the value name or
// section; `key` the INI key.
struct TargetFolder {
    uint8_t type = 0;
    uint8_t rootOrBase = 0;
    std::string path;
    std::string name;
    std::string key;
    std::vector<FolderRule> rules;
    // Written as the rule count instead of rules.size() when set.
    std::optional<uint32_t> ruleCountOverride;
};

struct RunningCheck {
    uint8_t type = 0;  // 1 window, 2 process, else none
    std::string windowTitle;
    std::string windowClass;
    std::string programName;
    uint8_t waitForExit = 0;
};

struct UpdateEntry {
    std::string name;
    Digest digest{};
    FileTimeValue fileTime;
    Bytes stream;  // the diff stream, placed in the data area
    std::optional<uint32_t> dataOffsetOverride;
    std::optional<uint32_t> dataLengthOverride;
};

struct AddEntry {
    std::string name;
    FileTimeValue fileTime;
    Bytes contents;
    std::optional<uint32_t> dataOffsetOverride;
    std::optional<uint32_t> dataLengthOverride;
};

struct DeleteEntry {
    std::string name;
    Digest digest{};
};

// What kzp recover needs to tell a run's own files from the user's: the
// digest of each file the updates build, and for each add whether the old
// release has a file of that name (and its digest). The updater never reads
// it; it lies at the end of the data area, just before the trailer.
struct RecoveryRecord {
    std::vector<Digest> updatedDigests;                  // one per update entry
    std::vector<std::optional<Digest>> replacedDigests;  // one per add entry
};

struct Package {
    uint16_t formatVersion = kMaxFormatVersion;
    std::string title;
    std::string oldVersion;
    std::string newVersion;
    std::string copyright;
    uint8_t passwordFlag = 0;
    Digest passwordDigest{};
    uint8_t deleteBackupsDefault = 1;
    std::vector<LanguageBlock> languages;
    TargetFolder target;
    RunningCheck check;
    std::string launchFile;
    std::optional<std::string> documentBefore;
    std::optional<std::string> documentAfter;
    uint8_t ignoreMissingUpdate = 0;
    uint8_t overwriteOnAdd = 0;
    uint8_t ignoreMissingDelete = 0;
    uint8_t verifyMode = 0;
    std::vector<UpdateEntry> updates;
    std::vector<AddEntry> adds;
    std::vector<DeleteEntry> deletes;
    // Written as the list counts instead of the vector sizes when set.
    std::optional<uint32_t> updateCountOverride;
    std::optional<uint32_t> addCountOverride;
    std::optional<uint32_t> deleteCountOverride;
    // Written after the data and its padding when set.
    std::optional<RecoveryRecord> recovery;
    // Padding placed at the end of the data area (kept inside the digest).
    uint32_t dataPadding = 0;
    // After dataPadding, more zeros until the package with its trailer is a
    // multiple of this many bytes (8 keeps a signed updater's certificate
    // table where the signing tools put it: right at the end of the package).
    uint32_t bodyAlignment = 1;

    void SetPassword(const std::string& password);
};

// Where each part of a written package lies (offsets from the package start).
struct Layout {
    uint32_t listsEnd = 0;  // first byte of the data area
    std::vector<uint32_t> updateOffsets;
    std::vector<uint32_t> addOffsets;
    uint32_t bodySize = 0;      // without the trailer
    uint32_t padding = 0;       // zeros at the end of the data area
    uint32_t recoverySize = 0;  // the recovery record after them, 0 without one
};

// The recovery record's bytes (counts, length and magic included).
Bytes BuildRecoveryRecord(const RecoveryRecord& record);

// The package body followed by its 16-byte MD5 trailer.
Bytes BuildPackage(const Package& package, Layout* layout = nullptr);

// An image of exactly 0x18000 bytes that stands in for the updater program.
Bytes MakeStubImage();
// `image` (0x18000 bytes) followed by the package.
Bytes BuildUpdaterFile(const Bytes& image, const Package& package, Layout* layout = nullptr);

// Short strings are at most 255 bytes: longer texts are refused.
class StringTooLong : public std::exception {
  public:
    const char* what() const noexcept override { return "short string longer than 255 bytes"; }
};

Digest Md5(const Bytes& data);
Digest Md5(const std::string& data);
// The check value of time-and-size mode: FILETIME, u32 size, u32 0.
Digest DateSizeDigest(FileTimeValue time, uint32_t size);

// Builds a diff stream opcode by opcode.
class DiffStream {
  public:
    explicit DiffStream(uint32_t blockSize, uint16_t version = kMaxDiffVersion,
                        std::string magic = std::string(kDiffMagic, sizeof(kDiffMagic)));
    DiffStream& CopyBlock(uint32_t offset);                   // kOpCopyBlock
    DiffStream& CopyBlocks(uint32_t offset, uint32_t count);  // kOpCopyBlocks
    DiffStream& CopyRange(uint32_t offset, uint32_t length);  // kOpCopyRange
    DiffStream& LiteralBlock(const Bytes& block);             // kOpLiteralBlock (B bytes)
    DiffStream& LiteralBlocks(const Bytes& blocks);           // kOpLiteralBlocks (count x B bytes)
    DiffStream& LiteralRange(const Bytes& bytes);             // kOpLiteralRange
    DiffStream& Byte(uint8_t raw);                            // any raw byte
    DiffStream& U32(uint32_t raw);
    DiffStream& End();  // kOpEnd
    const Bytes& Data() const { return data_; }
    uint32_t BlockSize() const { return blockSize_; }

  private:
    uint32_t blockSize_;
    Bytes data_;
};

void PutU16(Bytes& out, uint16_t v);
void PutU32(Bytes& out, uint32_t v);

}  // namespace kzp::writer

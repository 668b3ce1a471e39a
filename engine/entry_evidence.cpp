#include "engine/entry_evidence.h"

#include <string.h>

#include "package/add_contents.h"
#include "package/compact_decoder.h"
#include "package/decode_context.h"
#include "package/diff_decoder.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/md5.h"

namespace kzp {

namespace {

constexpr uint32_t kCompareChunk = 16 * 1024;

// Rebuilding a file only to learn its digest: nothing to show, nothing to stop.
class DigestOnlyContext : public DecodeContext {
  public:
    explicit DigestOnlyContext(HeapHandle heap) : heap_(heap) {}
    HeapHandle Heap() override { return heap_; }
    bool Cancelled() override { return false; }
    void FileProgress(uint64_t, uint64_t) override {}

  private:
    HeapHandle heap_;
};

Match MatchOf(bool yes) {
    return yes ? Match::kYes : Match::kNo;
}

// The entry's old file, checked the way the run checked it.
Match IsOldVersion(const FileFacts& facts, const FileEntry& entry, uint8_t verifyMode) {
    if (!facts.present) return Match::kNo;
    if (verifyMode == 0) return MatchOf(DigestsEqual(facts.digest, entry.digest));
    uint8_t check[16] = {};
    const uint32_t values[3] = {facts.time.low, facts.time.high, static_cast<uint32_t>(facts.size)};
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b) check[i * 4 + b] = static_cast<uint8_t>(values[i] >> (8 * b));
    }
    return MatchOf(DigestsEqual(check, entry.digest));
}

// How the file at `path` stands to an add's data: 2 the same bytes, 1 the
// first bytes of them (a file the run was writing), 0 neither; -1 when a read
// fails. A run grows the file to the data's length before it writes, so the
// first bytes followed by zeros up to that length are its too. *length is
// the length of the add's file.
int CompareWithAddData(const EvidenceSource& source, const char* path, const FileEntry& entry,
                       uint64_t size, uint64_t* length) {
    AddContents data(source.package, entry, source.state.heap);
    if (data.Open() != kResultOk) return -1;
    *length = data.Size();
    if (size > data.Size()) return 0;
    Os& os = TheOs();
    OwnedFile file(OpenFileForRead(path, 0, 0));
    if (!file.IsOpen()) return -1;
    uint8_t onDisk[kCompareChunk];
    uint8_t inPackage[kCompareChunk];
    int result = size == data.Size() ? 2 : 1;
    bool inZeros = false;  // past the bytes written, in the space taken ahead
    for (uint64_t left = size; left > 0 && result > 0;) {
        const uint32_t chunk = left < kCompareChunk ? static_cast<uint32_t>(left) : kCompareChunk;
        uint32_t read = 0;
        if (!os.ReadFile(file.Get(), onDisk, chunk, &read) || read != chunk ||
            data.Read(inPackage, chunk) != kResultOk) {
            return -1;
        }
        for (uint32_t i = 0; i < chunk; ++i) {
            if (!inZeros && onDisk[i] != inPackage[i]) {
                if (size != data.Size()) return 0;
                inZeros = true;
                result = 1;
            }
            if (inZeros && onDisk[i] != 0) return 0;
        }
        left -= chunk;
    }
    return result;
}

bool JudgeAdd(const EvidenceSource& source, const FileEntry& entry, const char* path,
              const FileFacts& facts, Evidence* out) {
    *out = Evidence{Match::kNo, Match::kNo, Match::kNo, false};
    if (!facts.present) return true;
    uint64_t length = 0;
    const int same = CompareWithAddData(source, path, entry, facts.size, &length);
    if (same < 0) return false;
    out->whole = MatchOf(same == 2);
    out->part = MatchOf(same >= 1);
    // Grown to the whole length at once, then written from the front: the
    // zeros after the bytes written are the run's mark. A file that is only
    // the first bytes of the data may be anything's.
    out->runsOwn = same == 1 && facts.size == length;
    return true;
}

// What an update builds from its old file: its digest and size.
struct Rebuilt {
    bool known;  // false: no record, and no old file to build it from
    bool sized;  // the size is known too (it was built)
    uint8_t digest[16];
    uint64_t size;
};

// The record's digest, or the file rebuilt from the old file at `oldPath`.
// False when the old file cannot be read; nothing is known when the stream
// cannot be decoded (the run could not have built it either).
bool RebuildUpdate(const EvidenceSource& source, const FileEntry& entry, uint32_t listIndex,
                   const char* oldPath, Rebuilt* out) {
    *out = Rebuilt{};
    if (source.record != nullptr) {
        memcpy(out->digest, source.record->updatedDigests[listIndex], 16);
        out->known = true;
        return true;
    }
    if (oldPath == nullptr) return true;
    OwnedFile old(OpenFileForRead(oldPath, 0, 0));
    if (!old.IsOpen()) return false;
    DigestOnlyContext context(source.state.heap);
    const Result rebuilt =
        entry.compact
            ? DigestCompactData(source.package, entry, old.Get(), context, out->digest, &out->size)
            : DigestRebuiltFile(source.package, entry, old.Get(), context, out->digest, &out->size);
    if (rebuilt == kErrorOldFileRead) return false;
    out->known = out->sized = rebuilt == kResultOk;
    return true;
}

// Whether a file's time is one the run gives the entry's new file (on a FAT
// volume, rounded up to an even second).
bool HasEntryTime(const FileFacts& facts, const FileEntry& entry) {
    constexpr uint64_t kTwoSeconds = 20000000;
    const uint64_t given = (static_cast<uint64_t>(entry.fileTime.high) << 32) | entry.fileTime.low;
    const uint64_t has = (static_cast<uint64_t>(facts.time.high) << 32) | facts.time.low;
    return has == given || has == (given + kTwoSeconds - 1) / kTwoSeconds * kTwoSeconds;
}

// Whether a file is what an update writes. Without a digest to compare with,
// a file that is not the old one may be the new one. A file that passes a
// check of time and size alone may also be the new one when it cannot be
// told by its digest (no record): if the new one has its size and was
// stamped with its time (the new file kept the old one's time and size).
Match WholeUpdate(const FileFacts& facts, Match old, const Rebuilt& rebuilt, const FileEntry& entry,
                  const EvidenceSource& source) {
    if (!facts.present) return Match::kNo;
    if (rebuilt.known && DigestsEqual(facts.digest, rebuilt.digest)) return Match::kYes;
    if (old != Match::kYes) return rebuilt.known ? Match::kNo : Match::kMaybe;
    if (source.record != nullptr || source.verifyMode == 0) return Match::kNo;
    const bool sameSize = !rebuilt.sized || rebuilt.size == facts.size;
    return sameSize && HasEntryTime(facts, entry) ? Match::kMaybe : Match::kNo;
}

}  // namespace

bool ReadFileFacts(const char* path, FileFacts* facts) {
    *facts = FileFacts{};
    if (!FileExists(path)) return true;
    Os& os = TheOs();
    OwnedFile file(OpenFileForRead(path, 0, 0));
    if (!file.IsOpen()) return false;
    uint32_t high = 0;
    const uint32_t low = os.GetFileSize(file.Get(), &high);
    bool ok = low != kInvalidFileValue && os.GetLastWriteTime(file.Get(), &facts->time);
    facts->size = (static_cast<uint64_t>(high) << 32) | low;
    Md5Context md5;
    Md5Init(&md5);
    uint8_t buffer[kCompareChunk];
    for (uint64_t left = facts->size; ok && left > 0;) {
        const uint32_t chunk = left < kCompareChunk ? static_cast<uint32_t>(left) : kCompareChunk;
        uint32_t read = 0;
        ok = os.ReadFile(file.Get(), buffer, chunk, &read) && read == chunk;
        if (ok) Md5Update(&md5, buffer, chunk);
        left -= chunk;
    }
    Md5Final(facts->digest, &md5);
    facts->present = ok;
    return ok;
}

bool JudgeEntryFiles(const EvidenceSource& source, EntryKind kind, const FileEntry& entry,
                     uint32_t listIndex, const char* fullPath, const char* backupPath,
                     const FileFacts& file, const FileFacts& backup, Evidence* atName,
                     Evidence* atBackup) {
    if (kind == EntryKind::kAdd) {
        return JudgeAdd(source, entry, fullPath, file, atName) &&
               JudgeAdd(source, entry, backupPath, backup, atBackup);
    }
    *atName = Evidence{IsOldVersion(file, entry, source.verifyMode), Match::kNo, Match::kNo, false};
    *atBackup =
        Evidence{IsOldVersion(backup, entry, source.verifyMode), Match::kNo, Match::kNo, false};
    if (kind == EntryKind::kDelete) return true;

    // An update may have left anything at its name while it wrote.
    atName->part = MatchOf(file.present);
    atBackup->part = MatchOf(backup.present);
    const char* oldPath = atBackup->old == Match::kYes ? backupPath
                          : atName->old == Match::kYes ? fullPath
                                                       : nullptr;
    Rebuilt rebuilt;
    if (!RebuildUpdate(source, entry, listIndex, oldPath, &rebuilt)) return false;
    atName->whole = WholeUpdate(file, atName->old, rebuilt, entry, source);
    atBackup->whole = WholeUpdate(backup, atBackup->old, rebuilt, entry, source);
    return true;
}

}  // namespace kzp

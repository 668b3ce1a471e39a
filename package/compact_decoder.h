// The decoder of compact data (the entries' data of a compact package, see
// package_layout.h): rebuilds a new file from copies of the old file with
// their differences and from literal bytes, all held in LZMA streams.
//
// It streams like the diff decoder: the old file and the package are read
// through buffers and never held whole, the new file comes out front to back,
// and its memory is bounded whatever the file sizes (each stream's
// dictionary is at most kCompactMaxDictionary, all of them together at most
// kCompactMaxDictionaries).
#pragma once

#include <stdint.h>

#include "package/decode_context.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/buffered_file.h"
#include "support/result_code.h"

namespace kzp {

// The old file's read cache while compact data is decoded. Its copies are
// long and mostly run front to back, so a small cache serves them; the rest
// of the memory goes to the streams' dictionaries.
#ifndef KZP_COMPACT_READ_CACHE_SIZE
#define KZP_COMPACT_READ_CACHE_SIZE (256u * 1024u)
#endif

// One stream of compact data, decoded into its dictionary and handed out from
// there. Defined in compact_decoder.cpp.
struct CompactStreamState;

// The new file that compact data describes, handed out in pieces in the
// order of the file: the file path writes them, a check digests them.
class CompactReader {
  public:
    // `oldFile` kInvalidFile: the data must hold no copies (an add's data).
    CompactReader(PackageFile& package, FileHandle oldFile, HeapHandle heap);
    ~CompactReader();
    CompactReader(const CompactReader&) = delete;
    CompactReader& operator=(const CompactReader&) = delete;

    // Reads the header at 0x18000 + dataOffset and takes the streams'
    // memory. 0, 0x10002 (a read failed, or the header is damaged),
    // 0x1000E (not compact data, or no memory for it) or 0x1000F (a version
    // this decoder does not know).
    Result Open(uint32_t dataOffset);
    uint64_t NewSize() const { return newSize_; }
    // Up to `capacity` next bytes of the new file into `out`: `capacity`
    // of them but at the file's end. *got is 0 only at the end, once the
    // streams are checked to end there too. 0, 0x10002 (a read of the
    // package failed or the data is damaged) or 0x10007 (the old file could
    // not be read).
    Result Read(uint8_t* out, uint32_t capacity, uint32_t* got);
    // Bytes of the data decoded so far, the header included (packed bytes
    // count once the LZMA decoder has taken them); at the end of
    // well-formed data the data's length.
    uint64_t Consumed() const { return consumed_; }

  private:
    Result NextSegment();
    Result Copy(uint8_t* out, uint32_t size);
    Result ApplyChanges(uint8_t* out, uint32_t size);
    Result StartChange(uint64_t copyLeft);
    Result TakeLiterals(uint8_t* out, uint64_t size);
    Result Finish();

    PackageFile& package_;
    FileHandle oldFile_;
    HeapHandle heap_;
    FileReadCache old_;
    CompactStreamState* streams_ = nullptr;
    uint64_t newSize_ = 0;
    uint64_t produced_ = 0;
    uint64_t consumed_ = 0;
    uint64_t copyLeft_ = 0;
    uint64_t literalLeft_ = 0;
    // Where the old file goes on when nothing moved: the end of the last
    // copy plus the literal bytes since.
    uint64_t oldCursor_ = 0;
    // Copied bytes before the next change, once its gap is read.
    bool gapKnown_ = false;
    uint64_t untilChange_ = 0;
    // The change under way: bytes of an addend still to add (with what is
    // left of the addend and its carry), or bytes still to replace.
    uint32_t wordLeft_ = 0;
    uint64_t addend_ = 0;
    uint64_t replaceLeft_ = 0;
    bool finished_ = false;
};

// Decodes the compact data at 0x18000 + entry.dataOffset into `newFile`, front
// to back; `oldFile` is the old version, or kInvalidFile for an add's data.
// Polls the cancel flag before the first piece and after each (a piece is
// 64 KiB of the new file, or what is left of it), reports per-file progress after
// each and once at the end (bytes of the data read against
// entry.dataLength), and on success stamps the new file with
// entry.fileTime. Neither handle is closed. Returns 0, 1 (cancelled),
// 0x10002, 0x10007, 0x1000D, 0x1000E or 0x1000F.
Result ApplyCompactData(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                        FileHandle newFile, DecodeContext& context);

// The MD5 and size of the file that ApplyCompactData would write, writing
// nothing: what kzp recover compares a file with when the package does not
// say what an update builds. Returns what ApplyCompactData would return
// (never 0x1000D or 1).
Result DigestCompactData(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                         DecodeContext& context, uint8_t digest[16], uint64_t* size);

}  // namespace kzp

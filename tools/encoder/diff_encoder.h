// The diff encoder: turns an old and a new version of a file into the
// copy/insert stream that the updater's decoder replays.
//
// Matches are exact and taken from anywhere in the old file: a suffix array
// over the old file gives the longest match at any position of the new file
// (a hash index takes over for old files too large for one). The choice
// between copies and literals is a shortest path over the positions where a
// match starts or ends, costed in stream bytes: a copy is 9 bytes (opcode,
// offset, length), a literal run 5 bytes plus its data, and each opcode
// may be given a cost for the decoder's work on top (EncodeOptions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/encoder/stream_check.h"

namespace kzp::encoder {

// One block of the decoder's work buffer: the default keeps the updater's
// memory small while long copies still take one opcode.
constexpr uint32_t kDefaultBlockSize = 64 * 1024;

// Old files up to this size are indexed by a suffix array (about 9 bytes of
// memory per byte while it is built); larger ones by hashing.
constexpr uint64_t kSuffixArrayLimit = 256ull * 1024 * 1024;

// Old-file offsets must stay below 2^31: the decoder seeks with a signed
// 32-bit distance.
constexpr uint64_t kMaxOldOffset = 0x7FFFFFFFull;

enum class MatcherKind { kAuto, kSuffixArray, kHash };

struct Match {
    uint32_t newPos;
    uint32_t oldPos;
    uint32_t length;
};

// Finds long matches of new-file text in the old file. Built once per old
// file; LongestMatch may be called from several threads.
class OldFileIndex {
  public:
    OldFileIndex(const uint8_t* data, size_t size, MatcherKind kind = MatcherKind::kAuto);
    ~OldFileIndex();
    OldFileIndex(const OldFileIndex&) = delete;
    OldFileIndex& operator=(const OldFileIndex&) = delete;

    // The longest (suffix array) or a long (hash) match of text[0..size) in
    // the old file; length 0 when there is none worth a copy.
    Match LongestMatch(const uint8_t* text, size_t size) const;
    // False when no match worth a copy can start at `text` (a cheap test).
    bool MayMatch(const uint8_t* text, size_t size) const;
    bool UsesSuffixArray() const { return useSuffixArray_; }
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }

  private:
    Match SuffixArrayMatch(const uint8_t* text, size_t size) const;
    Match HashMatch(const uint8_t* text, size_t size) const;

    const uint8_t* data_;
    size_t size_;  // indexed bytes (at most kMaxOldOffset + 1)
    bool useSuffixArray_;
    std::vector<int32_t> suffixes_;
    std::vector<uint32_t> buckets_;  // first rank of each two-byte prefix
    std::vector<uint64_t> filter_;   // one bit per hashed 8-byte string
    std::vector<uint32_t> hashTable_;
    uint32_t hashMask_ = 0;
};

// What the shortest path adds to every copy and literal run besides its
// stream bytes, for the decoder's work: each opcode is a read of the stream,
// a jump in the old file and sometimes a call of the system. Measured on two
// updates of a 12 MB program: a cost of 32 takes 80 to 95 % of the opcodes
// away and 15 to 37 % of the apply time, for a stream 20 to 37 % larger;
// beyond 32 the apply hardly gets faster. Every cost above 0 makes the
// stream larger, so the default keeps the smallest one.
constexpr uint32_t kSmallestOpcodeCost = 0;
constexpr uint32_t kDefaultOpcodeCost = 0;
constexpr uint32_t kFastApplyOpcodeCost = 32;

struct EncodeOptions {
    uint32_t blockSize = kDefaultBlockSize;
    // Stream bytes an opcode is taken to cost on top of its own bytes.
    uint32_t opcodeCost = kDefaultOpcodeCost;
};

// The matches the encoder considers for `newData`, ordered by new position.
std::vector<Match> FindMatches(const OldFileIndex& index, const uint8_t* newData, size_t newSize);

// The cheapest stream the matches allow, as a well-formed stream: header,
// opcodes 1..6, opcode 0. `stats` receives what the stream holds.
std::vector<uint8_t> EncodeDiff(const OldFileIndex& index, const uint8_t* newData, size_t newSize,
                                const EncodeOptions& options, StreamStats* stats = nullptr);

// One-shot form that indexes `oldData` itself.
std::vector<uint8_t> EncodeDiff(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                                size_t newSize, const EncodeOptions& options = {},
                                StreamStats* stats = nullptr);

// A file read in pieces, for the encoder that never holds a file whole.
// Read throws when the bytes cannot be had.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    virtual void Read(uint64_t offset, uint8_t* out, size_t length) = 0;
};

class MemorySource : public ByteSource {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    void Read(uint64_t offset, uint8_t* out, size_t length) override;

  private:
    const uint8_t* data_;
    size_t size_;
};

// The memory kzp make gives the matching of one file unless told otherwise.
constexpr uint64_t kDefaultMemoryLimit = 768ull << 20;

// About the most memory the exact matcher takes for a pair of these sizes:
// both files, the suffix array while it is built and the filter. Pairs
// above a memory limit go to EncodeDiffBounded.
uint64_t ExactMatcherMemory(uint64_t oldSize, uint64_t newSize);

// The bounded matcher: a stream for the same change as EncodeDiff in at most
// about `memoryLimit` bytes besides the stream itself. The old file is
// indexed by a table of fixed size that holds one window of every few old
// positions (the fewer the larger the file), each with a check value, and
// is otherwise read through a small cache of blocks; the new file is read
// and encoded a piece at a time. Matches are found where a sampled window
// recurs or where the diagonal of the previous match goes on, so a common
// run is found once it is a little longer than the sampling step; the
// shortest path is then taken within each piece of the new file.
std::vector<uint8_t> EncodeDiffBounded(ByteSource& oldFile, ByteSource& newFile,
                                       uint64_t memoryLimit, const EncodeOptions& options,
                                       StreamStats* stats = nullptr);

}  // namespace kzp::encoder

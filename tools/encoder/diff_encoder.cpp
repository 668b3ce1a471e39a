#include "tools/encoder/diff_encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <queue>
#include <stdexcept>

#include "package/package_layout.h"
#include "tools/encoder/suffix_array.h"

namespace kzp::encoder {
namespace {

// Stream bytes of the records, as the decoder counts them.
constexpr uint64_t kCopyCost = 9;        // opcode 3: opcode, offset, length
constexpr uint64_t kLiteralRunCost = 5;  // opcode 6: opcode, length (+ the data)

// Shorter matches rarely pay for their 9-byte record (only between two
// copies, against a literal run of 5 + length bytes); positions whose next
// kMinMatch bytes occur nowhere in the old file are passed over cheaply.
constexpr uint32_t kMinMatch = 8;
// Bits of the filter that tells which 8-byte strings the old file holds.
constexpr uint32_t kFilterBits = 27;

// The hash index compares this many bytes at once.
constexpr size_t kHashWindow = 16;
// At most this many old positions are hashed (the table has twice as many
// slots); larger files are sampled more sparsely.
constexpr uint64_t kMaxHashedPositions = 32ull * 1024 * 1024;
constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

inline uint64_t Load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Length of the common prefix of a and b, at most `limit`.
inline size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x = Load64(a + n) ^ Load64(b + n);
        if (x != 0) return n + static_cast<size_t>(__builtin_ctzll(x) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

inline uint32_t HashGram(const uint8_t* p) {
    return static_cast<uint32_t>((Load64(p) * 0x9E3779B97F4A7C15ull) >> (64 - kFilterBits));
}

inline uint32_t HashWindow(const uint8_t* p, uint32_t mask) {
    uint64_t a = Load64(p) * 0x9E3779B97F4A7C15ull;
    uint64_t b = Load64(p + 8) * 0xC2B2AE3D27D4EB4Full;
    uint64_t h = (a ^ ((b << 31) | (b >> 33))) * 0x165667B19E3779F9ull;
    return static_cast<uint32_t>(h >> 32) & mask;
}

void PutU8(std::vector<uint8_t>& out, uint8_t v) {
    out.push_back(v);
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Writes records for a copy or a literal run of any length, split at the
// block size the way the decoder's opcodes allow.
class StreamWriter {
  public:
    StreamWriter(uint32_t blockSize, StreamStats* stats) : block_(blockSize), stats_(stats) {
        for (uint8_t c : kDiffMagic) out_.push_back(c);
        out_.push_back(static_cast<uint8_t>(kMaxDiffVersion));
        out_.push_back(static_cast<uint8_t>(kMaxDiffVersion >> 8));
        PutU32(out_, blockSize);
    }

    void Copy(uint64_t offset, uint64_t length) {
        while (length > 0) {
            if (length >= block_) {
                uint64_t count = std::min<uint64_t>(length / block_, 0xFFFFFFFFu);
                if (count == 1) {
                    Op(kOpCopyBlock);
                    PutU32(out_, static_cast<uint32_t>(offset));
                } else {
                    Op(kOpCopyBlocks);
                    PutU32(out_, static_cast<uint32_t>(offset));
                    PutU32(out_, static_cast<uint32_t>(count));
                }
                offset += count * block_;
                length -= count * block_;
                copied_ += count * block_;
            } else {
                Op(kOpCopyRange);
                PutU32(out_, static_cast<uint32_t>(offset));
                PutU32(out_, static_cast<uint32_t>(length));
                copied_ += length;
                length = 0;
            }
        }
    }

    void Literal(const uint8_t* data, uint64_t length) {
        while (length > 0) {
            if (length >= block_) {
                uint64_t count = std::min<uint64_t>(length / block_, 0xFFFFFFFFu);
                if (count == 1) {
                    Op(kOpLiteralBlock);
                } else {
                    Op(kOpLiteralBlocks);
                    PutU32(out_, static_cast<uint32_t>(count));
                }
                out_.insert(out_.end(), data, data + count * block_);
                data += count * block_;
                length -= count * block_;
                literal_ += count * block_;
            } else {
                Op(kOpLiteralRange);
                PutU32(out_, static_cast<uint32_t>(length));
                out_.insert(out_.end(), data, data + length);
                literal_ += length;
                length = 0;
            }
        }
    }

    std::vector<uint8_t> Finish() {
        Op(kOpEnd);
        if (stats_ != nullptr) {
            stats_->blockSize = block_;
            stats_->version = kMaxDiffVersion;
            std::copy(std::begin(counts_), std::end(counts_), std::begin(stats_->opcodes));
            stats_->otherOpcodes = 0;
            stats_->copiedBytes = copied_;
            stats_->literalBytes = literal_;
            stats_->consumed = out_.size();
        }
        return std::move(out_);
    }

  private:
    void Op(uint8_t op) {
        PutU8(out_, op);
        ++counts_[op];
    }

    uint64_t block_;
    StreamStats* stats_;
    std::vector<uint8_t> out_;
    uint64_t counts_[kOpLiteralRange + 1] = {};
    uint64_t copied_ = 0;
    uint64_t literal_ = 0;
};

}  // namespace

OldFileIndex::OldFileIndex(const uint8_t* data, size_t size, MatcherKind kind)
    : data_(data), size_(size) {
    const uint64_t indexed = std::min<uint64_t>(size, kMaxOldOffset + 1);
    useSuffixArray_ = kind == MatcherKind::kSuffixArray ||
                      (kind == MatcherKind::kAuto && indexed <= kSuffixArrayLimit);
    if (useSuffixArray_ && indexed > kMaxOldOffset) useSuffixArray_ = false;
    if (size == 0) return;

    if (useSuffixArray_) {
        suffixes_ = BuildSuffixArray(data, static_cast<uint32_t>(indexed));
        // First rank of every two-byte prefix. The one-byte suffix at the end
        // sorts before every longer suffix that starts with its byte.
        std::vector<uint32_t> count(65536, 0);
        for (uint64_t i = 0; i + 1 < indexed; ++i) ++count[data[i] << 8 | data[i + 1]];
        buckets_.assign(65537, 0);
        uint32_t rank = 0;
        for (uint32_t c0 = 0; c0 < 256; ++c0) {
            if (data[indexed - 1] == c0) ++rank;
            for (uint32_t c1 = 0; c1 < 256; ++c1) {
                buckets_[c0 << 8 | c1] = rank;
                rank += count[c0 << 8 | c1];
            }
        }
        buckets_[65536] = rank;
        if (indexed >= kMinMatch) {
            filter_.assign((size_t{1} << kFilterBits) / 64, 0);
            for (uint64_t i = 0; i + kMinMatch <= indexed; ++i) {
                const uint32_t h = HashGram(data + i);
                filter_[h >> 6] |= uint64_t{1} << (h & 63);
            }
        }
        return;
    }

    // Hash index: one old position per slot, sampled every `step` bytes.
    if (indexed < kHashWindow) return;
    const uint64_t positions = indexed - kHashWindow + 1;
    const uint64_t step =
        std::max<uint64_t>(1, (positions + kMaxHashedPositions - 1) / kMaxHashedPositions);
    uint64_t slots = 1;
    while (slots < 2 * (positions / step + 1)) slots <<= 1;
    hashMask_ = static_cast<uint32_t>(slots - 1);
    hashTable_.assign(slots, kNoPosition);
    // Later positions overwrite earlier ones in the same slot; walking
    // backwards keeps the earliest occurrence of each window.
    for (uint64_t p = (positions - 1) / step * step + step; p >= step;) {
        p -= step;
        hashTable_[HashWindow(data + p, hashMask_)] = static_cast<uint32_t>(p);
    }
}

OldFileIndex::~OldFileIndex() = default;

Match OldFileIndex::LongestMatch(const uint8_t* text, size_t size) const {
    if (size_ == 0 || size == 0) return {0, 0, 0};
    return useSuffixArray_ ? SuffixArrayMatch(text, size) : HashMatch(text, size);
}

bool OldFileIndex::MayMatch(const uint8_t* text, size_t size) const {
    if (filter_.empty() || size < kMinMatch) return true;
    const uint32_t h = HashGram(text);
    return (filter_[h >> 6] >> (h & 63) & 1) != 0;
}

Match OldFileIndex::SuffixArrayMatch(const uint8_t* text, size_t size) const {
    if (size < kMinMatch) return {0, 0, 0};
    const size_t key = static_cast<size_t>(text[0]) << 8 | text[1];
    size_t lo = buckets_[key];
    size_t hi = buckets_[key + 1];
    if (lo >= hi) return {0, 0, 0};
    const size_t n = suffixes_.size();
    // Binary search for the first suffix not below `text`, skipping the
    // prefix that both bounds are known to share with it.
    size_t lcpLo = 2;
    size_t lcpHi = 2;
    size_t l = lo;
    size_t r = hi;
    while (l < r) {
        const size_t mid = l + (r - l) / 2;
        const size_t pos = static_cast<size_t>(suffixes_[mid]);
        const size_t known = std::min(lcpLo, lcpHi);
        const size_t limit = std::min(n - pos, size);
        const size_t k = known + CommonPrefix(data_ + pos + known, text + known, limit - known);
        if (k == size) return {0, static_cast<uint32_t>(pos), static_cast<uint32_t>(k)};
        if (k == n - pos || data_[pos + k] < text[k]) {
            l = mid + 1;
            lcpLo = k;
        } else {
            r = mid;
            lcpHi = k;
        }
    }
    size_t best = 0;
    size_t bestPos = 0;
    if (l > lo) {
        best = lcpLo;
        bestPos = static_cast<size_t>(suffixes_[l - 1]);
    }
    if (l < hi && lcpHi > best) {
        best = lcpHi;
        bestPos = static_cast<size_t>(suffixes_[l]);
    }
    if (best < kMinMatch) return {0, 0, 0};
    return {0, static_cast<uint32_t>(bestPos), static_cast<uint32_t>(best)};
}

Match OldFileIndex::HashMatch(const uint8_t* text, size_t size) const {
    if (size < kHashWindow || hashTable_.empty()) return {0, 0, 0};
    const uint32_t candidate = hashTable_[HashWindow(text, hashMask_)];
    if (candidate == kNoPosition) return {0, 0, 0};
    const size_t limit = std::min(size, size_ - candidate);
    const size_t length = CommonPrefix(data_ + candidate, text, limit);
    if (length < kHashWindow) return {0, 0, 0};
    return {0, candidate, static_cast<uint32_t>(std::min<size_t>(length, 0xFFFFFFFFu))};
}

std::vector<Match> FindMatches(const OldFileIndex& index, const uint8_t* newData, size_t newSize) {
    std::vector<Match> matches;
    const uint8_t* old = index.Data();
    // A match found at position i is extended backwards only to just after
    // the previous search: the search there found the longest match, which
    // reaches at least as far as any match that covers it.
    size_t lowest = 0;
    size_t i = 0;
    while (i < newSize) {
        if (!index.MayMatch(newData + i, newSize - i)) {
            lowest = ++i;
            continue;
        }
        Match m = index.LongestMatch(newData + i, newSize - i);
        if (m.length < kMinMatch) {
            lowest = ++i;
            continue;
        }
        size_t start = i;
        size_t oldPos = m.oldPos;
        size_t length = m.length;
        while (start > lowest && oldPos > 0 && newData[start - 1] == old[oldPos - 1]) {
            --start;
            --oldPos;
            ++length;
        }
        matches.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(oldPos),
                           static_cast<uint32_t>(length)});
        lowest = i + 1;
        i += m.length;
    }
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match& a, const Match& b) { return a.newPos < b.newPos; });
    return matches;
}

namespace {

// Writes the cheapest operations that rebuild newData[0..newSize) from the
// matches (new positions relative to newData, ordered by them).
void WriteCheapestPath(const std::vector<Match>& matches, const uint8_t* newData, size_t newSize,
                       const EncodeOptions& options, StreamWriter& writer) {
    // The positions where an operation can begin or end.
    std::vector<uint32_t> keys;
    keys.reserve(2 * matches.size() + 2);
    keys.push_back(0);
    keys.push_back(static_cast<uint32_t>(newSize));
    for (const Match& m : matches) {
        keys.push_back(m.newPos);
        keys.push_back(m.newPos + m.length);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    // Cheapest stream for each prefix ending at a key. A copy can end at
    // any key its match covers and is best started where the match starts
    // (the cost of a prefix never falls as it grows); a literal run can run
    // from any earlier key.
    constexpr uint32_t kLiteral = 0xFFFFFFFFu;
    const size_t keyCount = keys.size();
    std::vector<uint64_t> cost(keyCount);
    std::vector<uint32_t> from(keyCount);  // previous key
    std::vector<uint32_t> via(keyCount);   // match index, or kLiteral

    struct Active {
        uint64_t cost;
        uint64_t end;
        uint32_t match;
        uint32_t startKey;
        bool operator>(const Active& o) const { return cost > o.cost; }
    };
    std::priority_queue<Active, std::vector<Active>, std::greater<Active>> active;
    const uint64_t copyCost = kCopyCost + options.opcodeCost;
    const uint64_t literalRunCost = kLiteralRunCost + options.opcodeCost;
    size_t nextMatch = 0;
    int64_t bestLiteralBase = 0;  // min over earlier keys of cost - position
    uint32_t bestLiteralKey = 0;

    for (size_t k = 0; k < keyCount; ++k) {
        const uint64_t p = keys[k];
        if (k == 0) {
            cost[0] = 0;
            from[0] = 0;
            via[0] = kLiteral;
        } else {
            while (!active.empty() && active.top().end < p) active.pop();
            uint64_t best =
                static_cast<uint64_t>(bestLiteralBase + static_cast<int64_t>(p + literalRunCost));
            from[k] = bestLiteralKey;
            via[k] = kLiteral;
            if (!active.empty() && active.top().cost <= best) {
                best = active.top().cost;
                from[k] = active.top().startKey;
                via[k] = active.top().match;
            }
            cost[k] = best;
        }
        const int64_t base = static_cast<int64_t>(cost[k]) - static_cast<int64_t>(p);
        if (k == 0 || base < bestLiteralBase) {
            bestLiteralBase = base;
            bestLiteralKey = static_cast<uint32_t>(k);
        }
        while (nextMatch < matches.size() && matches[nextMatch].newPos == p) {
            const Match& m = matches[nextMatch];
            active.push({cost[k] + copyCost, static_cast<uint64_t>(m.newPos) + m.length,
                         static_cast<uint32_t>(nextMatch), static_cast<uint32_t>(k)});
            ++nextMatch;
        }
    }

    // Walk back from the end and write the operations front to back.
    std::vector<uint32_t> path;
    for (uint32_t k = static_cast<uint32_t>(keyCount - 1); k != 0; k = from[k]) path.push_back(k);
    std::reverse(path.begin(), path.end());

    for (uint32_t k : path) {
        const uint64_t start = keys[from[k]];
        const uint64_t end = keys[k];
        if (via[k] == kLiteral) {
            writer.Literal(newData + start, end - start);
        } else {
            const Match& m = matches[via[k]];
            writer.Copy(m.oldPos + (start - m.newPos), end - start);
        }
    }
}

}  // namespace

std::vector<uint8_t> EncodeDiff(const OldFileIndex& index, const uint8_t* newData, size_t newSize,
                                const EncodeOptions& options, StreamStats* stats) {
    if (options.blockSize == 0) throw std::invalid_argument("block size 0");
    if (newSize > 0xFFFFFFFFu) throw std::length_error("new file of 4 GiB or more");
    const std::vector<Match> matches = FindMatches(index, newData, newSize);
    StreamWriter writer(options.blockSize, stats);
    WriteCheapestPath(matches, newData, newSize, options, writer);
    return writer.Finish();
}

void MemorySource::Read(uint64_t offset, uint8_t* out, size_t length) {
    if (offset > size_ || length > size_ - offset) throw std::out_of_range("read past the end");
    if (length != 0) std::memcpy(out, data_ + offset, length);
}

uint64_t ExactMatcherMemory(uint64_t oldSize, uint64_t newSize) {
    // The suffix array takes 4 bytes per old byte and its construction
    // about as much again; the filter and the buckets are fixed.
    return oldSize * 10 + newSize + (uint64_t{1} << kFilterBits) / 8 + (1u << 20);
}

namespace {

// The bounded matcher's share of its memory: half for the table of sampled
// windows, an eighth for the piece of the new file, a 256th for the cache
// of old-file blocks (kCacheBlocks of them).
constexpr uint32_t kCacheBlocks = 16;
constexpr uint64_t kMaxCacheBlock = 1u << 20;
constexpr uint64_t kMinCacheBlock = 64;
constexpr uint64_t kMinPiece = 4 * kHashWindow;

inline uint64_t HashWindow64(const uint8_t* p) {
    uint64_t a = Load64(p) * 0x9E3779B97F4A7C15ull;
    uint64_t b = Load64(p + 8) * 0xC2B2AE3D27D4EB4Full;
    return (a ^ ((b << 31) | (b >> 33))) * 0x165667B19E3779F9ull;
}

inline uint64_t FloorPowerOfTwo(uint64_t v) {
    uint64_t p = 1;
    while (p * 2 <= v) p *= 2;
    return p;
}

// Blocks of the old file, the least recently used one replaced.
class OldBlockCache {
  public:
    OldBlockCache(ByteSource& source, uint64_t limit, uint64_t blockSize)
        : source_(source),
          limit_(limit),
          blockSize_(blockSize),
          memory_(blockSize * kCacheBlocks),
          tags_(kCacheBlocks, ~uint64_t{0}),
          used_(kCacheBlocks, 0) {}

    // The byte at `pos` (below the limit) and how many follow it in its
    // block, itself included.
    const uint8_t* At(uint64_t pos, size_t* available) {
        const uint64_t tag = pos / blockSize_;
        if (tags_[last_] != tag) last_ = Load(tag);
        used_[last_] = ++clock_;
        const uint64_t offset = pos - tag * blockSize_;
        *available = static_cast<size_t>(std::min(blockSize_, limit_ - tag * blockSize_) - offset);
        return memory_.data() + last_ * blockSize_ + offset;
    }

    uint64_t Limit() const { return limit_; }

  private:
    uint32_t Load(uint64_t tag) {
        uint32_t slot = 0;
        for (uint32_t i = 0; i < kCacheBlocks; ++i) {
            if (tags_[i] == tag) return i;
            if (used_[i] < used_[slot]) slot = i;
        }
        const uint64_t start = tag * blockSize_;
        source_.Read(start, memory_.data() + slot * blockSize_,
                     static_cast<size_t>(std::min(blockSize_, limit_ - start)));
        tags_[slot] = tag;
        return slot;
    }

    ByteSource& source_;
    uint64_t limit_;
    uint64_t blockSize_;
    std::vector<uint8_t> memory_;
    std::vector<uint64_t> tags_;
    std::vector<uint64_t> used_;
    uint64_t clock_ = 0;
    uint32_t last_ = 0;
};

// How far text[0..limit) agrees with the old file from `oldPos` on.
size_t ForwardMatch(OldBlockCache& old, uint64_t oldPos, const uint8_t* text, size_t limit) {
    limit = static_cast<size_t>(std::min<uint64_t>(limit, old.Limit() - oldPos));
    size_t n = 0;
    while (n < limit) {
        size_t available = 0;
        const uint8_t* p = old.At(oldPos + n, &available);
        const size_t span = std::min(available, limit - n);
        const size_t k = CommonPrefix(p, text + n, span);
        n += k;
        if (k < span) break;
    }
    return n;
}

// How far the bytes before `text` (at most `limit`) agree with those before
// `oldPos`.
size_t BackwardMatch(OldBlockCache& old, uint64_t oldPos, const uint8_t* text, size_t limit) {
    limit = static_cast<size_t>(std::min<uint64_t>(limit, oldPos));
    size_t n = 0;
    while (n < limit) {
        size_t available = 0;
        if (*old.At(oldPos - n - 1, &available) != text[-1 - static_cast<ptrdiff_t>(n)]) break;
        ++n;
    }
    return n;
}

struct Slot {
    uint32_t pos;
    uint32_t check;
};

}  // namespace

std::vector<uint8_t> EncodeDiffBounded(ByteSource& oldFile, ByteSource& newFile,
                                       uint64_t memoryLimit, const EncodeOptions& options,
                                       StreamStats* stats) {
    if (options.blockSize == 0) throw std::invalid_argument("block size 0");
    const uint64_t newSize = newFile.Size();
    if (newSize > 0xFFFFFFFFu) throw std::length_error("new file of 4 GiB or more");
    // Copies must start below 2^31; matches end there too, so that no
    // block opcode of a long copy starts beyond.
    const uint64_t indexed = std::min<uint64_t>(oldFile.Size(), kMaxOldOffset + 1);

    const uint64_t slots = std::max<uint64_t>(64, FloorPowerOfTwo(memoryLimit / 2 / sizeof(Slot)));
    const uint64_t piece = std::max<uint64_t>(kMinPiece, memoryLimit / 8);
    const uint64_t cacheBlock = std::clamp<uint64_t>(
        FloorPowerOfTwo(memoryLimit / 256 / kCacheBlocks), kMinCacheBlock, kMaxCacheBlock);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(
        piece + kHashWindow, std::max<uint64_t>(newSize, indexed) + kHashWindow)));

    // The table: the window at every `step`th old position, the first one
    // that lands in a slot kept.
    std::vector<Slot> table;
    uint64_t step = 1;
    const uint64_t mask = slots - 1;
    if (indexed >= kHashWindow) {
        const uint64_t positions = indexed - kHashWindow + 1;
        step = std::max<uint64_t>(1, (positions + slots - 1) / slots);
        table.assign(static_cast<size_t>(slots), Slot{kNoPosition, 0});
        for (uint64_t start = 0; start < positions; start += piece) {
            const uint64_t end = std::min(positions, start + piece);
            oldFile.Read(start, buffer.data(), static_cast<size_t>(end - start + kHashWindow - 1));
            for (uint64_t p = (start + step - 1) / step * step; p < end; p += step) {
                const uint64_t h = HashWindow64(buffer.data() + (p - start));
                Slot& slot = table[static_cast<size_t>((h >> 32) & mask)];
                if (slot.pos == kNoPosition)
                    slot = {static_cast<uint32_t>(p), static_cast<uint32_t>(h)};
            }
        }
    }

    OldBlockCache old(oldFile, indexed, cacheBlock);
    StreamWriter writer(options.blockSize, stats);
    std::vector<Match> matches;
    bool haveDiagonal = false;
    int64_t diagonal = 0;  // old position minus new position of the last match
    for (uint64_t base = 0; base < newSize; base += piece) {
        const size_t size = static_cast<size_t>(std::min(piece, newSize - base));
        const uint8_t* text = buffer.data();
        newFile.Read(base, buffer.data(), size);
        matches.clear();
        size_t lowest = 0;  // backward extension stops at the last match's end
        size_t i = 0;
        while (i < size && indexed > 0) {
            uint64_t oldPos = kNoPosition;
            size_t length = 0;
            if (haveDiagonal) {
                const int64_t o = static_cast<int64_t>(base + i) + diagonal;
                if (o >= 0 && static_cast<uint64_t>(o) < indexed) {
                    length = ForwardMatch(old, static_cast<uint64_t>(o), text + i, size - i);
                    if (length >= kMinMatch) oldPos = static_cast<uint64_t>(o);
                }
            }
            if (oldPos == kNoPosition && !table.empty() && i + kHashWindow <= size) {
                const uint64_t h = HashWindow64(text + i);
                const Slot& slot = table[static_cast<size_t>((h >> 32) & mask)];
                if (slot.pos != kNoPosition && slot.check == static_cast<uint32_t>(h)) {
                    length = ForwardMatch(old, slot.pos, text + i, size - i);
                    if (length >= kHashWindow) oldPos = slot.pos;
                }
            }
            if (oldPos == kNoPosition) {
                ++i;
                continue;
            }
            const size_t back = BackwardMatch(old, oldPos, text + i, i - lowest);
            matches.push_back({static_cast<uint32_t>(i - back),
                               static_cast<uint32_t>(oldPos - back),
                               static_cast<uint32_t>(length + back)});
            haveDiagonal = true;
            diagonal = static_cast<int64_t>(oldPos) - static_cast<int64_t>(base + i);
            i += length;
            lowest = i;
        }
        WriteCheapestPath(matches, text, size, options, writer);
    }
    return writer.Finish();
}

std::vector<uint8_t> EncodeDiff(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                                size_t newSize, const EncodeOptions& options, StreamStats* stats) {
    OldFileIndex index(oldData, oldSize);
    return EncodeDiff(index, newData, newSize, options, stats);
}

}  // namespace kzp::encoder

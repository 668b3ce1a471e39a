#include "tools/encoder/compact_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>

#include "LzmaEnc.h"

namespace kzp::encoder {
namespace {

using Bytes = std::vector<uint8_t>;

void PutNumber(Bytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

void PutLe(Bytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t LoadLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// How each stream is coded: literal context bits, literal position bits,
// position bits, the largest dictionary, how long matches and how deep
// searches the parser takes, and whether it prices its choices (the optimal
// parser, with binary-tree match finding) or takes the longest match found
// in a hash chain. Lengths, steps, gaps and kinds are numbers whose previous
// byte says little; addends are 32-bit words, so that a byte's place in its
// word is part of its context; literals are program text and data, where
// the byte before says most. Measured on the esbuild pairs of make bench:
// only the literals gain from a dictionary above 128 KiB; these context
// settings made each stream the smallest of those tried (addends 3 %
// smaller than with lc 0 lp 2 pb 2, literals 0.5 % smaller than with lc 3
// lp 0 pb 0). The searches were then cut to where the time went: packing
// took half of kzp make's processor time on the larger pair, the literals
// two thirds of it. Against fb 64 mc 16, fb 32 mc 8 packs the literals in
// 20 % less time for 0.7 % more bytes; the kinds, nearly all zeros, pack in
// a thirtieth of the time without pricing, for 3 KB more; the gaps in half
// the time with hash chains, for 0.6 % more; the addends at fb 64 lose
// nothing on one pair and 1.5 % on the other, in 8 and 25 % less time.
struct StreamCoding {
    int lc;
    int lp;
    int pb;
    uint32_t maxDictionary;
    int fb;
    uint32_t mc;
    bool priced;
    bool binaryTree;
};
constexpr uint32_t kSmallDictionary = 128u * 1024;
constexpr StreamCoding kCoding[kCompactStreams] = {
    {2, 0, 0, kSmallDictionary, 128, 32, true, true},     // kCopyLengths
    {2, 0, 0, kSmallDictionary, 128, 32, true, true},     // kLiteralLengths
    {2, 0, 0, kSmallDictionary, 128, 32, true, true},     // kOldSteps
    {2, 0, 0, kSmallDictionary, 64, 16, true, false},     // kChangeGaps
    {2, 0, 0, kSmallDictionary, 64, 16, false, false},    // kChangeKinds
    {2, 2, 2, kSmallDictionary, 64, 32, true, true},      // kChangeWords
    {4, 0, 1, kCompactMaxDictionary, 32, 8, true, true},  // kLiterals
};
static_assert(6 * kSmallDictionary + kCompactMaxDictionary <= kCompactMaxDictionaries);
static_assert(2 + 2 <= kCompactMaxContextBits && 4 + 0 <= kCompactMaxContextBits);

void* EncoderAlloc(void*, size_t size) {
    return std::malloc(size);
}
void EncoderFree(void*, void* block) {
    std::free(block);
}
ISzAlloc encoderAlloc = {EncoderAlloc, EncoderFree};

struct PackedStream {
    uint8_t properties[kLzmaPropertiesSize] = {};
    uint64_t unpacked = 0;
    Bytes packed;
};

// Raw LZMA of `data` without an end mark, coded as `coding` says, with a
// dictionary no larger than the data needs.
PackedStream Pack(const Bytes& data, const StreamCoding& coding) {
    PackedStream s;
    s.unpacked = data.size();
    if (data.empty()) return s;
    uint32_t dictionary = 4096;
    while (dictionary < data.size() && dictionary < coding.maxDictionary) dictionary *= 2;
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 9;
    props.dictSize = dictionary;
    props.lc = coding.lc;
    props.lp = coding.lp;
    props.pb = coding.pb;
    props.algo = coding.priced ? 1 : 0;
    props.fb = coding.fb;
    props.mc = coding.mc;
    props.btMode = coding.binaryTree ? 1 : 0;
    props.numHashBytes = 4;
    props.writeEndMark = 0;
    props.numThreads = 1;
    CLzmaEncHandle encoder = LzmaEnc_Create(&encoderAlloc);
    if (encoder == nullptr) throw std::bad_alloc();
    SizeT propertiesSize = kLzmaPropertiesSize;
    SRes result = LzmaEnc_SetProps(encoder, &props);
    if (result == SZ_OK) result = LzmaEnc_WriteProperties(encoder, s.properties, &propertiesSize);
    s.packed.resize(data.size() + data.size() / 2 + 1024);
    SizeT packedSize = s.packed.size();
    if (result == SZ_OK) {
        result = LzmaEnc_MemEncode(encoder, s.packed.data(), &packedSize, data.data(), data.size(),
                                   0, nullptr, &encoderAlloc, &encoderAlloc);
    }
    LzmaEnc_Destroy(encoder, &encoderAlloc, &encoderAlloc);
    if (result != SZ_OK) throw std::runtime_error("LZMA encoding failed");
    s.packed.resize(packedSize);
    return s;
}

// The header and the packed streams, each stream packed on a thread of its
// own where the build has threads (the Windows builds' win32 thread model
// has none in its standard library).
}  // namespace

Bytes PackCompactStreams(uint64_t newSize, const Bytes (&streams)[kCompactStreams],
                         CompactStats* stats) {
    PackedStream packed[kCompactStreams];
#if defined(_GLIBCXX_HAS_GTHREADS)
    std::future<PackedStream> packing[kCompactStreams];
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        packing[i] = std::async(std::launch::async, Pack, std::cref(streams[i]), kCoding[i]);
    }
    for (uint32_t i = 0; i < kCompactStreams; ++i) packed[i] = packing[i].get();
#else
    for (uint32_t i = 0; i < kCompactStreams; ++i) packed[i] = Pack(streams[i], kCoding[i]);
#endif

    Bytes out(kCompactMagic, kCompactMagic + sizeof(kCompactMagic));
    PutLe(out, kCompactDataVersion, 2);
    PutLe(out, newSize, 8);
    for (const PackedStream& s : packed) {
        out.insert(out.end(), s.properties, s.properties + kLzmaPropertiesSize);
        PutLe(out, s.unpacked, 8);
        PutLe(out, s.packed.size(), 4);
    }
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        out.insert(out.end(), packed[i].packed.begin(), packed[i].packed.end());
        if (stats != nullptr) {
            stats->unpacked[i] = packed[i].unpacked;
            stats->packed[i] = packed[i].packed.size();
        }
    }
    return out;
}

namespace {

// Collects the streams segment by segment.
class StreamBuilder {
  public:
    void Segment(uint64_t copy, uint64_t literal, uint64_t oldPosition) {
        PutNumber(streams_[kCopyLengths], copy);
        PutNumber(streams_[kLiteralLengths], literal);
        uint64_t step = 0;
        if (copy > 0) {
            step = oldPosition >= oldCursor_ ? (oldPosition - oldCursor_) * 2
                                             : (oldCursor_ - oldPosition) * 2 - 1;
            oldCursor_ = oldPosition + copy;
        }
        oldCursor_ += literal;
        PutNumber(streams_[kOldSteps], step);
        ++stats_.segments;
        stats_.copiedBytes += copy;
        stats_.literalBytes += literal;
    }
    // The changes that turn the copied bytes into the new ones: a run of at
    // most four changed bytes becomes an addend to the four bytes from its
    // start (a shifted pointer's bytes differ by one number whatever its
    // carries did), a longer run, or one too near the copy's end, replaced
    // bytes (code that changed, which the literal stream codes best).
    void Changes(const uint8_t* newBytes, const uint8_t* oldBytes, uint64_t size) {
        uint64_t i = 0;
        while (i < size) {
            if (newBytes[i] == oldBytes[i]) {
                ++unchanged_;
                ++i;
                continue;
            }
            uint64_t end = i;
            while (end < size && newBytes[end] != oldBytes[end]) ++end;
            PutNumber(streams_[kChangeGaps], unchanged_);
            unchanged_ = 0;
            ++stats_.changes;
            if (end - i <= kChangeWordSize && size - i >= kChangeWordSize) {
                const uint64_t addend =
                    LoadLe(newBytes + i, kChangeWordSize) - LoadLe(oldBytes + i, kChangeWordSize);
                PutNumber(streams_[kChangeKinds], 0);
                PutLe(streams_[kChangeWords], addend, kChangeWordSize);
                i += kChangeWordSize;
            } else {
                PutNumber(streams_[kChangeKinds], end - i);
                Literals(newBytes + i, end - i);
                stats_.replacedBytes += end - i;
                i = end;
            }
        }
    }
    void Literals(const uint8_t* data, uint64_t size) {
        streams_[kLiterals].insert(streams_[kLiterals].end(), data, data + size);
    }
    Bytes Finish(uint64_t newSize, CompactStats* stats) {
        Bytes out = PackCompactStreams(newSize, streams_, &stats_);
        if (stats != nullptr) *stats = stats_;
        return out;
    }

  private:
    Bytes streams_[kCompactStreams];
    uint64_t oldCursor_ = 0;
    uint64_t unchanged_ = 0;
    CompactStats stats_;
};

// Which strings of kMinNewCopy bytes the old file holds, as two bits of one
// 64-bit word per hash (a string it holds always finds both set): most
// places in new code hold none, and are passed over without a search of the
// index, which took a third of the matching time. With one bit a string,
// 6.5 % of the places the old file lacks got through on a 12 MB program,
// each to a search of the index that found nothing (three searches in four
// were such); the second bit, in the same word and so without another cache
// miss, lets 2 % through, and the searches halve.
class LongStringFilter {
  public:
    LongStringFilter(const uint8_t* data, size_t size) {
        while (bits_ < 27 && (uint64_t{1} << bits_) < size * 8) ++bits_;
        filter_.assign((size_t{1} << bits_) / 64 + 1, 0);
        for (size_t i = 0; i + kMinNewCopy <= size; ++i) {
            if (i + kAhead + kMinNewCopy <= size) __builtin_prefetch(WordOf(data + i + kAhead));
            const uint64_t h = Hash(data + i);
            filter_[Word(h)] |= Bits(h);
        }
    }
    // Every word is a cache miss of its own, the strings are looked up a
    // byte apart, and their words are known ahead: the callers prefetch the
    // word of the string kAhead bytes on while they look at this one. (The
    // prefetch is theirs: a member function holding only a prefetch counts
    // as doing nothing, and the compiler drops calls to it.)
    static constexpr size_t kAhead = 16;
    const uint64_t* WordOf(const uint8_t* text) const { return &filter_[Word(Hash(text))]; }
    bool MayHold(const uint8_t* text) const {
        const uint64_t h = Hash(text);
        return (filter_[Word(h)] & Bits(h)) == Bits(h);
    }

  private:
    // The top bits_ bits of the hash pick the word and the first bit, the
    // six below them the second bit.
    uint64_t Hash(const uint8_t* p) const {
        static_assert(kMinNewCopy == 16);
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        return (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    }
    size_t Word(uint64_t h) const { return static_cast<size_t>(h >> (64 - bits_) >> 6); }
    uint64_t Bits(uint64_t h) const {
        return uint64_t{1} << (h >> (64 - bits_) & 63) | uint64_t{1} << (h >> (58 - bits_) & 63);
    }
    uint32_t bits_ = 10;
    std::vector<uint64_t> filter_;
};

}  // namespace

std::vector<CompactSegment> FindApproximateCopies(const OldFileIndex& index, const uint8_t* newData,
                                                  size_t newSize) {
    const uint8_t* old = index.Data();
    const int64_t oldSize = static_cast<int64_t>(index.Size());
    const int64_t size = static_cast<int64_t>(newSize);
    auto agrees = [&](int64_t newPos, int64_t oldPos) {
        return oldPos >= 0 && oldPos < oldSize && old[oldPos] == newData[newPos];
    };
    const LongStringFilter filter(old, index.Size());
    std::vector<CompactSegment> segments;
    // The copy before the gap starts at (lastNew, lastOld); the gap ends
    // where the next match starts, at (scan, matchOld).
    int64_t lastNew = 0;
    int64_t lastOld = 0;
    int64_t alignment = 0;  // old minus new position of the last copy
    int64_t scan = 0;
    int64_t length = 0;
    int64_t matchOld = 0;
    while (scan < size) {
        // Look for a match that beats the current alignment over its length.
        int64_t score = 0;  // bytes the current alignment gets right in [scan, counted)
        int64_t counted = scan += length;
        for (; scan < size; ++scan) {
            length = 0;
            // Where the current alignment goes on exactly for a copy's worth
            // of bytes, it is taken without a search: past a shifted pointer
            // the old code mostly resumes, and searching there took half the
            // matching time for data 0.3 % larger.
            int64_t exact = 0;
            if (counted <= scan + kMinNewCopy) {
                while (scan + exact < size && agrees(scan + exact, scan + exact + alignment))
                    ++exact;
            }
            const size_t left = newSize - static_cast<size_t>(scan);
            if (left >= LongStringFilter::kAhead + kMinNewCopy) {
                __builtin_prefetch(filter.WordOf(newData + scan + LongStringFilter::kAhead));
            }
            if (exact >= kMinNewCopy) {
                length = exact;
                matchOld = scan + alignment;
            } else if (left >= kMinNewCopy && filter.MayHold(newData + scan)) {
                const Match m = index.LongestMatch(newData + scan, left);
                length = m.length >= kMinNewCopy ? m.length : 0;
                matchOld = m.oldPos;
            }
            for (; counted < scan + length; ++counted) {
                if (agrees(counted, counted + alignment)) ++score;
            }
            if ((length == score && length != 0) || length > score + kAlignmentGain) break;
            if (agrees(scan, scan + alignment)) --score;
        }
        if (length == score && scan != size) continue;  // the alignment goes on

        // Stretch the last copy forwards over the gap while more than half
        // of its bytes agree.
        int64_t forward = 0;
        for (int64_t i = 0, good = 0, best = 0; lastNew + i < scan && lastOld + i < oldSize;) {
            if (old[lastOld + i] == newData[lastNew + i]) ++good;
            ++i;
            if (good * 2 - i > best * 2 - forward) {
                best = good;
                forward = i;
            }
        }
        // And the new match backwards.
        int64_t backward = 0;
        if (scan < size) {
            for (int64_t i = 1, good = 0, best = 0; scan >= lastNew + i && matchOld >= i; ++i) {
                if (old[matchOld - i] == newData[scan - i]) ++good;
                if (good * 2 - i > best * 2 - backward) {
                    best = good;
                    backward = i;
                }
            }
        }
        // Where the two meet, the split that gets most bytes right.
        if (lastNew + forward > scan - backward) {
            const int64_t overlap = (lastNew + forward) - (scan - backward);
            int64_t balance = 0;
            int64_t bestBalance = 0;
            int64_t split = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                const int64_t n = lastNew + forward - overlap + i;
                if (newData[n] == old[lastOld + forward - overlap + i]) ++balance;
                if (newData[scan - backward + i] == old[matchOld - backward + i]) --balance;
                if (balance > bestBalance) {
                    bestBalance = balance;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        const int64_t literalStart = lastNew + forward;
        const int64_t literalEnd = scan - backward;
        segments.push_back({static_cast<uint64_t>(forward),
                            static_cast<uint64_t>(literalEnd - literalStart),
                            static_cast<uint64_t>(lastOld)});
        lastNew = literalEnd;
        lastOld = matchOld - backward;
        alignment = matchOld - scan;
    }
    // Segments without bytes say nothing.
    std::erase_if(segments, [](const CompactSegment& s) { return s.copy + s.literal == 0; });
    return segments;
}

std::vector<uint8_t> EncodeCompactData(const uint8_t* oldData, size_t oldSize,
                                       const uint8_t* newData, size_t newSize,
                                       const std::vector<CompactSegment>& segments,
                                       CompactStats* stats) {
    StreamBuilder builder;
    uint64_t at = 0;
    for (const CompactSegment& s : segments) {
        if (s.copy > newSize - at || s.literal > newSize - at - s.copy ||
            (s.copy > 0 && (s.oldPosition > oldSize || s.copy > oldSize - s.oldPosition ||
                            s.oldPosition > kMaxOldOffset))) {
            throw std::invalid_argument("a segment lies outside the files");
        }
        builder.Segment(s.copy, s.literal, s.oldPosition);
        builder.Changes(newData + at, oldData + s.oldPosition, s.copy);
        at += s.copy;
        builder.Literals(newData + at, s.literal);
        at += s.literal;
    }
    if (at != newSize) throw std::invalid_argument("the segments do not make the new file");
    return builder.Finish(newSize, stats);
}

std::vector<uint8_t> EncodeCompactUpdate(const OldFileIndex& index, const uint8_t* newData,
                                         size_t newSize, CompactStats* stats) {
    return EncodeCompactData(index.Data(), index.Size(), newData, newSize,
                             FindApproximateCopies(index, newData, newSize), stats);
}

std::vector<uint8_t> EncodeCompactAdd(const uint8_t* data, size_t size, CompactStats* stats) {
    StreamBuilder builder;
    if (size > 0) {
        builder.Segment(0, size, 0);
        builder.Literals(data, size);
    }
    return builder.Finish(size, stats);
}

std::vector<uint8_t> EncodeCompactFromStream(const std::vector<uint8_t>& stream,
                                             CompactStats* stats) {
    auto fail = [] { throw std::invalid_argument("not a well-formed diff stream"); };
    if (stream.size() < kDiffHeaderSize || std::memcmp(stream.data(), kDiffMagic, 4) != 0) fail();
    const uint64_t block = LoadLe(stream.data() + 6, 4);
    size_t at = kDiffHeaderSize;
    auto operand = [&] {
        if (stream.size() - at < 4) fail();
        at += 4;
        return LoadLe(stream.data() + at - 4, 4);
    };
    StreamBuilder builder;
    uint64_t newSize = 0;
    // Runs of copies and literals become segments: a copy and the literals
    // after it.
    uint64_t copy = 0;
    uint64_t copyOld = 0;
    uint64_t literal = 0;
    auto flush = [&] {
        if (copy + literal == 0) return;
        builder.Segment(copy, literal, copyOld);
        copy = literal = 0;
    };
    auto addCopy = [&](uint64_t offset, uint64_t length) {
        if (literal == 0 && copy > 0 && copyOld + copy == offset) {
            copy += length;
        } else {
            flush();
            copy = length;
            copyOld = offset;
        }
        newSize += length;
    };
    auto addLiteral = [&](uint64_t length) {
        if (stream.size() - at < length) fail();
        builder.Literals(stream.data() + at, length);
        at += length;
        literal += length;
        newSize += length;
    };
    for (;;) {
        if (at >= stream.size()) fail();
        const uint8_t opcode = stream[at++];
        if (opcode == kOpEnd) break;
        switch (opcode) {
            case kOpCopyBlock:
                addCopy(operand(), block);
                break;
            case kOpCopyBlocks: {
                const uint64_t offset = operand();
                addCopy(offset, operand() * block);
                break;
            }
            case kOpCopyRange: {
                const uint64_t offset = operand();
                addCopy(offset, operand());
                break;
            }
            case kOpLiteralBlock:
                addLiteral(block);
                break;
            case kOpLiteralBlocks:
                addLiteral(operand() * block);
                break;
            case kOpLiteralRange:
                addLiteral(operand());
                break;
            default:
                fail();
        }
    }
    flush();
    return builder.Finish(newSize, stats);
}

bool ReadCompactHeader(const uint8_t* data, size_t available, uint64_t dataLength,
                       CompactHeader* header, std::string* problem) {
    if (available < kCompactHeaderSize || std::memcmp(data, kCompactMagic, 4) != 0) {
        *problem = "no compact data header (\"KZC \")";
        return false;
    }
    header->version = static_cast<uint16_t>(LoadLe(data + 4, 2));
    header->newSize = LoadLe(data + 6, 8);
    uint64_t total = kCompactHeaderSize;
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        const uint8_t* fields = data + 14 + i * kCompactStreamFields;
        header->dictionary[i] = static_cast<uint32_t>(LoadLe(fields + 1, 4));
        header->unpacked[i] = LoadLe(fields + kLzmaPropertiesSize, 8);
        header->packed[i] = static_cast<uint32_t>(LoadLe(fields + kLzmaPropertiesSize + 8, 4));
        total += header->packed[i];
    }
    if (header->version != kCompactDataVersion) {
        *problem = "compact data version " + std::to_string(header->version) + " is unknown";
        return false;
    }
    if (total != dataLength) {
        *problem = "data length " + std::to_string(dataLength) + " differs from the " +
                   std::to_string(total) + " bytes of the header and the streams";
        return false;
    }
    return true;
}

}  // namespace kzp::encoder

// The diff encoder, its suffix array and the stream checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/encoder/compact_encoder.h"
#include "tools/encoder/diff_encoder.h"
#include "tools/encoder/stream_check.h"
#include "tools/encoder/suffix_array.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::encoder {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& s, size_t at) {
    return static_cast<uint32_t>(s[at]) | static_cast<uint32_t>(s[at + 1]) << 8 |
           static_cast<uint32_t>(s[at + 2]) << 16 | static_cast<uint32_t>(s[at + 3]) << 24;
}

// Replays a stream the way the updater's decoder does, in memory. Returns
// false when the stream reads outside `old` or itself.
bool Replay(const Bytes& stream, const Bytes& old, Bytes* out) {
    out->clear();
    if (stream.size() < 10) return false;
    const uint64_t block = Le32(stream, 6);
    size_t pos = 10;
    auto need = [&](uint64_t n) { return stream.size() - pos >= n; };
    auto copy = [&](uint64_t offset, uint64_t length) {
        if (offset > old.size() || length > old.size() - offset) return false;
        out->insert(out->end(), old.begin() + static_cast<long>(offset),
                    old.begin() + static_cast<long>(offset + length));
        return true;
    };
    auto literal = [&](uint64_t length) {
        if (!need(length)) return false;
        out->insert(out->end(), stream.begin() + static_cast<long>(pos),
                    stream.begin() + static_cast<long>(pos + length));
        pos += length;
        return true;
    };
    while (need(1)) {
        const uint8_t op = stream[pos++];
        if (op == 0) return pos == stream.size();
        if (op == 1) {
            if (!need(4) || !copy(Le32(stream, pos), block)) return false;
            pos += 4;
        } else if (op == 2 || op == 3) {
            if (!need(8)) return false;
            const uint64_t a = Le32(stream, pos);
            const uint64_t b = Le32(stream, pos + 4);
            pos += 8;
            if (!copy(a, op == 2 ? b * block : b)) return false;
        } else if (op == 4) {
            if (!literal(block)) return false;
        } else if (op == 5 || op == 6) {
            if (!need(4)) return false;
            const uint64_t n = Le32(stream, pos);
            pos += 4;
            if (!literal(op == 5 ? n * block : n)) return false;
        }
    }
    return false;
}

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t length) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + length));
}

// Encodes, checks well-formedness, replays; returns the stream.
Bytes RoundTrip(const Bytes& old, const Bytes& now, uint32_t blockSize = kDefaultBlockSize,
                MatcherKind kind = MatcherKind::kAuto, uint32_t opcodeCost = kDefaultOpcodeCost) {
    OldFileIndex index(old.data(), old.size(), kind);
    StreamStats stats;
    EncodeOptions options;
    options.blockSize = blockSize;
    options.opcodeCost = opcodeCost;
    Bytes stream = EncodeDiff(index, now.data(), now.size(), options, &stats);
    StreamCheck check = CheckDiffStream(stream.data(), stream.size(), stream.size(), old.size());
    EXPECT_TRUE(check.wellFormed) << check.problem << " at " << check.problemOffset;
    EXPECT_EQ(check.stats.OutputBytes(), now.size());
    EXPECT_EQ(check.stats.copiedBytes, stats.copiedBytes);
    EXPECT_EQ(check.stats.literalBytes, stats.literalBytes);
    for (int op = kOpEnd; op <= kOpLiteralRange; ++op) {
        EXPECT_EQ(check.stats.opcodes[op], stats.opcodes[op]) << op;
    }
    Bytes replayed;
    EXPECT_TRUE(Replay(stream, old, &replayed));
    EXPECT_TRUE(replayed == now) << "replayed " << replayed.size() << " bytes, expected "
                                 << now.size();
    return stream;
}

// The same through the bounded matcher with `memory` bytes.
Bytes RoundTripBounded(const Bytes& old, const Bytes& now, uint64_t memory,
                       uint32_t blockSize = kDefaultBlockSize) {
    MemorySource oldFile(old.data(), old.size());
    MemorySource newFile(now.data(), now.size());
    StreamStats stats;
    EncodeOptions options;
    options.blockSize = blockSize;
    Bytes stream = EncodeDiffBounded(oldFile, newFile, memory, options, &stats);
    StreamCheck check = CheckDiffStream(stream.data(), stream.size(), stream.size(), old.size());
    EXPECT_TRUE(check.wellFormed) << check.problem << " at " << check.problemOffset;
    EXPECT_EQ(check.stats.copiedBytes, stats.copiedBytes);
    EXPECT_EQ(check.stats.literalBytes, stats.literalBytes);
    Bytes replayed;
    EXPECT_TRUE(Replay(stream, old, &replayed));
    EXPECT_TRUE(replayed == now) << "replayed " << replayed.size() << " bytes, expected "
                                 << now.size();
    return stream;
}

TEST(SuffixArray, MatchesPlainSortingOnSmallAndRepetitiveTexts) {
    std::mt19937 rng(7);
    std::vector<Bytes> texts = {{}, {42}, Bytes(300, 0), Bytes(257, 0xFF)};
    for (int i = 0; i < 300; ++i) {
        Bytes t(rng() % 80);
        const uint32_t alphabet = 1 + rng() % 3;
        for (uint8_t& c : t) c = static_cast<uint8_t>(rng() % alphabet);
        texts.push_back(t);
    }
    Bytes periodic;
    for (int i = 0; i < 200; ++i) periodic.push_back(static_cast<uint8_t>("abaab"[i % 5]));
    texts.push_back(periodic);
    texts.push_back(Random(5000, 3));
    for (const Bytes& t : texts) {
        std::vector<int32_t> sa = BuildSuffixArray(t.data(), static_cast<uint32_t>(t.size()));
        std::vector<int32_t> expected(t.size());
        for (size_t i = 0; i < t.size(); ++i) expected[i] = static_cast<int32_t>(i);
        std::sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) {
            return std::lexicographical_compare(t.begin() + a, t.end(), t.begin() + b, t.end());
        });
        ASSERT_EQ(sa, expected) << "text of " << t.size() << " bytes";
    }
}

TEST(OldFileIndex, FindsTheLongestMatchAnywhere) {
    const Bytes a = Random(4000, 11);
    Bytes old = Cat({a, Slice(a, 100, 50), Random(100, 12), Slice(a, 100, 300)});
    OldFileIndex index(old.data(), old.size());
    // Text that the old file holds twice: once for 50 bytes, once for 300.
    Bytes text = Slice(a, 100, 300);
    text.push_back(static_cast<uint8_t>(old[4250 + 300 - 1] + 1));
    Match m = index.LongestMatch(text.data(), text.size());
    EXPECT_EQ(m.length, 300u);
    EXPECT_EQ(0, std::memcmp(old.data() + m.oldPos, text.data(), 300));
    const Bytes none = Random(64, 99);
    EXPECT_EQ(index.LongestMatch(none.data(), none.size()).length, 0u);
}

// Pieces of the old file only a little longer than the shortest copy, each
// between new bytes: every one is found, so the filter that spares the
// matcher its fruitless searches never turns away a string the old file
// holds (each piece has only a few places where a copy can start).
TEST(OldFileIndex, ApproximateCopiesFindEveryShortPiece) {
    const Bytes old = Random(256 * 1024, 21);
    std::mt19937 rng(22);
    const size_t piece = kMinNewCopy + 6;
    Bytes fresh;
    size_t pieces = 0;
    while (fresh.size() < 200 * 1024) {
        const Bytes between = Random(40 + rng() % 40, rng());
        fresh.insert(fresh.end(), between.begin(), between.end());
        const size_t from = rng() % (old.size() - piece);
        fresh.insert(fresh.end(), old.begin() + from, old.begin() + from + piece);
        ++pieces;
    }
    OldFileIndex index(old.data(), old.size());
    uint64_t copied = 0;
    for (const CompactSegment& s : FindApproximateCopies(index, fresh.data(), fresh.size())) {
        copied += s.copy;
    }
    EXPECT_GE(copied, pieces * piece);
    EXPECT_LE(copied, pieces * (piece + 2)) << "random bytes that happen to agree at an edge";
}

TEST(DiffEncoder, RebuildsEveryKindOfChange) {
    const Bytes base = Random(100000, 1);
    Bytes oneByte = base;
    oneByte[73456] ^= 0x5A;
    const Bytes grown =
        Cat({Slice(base, 0, 70000), Random(3000, 2), Slice(base, 70000, 30000), Random(5000, 3)});
    const Bytes shrunk = Cat({Slice(base, 0, 50000), Slice(base, 90000, 10000)});
    const Bytes moved =
        Cat({Slice(base, 75000, 25000), Slice(base, 0, 50000), Slice(base, 50000, 25000)});
    const Bytes unrelated = Random(70000, 4);
    const Bytes zeros(100000, 0);
    struct Case {
        const char* name;
        Bytes old;
        Bytes now;
    } cases[] = {
        {"both empty", {}, {}},
        {"from empty", {}, Random(1000, 5)},
        {"to empty", base, {}},
        {"one byte", base, oneByte},
        {"grow", base, grown},
        {"shrink", base, shrunk},
        {"moved blocks", base, moved},
        {"unrelated", base, unrelated},
        {"runs of zeros", zeros, Cat({zeros, Slice(base, 0, 10), zeros})},
        {"tiny", {1, 2, 3}, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoundTrip(c.old, c.now);
        RoundTrip(c.old, c.now, 64);  // whole blocks: opcodes 1, 2, 4 and 5
        RoundTrip(c.old, c.now, 1000, MatcherKind::kHash);
        RoundTrip(c.old, c.now, 1000, MatcherKind::kAuto, kFastApplyOpcodeCost);
        // Matched in pieces: a table of 64 windows, pieces of 64 bytes of
        // the new file, old blocks of 64 bytes; then a few pieces.
        RoundTripBounded(c.old, c.now, 1);
        RoundTripBounded(c.old, c.now, 2048, 64);
        RoundTripBounded(c.old, c.now, 256 * 1024, 1000);
    }
}

TEST(DiffEncoder, TheBoundedMatcherFindsWhatTheExactOneFinds) {
    // An edit every 64 KiB: replaced, inserted and removed runs.
    const Bytes old = Random(1 << 20, 31);
    Bytes now;
    std::mt19937 rng(32);
    for (size_t at = 0; at < old.size(); at += 65536) {
        const size_t cut = at + 1000 + rng() % 60000;
        const size_t length = 1 + rng() % 3000;
        now.insert(now.end(), old.begin() + static_cast<long>(at),
                   old.begin() + static_cast<long>(cut));
        const Bytes edit = Random(length, static_cast<uint32_t>(at));
        size_t resume = cut;
        switch (at / 65536 % 3) {
            case 0:
                now.insert(now.end(), edit.begin(), edit.end());
                resume = cut + length;
                break;
            case 1:
                now.insert(now.end(), edit.begin(), edit.end());
                break;
            default:
                resume = cut + length;
                break;
        }
        now.insert(now.end(), old.begin() + static_cast<long>(resume),
                   old.begin() + static_cast<long>(at + 65536));
    }
    // Moved pieces are found too: the two halves swapped.
    const Bytes swapped = Cat(
        {Slice(now, now.size() / 2, now.size() - now.size() / 2), Slice(now, 0, now.size() / 2)});
    for (const Bytes& text : {now, swapped}) {
        const size_t exact = RoundTrip(old, text).size();
        // A table that samples every 128th old position, pieces of 16 KiB.
        const size_t bounded = RoundTripBounded(old, text, 128 * 1024).size();
        EXPECT_LE(bounded, exact + exact / 10) << exact;
    }
}

TEST(DiffEncoder, SmallBlocksUseTheBlockOpcodes) {
    const Bytes old = Random(10000, 8);
    const Bytes now =
        Cat({Slice(old, 0, 640), Random(64, 9), Random(640, 10), Slice(old, 5000, 64)});
    StreamStats stats;
    OldFileIndex index(old.data(), old.size());
    EncodeOptions options;
    options.blockSize = 64;
    EncodeDiff(index, now.data(), now.size(), options, &stats);
    EXPECT_GE(stats.opcodes[kOpCopyBlock] + stats.opcodes[kOpCopyBlocks], 2u);
    EXPECT_GE(stats.opcodes[kOpLiteralBlock] + stats.opcodes[kOpLiteralBlocks], 1u);
}

TEST(DiffEncoder, StreamsCostWhatTheChangeCosts) {
    const Bytes old = Random(60000, 21);
    // One changed byte: copy, one literal byte, copy.
    Bytes now = old;
    now[30000] ^= 1;
    EXPECT_EQ(RoundTrip(old, now).size(), 10u + 9 + 6 + 9 + 1);
    // Two halves swapped: two copies.
    now = Cat({Slice(old, 30000, 30000), Slice(old, 0, 30000)});
    EXPECT_EQ(RoundTrip(old, now).size(), 10u + 9 + 9 + 1);
    // Copies longer than a block: whole blocks in one record, the rest in another.
    const Bytes large = Random(300000, 24);
    EXPECT_EQ(RoundTrip(large, large).size(), 10u + 9 + 9 + 1);
    // A short match inside new text does not pay for its record: 9 bytes
    // of copy and 5 of a second literal header are more than 6 bytes.
    const Bytes fresh = Random(200, 22);
    now = Cat({Slice(fresh, 0, 100), Slice(old, 777, 6), Slice(fresh, 100, 100)});
    Bytes stream = RoundTrip(old, now);
    EXPECT_EQ(stream.size(), 10u + 5 + 206 + 1);
    // A longer one does, unless each opcode is taken to cost the decoder
    // more than the match saves.
    now = Cat({Slice(fresh, 0, 100), Slice(old, 777, 20), Slice(fresh, 100, 100)});
    EXPECT_EQ(RoundTrip(old, now).size(), 10u + 5 + 100 + 9 + 5 + 100 + 1);
    EXPECT_EQ(
        RoundTrip(old, now, kDefaultBlockSize, MatcherKind::kAuto, kFastApplyOpcodeCost).size(),
        10u + 5 + 220 + 1);
    // Unrelated data is one literal run per block.
    now = Random(100000, 23);
    EXPECT_EQ(RoundTrip(old, now).size(), 10u + 1 + 65536 + 5 + (100000 - 65536) + 1);
}

TEST(StreamCheck, NamesWhatIsWrong) {
    auto stream = [](auto build) {
        writer::DiffStream s(16);
        build(s);
        return s.Data();
    };
    const Bytes good = stream([](writer::DiffStream& s) {
        s.CopyRange(0, 8).LiteralRange({1, 2}).End();
    });
    StreamCheck ok = CheckDiffStream(good.data(), good.size(), good.size(), 8);
    EXPECT_TRUE(ok.wellFormed) << ok.problem;
    EXPECT_EQ(ok.stats.OutputBytes(), 10u);
    EXPECT_EQ(ok.stats.oldEnd, 8u);

    struct Bad {
        const char* name;
        Bytes stream;
        uint64_t dataLength;
        uint64_t oldSize;
        const char* problem;
    } bad[] = {
        {"no end", stream([](auto& s) { s.CopyRange(0, 8); }), 19, 8, "without opcode 0"},
        {"junk opcode", stream([](auto& s) { s.Byte(7).End(); }), 12, 8, "opcode 7"},
        {"old range", stream([](auto& s) { s.CopyRange(4, 8).End(); }), 20, 8,
         "outside the old file"},
        {"block past old", stream([](auto& s) { s.CopyBlock(0).End(); }), 16, 8,
         "outside the old file"},
        {"blocks overflow", stream([](auto& s) { s.CopyBlocks(0, 0x10000000).End(); }), 20, 8,
         "outside the old file"},
        {"seek limit", stream([](auto& s) { s.CopyRange(0x80000000u, 1).End(); }), 20,
         0xFFFFFFFFull, "outside the old file"},
        {"long copy", stream([](auto& s) { s.CopyRange(0, 17).End(); }), 20, 100,
         "more than one block"},
        {"long literal", stream([](auto& s) { s.LiteralRange(Bytes(17, 1)).End(); }), 33, 8,
         "more than one block"},
        {"length", good, good.size() + 1, 8, "data length"},
        {"magic", writer::DiffStream(16, 100, "KZX ").End().Data(), 11, 8, "KZS"},
        {"version", writer::DiffStream(16, 101).End().Data(), 11, 8, "version 101"},
        {"block size", writer::DiffStream(0).End().Data(), 11, 8, "block size 0"},
        {"cut literal", Slice(good, 0, good.size() - 2), good.size(), 8, "cut short"},
        {"cut header", Slice(good, 0, 7), 7, 8, "header"},
    };
    for (const Bad& b : bad) {
        StreamCheck c = CheckDiffStream(b.stream.data(), b.stream.size(), b.dataLength, b.oldSize);
        EXPECT_FALSE(c.wellFormed) << b.name;
        EXPECT_NE(c.problem.find(b.problem), std::string::npos) << b.name << ": " << c.problem;
    }
}

}  // namespace
}  // namespace kzp::encoder

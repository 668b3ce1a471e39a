// The diff stream decoder against hand-made streams and against a model of
// the stream format over random streams.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "engine/notify.h"
#include "package/compact_decoder.h"
#include "package/diff_decoder.h"
#include "package/package_layout.h"
#include "support/file_helpers.h"
#include "tests/support/diff_model.h"
#include "tests/support/faulty_os.h"
#include "tests/support/package_fixture.h"
#include "tests/support/test_platform.h"
#include "tools/encoder/compact_encoder.h"

namespace kzp {
namespace {

using test::Bytes;
using writer::DiffStream;

constexpr uint64_t kEntryTime = 0x01C3D4E5F6A7B8C0ull;  // 2004
const char kPrefix[] = "data before the stream";

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Reads a whole file through the seam (quicker than stream iterators for the
// megabytes of the random streams).
Bytes ReadWhole(const std::string& path) {
    Os& os = test::BaseOs();
    Bytes data;
    FileHandle file =
        os.CreateFileHandle(path.c_str(), kGenericRead, kFileShareRead, false, kOpenExisting, 0);
    if (file == kInvalidFile) return data;
    data.resize(os.GetFileSize(file, nullptr));
    uint32_t got = 0;
    if (!data.empty()) os.ReadFile(file, data.data(), static_cast<uint32_t>(data.size()), &got);
    data.resize(got);
    os.CloseFile(file);
    return data;
}

struct DecodeRun {
    Result result = 0xFFFFFFFF;
    Bytes output;
    std::vector<intptr_t> progress;
    std::vector<uint32_t> codes;
    bool stamped = false;
};

class DiffDecoder : public ::testing::Test {
  protected:
    void SetUp() override { folder_ = test::NewScratchFolder(); }

    // Decodes `body` (the package after the image) with the stream at
    // `dataOffset`, against `oldData`.
    DecodeRun DecodeBody(const Bytes& oldData, const Bytes& body, uint32_t dataOffset,
                         uint32_t dataLength) {
        test::UpdaterFile updater = test::WriteRawUpdaterFile(body);
        return DecodeFile(oldData, updater.path, dataOffset, dataLength);
    }

    DecodeRun DecodeFile(const Bytes& oldData, const std::string& updaterPath, uint32_t dataOffset,
                         uint32_t dataLength) {
        const std::string oldPath = folder_ + "\\old.bin";
        const std::string newPath = folder_ + "\\new.bin";
        test::WriteBytes(oldPath, oldData);
        test::SetFileTimeOf(oldPath, kEntryTime + 12345);
        test::RemovePath(newPath);

        FileEntry entry{};
        std::strcpy(entry.name, "new.bin");
        entry.fileTime =
            FileTime{static_cast<uint32_t>(kEntryTime), static_cast<uint32_t>(kEntryTime >> 32)};
        entry.dataOffset = dataOffset;
        entry.dataLength = dataLength;

        DecodeRun run;
        test::OpenedPackage package(updaterPath);
        EXPECT_TRUE(package.ok());
        state_.sink().Clear();
        {
            std::unique_ptr<test::ScopedOs> faulty;
            if (faulty_) faulty = std::make_unique<test::ScopedOs>(*faulty_);
            FileHandle oldFile =
                withoutOldFile_ ? kInvalidFile : OpenFileForRead(oldPath.c_str(), 0, 0);
            FileHandle newFile = CreateFileForWrite(newPath.c_str(), 0, 0);
            EXPECT_TRUE(withoutOldFile_ || oldFile != kInvalidFile);
            EXPECT_NE(newFile, kInvalidFile);
            StateDecodeContext context(state_.state());
            entry.compact = compact_;
            run.result = compact_
                             ? ApplyCompactData(package.file(), entry, oldFile, newFile, context)
                             : ApplyDiffStream(package.file(), entry, oldFile, newFile, context);
            if (oldFile != kInvalidFile) TheOs().CloseFile(oldFile);
            TheOs().CloseFile(newFile);
        }
        run.output = ReadWhole(newPath);
        run.progress = state_.sink().Values(SN_FILE_PROGRESS);
        run.codes = state_.sink().Codes();
        uint64_t ticks = 0;
        test::FileTimeOf(newPath, &ticks);
        run.stamped = ticks == kEntryTime;
        return run;
    }

    // The stream placed after a prefix and followed by `tail`; the data
    // length is the stream's size unless given.
    DecodeRun Decode(const Bytes& oldData, const Bytes& stream, const Bytes& tail = {},
                     int64_t dataLength = -1) {
        Bytes body = Text(kPrefix);
        body.insert(body.end(), stream.begin(), stream.end());
        body.insert(body.end(), tail.begin(), tail.end());
        uint32_t length = dataLength < 0 ? static_cast<uint32_t>(stream.size())
                                         : static_cast<uint32_t>(dataLength);
        return DecodeBody(oldData, body, sizeof(kPrefix) - 1, length);
    }

    std::string folder_;
    test::ScopedUpdaterState state_;
    test::FaultyOs* faulty_ = nullptr;
    // Compact data instead of a diff stream; an add's data (no old file).
    bool compact_ = false;
    bool withoutOldFile_ = false;
};

TEST_F(DiffDecoder, WorkedExample) {
    DiffStream s(4);
    s.CopyBlocks(0, 1).LiteralRange(Text("xy")).CopyBlock(4).CopyRange(1, 2).End();
    ASSERT_EQ(s.Data().size(), 41u);
    DecodeRun run = Decode(Text("ABCDEFGH"), s.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("ABCDxyEFGHBC"));
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{463, 634, 756, 975, 1000}));
    EXPECT_TRUE(run.stamped);
}

TEST_F(DiffDecoder, HeaderAndEndOnlyGivesAnEmptyStampedFile) {
    DiffStream s(16);
    s.End();
    DecodeRun run = Decode(Text("old"), s.Data(), {}, 40);
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.progress, std::vector<intptr_t>{275});  // 11 * 1000 / 40
    EXPECT_TRUE(run.stamped);
}

TEST_F(DiffDecoder, HeaderIsCheckedBeforeAnythingIsWritten) {
    DiffStream accepted(4, 100);
    accepted.LiteralBlock(Text("abcd")).End();
    DecodeRun run = Decode(Text("old"), accepted.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("abcd"));

    const std::pair<DiffStream, Result> refused[] = {
        {DiffStream(4, 101), kErrorDiffVersion},
        {DiffStream(4, 0xFFFF), kErrorDiffVersion},
        {DiffStream(4, 100, "KZS!"), kErrorDiffData},
        {DiffStream(4, 100, "kzs "), kErrorDiffData},
        // A block of no bytes.
        {DiffStream(0, 100), kErrorDiffData},
    };
    for (auto [stream, expected] : refused) {
        stream.LiteralBlock(Text("abcd")).End();
        run = Decode(Text("old"), stream.Data());
        EXPECT_EQ(run.result, expected);
        EXPECT_TRUE(run.output.empty());
        EXPECT_TRUE(run.codes.empty()) << "no progress before the work buffer exists";
        EXPECT_FALSE(run.stamped);
    }
    // A header cut short is a failed package read.
    Bytes cut = DiffStream(4).Data();
    cut.resize(8);
    run = DecodeBody(Text("old"), cut, 0, 10);
    EXPECT_EQ(run.result, kErrorReadPackage);
    EXPECT_TRUE(run.codes.empty());
}

TEST_F(DiffDecoder, OpcodesSevenAndAboveAreSkippedOneByteEach) {
    DiffStream s(4);
    for (int op = 7; op <= 255; ++op) s.Byte(static_cast<uint8_t>(op));
    s.LiteralRange(Text("ok")).End();
    DecodeRun run = Decode(Text("old"), s.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("ok"));
    // No progress for the skipped bytes: only opcode 6 and the end.
    const uint64_t afterRange = 10 + 249 + 7;
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{
                                static_cast<intptr_t>(afterRange * 1000 / s.Data().size()), 1000}));
}

TEST_F(DiffDecoder, EmptyRanges) {
    // Opcode 2 with count 0 still sends its progress; opcode 5 with count 0
    // sends nothing.
    DiffStream s(4);
    s.CopyBlocks(4, 0).LiteralBlocks({}).End();
    DecodeRun run = Decode(Text("ABCDEFGH"), s.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{19 * 1000 / 25, 1000}));

    // ... and still seeks: an offset the seek cannot reach fails.
    DiffStream far(4);
    far.CopyBlocks(0x80000000u, 0).End();
    run = Decode(Text("ABCDEFGH"), far.Data());
    EXPECT_EQ(run.result, kErrorOldFileRead);
}

TEST_F(DiffDecoder, ReadsPastTheOldFileFail) {
    const Bytes old = Text("ABCDEFGH");
    DecodeRun run = Decode(old, DiffStream(4).CopyBlock(5).End().Data());
    EXPECT_EQ(run.result, kErrorOldFileRead);
    EXPECT_EQ(run.progress, std::vector<intptr_t>{15 * 1000 / 16}) << "only the final value";

    // Opcode 2 reports the range once, as far as it went, then the final value.
    DiffStream blocks(4);
    blocks.CopyBlocks(0, 3).End();
    run = Decode(old, blocks.Data());
    EXPECT_EQ(run.result, kErrorOldFileRead);
    EXPECT_EQ(run.output, old) << "blocks written before the failure stay";
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{950, 950}));
    EXPECT_FALSE(run.stamped);

    run = Decode(old, DiffStream(4).CopyRange(7, 2).End().Data());
    EXPECT_EQ(run.result, kErrorOldFileRead);
    run = Decode(old, DiffStream(4).CopyRange(8, 0).End().Data());
    EXPECT_EQ(run.result, kResultOk) << "an empty range at the end is inside the file";
}

TEST_F(DiffDecoder, DecodingEndsAtTheEndOpcodeNotAtTheDataLength) {
    // Without opcode 0 the decoder reads on into what follows the stream.
    DiffStream open(4);
    open.LiteralRange(Text("ab"));
    DecodeRun run = Decode(Text("old"), open.Data());
    EXPECT_EQ(run.result, kErrorReadPackage) << "the package ends";
    EXPECT_EQ(run.output, Text("ab"));
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{1000, 1000}));

    Bytes tail = {7, 7, 0, 0xEE};  // two skipped bytes, then an end
    run = Decode(Text("old"), open.Data(), tail);
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.progress.back(), (17 + 3) * 1000 / 17);
    EXPECT_TRUE(run.stamped);
}

TEST_F(DiffDecoder, ProgressIsTruncatedNotClamped) {
    DiffStream s(4);
    s.LiteralBlock(Text("abcd")).LiteralRange(Text("e")).End();  // 10 + 5 + 6 + 1 = 22
    DecodeRun run = Decode(Text("old"), s.Data(), {}, 7);
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{15 * 1000 / 7, 21 * 1000 / 7, 22 * 1000 / 7}));
    run = Decode(Text("old"), s.Data(), {}, 0);
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{0, 0, 0}));
    run = Decode(Text("old"), s.Data(), {}, 3 * 22);
    EXPECT_EQ(run.progress, (std::vector<intptr_t>{227, 318, 333}));
}

TEST_F(DiffDecoder, CancelInsideLiteralBlocksStopsBeforeTheNextBlock) {
    DiffStream s(4);
    s.LiteralBlocks(Text("aaaabbbbccccddddeeee")).End();  // 10 + 5 + 20 + 1 = 36
    int progressSeen = 0;
    state_.sink().onSend = [&](const test::Notification& n) {
        if (n.code == SN_FILE_PROGRESS && ++progressSeen == 2) RequestCancel(state_.state());
    };
    DecodeRun run = Decode(Text("old"), s.Data());
    state_.sink().onSend = nullptr;
    EXPECT_EQ(run.result, kResultCancelled);
    EXPECT_EQ(run.output, Text("aaaabbbb"));
    EXPECT_EQ(run.progress,
              (std::vector<intptr_t>{19 * 1000 / 36, 23 * 1000 / 36, 23 * 1000 / 36}));
    EXPECT_FALSE(run.stamped);
}

TEST_F(DiffDecoder, CancelIsPolledBeforeTheFirstOpcodeAndInsideCopiedRanges) {
    RequestCancel(state_.state());
    DecodeRun run = Decode(Text("ABCDEFGH"), DiffStream(4).CopyBlock(0).End().Data());
    EXPECT_EQ(run.result, kResultCancelled);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.progress, std::vector<intptr_t>{10 * 1000 / 16}) << "final value only";

    // Inside opcode 2: the range ends early and still reports, then the end.
    // The cancel comes with the first read of the old file (the package was
    // read before it).
    state_.state().cancelRequested = 0;
    test::FaultyOs faulty(test::BaseOs());
    faulty.onCall = [&](test::OsCall kind) {
        if (kind == test::OsCall::kRead && faulty.Count(test::OsCall::kRead) == 2) {
            RequestCancel(state_.state());
        }
    };
    faulty_ = &faulty;
    DiffStream s(4);
    s.LiteralRange(Text("x")).CopyBlocks(0, 2).End();  // 10 + 6 + 9 + 1 = 26
    run = Decode(Text("ABCDEFGH"), s.Data());
    faulty_ = nullptr;
    EXPECT_EQ(run.result, kResultCancelled);
    EXPECT_EQ(run.output, Text("xABCD"));
    EXPECT_EQ(run.progress,
              (std::vector<intptr_t>{16 * 1000 / 26, 25 * 1000 / 26, 25 * 1000 / 26}));
}

TEST_F(DiffDecoder, LengthsAboveTheBlockSizeAreServedInPieces) {
    const Bytes old = Text("0123456789abcdefghij");
    DiffStream s(4);
    s.CopyRange(3, 13).LiteralRange(Text("-literal range of 25 bytes")).End();
    DecodeRun run = Decode(old, s.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("3456789abcdef-literal range of 25 bytes"));
    EXPECT_EQ(run.progress.size(), 3u);
    EXPECT_EQ(run.progress.back(), 1000);
}

TEST_F(DiffDecoder, AHugeBlockSizeTakesNoHugeBuffer) {
    test::FaultyOs faulty(test::BaseOs());
    faulty_ = &faulty;
    DiffStream s(0xFFFFFFFFu);
    s.LiteralRange(Text("small")).CopyRange(2, 3).End();
    DecodeRun run = Decode(Text("ABCDEFGH"), s.Data());
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("smallCDE"));
    EXPECT_LE(faulty.LargestAllocation(), kMaxWorkBuffer);

    // A whole block of that size cannot be in the package.
    run = Decode(Text("ABCDEFGH"), DiffStream(0xFFFFFFFFu).LiteralBlock(Text("abc")).End().Data());
    EXPECT_EQ(run.result, kErrorReadPackage);
    run = Decode(Text("ABCDEFGH"), DiffStream(0xFFFFFFFFu).CopyBlock(0).End().Data());
    EXPECT_EQ(run.result, kErrorOldFileRead);
    faulty_ = nullptr;
}

TEST_F(DiffDecoder, AWorkBufferThatCannotBeHadEndsWithACode) {
    test::FaultyOs faulty(test::BaseOs());
    faulty.FailNth(test::OsCall::kHeapAlloc, 1);
    faulty_ = &faulty;
    DecodeRun run = Decode(Text("ABCDEFGH"), DiffStream(4).CopyBlock(0).End().Data());
    faulty_ = nullptr;
    EXPECT_TRUE(faulty.Fired());
    EXPECT_EQ(run.result, kErrorDiffData);
    EXPECT_TRUE(run.output.empty());
    EXPECT_TRUE(run.codes.empty());
}

TEST_F(DiffDecoder, DataOffsetNear4GiBDoesNotWrapIntoTheImage) {
    // A valid stream where 0x18000 + offset would land after a 32-bit wrap.
    const uint32_t offset = 0xFFFFFFF0u;
    const uint32_t wrapped = static_cast<uint32_t>(kPackageOffset + offset);
    Bytes file = writer::MakeStubImage();
    file.insert(file.end(), 64, 0);
    Bytes stream = DiffStream(4).LiteralRange(Text("wrapped")).End().Data();
    std::copy(stream.begin(), stream.end(), file.begin() + wrapped);
    const std::string path = test::NewScratchFolder() + "\\update.exe";
    test::WriteBytes(path, file);
    DecodeRun run = DecodeFile(Text("old"), path, offset, 100);
    EXPECT_EQ(run.result, kErrorReadPackage);
    EXPECT_TRUE(run.output.empty());
}

TEST_F(DiffDecoder, ARefusedWriteIsReportedWhereItHappens) {
    // Literal blocks of 4 KiB onto a disk with room for 24 blocks and a bit:
    // the 25th block's write is refused. Whatever comes next, a cancel
    // pressed at the last progress shown or a stream that breaks off a
    // block later, the result is the refused write, the progress shown
    // counts the 24 blocks on disk, and the final value adds the refused
    // block, whose bytes were read.
    constexpr uint32_t kBlock = 4096;
    std::mt19937 rng(7);
    Bytes literal(40 * kBlock);
    for (uint8_t& b : literal) b = static_cast<uint8_t>(rng());
    DiffStream whole(kBlock);
    whole.LiteralBlocks(literal).End();
    // 40 blocks announced, 26 there: the 27th read fails.
    Bytes cut(whole.Data().begin(), whole.Data().begin() + 15 + 26 * kBlock);
    const uint32_t length = static_cast<uint32_t>(whole.Data().size());
    auto value = [&](uint64_t blocks) {
        return static_cast<intptr_t>((15 + blocks * kBlock) * 1000 / length);
    };

    struct Case {
        const char* what;
        bool cutShort;
        int cancelAt;  // progress notification that presses Cancel, 0: none
        Result result;
        size_t shown;          // progress notifications, the final one included
        uint64_t finalBlocks;  // blocks the final value counts
        size_t written;
    };
    const size_t refusedAt = 24 * kBlock + 100;
    const Case cases[] = {
        {"refused, then nothing", false, 0, kErrorNewFileWrite, 25, 25, refusedAt},
        {"refused, then the stream breaks off", true, 0, kErrorNewFileWrite, 25, 25, refusedAt},
        {"refused, then Cancel at the next progress", false, 25, kErrorNewFileWrite, 25, 25,
         refusedAt},
        {"Cancel before the refused block", false, 24, kResultCancelled, 25, 24, 24 * kBlock},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::FaultyOs faulty(test::BaseOs());
        faulty.SetDiskSpace(refusedAt);
        faulty_ = &faulty;
        int seen = 0;
        state_.sink().onSend = [&](const test::Notification& n) {
            if (n.code == SN_FILE_PROGRESS && ++seen == c.cancelAt) RequestCancel(state_.state());
        };
        DecodeRun run = Decode(Bytes{}, c.cutShort ? cut : whole.Data(), {}, length);
        state_.sink().onSend = nullptr;
        state_.state().cancelRequested = 0;
        faulty_ = nullptr;
        EXPECT_EQ(run.result, c.result);
        EXPECT_FALSE(run.stamped);
        ASSERT_EQ(run.progress.size(), c.shown);
        EXPECT_EQ(run.progress[c.shown - 2], value(24));
        EXPECT_EQ(run.progress.back(), value(c.finalBlocks));
        EXPECT_EQ(run.output.size(), c.written);
        EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), literal.begin()));
    }
}

TEST_F(DiffDecoder, WritesBehindOnlyWhereTheSpaceIsTakenAhead) {
    // 20 literal blocks of 4 KiB after a 100 KiB old file: the new file is
    // grown to the old one's size first, the blocks stay buffered, and the
    // file is written and cut back to 80 KiB at the end. A write refused
    // there (a device failing, not a full disk) is still the run's result,
    // whatever the stream did meanwhile; a file that cannot be grown ahead
    // is written a range at a time, as the disk-full case above needs.
    constexpr uint32_t kBlock = 4096;
    std::mt19937 rng(11);
    const Bytes old = test::RandomBytes(rng, 100 * 1024);
    Bytes literal(20 * kBlock);
    for (uint8_t& b : literal) b = static_cast<uint8_t>(rng());
    DiffStream whole(kBlock);
    whole.LiteralBlocks(literal).End();
    Bytes cut(whole.Data().begin(), whole.Data().begin() + 15 + 12 * kBlock);
    const uint32_t length = static_cast<uint32_t>(whole.Data().size());

    struct Case {
        const char* what;
        bool cutShort;
        int cancelAt;           // progress notification that presses Cancel, 0: none
        uint64_t refusedWrite;  // the Nth write fails, 0: none
        int refusedSize;        // the Nth SetFileSize fails, 0: none, -1: every one
        Result result;
        uint64_t writes;
        size_t size;      // the file's size afterwards
        size_t literals;  // bytes of literal data it begins with
    };
    const size_t all = literal.size();
    const Case cases[] = {
        {"one write at the end", false, 0, 0, 0, kResultOk, 1, all, all},
        {"refused at the end", false, 0, 1, 0, kErrorNewFileWrite, 1, all, 0},
        {"refused after the stream broke off", true, 0, 1, 0, kErrorNewFileWrite, 1, 12 * kBlock,
         0},
        {"refused after Cancel", false, 5, 1, 0, kErrorNewFileWrite, 1, 5 * kBlock, 0},
        {"Cancel", false, 5, 0, 0, kResultCancelled, 1, 5 * kBlock, 5 * kBlock},
        {"not cut back", false, 0, 0, 2, kErrorNewFileWrite, 1, old.size(), all},
        {"not cut back after Cancel", false, 5, 0, 2, kResultCancelled, 1, old.size(), 5 * kBlock},
        {"not grown: a range at a time", false, 0, 0, -1, kResultOk, 20, all, all},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::FaultyOs faulty(test::BaseOs());
        if (c.refusedWrite != 0) faulty.FailNth(test::OsCall::kWrite, c.refusedWrite);
        if (c.refusedSize > 0) faulty.FailNth(test::OsCall::kSetSize, c.refusedSize);
        if (c.refusedSize < 0) faulty.FailAll(test::OsCall::kSetSize);
        faulty_ = &faulty;
        int seen = 0;
        state_.sink().onSend = [&](const test::Notification& n) {
            if (n.code == SN_FILE_PROGRESS && ++seen == c.cancelAt) RequestCancel(state_.state());
        };
        DecodeRun run = Decode(old, c.cutShort ? cut : whole.Data(), {}, length);
        state_.sink().onSend = nullptr;
        state_.state().cancelRequested = 0;
        faulty_ = nullptr;
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.stamped, c.result == kResultOk);
        EXPECT_EQ(faulty.Count(test::OsCall::kWrite), c.writes);
        ASSERT_EQ(run.output.size(), c.size);
        EXPECT_TRUE(
            std::equal(run.output.begin(), run.output.begin() + c.literals, literal.begin()));
    }
}

// ---- random streams against a model of the format -------------------------

TEST_F(DiffDecoder, RandomStreamsMatchTheFormat) {
    std::mt19937 rng(20040106);
    const uint32_t blocks[] = {1, 3, 64, 1000, 4096, 70000, 300000};
    for (int round = 0; round < 14; ++round) {
        const uint32_t block = blocks[round % 7];
        const size_t oldSize = rng() % (block <= 64 ? 5000 : 2 * size_t{block} + 100);
        const Bytes old = test::RandomBytes(rng, oldSize);
        const std::vector<test::DiffOp> ops =
            test::RandomDiffOps(rng, old, block, block <= 64 ? 300 : 8);
        const test::ModelledStream expected = test::ModelDiff(ops, old, block);

        // Once as it is, then with each buffer beneath the decoder refused
        // (the read-ahead of the old file, the write buffer of the new file):
        // the same bytes and the same progress either way.
        for (uint64_t refused : {0, 2, 3}) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", block " << block
                                            << ", refused allocation " << refused);
            test::FaultyOs faulty(test::BaseOs());
            if (refused != 0) faulty.FailNth(test::OsCall::kHeapAlloc, refused);
            faulty_ = &faulty;
            DecodeRun run = Decode(old, expected.stream);
            faulty_ = nullptr;
            ASSERT_EQ(run.result, kResultOk);
            EXPECT_EQ(faulty.Fired(), refused != 0);
            EXPECT_TRUE(run.output == expected.output) << "output differs";
            EXPECT_EQ(run.progress, expected.progress);
            EXPECT_TRUE(run.stamped);
        }
    }
}

}  // namespace
}  // namespace kzp

namespace kzp {
namespace {

// The unpacked streams of compact data, written number by number.
struct CompactStreams {
    Bytes streams[kCompactStreams];
    static void Number(Bytes& out, uint64_t value) {
        for (; value >= 0x80; value >>= 7) out.push_back(static_cast<uint8_t>(value | 0x80));
        out.push_back(static_cast<uint8_t>(value));
    }
    CompactStreams& Segment(uint64_t copy, uint64_t literal, uint64_t step) {
        Number(streams[kCopyLengths], copy);
        Number(streams[kLiteralLengths], literal);
        Number(streams[kOldSteps], step);
        return *this;
    }
    // A change `gap` copied bytes after the last: four bytes gain `addend`.
    CompactStreams& Word(uint64_t gap, uint32_t addend) {
        Number(streams[kChangeGaps], gap);
        Number(streams[kChangeKinds], 0);
        for (int i = 0; i < 4; ++i) streams[kChangeWords].push_back(addend >> (8 * i) & 0xFF);
        return *this;
    }
    // A change that replaces `count` bytes (the test puts them into the
    // literals in the order of the file).
    CompactStreams& Replace(uint64_t gap, uint64_t count) {
        Number(streams[kChangeGaps], gap);
        Number(streams[kChangeKinds], count);
        return *this;
    }
    CompactStreams& Literals(const Bytes& bytes) {
        streams[kLiterals].insert(streams[kLiterals].end(), bytes.begin(), bytes.end());
        return *this;
    }
    // Damage: one number more in a stream, or its last byte gone.
    CompactStreams& Extra(CompactStream stream, uint64_t value) {
        Number(streams[stream], value);
        return *this;
    }
    CompactStreams& Cut(CompactStream stream) {
        streams[stream].pop_back();
        return *this;
    }
    Bytes Pack(uint64_t newSize) const { return encoder::PackCompactStreams(newSize, streams); }
};

class CompactDecoder : public DiffDecoder {
  protected:
    void SetUp() override {
        DiffDecoder::SetUp();
        compact_ = true;
    }
};

// The values only grow and the last is exactly 1000.
void ExpectProgressEndsAt1000(const std::vector<intptr_t>& progress) {
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 1000);
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

TEST_F(CompactDecoder, WorkedExample) {
    // Five bytes copied, of which the four from the second gain 0x000100FF
    // (B + FF carries into C), and two literal bytes; then three bytes copied
    // from two before the old cursor (5 + 2 = 7), of which the second is
    // replaced by a literal byte.
    CompactStreams s;
    s.Segment(5, 2, 0).Segment(3, 0, 3).Literals(Text("xyz"));
    s.Word(1, 0x000100FF).Replace(1, 1);
    DecodeRun run = Decode(Text("ABCDEFGH"), s.Pack(10));
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("AADEExyFzH"));
    EXPECT_EQ(run.progress.size(), 2u) << "one piece, then the end";
    ExpectProgressEndsAt1000(run.progress);
    EXPECT_TRUE(run.stamped);
}

TEST_F(CompactDecoder, AnEmptyFileIsTheHeaderAlone) {
    const Bytes data = CompactStreams().Pack(0);
    ASSERT_EQ(data.size(), kCompactHeaderSize);
    DecodeRun run = Decode(Text("old"), data);
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.progress, std::vector<intptr_t>{1000});
    EXPECT_TRUE(run.stamped);
}

TEST_F(CompactDecoder, HeaderIsCheckedBeforeAnythingIsWritten) {
    const Bytes good = CompactStreams().Segment(0, 2, 0).Literals(Text("ok")).Pack(2);
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
        Result result;
    };
    const Case cases[] = {
        {"another magic", 2, 'S', kErrorDiffData},
        {"version 2", 4, 2, kErrorDiffVersion},
        {"version 0", 4, 0, kErrorDiffVersion},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = good;
        data[c.at] = c.value;
        DecodeRun run = Decode(Text("old"), data);
        EXPECT_EQ(run.result, c.result);
        EXPECT_TRUE(run.output.empty());
        EXPECT_TRUE(run.codes.empty()) << "no progress before the streams are set up";
        EXPECT_FALSE(run.stamped);
    }
    // A header cut short is a failed package read.
    Bytes cut(good.begin(), good.begin() + 40);
    DecodeRun run = DecodeBody(Text("old"), cut, 0, static_cast<uint32_t>(good.size()));
    EXPECT_EQ(run.result, kErrorReadPackage);
    EXPECT_TRUE(run.codes.empty());
}

TEST_F(CompactDecoder, DamagedDataFailsAsAPackageRead) {
    const Bytes old = Text("ABCDEFGH");
    // Where the fields of stream `i` lie in the header.
    auto field = [](uint32_t stream, uint32_t offset) {
        return 14 + stream * kCompactStreamFields + offset;
    };
    struct Case {
        const char* what;
        CompactStreams streams;
        uint64_t newSize;
        Result result;
        std::function<void(Bytes&)> damage;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, CompactStreams s, uint64_t size, Result result,
                   std::function<void(Bytes&)> damage = {}) {
        cases.push_back({what, std::move(s), size, result, std::move(damage)});
    };
    add("a segment longer than the new file",
        CompactStreams().Segment(0, 5, 0).Literals(Text("abcde")), 3, kErrorReadPackage);
    add("a segment of no bytes",
        CompactStreams().Segment(0, 0, 0).Segment(0, 1, 0).Literals(Text("a")), 1,
        kErrorReadPackage);
    add("a step back before the old file's start", CompactStreams().Segment(2, 0, 3), 2,
        kErrorReadPackage);
    add("a step back before the old file's start after literals",
        CompactStreams().Segment(0, 2, 0).Segment(2, 0, 5).Literals(Text("ab")), 4,
        kErrorReadPackage);
    add("a step on a segment without a copy", CompactStreams().Segment(0, 1, 2).Literals(Text("a")),
        1, kErrorReadPackage);
    add("an addend that runs past its copy",
        CompactStreams().Segment(4, 1, 0).Word(1, 1).Literals(Text("a")), 5, kErrorReadPackage);
    add("a replacement that runs past its copy",
        CompactStreams().Segment(4, 1, 0).Replace(2, 3).Literals(Text("abcd")), 5,
        kErrorReadPackage);
    add("a gap past the copied bytes", CompactStreams().Segment(4, 0, 0).Replace(4, 1), 4,
        kErrorReadPackage);
    add("a gap without its change",
        CompactStreams().Segment(4, 0, 0).Word(0, 1).Extra(kChangeGaps, 0), 4, kErrorReadPackage);
    add("a kind left over", CompactStreams().Segment(4, 0, 0).Word(0, 1).Extra(kChangeKinds, 0), 4,
        kErrorReadPackage);
    add("an addend cut short", CompactStreams().Segment(4, 0, 0).Word(0, 1).Cut(kChangeWords), 4,
        kErrorReadPackage);
    add("an addend left over", CompactStreams().Segment(4, 0, 0).Word(0, 1).Word(9, 1), 4,
        kErrorReadPackage, [&](Bytes& d) {
            // The second change's gap and kind are gone, its addend stays.
            d[field(kChangeGaps, kLzmaPropertiesSize)] = 1;
            d[field(kChangeKinds, kLzmaPropertiesSize)] = 1;
        });
    add("replaced bytes missing from the literals",
        CompactStreams().Segment(4, 0, 0).Replace(0, 2).Literals(Text("a")), 4, kErrorReadPackage);
    add("literals that end early", CompactStreams().Segment(0, 4, 0).Literals(Text("ab")), 4,
        kErrorReadPackage);
    add("literals left over", CompactStreams().Segment(0, 2, 0).Literals(Text("abc")), 2,
        kErrorReadPackage);
    add("segments beyond the new file's end",
        CompactStreams().Segment(0, 2, 0).Segment(0, 1, 0).Literals(Text("abc")), 2,
        kErrorReadPackage);
    add(
        "a length of more than 64 bits",
        [] {
            CompactStreams s;
            s.streams[kCopyLengths] = Bytes(11, 0xFF);
            s.Segment(0, 1, 0);
            return s;
        }(),
        1, kErrorReadPackage);
    add("a dictionary above the limit", CompactStreams().Segment(0, 2, 0).Literals(Text("ab")), 2,
        kErrorReadPackage, [&](Bytes& d) { d[field(kLiterals, 3)] = 0x20; });  // 2 MiB
    add("more literal context bits than the limit",
        CompactStreams().Segment(0, 2, 0).Literals(Text("ab")), 2, kErrorReadPackage,
        [&](Bytes& d) { d[field(kLiterals, 0)] = 5; });  // lc 5, lp 0, pb 0
    add("a packed stream cut short",
        CompactStreams().Segment(0, 2000, 0).Literals(RandomBytes(2000, 3)), 2000,
        kErrorReadPackage, [&](Bytes& d) {
            // The literals come last: the stream and its length both shrink.
            d[field(kLiterals, kLzmaPropertiesSize + 8)] -= 4;
            d.resize(d.size() - 4);
        });
    add("an empty stream with packed bytes", CompactStreams().Segment(0, 1, 0).Literals(Text("a")),
        1, kErrorReadPackage,
        [&](Bytes& d) { d[field(kChangeGaps, kLzmaPropertiesSize + 8)] = 1; });
    add("a copy past the old file's end", CompactStreams().Segment(4, 0, 12), 4, kErrorOldFileRead);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = c.streams.Pack(c.newSize);
        if (c.damage) c.damage(data);
        DecodeRun run = Decode(old, data);
        EXPECT_EQ(run.result, c.result);
        EXPECT_FALSE(run.stamped);
    }
}

// Changes are counted over the copied bytes of all segments, may straddle
// the decoder's pieces of 64 KiB, and an addend carries within its four
// bytes only.
TEST_F(CompactDecoder, ChangesSpanSegmentsAndPieces) {
    Bytes old = RandomBytes(150000, 7);
    // The bytes the addend goes to: FF FF FF FF, so that its carry runs
    // through all four and out.
    const size_t wordAt = 131070;           // in the new file, across 131,072
    const size_t wordOld = 110000 + 31067;  // the second copy starts at 100,003
    std::fill(old.begin() + wordOld, old.begin() + wordOld + 4, 0xFF);
    // A copy of 100,000 bytes, three literal bytes, then 40,000 bytes from
    // 110,000 (the old cursor stood at 100,003).
    CompactStreams s;
    s.Segment(100000, 3, 0).Segment(40000, 0, (110000 - 100003) * 2);
    // Two bytes across 65,536 replaced, then the addend, counted across the
    // literal run; the literal stream holds the replacement first.
    s.Replace(65535, 2).Word((100000 - 65537) + (wordAt - 100003), 2);
    s.Literals(Text("RR")).Literals(Text("lit"));

    Bytes expected(old.begin(), old.begin() + 100000);
    expected[65535] = expected[65536] = 'R';
    for (char c : std::string("lit")) expected.push_back(static_cast<uint8_t>(c));
    expected.insert(expected.end(), old.begin() + 110000, old.begin() + 150000);
    ASSERT_EQ(expected[wordAt], 0xFF);
    const uint8_t sum[4] = {0x01, 0x00, 0x00, 0x00};  // FFFFFFFF + 2, the top carry lost
    std::copy(sum, sum + 4, expected.begin() + wordAt);

    DecodeRun run = Decode(old, s.Pack(expected.size()));
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_TRUE(run.output == expected);
    EXPECT_EQ(run.progress.size(), 4u) << "three pieces, then the end";
    ExpectProgressEndsAt1000(run.progress);
}

TEST_F(CompactDecoder, AnAddsDataHoldsNoCopies) {
    withoutOldFile_ = true;
    DecodeRun run = Decode({}, CompactStreams().Segment(0, 3, 0).Literals(Text("new")).Pack(3));
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_EQ(run.output, Text("new"));
    run = Decode({}, CompactStreams().Segment(1, 0, 0).Pack(1));
    EXPECT_EQ(run.result, kErrorReadPackage);
    withoutOldFile_ = false;
}

// Per-file progress counts the packed bytes as the file grows, so that a
// large file's bar moves in steps of about a piece, not all at once when a
// stream's dictionary fills.
TEST_F(CompactDecoder, ProgressGrowsWithTheFile) {
    withoutOldFile_ = true;
    // A bit a byte: each buffer of packed bytes holds eight times as many.
    Bytes contents = RandomBytes(1 << 20, 9);
    for (uint8_t& b : contents) b &= 1;
    const Bytes data =
        CompactStreams().Segment(0, contents.size(), 0).Literals(contents).Pack(contents.size());
    DecodeRun run = Decode({}, data);
    withoutOldFile_ = false;
    EXPECT_EQ(run.result, kResultOk);
    EXPECT_TRUE(run.output == contents);
    ASSERT_EQ(run.progress.size(), 17u) << "16 pieces of 64 KiB, then the end";
    ExpectProgressEndsAt1000(run.progress);
    intptr_t last = 0;
    for (intptr_t value : run.progress) {
        EXPECT_LT(value - last, 100) << "a piece is 1/16 of the file";
        last = value;
    }
}

TEST_F(CompactDecoder, CancelIsPolledBeforeTheFirstPieceAndBetweenPieces) {
    const Bytes old = RandomBytes(100000, 4);
    CompactStreams s;
    s.Segment(100000, 2, 0).Literals(Text("xy"));
    const Bytes data = s.Pack(100002);
    RequestCancel(state_.state());
    DecodeRun run = Decode(old, data);
    EXPECT_EQ(run.result, kResultCancelled);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.progress.size(), 1u) << "final value only";
    EXPECT_FALSE(run.stamped);

    state_.state().cancelRequested = 0;
    state_.sink().onSend = [&](const test::Notification& n) {
        if (n.code == SN_FILE_PROGRESS) RequestCancel(state_.state());
    };
    run = Decode(old, data);
    state_.sink().onSend = nullptr;
    state_.state().cancelRequested = 0;
    EXPECT_EQ(run.result, kResultCancelled);
    EXPECT_TRUE(run.output == Bytes(old.begin(), old.begin() + 64 * 1024))
        << "the first piece, then the poll";
    EXPECT_EQ(run.progress.size(), 2u);
    EXPECT_FALSE(run.stamped);
}

TEST_F(CompactDecoder, ARefusedWriteIsTheResult) {
    const Bytes literal = RandomBytes(200 * 1024, 11);
    const Bytes data =
        CompactStreams().Segment(0, literal.size(), 0).Literals(literal).Pack(literal.size());
    test::FaultyOs faulty(test::BaseOs());
    faulty.SetDiskSpace(70 * 1024);
    faulty_ = &faulty;
    DecodeRun run = Decode({}, data);
    faulty_ = nullptr;
    EXPECT_EQ(run.result, kErrorNewFileWrite);
    EXPECT_FALSE(run.stamped);
    EXPECT_LE(run.output.size(), 70u * 1024);
    EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), literal.begin()));
}

// Random old files and new ones made from them by the changes a new build
// brings (moved blocks, inserted and removed runs, pointers shifted by a
// constant), encoded by the encoder: the decoder gives back the new file in
// bounded memory, from approximate copies and from an original stream's
// exact ones alike.
TEST_F(CompactDecoder, EncodedUpdatesRoundTrip) {
    std::mt19937 rng(5);
    auto random = [&](size_t n) {
        Bytes b(n);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng() % 16);  // compressible
        return b;
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const Bytes old = random(300 * 1024 + rng() % 4096);
        Bytes fresh;
        size_t at = 0;
        while (at < old.size()) {
            const size_t run = std::min<size_t>(old.size() - at, 1000 + rng() % 30000);
            Bytes piece(old.begin() + at, old.begin() + at + run);
            for (size_t i = 0; i + 4 <= piece.size(); i += 64 + rng() % 64) piece[i] += 3;
            switch (rng() % 4) {
                case 0:
                    fresh.insert(fresh.end(), piece.begin(), piece.end());
                    break;
                case 1: {
                    Bytes extra = random(1 + rng() % 3000);
                    fresh.insert(fresh.end(), extra.begin(), extra.end());
                    fresh.insert(fresh.end(), piece.begin(), piece.end());
                    break;
                }
                case 2:
                    break;  // removed
                default:
                    fresh.insert(fresh.begin(), piece.begin(), piece.end());  // moved
            }
            at += run;
        }
        encoder::OldFileIndex index(old.data(), old.size());
        encoder::CompactStats stats;
        const Bytes approximate =
            encoder::EncodeCompactUpdate(index, fresh.data(), fresh.size(), &stats);
        EXPECT_GT(stats.changes, 0u);
        EXPECT_EQ(stats.copiedBytes + stats.literalBytes, fresh.size());
        const Bytes exact = encoder::EncodeCompactFromStream(
            encoder::EncodeDiff(index, fresh.data(), fresh.size(), encoder::EncodeOptions{}));
        for (const Bytes* data : {&approximate, &exact}) {
            test::FaultyOs faulty(test::BaseOs());
            faulty_ = &faulty;
            DecodeRun run = Decode(old, *data);
            faulty_ = nullptr;
            EXPECT_EQ(run.result, kResultOk);
            EXPECT_TRUE(run.output == fresh);
            ExpectProgressEndsAt1000(run.progress);
            EXPECT_TRUE(run.stamped);
            EXPECT_LE(faulty.LargestAllocation(), kCompactMaxDictionary + 64 * 1024);
        }
        EXPECT_LT(approximate.size(), exact.size()) << "shifted bytes cost less than literals";
    }
}

}  // namespace
}  // namespace kzp

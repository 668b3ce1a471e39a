// Diff streams that lie about their sizes: block sizes of 0 and 0xFFFFFFFF,
// opcode lengths above the block size, counts that run far past the old file
// or the package, streams without an end. Each whole run ends with the
// decoder's code for what it met (or, where the stream is merely unusual,
// with the right file), never takes memory in proportion to a size it was
// told, and leaves the target folder as it was once the window has restored.
#include <gtest/gtest.h>

#include <string>

#include "package/diff_decoder.h"
#include "support/result_code.h"
#include "tests/support/robust_run.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
using test::TreeState;
namespace w = writer;

Bytes B(const std::string& s) {
    return test::BytesOf(s);
}

constexpr uint64_t kOldTime = 0x01D0123400000000ull;
constexpr uint64_t kNewTime = 0x01D0567800000000ull;
const std::string kOld = "ABCDEFGHIJKLMNOP";

class HostileDiffTest : public testing::Test {
  protected:
    void SetUp() override {
        target_ = test::NewScratchFolder();
        before_ = {{"app.exe", {B(kOld), kOldTime}}, {"first.txt", {B("first"), kOldTime}}};
        ASSERT_TRUE(test::WriteTreeState(target_, before_));
    }

    // A package that updates first.txt well and then app.exe with `stream`.
    w::Package With(const Bytes& stream) {
        w::Package p = test::PackageForFolder(target_);
        w::UpdateEntry first;
        first.name = "first.txt";
        first.digest = w::Md5(std::string("first"));
        first.fileTime = w::FileTimeValue::FromTicks(kNewTime);
        first.stream = w::DiffStream(8).CopyRange(0, 5).LiteralRange(B(" v2")).End().Data();
        w::UpdateEntry e;
        e.name = "app.exe";
        e.digest = w::Md5(kOld);
        e.fileTime = w::FileTimeValue::FromTicks(kNewTime);
        e.stream = stream;
        p.updates = {first, e};
        return p;
    }

    test::RunOutcome Run(const w::Package& p) {
        test::MeteredRun metered = test::RunMetered(w::BuildPackage(p));
        reads_ = metered.reads;
        largest_ = metered.largestAllocation;
        return metered.outcome;
    }

    // A refused stream: its code, the restore, the old tree.
    void ExpectRefused(const Bytes& stream, Result code) {
        test::RunOutcome outcome = Run(With(stream));
        EXPECT_EQ(outcome.result, code);
        EXPECT_TRUE(outcome.restored);
        EXPECT_LE(largest_, kMaxWorkBuffer);
        EXPECT_LT(reads_, 200u);
        EXPECT_EQ(test::DescribeDifference(before_, test::ReadTreeState(target_)), "");
    }

    // A stream that must be decoded: app.exe holds `expected` afterwards.
    void ExpectDecoded(const Bytes& stream, const std::string& expected) {
        EXPECT_EQ(Run(With(stream)).result, kResultOk);
        Bytes contents;
        ASSERT_TRUE(test::ReadBytes(target_ + "\\app.exe", &contents));
        EXPECT_EQ(std::string(contents.begin(), contents.end()), expected);
        EXPECT_LT(largest_, 1024u * 1024u);
    }

    std::string target_;
    TreeState before_;
    uint64_t reads_ = 0;
    size_t largest_ = 0;
};

TEST_F(HostileDiffTest, BlockSizeZeroDescribesNoData) {
    // With no bytes per block, a count of 2^32 - 1 blocks would spin without
    // end; the stream is refused as not correct diff data.
    ExpectRefused(w::DiffStream(0).CopyBlocks(0, 0xFFFFFFFFu).End().Data(), kErrorDiffData);
    ExpectRefused(w::DiffStream(0).Byte(5).U32(0xFFFFFFFFu).End().Data(), kErrorDiffData);
}

TEST_F(HostileDiffTest, BlockSizeOfFourGigabytesTakesNoMoreThanTheWorkBuffer) {
    const uint32_t huge = 0xFFFFFFFFu;
    // A literal block: the package ends long before 4 GiB.
    ExpectRefused(w::DiffStream(huge).Byte(4).Byte('x').End().Data(), kErrorReadPackage);
    // A copied block: the old file ends after 16 bytes.
    ExpectRefused(w::DiffStream(huge).CopyBlock(0).End().Data(), kErrorOldFileRead);
    ExpectRefused(w::DiffStream(huge).CopyBlocks(0, 3).End().Data(), kErrorOldFileRead);
}

TEST_F(HostileDiffTest, RangesLongerThanTheBlockAreServedInPieces) {
    // Block size 4; a copied range of 10 and a literal range of 9.
    Bytes stream = w::DiffStream(4).CopyRange(3, 10).Byte(6).U32(9).Data();
    const std::string literal = "123456789";
    stream.insert(stream.end(), literal.begin(), literal.end());
    stream.push_back(0);
    ExpectDecoded(stream, kOld.substr(3, 10) + literal);
}

TEST_F(HostileDiffTest, CountsAndLengthsFarBeyondTheFiles) {
    const uint32_t huge = 0xFFFFFFFFu;
    ExpectRefused(w::DiffStream(1).CopyBlocks(0, huge).End().Data(), kErrorOldFileRead);
    ExpectRefused(w::DiffStream(4).CopyRange(0, huge).End().Data(), kErrorOldFileRead);
    ExpectRefused(w::DiffStream(4).CopyRange(0, 17).End().Data(), kErrorOldFileRead);
    ExpectRefused(w::DiffStream(4).CopyBlock(13).End().Data(), kErrorOldFileRead);
    // Offsets at and above 2^31 cannot be reached by a seek.
    ExpectRefused(w::DiffStream(4).CopyBlock(0x80000000u).End().Data(), kErrorOldFileRead);
    ExpectRefused(w::DiffStream(4).CopyRange(huge, 1).End().Data(), kErrorOldFileRead);
    // Literal data that the package does not hold.
    ExpectRefused(w::DiffStream(2).Byte(5).U32(huge).End().Data(), kErrorReadPackage);
    ExpectRefused(w::DiffStream(2).Byte(6).U32(huge).End().Data(), kErrorReadPackage);
}

TEST_F(HostileDiffTest, StreamsWithoutAnEndRunIntoWhatFollowsThem) {
    // The update stream is followed by nothing but the trailer: its 16 digest
    // bytes are read as opcodes until a read falls short or a 0 ends it.
    // Either way the run fails or rebuilds, and a failure is restored.
    test::RunOutcome outcome = Run(With(w::DiffStream(4).CopyBlock(0).Data()));
    if (outcome.result != kResultOk) {
        EXPECT_TRUE(outcome.restored);
        EXPECT_EQ(test::DescribeDifference(before_, test::ReadTreeState(target_)), "");
    }
    EXPECT_LE(largest_, kMaxWorkBuffer);
}

TEST_F(HostileDiffTest, WrongMagicAndVersionAreRefusedBeforeWriting) {
    ExpectRefused(w::DiffStream(4, 100, "KZS!").End().Data(), kErrorDiffData);
    ExpectRefused(w::DiffStream(4, 101).End().Data(), kErrorDiffVersion);
    ExpectRefused(w::DiffStream(4, 0xFFFF).End().Data(), kErrorDiffVersion);
    ExpectRefused(Bytes{'K', 'Z'}, kErrorDiffData);
}

}  // namespace
}  // namespace kzp

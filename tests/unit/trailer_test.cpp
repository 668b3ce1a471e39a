// The integrity trailer over packages on disk, and the password digest.
#include <gtest/gtest.h>

#include <random>

#include "engine/notify.h"
#include "package/package_layout.h"
#include "package/trailer.h"
#include "support/file_helpers.h"
#include "support/md5.h"
#include "tests/support/faulty_os.h"
#include "tests/support/package_fixture.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

using test::Bytes;

// A body of `size` bytes followed by its MD5 trailer.
Bytes SealedBody(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes body(size);
    for (uint8_t& b : body) b = static_cast<uint8_t>(rng());
    writer::Digest digest = writer::Md5(body);
    body.insert(body.end(), digest.begin(), digest.end());
    return body;
}

class Trailer : public ::testing::Test {
  protected:
    // Runs the check the way the apply thread does: positioned at the
    // package offset, over the file's size minus the image.
    Result Verify(const std::string& path, uint32_t* positionAfter = nullptr) {
        test::OpenedPackage package(path);
        EXPECT_TRUE(package.ok());
        uint32_t size = 0;
        EXPECT_TRUE(package.file().QuerySize(&size));
        EXPECT_TRUE(package.file().Seek(kPackageOffset));
        Result result;
        {
            std::unique_ptr<test::ScopedOs> faulty;
            if (faulty_ != nullptr) faulty = std::make_unique<test::ScopedOs>(*faulty_);
            result = VerifyPackageTrailer(package.file(), size - kPackageOffset, context_);
        }
        if (positionAfter != nullptr) *positionAfter = package.file().Tell();
        return result;
    }

    // Overwrites one byte of a file in place.
    static void PatchByte(const std::string& path, uint32_t offset, uint8_t value) {
        Os& os = test::BaseOs();
        FileHandle file =
            os.CreateFileHandle(path.c_str(), kGenericWrite, 0, false, kOpenExisting, 0);
        ASSERT_NE(file, kInvalidFile);
        ASSERT_EQ(os.SetFilePointer(file, static_cast<int32_t>(offset), kSeekBegin), offset);
        uint32_t written = 0;
        ASSERT_TRUE(os.WriteFile(file, &value, 1, &written));
        os.CloseFile(file);
    }

    test::ScopedUpdaterState state_;
    StateDecodeContext context_{state_.state()};
    test::FaultyOs* faulty_ = nullptr;
};

TEST_F(Trailer, AnIntactPackagePassesAndThePositionIsRestored) {
    writer::Package package;
    package.title = "title";
    test::UpdaterFile file = test::WriteUpdaterFile(package);
    uint32_t position = 0;
    EXPECT_EQ(Verify(file.path, &position), kResultOk);
    EXPECT_EQ(position, kPackageOffset);
}

TEST_F(Trailer, EverySingleByteChangeIsFound) {
    writer::Package package;
    package.title = "a small package";
    package.oldVersion = "1.0";
    package.newVersion = "1.1";
    package.adds.push_back({"readme.txt", {}, Bytes(40, 'r'), std::nullopt, std::nullopt});
    test::UpdaterFile file = test::WriteUpdaterFile(package);
    Bytes original;
    ASSERT_TRUE(test::ReadBytes(file.path, &original));
    ASSERT_EQ(Verify(file.path), kResultOk);
    // Every byte of the body and of the trailer itself.
    for (uint32_t offset = kPackageOffset; offset < original.size(); ++offset) {
        const uint8_t flipped = static_cast<uint8_t>(original[offset] ^ (1u << (offset % 8)));
        PatchByte(file.path, offset, flipped);
        EXPECT_EQ(Verify(file.path), kErrorTampered) << "offset " << offset;
        PatchByte(file.path, offset, original[offset]);
    }
    EXPECT_EQ(Verify(file.path), kResultOk);
}

TEST_F(Trailer, AppendedBytesMoveTheTrailer) {
    const Bytes body = SealedBody(700, 1);
    for (size_t extra : {1u, 16u, 512u}) {
        Bytes longer = body;
        longer.insert(longer.end(), extra, 0);
        EXPECT_EQ(Verify(test::WriteRawUpdaterFile(longer).path), kErrorTampered) << extra;
    }
    EXPECT_EQ(Verify(test::WriteRawUpdaterFile(body).path), kResultOk);
}

TEST_F(Trailer, ChunkBoundaries) {
    // Whole chunks only, one byte, nothing at all, and either side of a chunk.
    for (size_t size : {512u, 1024u, 1536u, 1u, 0u, 511u, 513u, 70000u}) {
        EXPECT_EQ(Verify(test::WriteRawUpdaterFile(SealedBody(size, 3)).path), kResultOk) << size;
    }
}

TEST_F(Trailer, APackageShorterThanItsClaimFailsToRead) {
    test::UpdaterFile file = test::WriteRawUpdaterFile(SealedBody(1000, 5));
    test::OpenedPackage package(file.path);
    ASSERT_TRUE(package.file().Seek(kPackageOffset));
    EXPECT_EQ(VerifyPackageTrailer(package.file(), 1017, context_), kErrorReadPackage);
    ASSERT_TRUE(package.file().Seek(kPackageOffset));
    EXPECT_EQ(VerifyPackageTrailer(package.file(), 5, context_), kErrorReadPackage)
        << "shorter than a trailer";
}

TEST_F(Trailer, ReadFailuresAreReported) {
    test::UpdaterFile file = test::WriteRawUpdaterFile(SealedBody(200000, 6));
    for (uint64_t nth : {1u, 2u, 4u}) {
        test::FaultyOs faulty(test::BaseOs());
        faulty.FailNth(test::OsCall::kRead, nth);
        faulty_ = &faulty;
        EXPECT_EQ(Verify(file.path), kErrorReadPackage) << nth;
        EXPECT_TRUE(faulty.Fired());
        faulty_ = nullptr;
    }
}

TEST_F(Trailer, CancelBeforeAndDuringTheCheck) {
    test::UpdaterFile file = test::WriteRawUpdaterFile(SealedBody(200000, 7));
    test::FaultyOs faulty(test::BaseOs());
    faulty_ = &faulty;

    RequestCancel(state_.state());
    EXPECT_EQ(Verify(file.path), kResultCancelled);
    EXPECT_EQ(faulty.Count(test::OsCall::kRead), 0u) << "nothing is read after an early cancel";

    // Cancelled once the first bytes have been read: the next poll sees it.
    state_.state().cancelRequested = 0;
    faulty.onCall = [&](test::OsCall kind) {
        if (kind == test::OsCall::kRead) RequestCancel(state_.state());
    };
    EXPECT_EQ(Verify(file.path), kResultCancelled);
    EXPECT_EQ(faulty.Count(test::OsCall::kRead), 1u);
    faulty_ = nullptr;
}

TEST(Password, DigestOfTheTypedBytesExactly) {
    writer::Package package;
    package.SetPassword("Secret");
    uint8_t stored[16];
    std::copy(package.passwordDigest.begin(), package.passwordDigest.end(), stored);
    EXPECT_TRUE(CheckPassword("Secret", stored));
    EXPECT_FALSE(CheckPassword("secret", stored));
    EXPECT_FALSE(CheckPassword("Secret ", stored));
    EXPECT_FALSE(CheckPassword("", stored));

    // An empty field is the digest of no bytes.
    uint8_t empty[16];
    Md5Digest("", 0, empty);
    EXPECT_TRUE(CheckPassword("", empty));
    EXPECT_FALSE(CheckPassword(" ", empty));
}

}  // namespace
}  // namespace kzp

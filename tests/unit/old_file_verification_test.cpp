// Verification of the old files before anything changes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/old_file_verification.h"
#include "support/file_helpers.h"
#include "support/md5.h"
#include "tests/support/faulty_os.h"
#include "tests/support/package_fixture.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

using test::Bytes;

constexpr uint64_t kOldTime = 0x01C3D3A1B2C3D4E0ull;

Bytes Content(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

class Verification : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = test::NewScratchFolder();
        state_.SetTargetFolder(folder_);
        for (PtrArray** list : {&updates_, &adds_, &deletes_}) *list = PtrArray::Create(10);
    }
    void TearDown() override {
        for (PtrArray* list : {updates_, adds_, deletes_}) PtrArray::Destroy(list);
    }

    // Writes a file of the target folder with the old time.
    std::string Put(const std::string& name, const Bytes& data) {
        std::string path = folder_ + "\\" + name;
        EXPECT_TRUE(test::WriteBytes(path, data));
        EXPECT_TRUE(test::SetFileTimeOf(path, kOldTime));
        return path;
    }

    // An entry whose digest matches `data` in the given mode.
    FileEntry* Entry(PtrArray* list, const std::string& name, const Bytes& data, uint8_t mode) {
        entries_.push_back(std::make_unique<FileEntry>());
        FileEntry* entry = entries_.back().get();
        std::memset(entry, 0, sizeof(*entry));
        std::strcpy(entry->name, name.c_str());
        writer::Digest digest =
            mode == 0 ? writer::Md5(data)
                      : writer::DateSizeDigest(writer::FileTimeValue::FromTicks(kOldTime),
                                               static_cast<uint32_t>(data.size()));
        std::memcpy(entry->digest, digest.data(), 16);
        list->Push(entry);
        return entry;
    }

    Result Verify(uint8_t mode) {
        state_.sink().Clear();
        std::unique_ptr<test::ScopedOs> faulty;
        if (faulty_ != nullptr) faulty = std::make_unique<test::ScopedOs>(*faulty_);
        return VerifyOldFiles(updates_, adds_, deletes_, mode, state_.state());
    }

    std::vector<std::pair<uint32_t, std::string>> Log() const {
        std::vector<std::pair<uint32_t, std::string>> log;
        for (const test::Notification& n : state_.sink().All()) log.emplace_back(n.code, n.text);
        return log;
    }

    std::string Path(const std::string& name) const { return folder_ + "\\" + name; }

    std::string folder_;
    test::ScopedUpdaterState state_;
    PtrArray* updates_ = nullptr;
    PtrArray* adds_ = nullptr;
    PtrArray* deletes_ = nullptr;
    std::vector<std::unique_ptr<FileEntry>> entries_;
    test::FaultyOs* faulty_ = nullptr;
};

using Lines = std::vector<std::pair<uint32_t, std::string>>;

TEST_F(Verification, MatchingFilesInBothModes) {
    const Bytes a = Content(3000, 1), b = Content(512, 2), empty;
    for (uint8_t mode : {0, 1, 7}) {
        SCOPED_TRACE(int{mode});
        TearDown();
        entries_.clear();
        SetUp();
        Put("a.bin", a);
        Put("b.bin", b);
        Put("empty.bin", empty);
        Entry(updates_, "a.bin", a, mode);
        Entry(updates_, "empty.bin", empty, mode);
        Entry(deletes_, "b.bin", b, mode);
        Entry(adds_, "new.bin", Bytes{}, mode);
        EXPECT_EQ(Verify(mode), kResultOk);
        const uint32_t method = mode == 0 ? SN_VERIFY_MD5 : SN_VERIFY_DATE_SIZE;
        const uint32_t file = mode == 0 ? SN_VERIFY_FILE_MD5 : SN_VERIFY_FILE_DATE_SIZE;
        EXPECT_EQ(Log(), (Lines{{method, ""},
                                {file, Path("a.bin")},
                                {file, Path("empty.bin")},
                                {file, Path("b.bin")}}));
    }
}

TEST_F(Verification, TimeMattersOnlyInDateAndSizeMode) {
    const Bytes data = Content(1000, 3);
    Put("a.bin", data);
    FileEntry* entry = Entry(updates_, "a.bin", data, 1);
    ASSERT_EQ(Verify(1), kResultOk);
    // The last four bytes of the digest must be 0 for a match.
    entry->digest[15] = 1;
    EXPECT_EQ(Verify(1), kErrorDateSizeMismatch);
    entry->digest[15] = 0;
    test::SetFileTimeOf(Path("a.bin"), kOldTime + 10000000);  // one second later
    EXPECT_EQ(Verify(1), kErrorDateSizeMismatch);

    TearDown();
    entries_.clear();
    SetUp();
    Put("a.bin", data);
    test::SetFileTimeOf(Path("a.bin"), kOldTime + 10000000);
    Entry(updates_, "a.bin", data, 0);
    EXPECT_EQ(Verify(0), kResultOk);
    Put("a.bin", Content(1000, 4));
    EXPECT_EQ(Verify(0), kErrorDigestMismatch);
}

TEST_F(Verification, MissingFilesAndTheIgnoreFlags) {
    Entry(updates_, "gone.bin", Bytes{}, 0);
    // Only exactly 1 skips a missing file; other values act like 0.
    for (uint8_t flag : {0, 2, 255}) {
        state_.state().ignoreMissingUpdate = flag;
        EXPECT_EQ(Verify(0), kErrorOldFileMissing) << int{flag};
        EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""}, {SN_VERIFY_FILE_MD5, Path("gone.bin")}}));
    }
    state_.state().ignoreMissingUpdate = 1;
    EXPECT_EQ(Verify(1), kResultOk);
    EXPECT_EQ(Log(),
              (Lines{{SN_VERIFY_DATE_SIZE, ""}, {SN_VERIFY_UPDATE_SKIPPED, Path("gone.bin")}}));

    Entry(deletes_, "gone too.bin", Bytes{}, 0);
    state_.state().ignoreMissingDelete = 2;
    EXPECT_EQ(Verify(0), kErrorOldFileMissing);
    state_.state().ignoreMissingDelete = 1;
    EXPECT_EQ(Verify(0), kResultOk);
    EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""},
                            {SN_VERIFY_UPDATE_SKIPPED, Path("gone.bin")},
                            {SN_VERIFY_DELETE_SKIPPED, Path("gone too.bin")}}));
}

TEST_F(Verification, UpdatesThenDeletesThenAdds) {
    const Bytes a = Content(10, 6), b = Content(20, 7);
    Put("a.bin", a);
    Put("b.bin", b);
    Put("c.bin", a);
    Entry(updates_, "a.bin", a, 0);
    Entry(deletes_, "b.bin", a, 0);  // differs
    Entry(adds_, "c.bin", Bytes{}, 0);
    EXPECT_EQ(Verify(0), kErrorDigestMismatch);
    EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""},
                            {SN_VERIFY_FILE_MD5, Path("a.bin")},
                            {SN_VERIFY_FILE_MD5, Path("b.bin")}}))
        << "the add list is not looked at";
}

TEST_F(Verification, FilesInTheWayOfAdds) {
    Put("one.bin", Content(5, 8));
    Put("two.bin", Content(5, 9));
    Entry(adds_, "one.bin", Bytes{}, 0);
    Entry(adds_, "absent.bin", Bytes{}, 0);
    Entry(adds_, "two.bin", Bytes{}, 0);
    // Any value but 0 lets them pass here.
    for (uint8_t flag : {1, 2}) {
        state_.state().overwriteOnAdd = flag;
        EXPECT_EQ(Verify(0), kResultOk);
        EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""},
                                {SN_VERIFY_ADD_EXISTS, Path("one.bin")},
                                {SN_VERIFY_ADD_EXISTS, Path("two.bin")}}));
    }
    state_.state().overwriteOnAdd = 0;
    EXPECT_EQ(Verify(0), kErrorAddExists);
    EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""}, {SN_VERIFY_ADD_EXISTS, Path("one.bin")}}));
    // The add list is not polled for a cancel.
    RequestCancel(state_.state());
    state_.state().overwriteOnAdd = 1;
    EXPECT_EQ(Verify(0), kResultOk);
}

TEST_F(Verification, AFileHeldOpenCannotBeVerified) {
    const Bytes data = Content(100, 10);
    Put("held.bin", data);
    Entry(updates_, "held.bin", data, 0);
    FileHandle held = test::BaseOs().CreateFileHandle(Path("held.bin").c_str(), kGenericRead, 0,
                                                      false, kOpenExisting, 0);
    ASSERT_NE(held, kInvalidFile);
    EXPECT_EQ(Verify(0), kErrorOldFileOpen);
    test::BaseOs().CloseFile(held);
    EXPECT_EQ(Verify(0), kResultOk);
}

TEST_F(Verification, FailingCallsGiveTheirCodes) {
    const Bytes data = Content(5000, 11);
    Put("a.bin", data);
    Entry(updates_, "a.bin", data, 0);
    const std::pair<test::OsCall, Result> cases[] = {
        {test::OsCall::kOpen, kErrorOldFileOpen},
        {test::OsCall::kFileSize, kErrorOldFileRead},
        {test::OsCall::kRead, kErrorOldFileRead},
    };
    for (auto [kind, expected] : cases) {
        test::FaultyOs faulty(test::BaseOs());
        faulty.FailNth(kind, 1);
        faulty_ = &faulty;
        EXPECT_EQ(Verify(0), expected) << test::OsCallName(kind);
        faulty_ = nullptr;
        EXPECT_EQ(test::BaseOs().FindFirstFileExists(Path("a.bin").c_str()), true);
    }
    // The time is needed only in date-and-size mode.
    TearDown();
    entries_.clear();
    SetUp();
    Put("a.bin", data);
    Entry(updates_, "a.bin", data, 1);
    test::FaultyOs faulty(test::BaseOs());
    faulty.FailAll(test::OsCall::kGetTime);
    faulty_ = &faulty;
    EXPECT_EQ(Verify(1), kErrorOldFileRead);
    faulty_ = nullptr;
}

TEST_F(Verification, CancelWhileDigestingStopsAfterTheCurrentChunk) {
    const Bytes data = Content(2000, 12);
    Put("big.bin", data);
    // The file is read ahead in one call; the cancel comes with it and the
    // poll after the first 512-byte chunk sees it.
    test::FaultyOs faulty(test::BaseOs());
    faulty.onCall = [&](test::OsCall kind) {
        if (kind == test::OsCall::kRead) RequestCancel(state_.state());
    };
    uint8_t check[16];
    Result outcome;
    {
        test::ScopedOs use(faulty);
        outcome = CheckOldFile(Path("big.bin").c_str(), check, 0, state_.state(), 0);
    }
    EXPECT_EQ(outcome, kResultCancelled);
    uint8_t firstChunk[16];
    Md5Digest(data.data(), 512, firstChunk);
    EXPECT_EQ(0, std::memcmp(check, firstChunk, 16)) << "the digest of what was read";

    // Before the first chunk, and before each entry.
    uint8_t nothing[16];
    Md5Digest("", 0, nothing);
    EXPECT_EQ(CheckOldFile(Path("big.bin").c_str(), check, 0, state_.state(), 0), kResultCancelled);
    EXPECT_EQ(0, std::memcmp(check, nothing, 16));
    Entry(updates_, "big.bin", data, 0);
    EXPECT_EQ(Verify(0), kResultCancelled);
    EXPECT_EQ(Log(), (Lines{{SN_VERIFY_MD5, ""}}));
}

TEST_F(Verification, NamesThatMakeOverlongPathsAreRefused) {
    const std::string name(255, 'n');
    Entry(updates_, name, Bytes{}, 0);
    state_.state().ignoreMissingUpdate = 1;
    EXPECT_EQ(Verify(0), kErrorOldFileOpen) << "not skipped as missing";
    TearDown();
    entries_.clear();
    SetUp();
    Entry(adds_, name, Bytes{}, 0);
    EXPECT_EQ(Verify(0), kErrorNewFileOpen);
}

}  // namespace
}  // namespace kzp

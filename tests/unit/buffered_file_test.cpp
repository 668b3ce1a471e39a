#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>
#include <string>

#include "support/buffered_file.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "tests/support/faulty_os.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

// Reads that jump about a file, come back, run past window ends and past the
// end of the file: every byte must be the file's, and a read that falls short
// must fail, whether read or looked at in place. Once with the system's
// positioned reads, once on a system of the 9x family, which refuses them.
TEST(FileReadCache, ScatteredReadsReturnTheFilesBytes) {
    const uint32_t size = 3 * KZP_READ_CACHE_SIZE + 1234;
    test::Bytes data(size);
    std::mt19937 random(7);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    const std::string path = test::NewScratchFolder() + "\\old.bin";
    ASSERT_TRUE(test::WriteBytes(path, data));

    test::FaultyOs ninetyX(test::BaseOs());
    ninetyX.ReportVersion({kPlatformWin32Windows, 4, 10});
    for (Os* os : {&TheOs(), static_cast<Os*>(&ninetyX)}) {
        test::ScopedOs use(*os);
        OwnedHeap heap(TheOs().HeapCreate());
        OwnedFile file(OpenFileForRead(path.c_str(), 0, 0));
        ASSERT_TRUE(file.IsOpen());
        for (uint32_t windows : {1u, 3u, 8u, KZP_READ_CACHE_WINDOWS}) {
            SCOPED_TRACE(std::to_string(windows) + " windows");
            FileReadCache cache(file.Get(), heap.Get(), KZP_READ_CACHE_SIZE, windows);
            test::Bytes got(2 * KZP_READ_CACHE_SIZE);
            for (int i = 0; i < 3000; ++i) {
                // Mostly short reads near the last one, sometimes far jumps
                // and reads larger than the whole cache.
                uint32_t at = static_cast<uint32_t>(random() % (size + 100));
                uint32_t length = (i % 50 == 0)
                                      ? KZP_READ_CACHE_SIZE + static_cast<uint32_t>(random() % 5000)
                                      : static_cast<uint32_t>(random() % 3000);
                ASSERT_TRUE(cache.Seek(at));
                // Every third read asks for the bytes in place first.
                const uint8_t* held = nullptr;
                bool ok = i % 3 != 0 || cache.Peek(length, &held);
                if (held != nullptr) {
                    memcpy(got.data(), held, length);
                } else if (ok) {
                    ok = cache.Read(got.data(), length);
                }
                bool fits = static_cast<uint64_t>(at) + length <= size;
                ASSERT_EQ(ok, fits) << "read " << length << " at " << at;
                if (fits) {
                    ASSERT_TRUE(std::equal(got.begin(), got.begin() + length, data.begin() + at))
                        << "read " << length << " at " << at;
                }
            }
            EXPECT_FALSE(cache.Seek(0x80000000u));
        }
    }
}

// Records the size of every write the file system is asked for.
class WriteSizes : public test::FaultyOs {
  public:
    using FaultyOs::FaultyOs;
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override {
        sizes.push_back(size);
        return FaultyOs::WriteFile(file, buffer, size, written);
    }
    std::vector<uint32_t> sizes;
};

// Writes of every size, handed over or read into the buffer in place: the
// file gets exactly the bytes, and the system is only asked for whole
// buffers' worth except by the last flush.
TEST(FileWriteBuffer, PiecesOfAnySizeReachTheFileInWholeBuffers) {
    const uint32_t capacity = 4096;
    std::mt19937 random(11);
    test::Bytes expected;
    const std::string path = test::NewScratchFolder() + "\\new.bin";
    WriteSizes os(test::BaseOs());
    {
        test::ScopedOs use(os);
        OwnedHeap heap(TheOs().HeapCreate());
        OwnedFile file(CreateFileForWrite(path.c_str(), 0, 0));
        ASSERT_TRUE(file.IsOpen());
        {
            FileWriteBuffer out(file.Get(), heap.Get(), capacity);
            for (int i = 0; i < 400; ++i) {
                const uint32_t length = (i % 17 == 0)
                                            ? capacity * 2 + static_cast<uint32_t>(random() % 5000)
                                            : static_cast<uint32_t>(random() % 1500);
                test::Bytes piece(length);
                for (uint8_t& b : piece) b = static_cast<uint8_t>(random());
                expected.insert(expected.end(), piece.begin(), piece.end());
                if (i % 3 == 0) {
                    ASSERT_TRUE(out.Write(piece.data(), length));
                    continue;
                }
                // In place, as far as the room reaches at a time.
                for (uint32_t done = 0; done < length;) {
                    uint32_t room = 0;
                    uint8_t* into = out.Room(&room);
                    ASSERT_NE(into, nullptr);
                    ASSERT_GT(room, 0u);
                    const uint32_t take = std::min(room, length - done);
                    memcpy(into, piece.data() + done, take);
                    ASSERT_TRUE(out.Commit(take));
                    done += take;
                }
            }
            ASSERT_TRUE(out.Flush());
        }
    }
    test::Bytes got;
    ASSERT_TRUE(test::ReadBytes(path, &got));
    EXPECT_TRUE(got == expected);
    ASSERT_FALSE(os.sizes.empty());
    for (size_t i = 0; i + 1 < os.sizes.size(); ++i) {
        EXPECT_EQ(os.sizes[i] % capacity, 0u) << "write " << i << " of " << os.sizes[i] << " bytes";
    }
}

// A full disk fails the write that meets it or, for buffered bytes, the
// flush; every call after that fails and no room is offered.
TEST(FileWriteBuffer, AFullDiskFailsEveryCallFromThenOn) {
    test::FaultyOs os(test::BaseOs());
    os.SetDiskSpace(3000);
    test::ScopedOs use(os);
    OwnedHeap heap(TheOs().HeapCreate());
    OwnedFile file(CreateFileForWrite((test::NewScratchFolder() + "\\new.bin").c_str(), 0, 0));
    ASSERT_TRUE(file.IsOpen());
    {
        FileWriteBuffer out(file.Get(), heap.Get(), 4096);
        test::Bytes piece(3000, 0x5A);
        EXPECT_TRUE(out.Write(piece.data(), 3000));   // buffered
        EXPECT_FALSE(out.Write(piece.data(), 3000));  // fills the buffer, whose flush does not fit
        uint32_t room = 1;
        EXPECT_EQ(out.Room(&room), nullptr);
        EXPECT_EQ(room, 0u);
        EXPECT_FALSE(out.Flush());
    }
}

// Space taken ahead: the file grows by the hint first, by a quarter after
// that, and by no more than needed when the disk has no more; what it
// cannot secure it refuses, and the file is cut back to the bytes accepted.
TEST(FileWriteBuffer, SecuresSpaceAheadAndGivesBackWhatIsLeft) {
    test::FaultyOs os(test::BaseOs());
    os.SetDiskSpace(9500);
    test::ScopedOs use(os);
    HeapHandle heap = TheOs().HeapCreate();
    const std::string path = test::NewScratchFolder() + "\\new.bin";
    FileHandle file = CreateFileForWrite(path.c_str(), 0, 0);
    ASSERT_NE(file, kInvalidFile);
    auto size = [&] { return TheOs().GetFileSize(file, nullptr); };
    {
        FileWriteBuffer out(file, heap, 4096, 4000);
        const test::Bytes piece(3000, 0x5A);
        const struct {
            uint32_t bytes;
            bool secured;
            uint32_t fileSize;
        } steps[] = {
            {3000, true, 4000},  // the hint
            {1000, true, 4000},  // within it
            {1000, true, 5000},  // a quarter more
            {3000, true, 8000},  // more than a quarter: what is needed
            {1500, true, 9500},  // a quarter does not fit, what is needed does
            {1, false, 9500},    // the disk is full
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.bytes);
            EXPECT_EQ(out.SecureSpace(step.bytes), step.secured);
            EXPECT_EQ(size(), step.fileSize);
            if (step.secured) {
                EXPECT_TRUE(out.Write(piece.data(), step.bytes < 3000 ? step.bytes : 3000));
            }
        }
        // A range cut short: the bytes still buffered are forgotten.
        out.DropAfter(out.Accepted() - 500);
        EXPECT_TRUE(out.Finish(true));
        EXPECT_EQ(size(), 3000u + 1000 + 1000 + 3000 + 1500 - 500);
    }
    TheOs().CloseFile(file);
    TheOs().HeapDestroy(heap);
}

}  // namespace
}  // namespace kzp

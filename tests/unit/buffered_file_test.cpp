#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/buffered_file.h"
#include "support/file_helpers.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

// Reads that jump about a file, come back, run past window ends and past the
// end of the file: every byte must be the file's, and a read that falls short
// must fail.
TEST(FileReadCache, ScatteredReadsReturnTheFilesBytes) {
    const uint32_t size = 3 * KZP_READ_CACHE_SIZE + 1234;
    test::Bytes data(size);
    std::mt19937 random(7);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    const std::string path = test::NewScratchFolder() + "\\old.bin";
    ASSERT_TRUE(test::WriteBytes(path, data));

    HeapHandle heap = TheOs().HeapCreate();
    FileHandle file = OpenFileForRead(path.c_str(), 0, 0);
    ASSERT_NE(file, kInvalidFile);
    {
        FileReadCache cache(file, heap, KZP_READ_CACHE_SIZE);
        test::Bytes got(2 * KZP_READ_CACHE_SIZE);
        for (int i = 0; i < 3000; ++i) {
            // Mostly short reads near the last one, sometimes far jumps and
            // reads larger than the whole cache.
            uint32_t at = static_cast<uint32_t>(random() % (size + 100));
            uint32_t length = (i % 50 == 0) ? KZP_READ_CACHE_SIZE + static_cast<uint32_t>(random() % 5000)
                                            : static_cast<uint32_t>(random() % 3000);
            ASSERT_TRUE(cache.Seek(at));
            bool ok = cache.Read(got.data(), length);
            bool fits = static_cast<uint64_t>(at) + length <= size;
            ASSERT_EQ(ok, fits) << "read " << length << " at " << at;
            if (fits) {
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + length, data.begin() + at))
                    << "read " << length << " at " << at;
            }
        }
        EXPECT_FALSE(cache.Seek(0x80000000u));
    }
    TheOs().CloseFile(file);
    TheOs().HeapDestroy(heap);
}

}  // namespace
}  // namespace kzp

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/file_helpers.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

TEST(FileExists, FindsFilesAndFoldersButNotATrailingBackslash) {
    std::string folder = test::NewScratchFolder();
    ASSERT_TRUE(test::WriteBytes(folder + "\\file.txt", {1, 2, 3}));
    EXPECT_EQ(FileExists((folder + "\\file.txt").c_str()), 1);
    EXPECT_EQ(FileExists(folder.c_str()), 1);
    EXPECT_EQ(FileExists((folder + "\\").c_str()), 0);
    EXPECT_EQ(FileExists((folder + "\\missing.txt").c_str()), 0);
    EXPECT_EQ(FileExists((folder + "\\*.txt").c_str()), 1);
    EXPECT_EQ(FileExists((folder + "\\*.dll").c_str()), 0);
    EXPECT_EQ(FileExists((folder + "\\fil?.txt").c_str()), 1);
}

TEST(MakeDirectoryPath, CreatesEveryMissingLevel) {
    std::string folder = test::NewScratchFolder();
    ASSERT_TRUE(test::MakeFolder(folder + "\\a"));
    EXPECT_EQ(MakeDirectoryPath((folder + "\\a\\b\\c\\").c_str()), 1);
    EXPECT_TRUE(test::PathExists(folder + "\\a\\b\\c"));
    // Existing levels and doubled separators are fine.
    EXPECT_EQ(MakeDirectoryPath((folder + "\\\\a\\\\b\\").c_str()), 1);
}

TEST(MakeDirectoryPath, RefusesPathsWithoutADriveAndStopsAtTheFirstFailure) {
    EXPECT_EQ(MakeDirectoryPath("relative\\folder\\"), 0);
    EXPECT_EQ(MakeDirectoryPath("\\\\server\\share\\dir\\"), 0);
    EXPECT_EQ(MakeDirectoryPath(""), 0);

    std::string folder = test::NewScratchFolder();
    // A level that exists as a file is taken as existing; creating below it fails.
    ASSERT_TRUE(test::WriteBytes(folder + "\\blocker", {0}));
    EXPECT_EQ(MakeDirectoryPath((folder + "\\blocker\\below\\").c_str()), 0);
    EXPECT_FALSE(test::PathExists(folder + "\\blocker\\below"));

    std::string tooLong = folder + "\\" + std::string(300, 'x') + "\\";
    EXPECT_EQ(MakeDirectoryPath(tooLong.c_str()), 0);
}

TEST(MakeDirectoryPath, DoubleByteNamesEndingInABackslashByteStayWhole) {
    if (TheOs().GetAnsiCodePage() != 932) GTEST_SKIP() << "needs a code page 932 system";
    std::string folder = test::NewScratchFolder();
    // "表" (0x95 0x5C): its second byte is the code of the backslash.
    std::string path = folder + "\\\x95\x5C\\sub\\";
    EXPECT_EQ(MakeDirectoryPath(path.c_str()), 1);
    EXPECT_EQ(FileExists((folder + "\\\x95\x5C\\sub").c_str()), 1);
}

TEST(FileOpens, ExclusiveOpensExcludeEachOtherAndCreateEmpties) {
    std::string path = test::NewScratchFolder() + "\\data.bin";
    ASSERT_TRUE(test::WriteBytes(path, {1, 2, 3, 4}));
    FileHandle first = OpenFileForRead(path.c_str(), 0, 0);
    ASSERT_NE(first, kInvalidFile);
    EXPECT_EQ(OpenFileForRead(path.c_str(), 0, 0), kInvalidFile);
    EXPECT_EQ(CreateFileForWrite(path.c_str(), 0, 0), kInvalidFile);
    // An open file cannot be moved away or deleted.
    EXPECT_FALSE(TheOs().MoveFileNoReplace(path.c_str(), (path + ".moved").c_str()));
    EXPECT_FALSE(TheOs().RemoveFile(path.c_str()));
    TheOs().CloseFile(first);

    FileHandle write = CreateFileForWrite(path.c_str(), 0, 0);
    ASSERT_NE(write, kInvalidFile);
    EXPECT_EQ(TheOs().GetFileSize(write, nullptr), 0u);
    TheOs().CloseFile(write);
    EXPECT_EQ(OpenFileForRead((path + ".none").c_str(), 0, 0), kInvalidFile);
}

TEST(FileOpens, MoveRefusesAnExistingTarget) {
    std::string folder = test::NewScratchFolder();
    ASSERT_TRUE(test::WriteBytes(folder + "\\a", {'a'}));
    ASSERT_TRUE(test::WriteBytes(folder + "\\b", {'b'}));
    EXPECT_FALSE(TheOs().MoveFileNoReplace((folder + "\\a").c_str(), (folder + "\\b").c_str()));
    test::Bytes b;
    ASSERT_TRUE(test::ReadBytes(folder + "\\b", &b));
    EXPECT_EQ(b, test::Bytes{'b'});
    EXPECT_TRUE(TheOs().MoveFileNoReplace((folder + "\\a").c_str(), (folder + "\\c").c_str()));
    EXPECT_FALSE(test::PathExists(folder + "\\a"));
}

TEST(FileOpens, LastWriteTimesKeepHundredNanoseconds) {
    std::string path = test::NewScratchFolder() + "\\t.bin";
    ASSERT_TRUE(test::WriteBytes(path, {1}));
    // 2004-01-06 12:34:56.1234567 UTC
    const uint64_t ticks = 127178996961234567ull;
    FileHandle f = CreateFileForWrite(path.c_str(), 0, 0);
    ASSERT_NE(f, kInvalidFile);
    EXPECT_TRUE(TheOs().SetLastWriteTime(
        f, FileTime{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)}));
    TheOs().CloseFile(f);
    uint64_t read = 0;
    ASSERT_TRUE(test::FileTimeOf(path, &read));
    EXPECT_EQ(read, ticks);
}

// A package may carry any 64-bit time: one with the top bit set is refused
// and leaves the file as it was.
TEST(FileOpens, TimesOutsideTheFileTimeRangeAreRefused) {
    if (test::Posix() == nullptr) GTEST_SKIP() << "the system's own rules apply under Windows";
    std::string path = test::NewScratchFolder() + "\\t.bin";
    ASSERT_TRUE(test::WriteBytes(path, {1}));
    const uint64_t kept = 127178996961234567ull;
    FileHandle f = CreateFileForWrite(path.c_str(), 0, 0);
    ASSERT_NE(f, kInvalidFile);
    ASSERT_TRUE(TheOs().SetLastWriteTime(
        f, FileTime{static_cast<uint32_t>(kept), static_cast<uint32_t>(kept >> 32)}));
    for (uint32_t high : {0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(TheOs().SetLastWriteTime(f, FileTime{0, high})) << high;
    }
    TheOs().CloseFile(f);
    uint64_t read = 0;
    ASSERT_TRUE(test::FileTimeOf(path, &read));
    EXPECT_EQ(read, kept);
}

TEST(GetOsClass, MapsEachRelease) {
    struct Case {
        OsVersion version;
        int expected;
    } cases[] = {
        {{kPlatformWin32Nt, 3, 51}, -1},     {{kPlatformWin32Nt, 4, 0}, 3},
        {{kPlatformWin32Nt, 5, 0}, 4},       {{kPlatformWin32Nt, 5, 1}, 6},
        {{kPlatformWin32Nt, 5, 2}, 4},       {{kPlatformWin32Nt, 6, 1}, 6},
        {{kPlatformWin32Nt, 10, 0}, 4},      {{kPlatformWin32Windows, 4, 0}, 1},
        {{kPlatformWin32Windows, 4, 10}, 2}, {{kPlatformWin32Windows, 4, 90}, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OsClassOf(c.version), c.expected)
            << c.version.platformId << " " << c.version.majorVersion << "."
            << c.version.minorVersion;
    }
}

TEST(ReplaceReservedChars, ReplacesTheTenCharactersAndPassesOverDoubleByteOnes) {
    char text[64];
    std::strcpy(text, "2004/01/06");
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "2004_01_06");
    std::strcpy(text, "Ver: 2");
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "Ver_ 2");
    std::strcpy(text, "a/b:c,d;e*f?g\"h<i>j|k\\l");
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "a_b_c_d_e_f_g_h_i_j_k\\l");
    // "ポ" is 0x83 0x7C in code page 932: its second byte is the vertical bar.
    std::strcpy(text, "\x83\x7C|");
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "\x83\x7C_");
    // A lead byte in the last place ends the walk.
    std::strcpy(text, "a|\x83");
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "a_\x83");
    text[0] = 0;
    EXPECT_STREQ(ReplaceReservedChars(text, '_'), "");
}

}  // namespace
}  // namespace kzp

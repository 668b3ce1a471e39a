#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/program_helpers.h"

namespace kzp {
namespace {

bool Switch(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"kzpupdater.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return IsSkipConfirmSwitch(static_cast<int>(argv.size()), argv.data());
}

TEST(ProgramHelpers, OnlyAFirstArgumentStartingWithDashFSkipsTheQuestion) {
    EXPECT_TRUE(Switch({"-F"}));
    EXPECT_TRUE(Switch({"-f"}));
    EXPECT_TRUE(Switch({"-Force", "x"}));  // characters after the second are not looked at
    EXPECT_FALSE(Switch({}));
    EXPECT_FALSE(Switch({"/F"}));
    EXPECT_FALSE(Switch({"F"}));
    EXPECT_FALSE(Switch({"-"}));
    EXPECT_FALSE(Switch({""}));
    EXPECT_FALSE(Switch({"-x", "-F"}));
    EXPECT_FALSE(IsSkipConfirmSwitch(0, nullptr));
}

// "表" in code page 932 is 0x95 0x5C: its second byte is the backslash value.
const char kFolderEndingInTrailByte[] = "C:\\\x95\x5C";

TEST(ProgramHelpers, FollowUpPathGetsExactlyOneSeparator) {
    char out[260];
    ASSERT_TRUE(JoinFollowUpPath("C:\\App", "readme.txt", 932, out, sizeof(out)));
    EXPECT_STREQ(out, "C:\\App\\readme.txt");
    ASSERT_TRUE(JoinFollowUpPath("C:\\App\\", "readme.txt", 932, out, sizeof(out)));
    EXPECT_STREQ(out, "C:\\App\\readme.txt");
    // The trail byte of a double-byte character is not a separator in 932,
    // but is one for a single-byte code page.
    ASSERT_TRUE(JoinFollowUpPath(kFolderEndingInTrailByte, "a.txt", 932, out, sizeof(out)));
    EXPECT_EQ(std::string(out), std::string(kFolderEndingInTrailByte) + "\\a.txt");
    ASSERT_TRUE(JoinFollowUpPath(kFolderEndingInTrailByte, "a.txt", 1252, out, sizeof(out)));
    EXPECT_EQ(std::string(out), std::string(kFolderEndingInTrailByte) + "a.txt");
    // A "." component stays inside the folder; ".." does not.
    ASSERT_TRUE(JoinFollowUpPath("C:\\App", ".\\doc\\readme.txt", 932, out, sizeof(out)));
    EXPECT_STREQ(out, "C:\\App\\.\\doc\\readme.txt");
    EXPECT_FALSE(JoinFollowUpPath("C:\\App", ".\\..\\readme.txt", 932, out, sizeof(out)));
}

TEST(ProgramHelpers, FollowUpPathLongerThan259BytesIsRefusedNotCut) {
    char out[260];
    std::string folder = "C:\\" + std::string(240, 'd');  // 243 bytes, separator makes 244
    std::string fits(259 - 244, 'f');
    ASSERT_TRUE(JoinFollowUpPath(folder.c_str(), fits.c_str(), 1252, out, sizeof(out)));
    EXPECT_EQ(std::strlen(out), 259u);
    std::string tooLong = fits + "x";
    EXPECT_FALSE(JoinFollowUpPath(folder.c_str(), tooLong.c_str(), 1252, out, sizeof(out)));
    EXPECT_STREQ(out, "");
    // The separator itself can be what does not fit.
    std::string full = "C:\\" + std::string(256, 'd');
    EXPECT_FALSE(JoinFollowUpPath(full.c_str(), "", 1252, out, sizeof(out)));
}

TEST(ProgramHelpers, TypedFolderLosesOneTrailingBackslashCharacter) {
    char path[260] = "C:\\App\\\\";
    DropTrailingBackslash(path, 932);
    EXPECT_STREQ(path, "C:\\App\\");
    DropTrailingBackslash(path, 932);
    EXPECT_STREQ(path, "C:\\App");
    DropTrailingBackslash(path, 932);
    EXPECT_STREQ(path, "C:\\App");
    std::strcpy(path, kFolderEndingInTrailByte);
    DropTrailingBackslash(path, 932);
    EXPECT_STREQ(path, kFolderEndingInTrailByte);
    char empty[4] = "";
    DropTrailingBackslash(empty, 932);
    EXPECT_STREQ(empty, "");
}

TEST(ProgramHelpers, LogLineKeepsShortTextAndEndsWithCrLf) {
    char line[kLogLineSize];
    EXPECT_EQ(MakeLogLine("abc", 932, line, sizeof(line)), 5u);
    EXPECT_STREQ(line, "abc\r\n");
    EXPECT_EQ(MakeLogLine("", 932, line, sizeof(line)), 2u);
    EXPECT_STREQ(line, "\r\n");
}

TEST(ProgramHelpers, LogLineCutsLongTextAtACharacterBoundary) {
    char line[kLogLineSize + 8];
    std::memset(line, 'z', sizeof(line));
    std::string exact(277, 'a');
    EXPECT_EQ(MakeLogLine(exact.c_str(), 1252, line, kLogLineSize), 279u);
    EXPECT_EQ(std::string(line), exact + "\r\n");
    EXPECT_EQ(line[kLogLineSize], 'z');  // nothing written past the buffer

    std::string longer(600, 'b');
    EXPECT_EQ(MakeLogLine(longer.c_str(), 1252, line, kLogLineSize), 279u);
    EXPECT_EQ(std::string(line), std::string(277, 'b') + "\r\n");

    // 276 single bytes and a double-byte character that would need bytes
    // 277 and 278: the character is left out whole in 932.
    std::string split = std::string(276, 'c') + "\x82\xA0" + "tail";
    EXPECT_EQ(MakeLogLine(split.c_str(), 932, line, kLogLineSize), 278u);
    EXPECT_EQ(std::string(line), std::string(276, 'c') + "\r\n");
    // In 1252 the same bytes are two characters and the first one fits.
    EXPECT_EQ(MakeLogLine(split.c_str(), 1252, line, kLogLineSize), 279u);
    EXPECT_EQ(std::string(line), std::string(276, 'c') + "\x82\r\n");
}

}  // namespace
}  // namespace kzp

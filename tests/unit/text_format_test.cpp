#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "support/format.h"
#include "support/result_code.h"
#include "support/text.h"

namespace kzp {
namespace {

TEST(Text, CopyAndAppendNeverPassTheBuffer) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_TRUE(CopyText(buffer, 8, "abcdefg"));
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_FALSE(CopyText(buffer, 8, "abcdefgh"));
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_TRUE(CopyText(buffer, 8, "abc"));
    EXPECT_FALSE(AppendText(buffer, 8, "defgh"));
    EXPECT_STREQ(buffer, "abcdefg");
}

TEST(Text, BackslashIsAppendedOnlyWhenMissing) {
    char buffer[16] = "C:\\App";
    EXPECT_TRUE(AppendBackslashIfMissing(buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "C:\\App\\");
    EXPECT_TRUE(AppendBackslashIfMissing(buffer, sizeof(buffer)));
    EXPECT_STREQ(buffer, "C:\\App\\");
}

TEST(Text, SplitPathFindsDirectoryNameAndExtension) {
    const char* path = "C:\\App\\bin\\tool.dll";
    PathParts p = SplitPath(path, 1252);
    EXPECT_EQ(p.driveEnd, 2u);
    EXPECT_EQ(std::string(path + p.driveEnd, path + p.directoryEnd), "\\App\\bin\\");
    EXPECT_EQ(std::string(path + p.directoryEnd, path + p.extensionStart), "tool");
    EXPECT_EQ(std::string(path + p.extensionStart), ".dll");

    const char* noExtension = "C:\\App\\README";
    p = SplitPath(noExtension, 1252);
    EXPECT_EQ(std::string(noExtension + p.directoryEnd, noExtension + p.extensionStart), "README");
    EXPECT_EQ(p.extensionStart, p.end);

    const char* dotInFolder = "C:\\v1.2/file";
    p = SplitPath(dotInFolder, 1252);
    EXPECT_EQ(std::string(dotInFolder + p.directoryEnd), "file");
    EXPECT_EQ(p.extensionStart, p.end);
}

TEST(Text, SplitPathStepsOverDoubleByteCharacters) {
    // "表" is 0x95 0x5C in code page 932: its second byte is a backslash.
    const char path[] = "C:\\App\\\x95\x5C.txt";
    PathParts p = SplitPath(path, 932);
    EXPECT_EQ(std::string(path + p.directoryEnd, path + p.extensionStart), "\x95\x5C");
    EXPECT_EQ(std::string(path + p.extensionStart), ".txt");
    // Without double-byte characters the same byte is a separator.
    p = SplitPath(path, 1252);
    EXPECT_EQ(std::string(path + p.directoryEnd), ".txt");
}

TEST(Format, FollowsWsprintfForTheConversionsTheCatalogueUses) {
    char out[512];
    FormatText(out, sizeof(out), "%s ver.%d.%02d", "kzp Self Extract Updater", 1, 20);
    EXPECT_STREQ(out, "kzp Self Extract Updater ver.1.20");
    FormatText(out, sizeof(out), "%d.%d%%", 99, 9);
    EXPECT_STREQ(out, "99.9%");
    FormatText(out, sizeof(out), "[%-4s|%4s|%.2s|%x|%X|%u|%c]", "ab", "cd", "xyz", 255, 255, 7u,
               'q');
    EXPECT_STREQ(out, "[ab  |  cd|xy|ff|FF|7|q]");
    FormatText(out, sizeof(out), "%05d", -42);
    EXPECT_STREQ(out, "-0042");
}

TEST(Format, ExtraOrMismatchedConversionsAreLeftAsTheyStand) {
    char out[512];
    // A package text with more conversions than its slot has arguments.
    FormatText(out, sizeof(out), "[%s] %s %d %n %p", "C:\\a.txt");
    EXPECT_STREQ(out, "[C:\\a.txt] %s %d %n %p");
    // A number conversion where the slot passes a text.
    FormatText(out, sizeof(out), "%d and %s", "text", "second");
    EXPECT_STREQ(out, "%d and second");
    // A conversion cut off by the end of the text.
    FormatText(out, sizeof(out), "100%", "unused");
    EXPECT_STREQ(out, "100%");
    FormatText(out, sizeof(out), "%-08.", "x");
    EXPECT_STREQ(out, "%-08.");
}

TEST(Format, OutputIsCutAtTheBufferWithItsTerminator) {
    char out[8];
    std::memset(out, 'x', sizeof(out));
    size_t n = FormatText(out, sizeof(out), "%s-%s", "abcdef", "ghijkl");
    EXPECT_EQ(n, 7u);
    EXPECT_STREQ(out, "abcdef-");
    std::string wide(2000, 'w');
    char big[512];
    FormatText(big, sizeof(big), "%s%s", wide.c_str(), wide.c_str());
    EXPECT_EQ(std::strlen(big), 511u);
    // A huge width is bounded by the buffer, too.
    FormatText(out, sizeof(out), "%99999999d", 1);
    EXPECT_EQ(std::strlen(out), 7u);
}

}  // namespace
TEST(ResultName, EveryCodeHasItsOwnNameAndOthersNone) {
    std::set<std::string> names;
    std::vector<Result> codes = {kResultOk, kResultCancelled, kResultProgramRunning};
    for (Result code = kErrorOpenPackage; code <= kErrorAddExists; ++code) codes.push_back(code);
    for (Result code : codes) {
        const std::string name = ResultName(code);
        EXPECT_NE(name, "Unknown") << std::hex << code;
        EXPECT_TRUE(names.insert(name).second) << name << " twice";
    }
    EXPECT_STREQ(ResultName(kErrorDigestMismatch), "ErrorDigestMismatch");
    for (Result code : {3u, 0x10000u, kErrorAddExists + 1, 0xFFFFFFFFu}) {
        EXPECT_STREQ(ResultName(code), "Unknown") << std::hex << code;
    }
}

}  // namespace kzp

#include <gtest/gtest.h>

#include "support/contained_path.h"

namespace kzp {
namespace {

TEST(ContainedPathTest, AcceptsNamesInsideTheFolder) {
    for (const char* name :
         {"app.exe", "bin\\tool.dll", "bin/tool.dll", "a\\\\b.txt", "a..b", "..a", "x.",
          "sub\\.hidden", "CONSOLE.txt", "COM0", "COM10", "LPT", "nul2.txt", "auxiliary\\..x",
          ".\\bin\\app.exe", "bin\\.\\app.exe", "./x", ".\\.\\x"}) {
        EXPECT_TRUE(IsContainedRelativeName(name, 1252)) << name;
        EXPECT_TRUE(IsContainedRelativeName(name, 932)) << name;
    }
}

TEST(ContainedPathTest, RefusesNamesThatLeaveTheFolder) {
    for (const char* name : {"",
                             "..",
                             "..\\outside.txt",
                             "sub\\..\\..\\x",
                             "a/../../x",
                             ".",
                             ".\\a\\..",
                             "...\\x",
                             " .\\x",
                             "a\\. .",
                             "C:\\abs.txt",
                             "C:rel.txt",
                             "a.txt:stream",
                             "\\abs.txt",
                             "/abs",
                             "\\\\server\\share\\x",
                             "sub\\",
                             "sub/",
                             "CON",
                             "con.txt",
                             "sub\\Nul",
                             "aux .log",
                             "COM1",
                             "lpt9.dat",
                             "CONOUT$",
                             "clock$",
                             "*.dll",
                             "a?.txt",
                             "a\"b",
                             "<x>",
                             "a|b",
                             "tab\t.txt",
                             "sub\\x\x01",
                             "sub\\.",
                             ".\\",
                             ". \\x",
                             ".\\..\\x"}) {
        EXPECT_FALSE(IsContainedRelativeName(name, 1252)) << name;
        EXPECT_FALSE(IsContainedRelativeName(name, 932)) << name;
    }
}

// 0x95 0x5C is one character in code page 932 (its trail byte is the code of
// the backslash); elsewhere it is a byte and a separator.
TEST(ContainedPathTest, StepsOverDoubleByteCharactersOfTheSystemCodePage) {
    const char* trailBackslashThenDots = "\x95\\..\\x.txt";
    EXPECT_TRUE(IsContainedRelativeName(trailBackslashThenDots, 932));
    EXPECT_FALSE(IsContainedRelativeName(trailBackslashThenDots, 1252));

    const char* endsInTrailBackslash = "\x95\\";
    EXPECT_TRUE(IsContainedRelativeName(endsInTrailBackslash, 932));
    EXPECT_FALSE(IsContainedRelativeName(endsInTrailBackslash, 1252));

    // The trail byte 0x7C is the code of "|".
    EXPECT_TRUE(IsContainedRelativeName("\x83|.txt", 932));
    EXPECT_FALSE(IsContainedRelativeName("\x83|.txt", 1252));

    // A lead byte at the very end has no trail byte to take with it.
    EXPECT_TRUE(IsContainedRelativeName("a\x95", 932));
    EXPECT_FALSE(IsContainedRelativeName("..\\\x95", 932));
}

TEST(ContainedPathTest, SingleComponentHasNoSeparatorOutsideCharacters) {
    EXPECT_TRUE(IsSinglePathComponent("tool.dll.2004_01_06.old", 1252));
    EXPECT_TRUE(IsSinglePathComponent("", 1252));
    EXPECT_FALSE(IsSinglePathComponent("tool.dll.1.0\\..\\..\\x.old", 1252));
    EXPECT_FALSE(IsSinglePathComponent("a/b", 932));
    EXPECT_TRUE(IsSinglePathComponent("v\x95\\.old", 932));
    EXPECT_FALSE(IsSinglePathComponent("v\x95\\.old", 1252));
}

}  // namespace
}  // namespace kzp

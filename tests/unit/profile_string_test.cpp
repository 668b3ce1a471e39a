// GetPrivateProfileStringA's rules. The same cases run against the POSIX
// reader natively and against the system's own function under Wine.
#include <gtest/gtest.h>

#include <string>

#include "platform/os.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

std::string Lookup(const std::string& ini, const char* section, const char* key,
                   const char* fallback = "", uint32_t size = 260) {
    char buffer[260] = {};
    TheOs().ReadProfileString(section, key, fallback, buffer, size, ini.c_str());
    return buffer;
}

class ProfileString : public testing::Test {
  protected:
    void SetUp() override {
        ini_ = test::NewScratchFolder() + "\\vendor.ini";
        const std::string text =
            "; a comment line\r\n"
            "[Paths]\r\n"
            "InstallDir=C:\\Program Files\\Vendor\r\n"
            "  Spaced Key  =   spaced value   \r\n"
            "Quoted=\"C:\\Quoted Path\"\r\n"
            "Single='single'\r\n"
            "Half=\"half\r\n"
            "Empty=\r\n"
            "Twice=first\r\n"
            "Twice=second\r\n"
            "\r\n"
            "[paths]\r\n"
            "Later=in the second section\r\n"
            "[Other]\r\n"
            "InstallDir=D:\\Other\n";
        ASSERT_TRUE(test::WriteBytes(ini_, test::Bytes(text.begin(), text.end())));
    }
    std::string ini_;
};

TEST_F(ProfileString, SectionsAndKeysMatchWithoutRegardToCase) {
    EXPECT_EQ(Lookup(ini_, "Paths", "InstallDir"), "C:\\Program Files\\Vendor");
    EXPECT_EQ(Lookup(ini_, "PATHS", "installdir"), "C:\\Program Files\\Vendor");
    EXPECT_EQ(Lookup(ini_, "other", "INSTALLDIR"), "D:\\Other");
}

TEST_F(ProfileString, BlanksAndMatchingQuotesAreDropped) {
    EXPECT_EQ(Lookup(ini_, "Paths", "Spaced Key"), "spaced value");
    EXPECT_EQ(Lookup(ini_, " Paths ", " Spaced Key "), "spaced value");
    EXPECT_EQ(Lookup(ini_, "Paths", "Quoted"), "C:\\Quoted Path");
    EXPECT_EQ(Lookup(ini_, "Paths", "Single"), "single");
    EXPECT_EQ(Lookup(ini_, "Paths", "Half"), "\"half");
    EXPECT_EQ(Lookup(ini_, "Paths", "Empty", "fallback"), "");
}

TEST_F(ProfileString, MissingEntriesGiveTheDefault) {
    EXPECT_EQ(Lookup(ini_, "Paths", "Missing"), "");
    EXPECT_EQ(Lookup(ini_, "Paths", "Missing", "fallback  "), "fallback");
    EXPECT_EQ(Lookup(ini_, "Nowhere", "InstallDir"), "");
    EXPECT_EQ(Lookup(ini_ + ".none", "Paths", "InstallDir"), "");
}

TEST_F(ProfileString, TheFirstKeyWinsAndLongValuesAreCut) {
    EXPECT_EQ(Lookup(ini_, "Paths", "Twice"), "first");
    EXPECT_EQ(Lookup(ini_, "Paths", "InstallDir", "", 8), "C:\\Prog");
}

}  // namespace
}  // namespace kzp

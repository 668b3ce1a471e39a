#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/catalogue.h"
#include "package/package_reader.h"
#include "tests/support/test_platform.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
namespace w = writer;

// The built-in catalogue as code page 932 bytes with its line breaks
// converted, slot by slot (made with an independent Shift-JIS encoder).
const char* const kBuiltInCp932[69] = {
    "264F4B",
    "834C83838393835A838B28264329",
    "95C282B682E928264329",
    "8E518FC62E2E2E",
    "92988DEC8CA08146",
    "8F4997B982B582DC82B582BD",
    "838D834F8146",
    "8F4997B98E9E82C9836F8362834E834183628376837483408343838B282A2E6F6C642982F08DED8F9C82B782E9",
    "2573208341836283768366815B835E2825732081A820257329",
    "25732082F0836F815B8357838783932025732082A982E7836F815B8357838783932025732082C98D58905682B582DC"
    "82B7",
    "25732082F0836F815B8357838783932025732082A982E7836F815B8357838783932025732082C98D58905682B582DC"
    "82B781420D0A0D0A82E682EB82B582AF82EA82CE817582CD82A2817682F0834E838A8362834E82B582C482AD82BE82"
    "B382A28142",
    "8DB795AA837483408343838B205B25735D",
    "257325732082F08D58905682B582C482A282DC82B72E2E2E",
    "257325732082F090568B4B82C992C789C182B582C482A282DC82B72E2E2E",
    "257325732082F08DED8F9C82B582C482A282DC82B72E2E2E",
    "8DB795AA837483408343838B82CC90AE8D8790AB82F0836083468362834E82B582C482A282DC82B72E2E2E",
    "8DB795AA837483408343838B82F08A6D944682B582C482A282DC82B72E2E2E",
    "8DB795AA837483408343838B82CC8FEE95F182F08EE693BE82B582C482A282DC82B72E2E2E",
    "8DB795AA837483408343838B82CC934B977082F092868E7E82B582C482A282DC82B72E2E2E",
    "8DB795AA837483408343838B82CC934B977082AA8F4997B982B582DC82B582BD2E",
    "8DB795AA837483408343838B82CC934B9770928682C983478389815B82AA94AD90B682B582DC82B582BD2E",
    "8DB795AA837483408343838B82CC934B977082AA834C83838393835A838B82B382EA82DC82B582BD2E",
    "81752573817682AA93AE8DEC928682CC82BD82DF8DB795AA837483408343838B82CC934B977082F092868E7E82B582"
    "DC82B72E",
    "8DEC8BC69372928682CC837483408343838B82F08CB382C996DF82B582C482A282DC82B72E2E2E",
    "8DEC8BC69372928682CC837483408343838B82F08CB382C996DF82B582DC82B582BD2E",
    "8DB795AA82F0934B977082B782E983748348838B835F205B25735D",
    "8B8C836F815B83578387839382CC837483408343838B82F08A6D944682B582C482A282DC82B75B4D44358360834683"
    "62834E835483805D2E2E2E",
    "8B8C836F815B83578387839382CC837483408343838B82F08A6D944682B582C482A282DC82B75B837483408343838B"
    "93FA957482C68354834383595D2E2E2E",
    "5B25735D204D4435836083468362834E8354838082F08C768E5A92862E2E2E",
    "5B25735D20837483408343838B93FA957482C68354834383598EE693BE92862E2E2E",
    "5B25735D208D589056928682C582B72E2E2E",
    "5B25735D2090568B4B82C992C789C1928682C582B72E2E2E",
    "5B25735D208DED8F9C928682C582B72E2E2E",
    "20",
    "81752573817682AA8B4E93AE82B582C482A282E982A9836083468362834E82B582C482A282DC82B72E208B4E93AE82"
    "B582C482A282E98FEA8D8782CD82B182B182C58F4997B982B582C482AD82BE82B382A22E2E2E",
    "5B25735D208D5890568CB3837483408343838B82AA91B68DDD82B582C882A282CC82C596B38E8B82B582DC82B72E",
    "5B25735D2090568B4B82C992C789C182B782E9837483408343838B82C693AF96BC82CC837483408343838B82AA8CA9"
    "82C282A982E882DC82B582BD2E",
    "5B25735D2090568B4B82C992C789C182B782E9837483408343838B82AA91B68DDD82B582DC82B782AA8FE38F9182AB"
    "82B582DC82B72E",
    "5B25735D208DED8F9C82B782E9837483408343838B82AA91B68DDD82B582C882A282CC82C596B38E8B82B582DC82B7"
    "2E",
    "2D2D2D2D2D2D2D2D2D2D",
    "20",
    "20",
    "5B83478389815B5D208DB795AA837483408343838B82CC93C78D9E82DD82C98EB8947382B582DC82B582BD2E",
    "5B83478389815B5D2082B182CC837483408343838B82CD6B7A708C608EAE82CC8DB795AA837483408343838B82C582"
    "CD82A082E882DC82B982F12E",
    "5B83478389815B5D2096A2926D82CC836F815B83578387839382CC8DB795AA837483408343838B82AA8E7792E882B3"
    "82EA82DC82B582BD2E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B82AA91B68DDD82B582DC82B982F12E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B82CC8349815B8376839382C98EB89473"
    "82B582DC82B582BD2E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B82CC93C78D9E82DD82C98EB8947382B5"
    "82DC82B582BD2E",
    "5B83478389815B5D208DB795AA82F0934B977082B782E983748348838B835F82CC8EE693BE82C98EB8947382B582DC"
    "82B582BD2E",
    "5B83478389815B5D208175257381762082AA8343839383588367815B838B82B382EA82C482A282C882A282A982E082"
    "B582EA82DC82B982F12E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B93E0976582AA88D982C882E882DC82B7"
    "284D4435836083468362834E8354838082AA88EA927682B582C882A2292E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B82AA88D982C882E882DC82B728837483"
    "408343838B93FA957482C683548343835982AA88EA927682B582C882A2292E",
    "5B83478389815B5D208B8C836F815B83578387839382CC837483408343838B82CC838A836C815B838082C98EB89473"
    "82B582DC82B582BD2E2093AF96BC82CC836F8362834E834183628376837483408343838B82AA8E6382C182C482A282"
    "E982A982E082B582EA82DC82B982F12E",
    "5B83478389815B5D209056836F815B83578387839382CC837483408343838B82CC8349815B8376839382C98EB89473"
    "82B582DC82B582BD2E",
    "5B83478389815B5D209056836F815B83578387839382CC837483408343838B82CC8F918D9E82DD82C98EB8947382B5"
    "82DC82B582BD2E",
    "5B83478389815B5D2090B382B582A28DB795AA8366815B835E82C582CD82A082E882DC82B982F12E",
    "5B83478389815B5D2096A2926D82CC836F815B83578387839382CC8DB795AA8366815B835E82C582B72E",
    "5B83478389815B5D208DB795AA837483408343838B82CC90AE8D8790AB82AA8EE682EA82C482A282DC82B982F12E20"
    "8DB795AA837483408343838B82CD89FCE28282B382EA82C482A282E989C2945C90AB82AA82A082E882DC82B72E",
    "5B83478389815B5D208B4E93AE92868376838D835A83588FEE95F182CC8EE693BE82C98EB8947382B582DC82B582BD"
    "2E",
    "5B83478389815B5D2090568B4B82C992C789C182B582E682A482C682B582C482A282E9837483408343838B82CD8AF9"
    "82C991B68DDD82B582DC82B72E",
    "8368834C8385838183938367",
    "83708358838F815B836893FC97CD",
    "82B182CC8DB795AA837483408343838B82CD83708358838F815B836895DB8CEC82B382EA82C482A282DC82B7814283"
    "708358838F815B836882F093FC97CD82B582C482AD82BE82B382A28146",
    "83708358838F815B836882AA88EA927682B582DC82B982F181420D0A83708358838F815B836882F08A6D944682B582"
    "C48DC493FC97CD82B582C482AD82BE82B382A28142",
    "8DB795AA934B977083748348838B835F93FC97CD",
    "8DB795AA82F0934B977082B782E983748348838B835F82F093FC97CD82B582C489BA82B382A28146",
    "8DB795AA82F0934B977082B782E983748348838B835F82F0914991F082B582C482AD82BE82B382A28142",
    "8DB795AA934B977083748348838B835F82AA93FC97CD82B382EA82C482A282DC82B982F18142",
    "8DB795AA934B977083748348838B835F82AA91B68DDD82B582DC82B982F18142",
};

std::string Hex(const char* text) {
    static const char* kDigits = "0123456789ABCDEF";
    std::string s;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        s += kDigits[*p >> 4];
        s += kDigits[*p & 15];
    }
    return s;
}

class Catalogue : public testing::Test {
  protected:
    void SetUp() override { InitUpdaterState(&state_, kNoInstance); }
    void TearDown() override { ReleaseUpdaterState(&state_); }

    // Reads the header and the language blocks of a package as the run does.
    Result ReadLanguages(const w::Package& package, uint32_t systemCodePage) {
        ansiCodePage = systemCodePage;
        std::string path = test::NewScratchFolder() + "\\p.exe";
        EXPECT_TRUE(test::WriteBytes(path, w::BuildUpdaterFile(w::MakeStubImage(), package)));
        FileHandle handle = TheOs().CreateFileHandle(path.c_str(), kGenericRead, kFileShareRead,
                                                     false, kOpenExisting, 0);
        EXPECT_NE(handle, kInvalidFile);
        auto* file = new PackageFile(handle);
        PackageHeader header;
        Result r = ReadPackageHeader(*file, &header);
        if (r == kResultOk) r = ReadLanguageSection(*file, state_, header.formatVersion);
        if (r == kResultOk && state_.codePage == 0) LoadDefaultCatalogue(state_);
        delete file;
        TheOs().CloseFile(handle);
        return r;
    }

    static w::LanguageBlock Block(uint32_t codePage, const std::string& tag) {
        w::LanguageBlock b;
        b.codePage = codePage;
        b.fontFace = "Face " + tag;
        b.fontHeight = static_cast<uint8_t>(codePage % 200);
        for (int k = 0; k < 69; ++k) b.texts[k] = tag + " " + std::to_string(k);
        return b;
    }

    static w::Package WithBlocks(std::vector<w::LanguageBlock> blocks) {
        w::Package p;
        p.title = "App";
        p.target.type = 3;
        p.languages = std::move(blocks);
        return p;
    }

    UpdaterState state_;
};

TEST_F(Catalogue, StateStartsEmpty) {
    EXPECT_EQ(state_.changedFiles->Count(), 0);
    EXPECT_EQ(state_.codePage, 0u);
    EXPECT_EQ(state_.failed, 0u);
    EXPECT_EQ(packageFont, kNoFont);
    for (int k = 0; k < kCatalogueSlots; ++k) EXPECT_STREQ(state_.catalogue[k], "") << k;
    EXPECT_STREQ(state_.title, "");
}

TEST_F(Catalogue, BuiltInTextsAreTheTableByteForByte) {
    if (TheOs().GetAnsiCodePage() != 932) GTEST_SKIP() << "needs a code page 932 system";
    LoadDefaultCatalogue(state_);
    EXPECT_EQ(state_.codePage, 932u);
    EXPECT_STREQ(state_.fontFace, "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E");
    EXPECT_EQ(state_.fontHeight, 12u);
    for (int k = 0; k < kCatalogueSlots; ++k) {
        EXPECT_EQ(Hex(state_.catalogue[k]), kBuiltInCp932[k]) << "slot " << k;
    }
    // Slot 10 shows as three lines: the question, an empty line, the request.
    std::string question = state_.catalogue[kSlotConfirm];
    size_t first = question.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(question.compare(first, 4, "\r\n\r\n"), 0);
    EXPECT_EQ(question.find("\r\n", first + 4), std::string::npos);
}

TEST_F(Catalogue, PackagesWithoutBlocksGetTheBuiltInCatalogue) {
    ASSERT_EQ(ReadLanguages(WithBlocks({}), 1252), kResultOk);
    EXPECT_EQ(state_.codePage, 932u);
    EXPECT_EQ(state_.fontHeight, 12u);
    EXPECT_STREQ(state_.catalogue[kSlotOk], "&OK");

    w::Package v110 = WithBlocks({Block(1252, "en")});
    v110.formatVersion = 110;
    ASSERT_EQ(ReadLanguages(v110, 1252), kResultOk);
    EXPECT_EQ(state_.codePage, 932u);
    EXPECT_EQ(state_.deleteBackupsDefault, 1);
}

TEST_F(Catalogue, TheSystemsCodePageWinsOverTheFirstBlock) {
    ASSERT_EQ(ReadLanguages(WithBlocks({Block(1252, "en"), Block(932, "ja")}), 932), kResultOk);
    EXPECT_EQ(state_.codePage, 932u);
    EXPECT_STREQ(state_.catalogue[5], "ja 5");
    EXPECT_STREQ(state_.fontFace, "Face ja");
    EXPECT_EQ(state_.fontHeight, 932u % 200);
}

TEST_F(Catalogue, WithoutAMatchTheFirstBlockStays) {
    ASSERT_EQ(ReadLanguages(WithBlocks({Block(1252, "en"), Block(932, "ja")}), 1251), kResultOk);
    EXPECT_EQ(state_.codePage, 1252u);
    EXPECT_STREQ(state_.catalogue[68], "en 68");
    EXPECT_STREQ(state_.fontFace, "Face en");
}

TEST_F(Catalogue, TheLaterOfTwoMatchingBlocksWins) {
    ASSERT_EQ(ReadLanguages(WithBlocks({Block(1252, "first"), Block(1252, "second")}), 1252),
              kResultOk);
    EXPECT_STREQ(state_.catalogue[0], "second 0");
}

TEST_F(Catalogue, ABlockOfCodePageZeroIsReplacedByTheBuiltInTexts) {
    ASSERT_EQ(ReadLanguages(WithBlocks({Block(0, "zero")}), 1252), kResultOk);
    EXPECT_EQ(state_.codePage, 932u);
    EXPECT_STREQ(state_.catalogue[kSlotOk], "&OK");
    // The block after a code page 0 block is taken unconditionally as well.
    ASSERT_EQ(ReadLanguages(WithBlocks({Block(0, "zero"), Block(1250, "next")}), 1252), kResultOk);
    EXPECT_EQ(state_.codePage, 1250u);
    EXPECT_STREQ(state_.catalogue[1], "next 1");
}

TEST_F(Catalogue, ShortBlockFailsWithAReadError) {
    Bytes file = w::BuildUpdaterFile(w::MakeStubImage(), WithBlocks({Block(932, "ja")}));
    w::Layout layout;
    w::BuildPackage(WithBlocks({Block(932, "ja")}), &layout);
    // Cut inside the block's texts: the section falls short.
    file.resize(0x18000 + 200);
    std::string path = test::NewScratchFolder() + "\\short.exe";
    ASSERT_TRUE(test::WriteBytes(path, file));
    ansiCodePage = 932;
    FileHandle handle = TheOs().CreateFileHandle(path.c_str(), kGenericRead, kFileShareRead, false,
                                                 kOpenExisting, 0);
    auto* pf = new PackageFile(handle);
    PackageHeader header;
    ASSERT_EQ(ReadPackageHeader(*pf, &header), kResultOk);
    EXPECT_EQ(ReadLanguageSection(*pf, state_, header.formatVersion), kErrorReadPackage);
    delete pf;
    TheOs().CloseFile(handle);
}

TEST(ConvertLineBreaks, TurnsBackslashNIntoCrLfInPlace) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"A\\nB", "A\r\nB"},
        {"A\\\\n", "A\\\r\n"},
        {"\\n\\n", "\r\n\r\n"},
        {"end\\", "end\\"},
        {"\\x\\", "\\x\\"},
        {"", ""},
        // The walk is byte-wise: a double-byte character ending in 0x5C
        // followed by "n" loses both bytes to the line break.
        {"\x95\x5Cn", "\x95\r\n"},
    };
    for (const Case& c : cases) {
        char buffer[32];
        std::strcpy(buffer, c.in);
        ConvertLineBreaks(buffer);
        EXPECT_STREQ(buffer, c.out) << "from \"" << c.in << "\"";
    }
}

TEST(PackageFont, DescriptionHoldsTheFixedValuesAndAFaceThatFits) {
    FontDescription f = MakePackageFontDescription("Tahoma", 13, 1252);
    EXPECT_EQ(f.height, 13);
    EXPECT_EQ(f.weight, 400);
    EXPECT_EQ(f.charSet, 1);
    EXPECT_EQ(f.quality, 2);
    EXPECT_EQ(f.width | f.escapement | f.orientation, 0);
    EXPECT_EQ(
        f.italic | f.underline | f.strikeOut | f.outPrecision | f.clipPrecision | f.pitchAndFamily,
        0);
    EXPECT_STREQ(f.faceName, "Tahoma");

    std::string longFace(40, 'F');
    f = MakePackageFontDescription(longFace.c_str(), 12, 1252);
    EXPECT_EQ(std::string(f.faceName), std::string(31, 'F'));

    // 16 double-byte characters: the cut never leaves half of one.
    std::string japanese;
    for (int i = 0; i < 16; ++i) japanese += "\x83\x53";
    f = MakePackageFontDescription(japanese.c_str(), 12, 932);
    EXPECT_EQ(std::string(f.faceName), japanese.substr(0, 30));
}

}  // namespace
}  // namespace kzp

#include "engine/target_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "support/file_helpers.h"
#include "tests/support/scripted_prompts.h"
#include "tests/support/simulated_system.h"
#include "tests/support/test_platform.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;

// The bytes of a target-folder section, built field by field.
struct Section {
    Bytes bytes;
    Section& U8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Section& U32(uint32_t v) {
        writer::PutU32(bytes, v);
        return *this;
    }
    Section& Text(const std::string& s) {
        bytes.push_back(static_cast<uint8_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Section& Rule(uint8_t kind, uint8_t rootOrBase, const std::string& path,
                  const std::string& name, const std::string& key, uint8_t variable) {
        return U8(kind).U8(rootOrBase).Text(path).Text(name).Text(key).U8(variable);
    }
};

class TargetFolderTest : public testing::Test {
  protected:
    void SetUp() override {
        state_ = std::make_unique<UpdaterState>();
        InitUpdaterState(state_.get(), kNoInstance);
        state_->prompts = &prompts_;
        folder_ = test::NewScratchFolder();
        memset(&table_, 0, sizeof(table_));
        CopyText(table_.entries[0], kMaxPath, "C:\\WINDOWS");
        CopyText(table_.entries[1], kMaxPath, "C:\\WINDOWS\\system32");
        CopyText(table_.entries[3], kMaxPath, "C:\\");
        CopyText(table_.entries[5], kMaxPath, folder_.c_str());
    }
    void TearDown() override { ReleaseUpdaterState(state_.get()); }

    // Resolves `section` as the package's section of `version`.
    Result Resolve(const Section& section, uint16_t version = 120) {
        std::string path = folder_ + "\\section.bin";
        EXPECT_TRUE(test::WriteBytes(path, section.bytes));
        FileHandle handle = OpenFileForRead(path.c_str(), kFileShareRead, 0);
        EXPECT_NE(handle, kInvalidFile);
        auto file = std::make_unique<PackageFile>(handle);
        Result result = ResolveTargetFolder(*file, version, *state_, table_);
        TheOs().CloseFile(handle);
        return result;
    }
    std::string Ini(const std::string& name, const std::string& contents) {
        std::string path = folder_ + "\\" + name;
        EXPECT_TRUE(test::WriteBytes(path, Bytes(contents.begin(), contents.end())));
        return path;
    }
    std::string Folder() const { return state_->targetFolder; }

    std::unique_ptr<UpdaterState> state_;
    test::ScriptedPrompts prompts_;
    BaseFolderTable table_;
    std::string folder_;
};

TEST(FolderVariables, ExpandAsTheRulesDescribe) {
    char variables[kFolderVariableCount][kMaxPath] = {};
    strcpy(variables[1], "C:\\App");
    char out[kExpansionSize];
    const std::pair<const char*, const char*> cases[] = {
        {"%1\\Sub", "C:\\App\\Sub"},
        {"100%%", "100%"},
        {"a%x", "ax"},
        {"a%", "a"},
        {"[%5]", "[]"},
        // The second byte of a double-byte character is never a '%'.
        {"\x95%1", "\x95%1"},
        {"a\x95", "a\x95"},
        {"\x95\\%1", "\x95\\C:\\App"},
    };
    for (const auto& [text, expected] : cases) {
        ASSERT_TRUE(ExpandFolderVariables(out, text, variables)) << text;
        EXPECT_STREQ(out, expected) << text;
    }
}

TEST(FolderVariables, RefuseExpansionsBeyond511Bytes) {
    char variables[kFolderVariableCount][kMaxPath] = {};
    memset(variables[2], 'v', 259);
    char out[kExpansionSize];
    std::string fits = "%2" + std::string(252, 'x');  // 259 + 252 = 511
    EXPECT_TRUE(ExpandFolderVariables(out, fits.c_str(), variables));
    EXPECT_EQ(strlen(out), 511u);
    EXPECT_FALSE(ExpandFolderVariables(out, (fits + "y").c_str(), variables));
    EXPECT_FALSE(ExpandFolderVariables(out, "%2%2", variables));
    EXPECT_LT(strlen(out), kExpansionSize);
}

TEST_F(TargetFolderTest, BasePlusPathAddsOneSeparator) {
    EXPECT_EQ(Resolve(Section().U8(3).U8(3).Text("App")), kResultOk);
    EXPECT_EQ(Folder(), "C:\\App\\");
    EXPECT_EQ(Resolve(Section().U8(3).U8(1).Text("Sub")), kResultOk);
    EXPECT_EQ(Folder(), "C:\\WINDOWS\\system32\\Sub\\");
    EXPECT_EQ(Resolve(Section().U8(3).U8(200).Text("D:\\Full\\")), kResultOk);
    EXPECT_EQ(Folder(), "D:\\Full\\");
    // An empty path, and a base folder the system could not supply.
    EXPECT_EQ(Resolve(Section().U8(3).U8(6).Text("")), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(3).U8(4).Text("App")), kErrorTargetFolder);
    // A path that fills 259 bytes leaves no room for the final backslash.
    CopyText(table_.entries[4], kMaxPath, ("C:\\" + std::string(200, 'd')).c_str());
    EXPECT_EQ(Resolve(Section().U8(3).U8(4).Text(std::string(55, 'a'))), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(3).U8(4).Text(std::string(54, 'a'))), kResultOk);
    EXPECT_EQ(Folder().size(), 259u);
    // Base and path together beyond 259 bytes.
    EXPECT_EQ(Resolve(Section().U8(3).U8(1).Text(std::string(240, 'b'))), kErrorTargetFolder);
    EXPECT_EQ(Folder(), "");
}

TEST_F(TargetFolderTest, IniValueFromAFullPathOrABaseFolder) {
    std::string ini = Ini("app.ini", "[Install]\r\nDir = C:\\Prog\\App \r\nEmpty=\r\n");
    EXPECT_EQ(Resolve(Section().U8(2).U8(6).Text(ini).Text("install").Text("DIR")), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Prog\\App\\");
    // Base folder 5 is the scratch folder here.
    EXPECT_EQ(Resolve(Section().U8(2).U8(5).Text("app.ini").Text("Install").Text("Dir")),
              kResultOk);
    EXPECT_EQ(Folder(), "C:\\Prog\\App\\");
    EXPECT_EQ(Resolve(Section().U8(2).U8(6).Text(ini).Text("Install").Text("Empty")),
              kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(2).U8(6).Text(ini).Text("Install").Text("Missing")),
              kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(2).U8(6).Text(folder_ + "\\none.ini").Text("a").Text("b")),
              kErrorTargetFolder);
}

TEST_F(TargetFolderTest, SectionsThatNameNoFolderAreRefused) {
    EXPECT_EQ(Resolve(Section().U8(5)), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(255)), kErrorTargetFolder);
    // Rules exist from version 120 on; before it type 4 reads nothing.
    EXPECT_EQ(Resolve(Section().U8(4), 110), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(4).U32(0)), kErrorTargetFolder);
    EXPECT_EQ(Folder(), "");
    // A registry root above 3 never reaches the registry.
    EXPECT_EQ(Resolve(Section().U8(1).U8(4).Text("Software").Text("Dir")), kErrorTargetFolder);
    // Cut short inside the record.
    EXPECT_EQ(Resolve(Section().U8(3).U8(6)), kErrorReadPackage);
    EXPECT_EQ(Resolve(Section().U8(4).U32(2).Rule(2, 6, "x", "y", "z", 0)), kErrorReadPackage);
}

TEST_F(TargetFolderTest, AskingTheUser) {
    prompts_.folders = {"", folder_ + "\\missing", folder_};
    EXPECT_EQ(Resolve(Section().U8(0)), kResultOk);
    EXPECT_EQ(Folder(), folder_ + "\\");
    EXPECT_EQ(prompts_.folderEmptyMessages, 1);
    EXPECT_EQ(prompts_.folderMissingMessages, 1);
    EXPECT_EQ(Resolve(Section().U8(0)), kResultCancelled);
}

TEST_F(TargetFolderTest, RulesHandResultsOnThroughVariables) {
    std::string first = Ini("first.ini", "[Paths]\nini=" + folder_ + "\\second.ini\n");
    Ini("second.ini", "[App]\nHome=C:\\Chained\n");
    Section s;
    s.U8(4)
        .U32(3)
        .Rule(2, 6, first, "Paths", "ini", 3)
        .Rule(7, 0, "ignored", "", "", 0)  // kind 7 is skipped
        .Rule(2, 6, "%3", "App", "Home", 0);
    EXPECT_EQ(Resolve(s), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Chained\\");
}

TEST_F(TargetFolderTest, ASkippedRuleDoesNotFailTheList) {
    Ini("r.ini", "[S]\nk=C:\\Found\n");
    Section s;
    s.U8(4).U32(2).Rule(2, 5, "r.ini", "S", "k", 0).Rule(3, 0, "", "", "", 4);
    EXPECT_EQ(Resolve(s), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Found\\");
}

TEST_F(TargetFolderTest, AFailingRuleStopsTheList) {
    std::string ini = Ini("r.ini", "[S]\nk=C:\\Found\nother=C:\\Other\n");
    Section s;
    s.U8(4)
        .U32(3)
        .Rule(2, 6, ini, "S", "other", 1)
        .Rule(2, 6, ini, "S", "missing", 2)
        .Rule(2, 6, ini, "S", "k", 0);
    EXPECT_EQ(Resolve(s), kErrorTargetFolder);
    EXPECT_EQ(Folder(), "");  // the third rule never ran
}

TEST_F(TargetFolderTest, RuleListsThatCannotYieldAFolder) {
    std::string ini = Ini("r.ini", "[S]\nk=C:\\Found\n");
    // %0 is never written.
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(2, 6, ini, "S", "k", 1)), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(9, 6, ini, "S", "k", 0)), kErrorTargetFolder);
    // Variables above 9 and registry roots above 3.
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(2, 6, ini, "S", "k", 10)), kErrorTargetFolder);
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(1, 4, "Software", "Dir", "", 0)),
              kErrorTargetFolder);
    // An INI path whose expansion passes 259 bytes once the base is in front.
    Section tooLong;
    tooLong.U8(4)
        .U32(2)
        .Rule(2, 6, ini, "S", "k", 1)
        .Rule(2, 1, std::string(200, 'x') + "%1%1%1%1%1%1%1%1", "S", "k", 0);
    EXPECT_EQ(Resolve(tooLong), kErrorTargetFolder);
}

// ---- registry and the base folder table of a described system -----------

TEST_F(TargetFolderTest, RegistryValues) {
    test::SimulatedSystem system;
    test::ScopedOs use(system);
    const std::string z(1, '\0');
    system.SetRegistryValue(kLocalMachine, "Software\\Kzp\\A", "Dir", "C:\\Reg\\App" + z);
    system.SetRegistryValue(kLocalMachine, "Software\\Kzp\\A", "Slash", "C:\\Reg\\App\\" + z);
    system.SetRegistryValue(kLocalMachine, "Software\\Kzp\\A", "Empty", z);
    system.SetRegistryValue(kCurrentUser, "Software\\Kzp\\B", "Sub", "A" + z);

    auto type1 = [](uint8_t root, const std::string& key, const std::string& value) {
        return Section().U8(1).U8(root).Text(key).Text(value);
    };
    EXPECT_EQ(Resolve(type1(2, "software\\kzp\\a", "dir")), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Reg\\App\\");
    EXPECT_EQ(Resolve(type1(2, "Software\\Kzp\\A", "Slash")), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Reg\\App\\");
    EXPECT_EQ(Resolve(type1(2, "Software\\Kzp\\A", "Empty")), kErrorTargetFolder);
    EXPECT_EQ(Resolve(type1(2, "Software\\Kzp\\A", "None")), kErrorTargetFolder);
    EXPECT_EQ(Resolve(type1(1, "Software\\Kzp\\A", "Dir")), kErrorTargetFolder);

    // A registry rule whose key path comes from an earlier rule.
    Section rules;
    rules.U8(4)
        .U32(2)
        .Rule(1, 1, "Software\\Kzp\\B", "Sub", "ignored", 4)
        .Rule(1, 2, "Software\\Kzp\\%4", "Dir", "", 0);
    EXPECT_EQ(Resolve(rules), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Reg\\App\\");
}

TEST_F(TargetFolderTest, RegistryValuesWithoutTerminator) {
    test::SimulatedSystem system;
    test::ScopedOs use(system);
    CopyText(state_->title, kMaxPath, "App");
    auto store = [&](const std::string& bytes) {
        system.SetRegistryValue(kLocalMachine, "Software\\Kzp", "Dir", bytes);
    };
    const Section type1 = Section().U8(1).U8(2).Text("Software\\Kzp").Text("Dir");

    store("C:\\Reg");
    EXPECT_EQ(Resolve(type1), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Reg\\");
    // 258 bytes leave room for the backslash; 259 and 260 do not.
    store("C:\\" + std::string(255, 'r'));
    EXPECT_EQ(Resolve(type1), kResultOk);
    EXPECT_EQ(Folder().size(), 259u);
    for (size_t size : {259u, 260u}) {
        store("C:\\" + std::string(size - 3, 'r'));
        EXPECT_EQ(Resolve(type1), kErrorTargetFolder) << size;
        EXPECT_EQ(Folder(), "") << size;
    }
    EXPECT_STREQ(state_->title, "App");
    // The same for a rule's variable.
    store(std::string(260, 'v'));
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(1, 2, "Software\\Kzp", "Dir", "", 0)),
              kErrorTargetFolder);
    store("C:\\Rule");
    EXPECT_EQ(Resolve(Section().U8(4).U32(1).Rule(1, 2, "Software\\Kzp", "Dir", "", 0)), kResultOk);
    EXPECT_EQ(Folder(), "C:\\Rule\\");
}

TEST(BaseFolderTable, ProgramFilesFollowsTheShellVersion) {
    test::SimulatedSystem system;
    test::ScopedOs use(system);
    system.specialFolders = {{kCsidlProgramFiles, "D:\\Programs"},
                             {kCsidlDesktopDirectory, "C:\\Users\\u\\Desktop"},
                             {kCsidlPersonal, "C:\\Users\\u\\Documents"}};
    BaseFolderTable table;

    system.shellVersion = 0x40048;  // 4.72
    BuildBaseFolderTable(kNoWindow, &table);
    EXPECT_STREQ(table.entries[0], "C:\\WINDOWS");
    EXPECT_STREQ(table.entries[1], "C:\\WINDOWS\\system32");
    EXPECT_STREQ(table.entries[2], "C:\\Program Files");
    EXPECT_STREQ(table.entries[3], "C:\\");
    EXPECT_STREQ(table.entries[4], "C:\\Users\\u\\Desktop");
    EXPECT_STREQ(table.entries[5], "C:\\Users\\u\\Documents");

    system.shellVersion = 0x50000;
    BuildBaseFolderTable(kNoWindow, &table);
    EXPECT_STREQ(table.entries[2], "D:\\Programs");

    system.shellVersion = 0;  // no version information
    FixedFileInfo info;
    QueryFileVersion("shell32.dll", &info);
    EXPECT_EQ(info.fileVersionMS, 0u);
    system.windowsFolder = "E:\\OS";
    BuildBaseFolderTable(kNoWindow, &table);
    EXPECT_STREQ(table.entries[2], "E:\\Program Files");
    EXPECT_STREQ(table.entries[3], "E:\\");

    // A Windows folder that does not fit is no folder at all.
    system.windowsFolder = "C:\\" + std::string(300, 'w');
    BuildBaseFolderTable(kNoWindow, &table);
    EXPECT_STREQ(table.entries[0], "");
    EXPECT_STREQ(table.entries[3], "");
}

TEST(BaseFolderTable, RealSystemGivesADriveRoot) {
    BaseFolderTable table;
    BuildBaseFolderTable(kNoWindow, &table);
    ASSERT_NE(table.entries[0][0], 0);
    EXPECT_EQ(std::string(table.entries[3]), std::string(1, table.entries[0][0]) + ":\\");
    EXPECT_EQ(table.entries[1][0], table.entries[0][0]);
}

}  // namespace
}  // namespace kzp

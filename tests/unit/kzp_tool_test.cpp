// The kzp command's parts: default language blocks, packages made from two
// folders (read back and applied by the engine), and hostile files.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/updater_state.h"
#include "engine/apply_thread.h"
#include "package/package_extent.h"
#include "package/package_layout.h"
#ifndef _WIN32
#include "platform/posix/posix_os.h"
#endif
#include "resources/string_table.h"
#include "support/text.h"
#include "tests/support/package_fixture.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_prompts.h"
#include "tests/support/test_platform.h"
#include "tools/encoder/stream_check.h"
#include "tools/kzp/catalogues.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/info_command.h"
#include "tools/kzp/package_inspector.h"
#include "tools/kzp/package_maker.h"
#include "tools/kzp/text_encoding.h"
#include "tools/kzp/wow64_warnings.h"

namespace kzp::tool {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

// The printf conversions of a catalogue text, in order.
std::vector<std::string> Conversions(const std::string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        size_t j = i + 1;
        while (j < text.size() && std::strchr("-+ #0123456789.l", text[j]) != nullptr) ++j;
        if (j < text.size()) out.push_back(text.substr(i, j - i + 1));
        i = j;
    }
    return out;
}

// A Windows path of the test platform as a path of the host.
std::string HostOf(const std::string& windows) {
#ifdef _WIN32
    return windows;
#else
    return test::Posix()->HostPath(windows);
#endif
}

TEST(Catalogues, EnglishTextsKeepEachSlotsConversionsAndFit) {
    writer::LanguageBlock ja = JapaneseBlock();
    writer::LanguageBlock en = EnglishBlock();
    EXPECT_EQ(en.codePage, 1252u);
    EXPECT_EQ(ja.codePage, 932u);
    EXPECT_EQ(ja.fontFace, std::string(kBuiltInFontFace));
    for (int k = 0; k < kSlotCount; ++k) {
        const char* builtIn = FindBuiltInString(1000 + static_cast<uint32_t>(k));
        ASSERT_NE(builtIn, nullptr);
        EXPECT_EQ(Conversions(en.texts[k]), Conversions(builtIn))
            << "slot " << k << ": " << en.texts[k];
        EXPECT_LE(en.texts[k].size(), 255u) << k;
        EXPECT_LE(ja.texts[k].size(), 255u) << k;
        EXPECT_TRUE(FromUtf8(en.texts[k], 1252).has_value()) << k;
        EXPECT_EQ(ToUtf8(ja.texts[k], 932), builtIn) << k;
        // Line breaks are stored as backslash + n, as the built-in texts have them.
        EXPECT_EQ(en.texts[k].find('\n'), std::string::npos) << k;
        EXPECT_EQ(std::string(builtIn).find("\\n") != std::string::npos,
                  en.texts[k].find("\\n") != std::string::npos)
            << k;
    }
}

TEST(TextEncoding, RefusesWhatTheCodePageCannotHold) {
    EXPECT_EQ(FromUtf8("caf\xC3\xA9", 1252), std::optional<std::string>("caf\xE9"));
    EXPECT_FALSE(FromUtf8("\xE3\x81\x82", 1252).has_value());  // hiragana a
    EXPECT_EQ(FromUtf8("\xE3\x81\x82", 932), std::optional<std::string>("\x82\xA0"));
    EXPECT_FALSE(FromUtf8("\xC3", 1252).has_value());  // not UTF-8
    EXPECT_EQ(ToUtf8("\x82\xA0", 932), "\xE3\x81\x82");
}

// Trees on disk: a scratch folder in Windows form and its host path.
struct Tree {
    std::string windows;
    std::string host;
    explicit Tree(const std::string& w) : windows(w), host(HostOf(w)) {}
    void Put(const std::string& name, const Bytes& data, uint64_t time) {
        std::string path = windows + "\\" + name;
        for (size_t slash = name.find('\\'); slash != std::string::npos;
             slash = name.find('\\', slash + 1)) {
            ASSERT_TRUE(test::MakeFolder(windows + "\\" + name.substr(0, slash)));
        }
        ASSERT_TRUE(test::WriteBytes(path, data));
        ASSERT_TRUE(test::SetFileTimeOf(path, time));
    }
};

Bytes Random(size_t n, std::mt19937& rng) {
    Bytes b(n);
    for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
    return b;
}

class MadePackageTest : public testing::Test {
  protected:
    void SetUp() override { savedCodePage_ = ansiCodePage; }
    void TearDown() override { ansiCodePage = savedCodePage_; }

    // Makes the updater from old and new, applies it to a copy of old with
    // the engine, and checks the result against new, times included.
    void MakeAndApply(const Tree& old, const Tree& now, MakeSettings settings) {
        Tree target(test::NewScratchFolder());
        for (const auto& [name, data] : test::ReadTree(old.windows)) {
            uint64_t time = 0;
            ASSERT_TRUE(test::FileTimeOf(old.windows + "\\" + name, &time));
            target.Put(name, data, time);
        }
        settings.oldFolder = old.host;
        settings.newFolder = now.host;
        settings.target.type = 3;
        settings.target.rootOrBase = 255;
        settings.target.path = target.windows;
        MakeReport report;
        writer::Package package = BuildPackage(settings, &report);
        EXPECT_EQ(package.updates.size(), report.updates.size());

        // Every stream is well-formed against its old file.
        const auto oldFiles = test::ReadTree(old.windows);
        for (size_t i = 0; i < package.updates.size(); ++i) {
            const writer::Bytes& s = package.updates[i].stream;
            const std::string& name = report.updates[i].name;
            encoder::StreamCheck check =
                encoder::CheckDiffStream(s.data(), s.size(), s.size(), oldFiles.at(name).size());
            EXPECT_TRUE(check.wellFormed) << name << ": " << check.problem;
        }

        auto state = std::make_unique<UpdaterState>();
        InitUpdaterState(state.get(), kNoInstance);
        test::RecordingSink sink;
        test::ScriptedPrompts prompts;
        state->sink = &sink;
        state->prompts = &prompts;
        state->threadHandle = 1;
        test::UpdaterFile file = test::WriteUpdaterFile(package, state.get());
        EXPECT_EQ(file.size % 8, 0u) << "the updater file must stay a multiple of 8 bytes";
        ReleasePackageFont();
        ApplyThread(state.get());
        EXPECT_EQ(state->runResult, kResultOk);
        ReleaseUpdaterState(state.get());

        // The target now holds new (the backups aside), with new's times.
        auto result = test::ReadTree(target.windows);
        for (auto it = result.begin(); it != result.end();) {
            it = it->first.size() > 4 && it->first.ends_with(".old") ? result.erase(it)
                                                                     : std::next(it);
        }
        const auto expected = test::ReadTree(now.windows);
        EXPECT_EQ(result.size(), expected.size());
        for (const auto& [name, data] : expected) {
            auto found = result.find(name);
            ASSERT_NE(found, result.end()) << name;
            EXPECT_TRUE(found->second == data) << name;
            uint64_t want = 0;
            uint64_t got = 0;
            ASSERT_TRUE(test::FileTimeOf(now.windows + "\\" + name, &want));
            ASSERT_TRUE(test::FileTimeOf(target.windows + "\\" + name, &got));
            EXPECT_EQ(got, want) << name;
        }
    }

    uint32_t savedCodePage_ = 0;
};

constexpr uint64_t kOldTime = 132000000000000000ull;
constexpr uint64_t kNewTime = 133000000000000000ull;

TEST_F(MadePackageTest, StructuredTreesRoundTrip) {
    std::mt19937 rng(5);
    Tree old(test::NewScratchFolder());
    Tree now(test::NewScratchFolder());
    const Bytes base = Random(150000, rng);
    Bytes oneByte = base;
    oneByte[77777] ^= 0xFF;
    Bytes grown = base;
    grown.insert(grown.begin() + 1000, 3000, 7);
    const Bytes shrunk(base.begin() + 20000, base.end() - 30000);
    Bytes moved(base.begin() + 100000, base.end());
    moved.insert(moved.end(), base.begin(), base.begin() + 100000);

    old.Put("empty.txt", {}, kOldTime);
    now.Put("empty.txt", {}, kOldTime);
    old.Put("same.bin", base, kOldTime);
    now.Put("same.bin", base, kOldTime);
    old.Put("becomes-empty.bin", base, kOldTime);
    now.Put("becomes-empty.bin", {}, kNewTime);
    old.Put("was-empty.bin", {}, kOldTime);
    now.Put("was-empty.bin", Random(5000, rng), kNewTime + 1);
    old.Put("one-byte.bin", base, kOldTime);
    now.Put("one-byte.bin", oneByte, kNewTime + 2);
    old.Put("sub\\grow.bin", base, kOldTime);
    now.Put("sub\\grow.bin", grown, kNewTime + 3);
    old.Put("sub\\shrink.bin", base, kOldTime);
    now.Put("sub\\shrink.bin", shrunk, kNewTime + 4);
    old.Put("moved.bin", base, kOldTime);
    now.Put("moved.bin", moved, kNewTime + 5);
    old.Put("gone\\deleted.txt", {'x'}, kOldTime);
    now.Put("new\\deeper\\added.bin", Random(70000, rng), kNewTime + 6);
    now.Put("new\\empty-added.txt", {}, kNewTime + 7);

    MakeSettings settings;
    MakeAndApply(old, now, settings);
    settings.verifyMode = 1;
    settings.blockSize = 512;
    MakeAndApply(old, now, settings);
}

TEST_F(MadePackageTest, RandomTreesRoundTrip) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Tree old(test::NewScratchFolder());
        Tree now(test::NewScratchFolder());
        for (int f = 0; f < 12; ++f) {
            const std::string name =
                (rng() % 2 ? "d" + std::to_string(rng() % 3) + "\\" : "") + "f" + std::to_string(f);
            Bytes data = Random(rng() % 40000, rng);
            const uint32_t fate = rng() % 4;  // keep, change, delete, add
            if (fate != 3) old.Put(name, data, kOldTime + f);
            if (fate == 2) continue;
            if (fate == 1) {
                for (int edits = 0; edits < 5 && !data.empty(); ++edits) {
                    size_t at = rng() % data.size();
                    if (rng() % 2) {
                        data.insert(data.begin() + static_cast<long>(at), rng() % 300,
                                    static_cast<uint8_t>(rng()));
                    } else {
                        data.erase(data.begin() + static_cast<long>(at),
                                   data.begin() +
                                       static_cast<long>(std::min(data.size(), at + rng() % 300)));
                    }
                }
            }
            now.Put(name, data, fate == 0 ? kOldTime + f : kNewTime + f);
        }
        MakeAndApply(old, now, MakeSettings{});
    }
}

// A package with every option; its description must say exactly that.
TEST_F(MadePackageTest, InfoDescribesWhatWasAsked) {
    Tree old(test::NewScratchFolder());
    Tree now(test::NewScratchFolder());
    old.Put("app.exe", Bytes(5000, 1), kOldTime);
    now.Put("app.exe", Bytes(6000, 1), kNewTime);
    old.Put("old.dll", Bytes(10, 2), kOldTime);
    now.Put("data\\new.dat", Bytes(300, 3), kNewTime + 1);
    Tree docs(test::NewScratchFolder());
    docs.Put("before.txt", {'H', 'i', '\n', 0xC3, 0xA9}, kOldTime);
    docs.Put("after.txt", {'B', 'y', 'e'}, kOldTime);

    MakeSettings s;
    s.oldFolder = old.host;
    s.newFolder = now.host;
    s.title = "App \xC3\xA9";
    s.oldVersion = "1.0";
    s.newVersion = "1.1";
    s.copyright = "(c) Vendor";
    s.password = "secret";
    s.deleteBackups = false;
    s.verifyMode = 1;
    s.blockSize = 4096;
    s.target.type = 4;
    s.target.rules = {{1, 2, "Software\\Vendor", "Dir", "", 1},
                      {2, 255, "%1\\app.ini", "Paths", "Home", 0}};
    s.check.type = 2;
    s.check.programName = "app.exe";
    s.check.waitForExit = 1;
    s.launchFile = "readme.txt";
    s.documentBefore = docs.host + "/before.txt";
    s.documentAfter = docs.host + "/after.txt";
    s.ignoreMissingUpdate = true;
    s.overwriteOnAdd = true;
    s.ignoreMissingDelete = true;
    LanguageSetting custom;
    custom.builtIn = "en";
    custom.codePage = 1250;
    custom.fontFace = "Arial";
    custom.fontHeight = 10;
    custom.texts[8] = "%s Aktualizace (%s -> %s)";
    s.languages.push_back(custom);

    writer::Package package = BuildPackage(s, nullptr);
    writer::Bytes body = writer::BuildPackage(package);
    InspectedPackage inspected = InspectPackage(body);
    json j = DescribePackageJson(inspected, 1252);

    EXPECT_EQ(j["title"], "App \xC3\xA9");
    EXPECT_EQ(j["oldVersion"], "1.0");
    EXPECT_EQ(j["newVersion"], "1.1");
    EXPECT_EQ(j["copyright"], "(c) Vendor");
    EXPECT_EQ(j["password"], true);
    EXPECT_EQ(j["passwordDigest"], HexDigest(writer::Md5(std::string("secret"))));
    EXPECT_EQ(j["deleteBackups"], false);
    ASSERT_EQ(j["languages"].size(), 3u);
    EXPECT_EQ(j["languages"][0]["codePage"], 1252);
    EXPECT_EQ(j["languages"][1]["codePage"], 932);
    EXPECT_EQ(j["languages"][1]["texts"][8], FindBuiltInString(1008));
    EXPECT_EQ(j["languages"][2]["codePage"], 1250);
    EXPECT_EQ(j["languages"][2]["fontFace"], "Arial");
    EXPECT_EQ(j["languages"][2]["fontHeight"], 10);
    EXPECT_EQ(j["languages"][2]["texts"][8], "%s Aktualizace (%s -> %s)");
    EXPECT_EQ(j["languages"][2]["texts"][9], kEnglishTexts[9]);
    EXPECT_EQ(j["target"], json::parse(R"({"type":"rules","rules":[
        {"kind":"registry","root":"HKLM","key":"Software\\Vendor","value":"Dir","variable":1},
        {"kind":"ini","base":"none","path":"%1\\app.ini","section":"Paths","key":"Home","variable":0}]})"));
    EXPECT_EQ(j["check"]["type"], "program");
    EXPECT_EQ(j["check"]["program"], "app.exe");
    EXPECT_EQ(j["check"]["wait"], "ask");
    EXPECT_EQ(j["launch"], "readme.txt");
    EXPECT_EQ(j["documentBefore"], "Hi\r\n\xC3\xA9");
    EXPECT_EQ(j["documentAfter"], "Bye");
    EXPECT_EQ(j["ignoreMissingUpdate"], true);
    EXPECT_EQ(j["overwriteOnAdd"], true);
    EXPECT_EQ(j["ignoreMissingDelete"], true);
    EXPECT_EQ(j["verify"], "date-size");
    ASSERT_EQ(j["updates"].size(), 1u);
    EXPECT_EQ(j["updates"][0]["name"], "app.exe");
    EXPECT_EQ(j["updates"][0]["oldSize"], 5000);
    EXPECT_EQ(j["updates"][0]["oldTime"]["ticks"], kOldTime);
    EXPECT_EQ(j["updates"][0]["fileTime"]["ticks"], kNewTime);
    EXPECT_EQ(j["updates"][0]["stream"]["wellFormed"], true);
    EXPECT_EQ(j["updates"][0]["stream"]["blockSize"], 4096);
    EXPECT_EQ(j["updates"][0]["stream"]["newSize"], 6000);
    ASSERT_EQ(j["adds"].size(), 1u);
    EXPECT_EQ(j["adds"][0]["name"], "data\\new.dat");
    EXPECT_EQ(j["adds"][0]["dataLength"], 300);
    EXPECT_EQ(j["adds"][0]["fileTime"]["ticks"], kNewTime + 1);
    ASSERT_EQ(j["deletes"].size(), 1u);
    EXPECT_EQ(j["deletes"][0]["name"], "old.dll");
    EXPECT_EQ(j["deletes"][0]["oldSize"], 10);
    EXPECT_EQ(j["deletes"][0]["oldTime"]["ticks"], kOldTime);
    EXPECT_EQ(j["trailer"]["matches"], true);
    EXPECT_TRUE(j["problems"].empty());
}

TEST(Settings, RefuseTextsTheCodePageCannotHold) {
    MakeSettings s;
    s.title = "\xE3\x81\x82";  // not in code page 1252
    EXPECT_THROW(BuildPackage(s, nullptr), SettingsError);
    s.title = std::string(256, 'a');
    EXPECT_THROW(BuildPackage(s, nullptr), SettingsError);
    EXPECT_THROW(ParseRuleText("registry|0|HKLM|Key"), SettingsError);
    writer::FolderRule rule = ParseRuleText("ini|3|windows|app.ini|Setup|Dir");
    EXPECT_EQ(rule.kind, 2);
    EXPECT_EQ(rule.rootOrBase, 0);
    EXPECT_EQ(rule.resultVariable, 3);
    EXPECT_EQ(rule.key, "Dir");
}

TEST(Settings, ProjectFileSetsEveryOption) {
    Tree folder(test::NewScratchFolder());
    const std::string text = R"({
      "old": "r1", "new": "r2", "output": "out/update.exe", "stub": "s.exe",
      "title": "T", "oldVersion": "1", "newVersion": "2", "copyright": "C", "password": "pw",
      "deleteBackups": false, "codePage": 932, "verify": "date-size", "blockSize": 4096,
      "target": {"type": "ini", "base": "system", "path": "a.ini", "section": "S", "key": "K"},
      "check": {"type": "window", "title": "W", "class": "CL", "wait": "quiet"},
      "launch": "go.txt", "documentBefore": "b.txt", "documentAfter": "a.txt",
      "ignoreMissingUpdate": true, "overwriteOnAdd": true, "ignoreMissingDelete": true,
      "languages": ["ja", {"codePage": 1251, "fontFace": "F", "fontHeight": 9, "texts": {"3": "X"}}]
    })";
    folder.Put("kzp.json", Bytes(text.begin(), text.end()), kOldTime);
    MakeSettings s;
    LoadProjectFile(folder.host + "/kzp.json", &s);
    EXPECT_EQ(s.oldFolder, Utf8Of(HostPath(folder.host) / "r1"));
    EXPECT_EQ(s.output, Utf8Of(HostPath(folder.host) / "out" / "update.exe"));
    EXPECT_EQ(s.stub, Utf8Of(HostPath(folder.host) / "s.exe"));
    EXPECT_EQ(s.documentBefore, Utf8Of(HostPath(folder.host) / "b.txt"));
    EXPECT_EQ(s.title, "T");
    EXPECT_EQ(s.password, std::optional<std::string>("pw"));
    EXPECT_FALSE(s.deleteBackups);
    EXPECT_EQ(s.codePage, 932u);
    EXPECT_EQ(s.verifyMode, 1);
    EXPECT_EQ(s.blockSize, 4096u);
    EXPECT_EQ(s.target.type, 2);
    EXPECT_EQ(s.target.rootOrBase, 1);
    EXPECT_EQ(s.target.path, "a.ini");
    EXPECT_EQ(s.target.name, "S");
    EXPECT_EQ(s.target.key, "K");
    EXPECT_EQ(s.check.type, 1);
    EXPECT_EQ(s.check.windowTitle, "W");
    EXPECT_EQ(s.check.windowClass, "CL");
    EXPECT_EQ(s.check.waitForExit, 2);
    EXPECT_EQ(s.launchFile, "go.txt");
    EXPECT_TRUE(s.ignoreMissingUpdate && s.overwriteOnAdd && s.ignoreMissingDelete);
    ASSERT_EQ(s.languages.size(), 2u);
    EXPECT_EQ(s.languages[0].builtIn, "ja");
    EXPECT_EQ(s.languages[1].codePage, std::optional<uint32_t>(1251));
    EXPECT_EQ(s.languages[1].texts.at(3), "X");

    for (const char* bad :
         {R"({"titel": "typo"})", R"({"deleteBackups": "yes"})", R"({"codePage": -1})",
          R"({"target": {"type": "cloud"}})", R"({"languages": ["fr"]})",
          R"({"languages": [{"texts": {"69": "x"}, "codePage": 1252}]})", "[1]", "{"}) {
        const std::string b = bad;
        folder.Put("bad.json", Bytes(b.begin(), b.end()), kOldTime);
        MakeSettings ignored;
        EXPECT_THROW(LoadProjectFile(folder.host + "/bad.json", &ignored), SettingsError) << bad;
    }
}

// Which ways to the target folder a 32-bit updater reads in its own view on
// 64-bit Windows, and which it reads as a 64-bit installer wrote them.
TEST(Wow64Warnings, NameWhatA32BitUpdaterSeesElsewhere) {
    auto registry = [](uint8_t root, const std::string& key) {
        writer::TargetFolder t;
        t.type = 1;
        t.rootOrBase = root;
        t.path = key;
        return t;
    };
    auto folder = [](uint8_t type, uint8_t base, const std::string& path) {
        writer::TargetFolder t;
        t.type = type;
        t.rootOrBase = base;
        t.path = path;
        return t;
    };
    const uint8_t hkcu = 1, hklm = 2, windows = 0, system = 1, programFiles = 2, drive = 3;
    struct Case {
        writer::TargetFolder target;
        const char* warning;  // a part of the one warning expected, or null for none
    };
    const Case cases[] = {
        {registry(hklm, "Software\\Vendor\\App"), "Wow6432Node"},
        {registry(hklm, "\\SOFTWARE/Vendor"), "Wow6432Node"},
        {registry(hklm, "Software"), "Wow6432Node"},
        {registry(hklm, "Software\\Wow6432Node\\Vendor"), nullptr},
        {registry(hklm, "Software\\Classes\\Vendor.Document"), nullptr},
        {registry(hklm, "SoftwareVendor\\App"), nullptr},
        {registry(hklm, "System\\CurrentControlSet"), nullptr},
        {registry(hkcu, "Software\\Vendor"), nullptr},
        {folder(3, programFiles, "Vendor\\App"), "\"Program Files\\Vendor\\App\""},
        {folder(2, programFiles, "Vendor\\app.ini"), "Program Files (x86)"},
        {folder(3, system, "Vendor"), "SysWOW64"},
        {folder(3, windows, "system32\\Vendor"), "SysWOW64"},
        {folder(3, windows, "System32"), "SysWOW64"},
        {folder(3, windows, "System32x"), nullptr},
        {folder(3, windows, "Fonts"), nullptr},
        {folder(3, drive, "Program Files\\Vendor\\App"), nullptr},
        {folder(0, programFiles, "Vendor"), nullptr},  // asked: nothing is read
    };
    for (const Case& c : cases) {
        std::vector<std::string> warnings = Wow64Warnings(c.target);
        const std::string what = std::to_string(c.target.type) + " " +
                                 std::to_string(c.target.rootOrBase) + " " + c.target.path;
        if (c.warning == nullptr) {
            EXPECT_TRUE(warnings.empty()) << what << ": " << warnings.front();
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u) << what;
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << what << ": " << warnings[0];
    }

    // Rules are named by their place; a registry rule outside the redirected
    // key and the target's own fields draw nothing.
    writer::TargetFolder rules;
    rules.type = 4;
    rules.rootOrBase = programFiles;
    rules.rules.push_back({1, hkcu, "Software\\Vendor", "Dir", "", 0});
    rules.rules.push_back({1, hklm, "Software\\Vendor", "Dir", "", 1});
    rules.rules.push_back({2, system, "vendor.ini", "Setup", "Dir", 2});
    std::vector<std::string> warnings = Wow64Warnings(rules);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].rfind("lookup rule 2 reads HKLM\\Software\\Vendor", 0), 0u)
        << warnings[0];
    EXPECT_EQ(warnings[1].rfind("lookup rule 3's INI file lies in the system folder", 0), 0u)
        << warnings[1];
}

TEST(Wow64Warnings, OnlyX86ImagesAreTold) {
    auto image = [](uint16_t machine, uint32_t peOffset, size_t size) {
        writer::Bytes b(size, 0);
        b[0] = 'M';
        b[1] = 'Z';
        for (int i = 0; i < 4; ++i) b[0x3C + i] = static_cast<uint8_t>(peOffset >> (8 * i));
        if (peOffset + 6 <= size) {
            b[peOffset] = 'P';
            b[peOffset + 1] = 'E';
            b[peOffset + 4] = static_cast<uint8_t>(machine);
            b[peOffset + 5] = static_cast<uint8_t>(machine >> 8);
        }
        return b;
    };
    EXPECT_TRUE(IsX86Image(image(0x14C, 0x80, 0x200)));
    EXPECT_FALSE(IsX86Image(image(0x8664, 0x80, 0x200)));
    EXPECT_FALSE(IsX86Image(image(0x14C, 0x1FC, 0x200)));  // the header runs past the end
    EXPECT_FALSE(IsX86Image(image(0x14C, 0xFFFFFFF0u, 0x200)));
    EXPECT_FALSE(IsX86Image(writer::Bytes{'M', 'Z'}));
    writer::Bytes notPe = image(0x14C, 0x80, 0x200);
    notPe[0x81] = 'X';
    EXPECT_FALSE(IsX86Image(notPe));
}

writer::Bytes SmallUpdater() {
    writer::Package p;
    p.title = "T";
    p.languages.push_back(EnglishBlock());
    p.target.type = 3;
    p.target.rootOrBase = 2;
    p.target.path = "App";
    p.documentBefore = "doc";
    writer::UpdateEntry u;
    u.name = "a.bin";
    u.stream = writer::DiffStream(16).CopyRange(0, 4).LiteralRange({1, 2, 3}).End().Data();
    p.updates.push_back(u);
    p.adds.push_back({"b.bin", {}, {9, 9, 9}, {}, {}});
    p.deletes.push_back({"c.bin", {}});
    p.bodyAlignment = 8;
    return writer::BuildUpdaterFile(writer::MakeStubImage(), p);
}

// Cut short anywhere, or with any byte changed: a clear refusal or a list of
// problems, never a crash (the sanitizers watch this).
TEST(InspectPackage, SurvivesCutAndDamagedFiles) {
    const writer::Bytes file = SmallUpdater();
    InspectedPackage whole = InspectPackage(file);
    EXPECT_TRUE(whole.problems.empty());
    const writer::Bytes package(file.begin() + kPackageOffset, file.end());
    // The whole file cut inside the image, and the bare package cut anywhere.
    std::vector<writer::Bytes> cuts;
    for (size_t length :
         {size_t{0}, size_t{1}, size_t{0x40}, size_t{kPackageOffset}, size_t{kPackageOffset + 1}}) {
        cuts.emplace_back(file.begin(), file.begin() + static_cast<long>(length));
    }
    for (size_t length = 0; length < package.size(); ++length) {
        cuts.emplace_back(package.begin(), package.begin() + static_cast<long>(length));
    }
    for (const writer::Bytes& cut : cuts) {
        try {
            InspectedPackage p = InspectPackage(cut);
            EXPECT_FALSE(p.problems.empty()) << cut.size();
        } catch (const PackageError&) {
        }
    }
    std::mt19937 rng(3);
    for (size_t at = 0; at < package.size(); ++at) {
        writer::Bytes damaged = package;
        damaged[at] = static_cast<uint8_t>(damaged[at] + 1 + rng() % 255);
        try {
            InspectedPackage p = InspectPackage(damaged);
            EXPECT_FALSE(p.trailerMatches) << at;
        } catch (const PackageError&) {
        }
    }
    // Counts far beyond the file are refused before anything is read.
    writer::Package huge;
    huge.updateCountOverride = 0xFFFFFFFFu;
    EXPECT_THROW(InspectPackage(writer::BuildPackage(huge)), PackageError);
}

TEST(InspectPackage, FindsThePackageEndAsTheUpdaterDoes) {
    writer::Bytes file = SmallUpdater();
    // A PE32 header whose security directory names a table that ends the file.
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    const uint32_t pe = 0x80;
    put32(0x3C, pe);
    put32(pe, 0x4550);
    file[pe + 24] = 0x0B;
    file[pe + 25] = 0x01;
    const size_t directories = pe + 24 + 96;
    put32(directories - 4, 16);
    const uint32_t table = static_cast<uint32_t>(file.size());
    file.insert(file.end(), 24, 0xAB);
    put32(directories + 32, table);
    put32(directories + 36, 24);

    InspectedPackage signedFile = InspectPackage(file);
    EXPECT_TRUE(signedFile.certificateTable);
    EXPECT_EQ(signedFile.packageEnd, table);
    EXPECT_TRUE(signedFile.trailerMatches);

    // The engine's rule gives the same end.
    std::string folder = test::NewScratchFolder();
    ASSERT_TRUE(test::WriteBytes(folder + "\\signed.exe", file));
    test::OpenedPackage opened(folder + "\\signed.exe");
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(FindPackageEnd(opened.file(), static_cast<uint32_t>(file.size())), table);

    // A table that does not end the file does not count.
    put32(directories + 36, 23);
    EXPECT_EQ(PackageEndOf(file.data(), file.size()), file.size());
}

TEST(RunInfo, ExitCodesSayWhatIsWrong) {
    std::string folder = test::NewScratchFolder();
    writer::Bytes file = SmallUpdater();
    ASSERT_TRUE(test::WriteBytes(folder + "\\good.exe", file));
    file[file.size() - 20] ^= 1;  // inside the data area
    ASSERT_TRUE(test::WriteBytes(folder + "\\damaged.exe", file));
    ASSERT_TRUE(test::WriteBytes(folder + "\\short.exe",
                                 writer::Bytes(file.begin(), file.begin() + 0x18010)));
    ASSERT_TRUE(test::WriteBytes(folder + "\\text.txt", {'h', 'i'}));
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunInfo({HostOf(folder + "\\good.exe"), true, 1252}, out, err), kExitOk);
    EXPECT_EQ(json::parse(out.str())["updates"][0]["stream"]["opcodes"],
              json::parse("[1,0,0,1,0,0,1]"));
    EXPECT_EQ(RunInfo({HostOf(folder + "\\damaged.exe"), false, 1252}, out, err), kExitProblems);
    EXPECT_EQ(RunInfo({HostOf(folder + "\\short.exe"), false, 1252}, out, err), kExitUnreadable);
    EXPECT_EQ(RunInfo({HostOf(folder + "\\text.txt"), false, 1252}, out, err), kExitUnreadable);
    EXPECT_EQ(RunInfo({HostOf(folder + "\\missing.exe"), false, 1252}, out, err), kExitUnreadable);
    EXPECT_NE(err.str().find("ends inside"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace kzp::tool

// The kzp command's parts: default language blocks, packages made from two
// folders (read back and applied by the engine), hostile files, and releases
// of several old versions with the updater that fits each folder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
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
#include "tools/kzp/exit_codes.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/identify_command.h"
#include "tools/kzp/info_command.h"
#include "tools/kzp/package_inspector.h"
#include "tools/kzp/memory_budget.h"
#include "tools/kzp/package_maker.h"
#include "tools/kzp/release_maker.h"
#include "tools/kzp/sha256.h"
#include "tools/kzp/text_encoding.h"
#include "tools/kzp/wow64_warnings.h"
#include "tools/kzp/zip_archive.h"

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

    // A release's project: every old release with its version, relative to
    // the file's folder, and the names of its updaters.
    const std::string release =
        R"({"old": [{"dir": "r1", "version": "1.0"}, {"dir": "sub/r2", "version": "1.1"}],
            "namePattern": "{old}.exe"})";
    folder.Put("release-project.json", Bytes(release.begin(), release.end()), kOldTime);
    MakeSettings r;
    LoadProjectFile(folder.host + "/release-project.json", &r);
    ASSERT_EQ(r.oldReleases.size(), 2u);
    EXPECT_EQ(r.oldReleases[0].folder, Utf8Of(HostPath(folder.host) / "r1"));
    EXPECT_EQ(r.oldReleases[0].version, "1.0");
    EXPECT_EQ(r.oldReleases[1].folder,
              Utf8Of((HostPath(folder.host) / HostPath("sub/r2")).lexically_normal()));
    EXPECT_EQ(r.namePattern, "{old}.exe");
    EXPECT_TRUE(r.oldFolder.empty());

    for (const char* bad :
         {R"({"old": [{"dir": "r1"}]})", R"({"old": [{"dir": "r1", "version": 2}]})",
          R"({"old": [{"dir": "a", "version": "1", "extra": 0}]})", R"({"old": 3})",
          R"({"titel": "typo"})", R"({"deleteBackups": "yes"})", R"({"codePage": -1})",
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

TEST(ReleaseNames, PatternsBecomeNamesWindowsCanStore) {
    struct Case {
        const char* pattern;
        const char* title;
        const char* old;
        const char* expected;
    };
    const Case cases[] = {
        {kDefaultNamePattern, "App", "1.0", "App-1.0-to-2.0.exe"},
        {kDefaultNamePattern, "", "1.0", "update-1.0-to-2.0.exe"},
        {kDefaultNamePattern, "A<b>:c", "1/0|x", "A_b__c-1_0_x-to-2.0.exe"},
        {"{old}\\{new}?*\"", "T", "1", "1_2.0___"},
        {"{title}. . ", "App", "1", "App"},
        {"{title}", "CON", "1", "_CON"},
        {"{title}.exe", "lpt3", "1", "_lpt3.exe"},
        {"{title}.exe", "COM10", "1", "COM10.exe"},
        {"{old}", "T", "...", "_"},
        {"{old}-\t-{new}", "T", "1", "1-_-2.0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpdaterFileName(c.pattern, c.title, c.old, "2.0"), c.expected) << c.pattern;
    for (const char* bad : {"{version}.exe", "{old", "{}{old}"})
        EXPECT_THROW(UpdaterFileName(bad, "T", "1", "2"), SettingsError) << bad;
    EXPECT_THROW(UpdaterFileName("{old}", "T", std::string(256, 'v'), "2"), SettingsError);
    // Windows counts UTF-16 units: 255 three-byte characters still fit.
    std::string wide;
    for (int i = 0; i < 255; ++i) wide += "\xE3\x81\x82";
    EXPECT_EQ(UpdaterFileName("{old}", "T", wide, "2"), wide);
}

TEST(Sha256, KnownDigests) {
    auto hex = [](const Sha256::Digest& d) {
        std::string t;
        for (uint8_t b : d) {
            char two[3];
            std::snprintf(two, sizeof(two), "%02x", b);
            t += two;
        }
        return t;
    };
    auto of = [&](const std::string& text, size_t piece) {
        Sha256 sha;
        for (size_t at = 0; at < text.size(); at += piece) {
            sha.Update(reinterpret_cast<const uint8_t*>(text.data()) + at,
                       std::min(piece, text.size() - at));
        }
        return hex(sha.Final());
    };
    EXPECT_EQ(of("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(of("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first padded block.
    EXPECT_EQ(of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 5),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(of(std::string(1000000, 'a'), 7777),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ZipArchive, HoldsEveryFileAndIsAsLongAsMeasured) {
    std::mt19937 rng(11);
    Tree tree(test::NewScratchFolder());
    const Bytes noise = Random(70000, rng);
    const Bytes zeros(100000, 0);
    tree.Put("noise.bin", noise, kOldTime);
    tree.Put("sub\\zeros.bin", zeros, kNewTime);
    tree.Put("empty.txt", {}, kNewTime);
    // A name beyond ASCII is stored as UTF-8 (the Windows build names its
    // test files in the ANSI code page, so only the host build has one).
    const std::string accented = test::OnWindows() ? "cafe.txt" : "caf\xC3\xA9.txt";
    tree.Put(accented, {'x'}, kNewTime);

    std::ostringstream stream;
    const uint64_t written = WriteZipArchive(HostPath(tree.host), &stream);
    const std::string zip = stream.str();
    EXPECT_EQ(written, zip.size());
    EXPECT_EQ(WriteZipArchive(HostPath(tree.host), nullptr), written);

    auto u16 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(zip[at]) |
                                     static_cast<uint8_t>(zip[at + 1]) << 8);
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    ASSERT_GE(zip.size(), 22u);
    const size_t end = zip.size() - 22;
    ASSERT_EQ(u32(end), 0x06054b50u);
    ASSERT_EQ(u16(end + 10), 4u);
    size_t at = u32(end + 16);
    const std::map<std::string, std::pair<Bytes, uint32_t>> expected = {
        {accented, {{'x'}, 0}},
        {"empty.txt", {{}, 0}},
        {"noise.bin", {noise, 0}},  // deflate would not make it smaller: stored
        {"sub/zeros.bin", {zeros, 8}}};
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(u32(at), 0x02014b50u);
        const uint32_t method = u16(at + 10), crc = u32(at + 16), size = u32(at + 24);
        const uint32_t compressed = u32(at + 20), nameLength = u16(at + 28);
        const std::string name = zip.substr(at + 46, nameLength);
        const size_t local = u32(at + 42);
        names.push_back(name);
        SCOPED_TRACE(name);
        const auto& [data, wantMethod] = expected.at(name);
        EXPECT_EQ((u16(at + 8) & 0x0800) != 0, name.find('\xC3') != std::string::npos);
        if (!data.empty()) {
            EXPECT_EQ(method, wantMethod);
        }
        ASSERT_EQ(u32(local), 0x04034b50u);
        EXPECT_EQ(u32(local + 14), crc);
        const size_t body = local + 30 + u16(local + 26) + u16(local + 28);
        Bytes out(size);
        if (method == 0) {
            ASSERT_EQ(compressed, size);
            if (size > 0) std::memcpy(out.data(), zip.data() + body, size);
        } else {
            z_stream z{};
            ASSERT_EQ(inflateInit2(&z, -MAX_WBITS), Z_OK);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + body));
            z.avail_in = compressed;
            z.next_out = out.data();
            z.avail_out = size;
            EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
            inflateEnd(&z);
            EXPECT_LT(compressed, size / 100);
        }
        EXPECT_TRUE(out == data);
        EXPECT_EQ(crc, static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size()))));
        at += 46 + nameLength + u16(at + 30) + u16(at + 32);
    }
    EXPECT_EQ(at, end);
    EXPECT_EQ(names,
              (std::vector<std::string>{accented, "empty.txt", "noise.bin", "sub/zeros.bin"}));
}

TEST(MemoryBudget, SharesTakenAtOnceNeverExceedTheTotal) {
    MemoryBudget budget(1000);
    EXPECT_EQ(budget.Take(5000), 1000u);  // more than the whole waits for the whole
    budget.Give(1000);
    // Each thread adds what it holds while it holds it: the sum must never
    // pass the total.
    std::atomic<uint64_t> held{0};
    std::atomic<bool> over{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<uint32_t>(t));
            for (int i = 0; i < 200; ++i) {
                const uint64_t bytes = 100 + rng() % 600;
                MemoryShare share(&budget, bytes);
                if ((held += bytes) > 1000) over = true;
                std::this_thread::yield();
                held -= bytes;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(over);
    EXPECT_LE(budget.Peak(), 1000u);
    MemoryShare none(nullptr, 1u << 30);  // no budget: nothing to wait for
}

// Three old releases of one product and the new one: 1.1 changed app.exe and
// dropped legacy.dll, 1.2 added plugin.dll, 2.0 changes readme.txt and app.exe
// again and adds data.bin.
class ReleaseTest : public testing::Test {
  protected:
    void SetUp() override {
        savedCodePage_ = ansiCodePage;
        std::mt19937 rng(21);
        const Bytes app = Random(60000, rng);
        Bytes app11 = app;
        app11[100] ^= 1;
        Bytes app20 = app11;
        app20.insert(app20.begin() + 3000, 50, 7);
        old_[0].Put("bin\\app.exe", app, kOldTime);
        old_[0].Put("bin\\legacy.dll", {'L'}, kOldTime);
        old_[0].Put("readme.txt", {'1'}, kOldTime);
        old_[1].Put("bin\\app.exe", app11, kOldTime + 1);
        old_[1].Put("readme.txt", {'1'}, kOldTime);
        old_[2].Put("bin\\app.exe", app11, kOldTime + 1);
        old_[2].Put("bin\\plugin.dll", {'P'}, kOldTime + 2);
        old_[2].Put("readme.txt", {'1'}, kOldTime);
        new_.Put("bin\\app.exe", app20, kNewTime);
        new_.Put("bin\\plugin.dll", {'P'}, kOldTime + 2);
        new_.Put("readme.txt", {'2'}, kNewTime);
        new_.Put("data.bin", Random(3000, rng), kNewTime);
        stub_.Put("stub.exe", {'M', 'Z'}, kOldTime);
        settings_.title = "App";
        settings_.newVersion = "2.0";
        settings_.newFolder = new_.host;
        settings_.stub = stub_.host + "/stub.exe";
        settings_.memoryLimit = 1 << 20;  // the pairs share one mebibyte
        for (int i = 0; i < 3; ++i)
            settings_.oldReleases.push_back({old_[i].host, "1." + std::to_string(i)});
    }
    void TearDown() override {
        ansiCodePage = savedCodePage_;
        SetOs(&test::BaseOs());
    }

    // kzp identify's verdict on a folder: its exit code and first line.
    std::pair<int, std::string> Identify(const std::string& folder, IdentifyOptions o) {
        o.folder = folder;
        std::ostringstream out, err;
        const int code = RunIdentify(o, out, err);
        SetOs(&test::BaseOs());
        return {code, out.str() + err.str()};
    }

    Tree old_[3] = {Tree(test::NewScratchFolder()), Tree(test::NewScratchFolder()),
                    Tree(test::NewScratchFolder())};
    Tree new_{test::NewScratchFolder()};
    Tree stub_{test::NewScratchFolder()};
    MakeSettings settings_;
    uint32_t savedCodePage_ = 0;
};

TEST_F(ReleaseTest, AnyNumberOfJobsGivesTheSameFilesAndIdentifyNamesEachOldRelease) {
    Tree one(test::NewScratchFolder());
    Tree four(test::NewScratchFolder());
    settings_.output = one.host;
    const ReleaseReport r = MakeRelease(settings_, 1, "");
    settings_.output = four.host;
    MakeRelease(settings_, 4, "");
    const auto files = test::ReadTree(one.windows);
    EXPECT_EQ(files.size(), 4u);
    EXPECT_TRUE(files == test::ReadTree(four.windows)) << "the files depend on the jobs";
    EXPECT_LE(r.memoryPeak, settings_.memoryLimit);

    const json j = json::parse(files.at("release.json"));
    ASSERT_EQ(j["updaters"].size(), 3u);
    EXPECT_EQ(j["newReleaseZipSize"], r.zipSize);
    const json& first = j["updaters"][0];
    EXPECT_EQ(first["file"], "App-1.0-to-2.0.exe");
    EXPECT_EQ(first["size"], files.at("App-1.0-to-2.0.exe").size());
    EXPECT_EQ(first["md5"], HexDigest(writer::Md5(files.at("App-1.0-to-2.0.exe"))));
    EXPECT_EQ(
        first["identifies"]["update"],
        json::parse(R"({"bin\\app.exe": ")" +
                    HexDigest(writer::Md5(test::ReadTree(old_[0].windows)["bin\\app.exe"])) +
                    R"(", "readme.txt": ")" + HexDigest(writer::Md5(std::string("1"))) + R"("})"));
    EXPECT_EQ(first["identifies"]["delete"].size(), 1u);
    EXPECT_EQ(first["identifies"]["add"], json::parse(R"(["bin\\plugin.dll", "data.bin"])"));
    EXPECT_EQ(j["updaters"][2]["identifies"]["add"], json::parse(R"(["data.bin"])"));

    // Each folder is named by its own updater, from release.json and from the
    // updater files alike. The 1.1 folder also passes 1.2's checks (1.2 only
    // added plugin.dll, which 1.2's updater does not look at), so the choice
    // must go by the number of files checked.
    IdentifyOptions byJson;
    byJson.release = one.host + "/release.json";
    IdentifyOptions byFiles;
    // Newest first, so that the first one that fits is not the answer.
    for (const char* name : {"App-1.2-to-2.0.exe", "App-1.1-to-2.0.exe", "App-1.0-to-2.0.exe"})
        byFiles.updaters.push_back(one.host + "/" + name);
    for (int i = 0; i < 3; ++i) {
        const std::string want = "fits: App-1." + std::to_string(i) + "-to-2.0.exe";
        for (const IdentifyOptions& o : {byJson, byFiles}) {
            auto [code, text] = Identify(old_[i].host, o);
            EXPECT_EQ(code, kExitOk) << text;
            EXPECT_EQ(text.rfind(want, 0), 0u) << text;
        }
    }

    // A 1.2 folder whose readme was edited: nothing fits; 1.2's is nearest.
    old_[2].Put("readme.txt", {'e', 'd', 'i', 't'}, kNewTime);
    auto [code, text] = Identify(old_[2].host, byJson);
    EXPECT_EQ(code, kExitNoneFits) << text;
    EXPECT_NE(text.find("nearest: App-1.2-to-2.0.exe (old version 1.2), 1 of 3 files differs:\n"
                        "  readme.txt  other contents (MD5)\n"),
              std::string::npos)
        << text;
    std::tie(code, text) = Identify(new_.host + "/missing", byJson);
    EXPECT_EQ(code, kExitUnreadable) << text;
    IdentifyOptions broken;
    broken.release = settings_.stub;
    std::tie(code, text) = Identify(old_[0].host, broken);
    EXPECT_EQ(code, kExitUnreadable) << text;
}

TEST_F(ReleaseTest, SettingsThatCannotWorkAreRefusedBeforeAnythingIsMade) {
    Tree out(test::NewScratchFolder());
    out.Put("a-file", {'x'}, kOldTime);
    struct Case {
        const char* what;
        std::function<void(MakeSettings&)> change;
        bool fileError;  // FileError rather than SettingsError
    };
    const Case cases[] = {
        {"a version twice", [](MakeSettings& s) { s.oldReleases[2].version = "1.0"; }, false},
        {"an old version named as the new",
         [](MakeSettings& s) { s.oldReleases[1].version = "2.0"; }, false},
        {"no new version", [](MakeSettings& s) { s.newVersion.clear(); }, false},
        {"no old release", [](MakeSettings& s) { s.oldReleases.clear(); }, false},
        {"names that collide", [](MakeSettings& s) { s.namePattern = "{title}.exe"; }, false},
        {"names that differ in case only",
         [](MakeSettings& s) {
             s.oldReleases[0].version = "b";
             s.oldReleases[1].version = "B";
         },
         false},
        {"a missing old folder", [](MakeSettings& s) { s.oldReleases[1].folder += "/missing"; },
         true},
        {"a missing new folder", [](MakeSettings& s) { s.newFolder += "/missing"; }, true},
        {"an output folder inside a file",
         [&](MakeSettings& s) { s.output = out.host + "/a-file/out"; }, true},
    };
    for (const Case& c : cases) {
        MakeSettings s = settings_;
        s.output = out.host + "/release";
        c.change(s);
        if (c.fileError) {
            EXPECT_THROW(MakeRelease(s, 2, ""), FileError) << c.what;
        } else {
            EXPECT_THROW(MakeRelease(s, 2, ""), SettingsError) << c.what;
        }
    }
    EXPECT_EQ(test::ReadTree(out.windows).size(), 1u) << "a refused release wrote something";
}

TEST(Identify, TheFolderIsFromTheFittingUpdaterThatChecksMost) {
    auto v = [](uint32_t checked, size_t differences) {
        Verdict verdict;
        verdict.checked = checked;
        verdict.differences.resize(differences, {"f", kErrorDigestMismatch});
        return verdict;
    };
    struct Case {
        std::vector<Verdict> verdicts;
        int best;
    };
    const Case cases[] = {
        {{}, -1},
        {{v(3, 1), v(2, 0), v(5, 0)}, 2},  // two fit: the one that checks more
        {{v(5, 0), v(5, 0)}, 0},           // equal: the first given
        {{v(9, 2), v(1, 1), v(4, 1)}, 1},  // none fits: the fewest differences
        {{v(0, 0), v(9, 1)}, 0},           // an updater that checks nothing fits any folder
    };
    for (const Case& c : cases) EXPECT_EQ(BestVerdict(c.verdicts), c.best);
    EXPECT_EQ(DifferenceText(kErrorAddExists), "is there, but the updater adds it");
    EXPECT_EQ(DifferenceText(kErrorOldFileMissing), "missing");
}
}  // namespace
}  // namespace kzp::tool

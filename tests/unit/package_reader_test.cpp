#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "app/catalogue.h"
#include "package/package_layout.h"
#include "package/package_reader.h"
#include "tests/support/test_platform.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
namespace w = writer;

// One forward pass over a package file, as the apply thread makes it (the
// trailer check and the dialogue in between left out).
struct ForwardPass {
    UpdaterState state;
    PackageHeader header{};
    TargetFolderSection folder{};
    RunningCheckSection check{};
    char* documentBefore = nullptr;
    char* documentAfter = nullptr;
    ListHeader lists{};
    std::vector<FileEntry> updates, adds, deletes;
    // The step that stopped the pass, and its result.
    std::string stoppedAt;
    Result result = kResultOk;

    ForwardPass() { InitUpdaterState(&state, kNoInstance); }
    ~ForwardPass() {
        ReleaseFolderRules(state.heap, &folder);
        ReleaseUpdaterState(&state);
    }

    bool Step(const char* name, Result r) {
        if (r == kResultOk) return true;
        stoppedAt = name;
        result = r;
        return false;
    }

    Result Run(const std::string& path) {
        FileHandle handle = OpenFileForReadShared(path);
        if (handle == kInvalidFile) return result = kErrorOpenPackage;
        PackageFile* file = new PackageFile(handle);
        RunOn(*file);
        delete file;
        TheOs().CloseFile(handle);
        return result;
    }

    static FileHandle OpenFileForReadShared(const std::string& path) {
        return TheOs().CreateFileHandle(path.c_str(), kGenericRead, kFileShareRead, false,
                                        kOpenExisting, 0);
    }

    void RunOn(PackageFile& file) {
        if (!Step("header", ReadPackageHeader(file, &header))) return;
        TakePackageHeader(state, header);
        const uint16_t v = header.formatVersion;
        if (!Step("languages", ReadLanguageSection(file, state, v))) return;
        if (!Step("folder", ReadTargetFolderSection(file, v, state.heap, &folder))) return;
        if (v >= kVersionWithCheckSection) {
            if (!Step("check", ReadRunningCheckSection(file, &check))) return;
            if (!Step("documents", ReadLaunchAndDocuments(file, state.heap, state.launchFile,
                                                          &documentBefore, &documentAfter))) {
                return;
            }
        }
        ApplyOptionFlags options;
        const Result optionsRead = ReadApplyOptions(file, v, &options);
        TakeApplyOptions(state, options);
        if (!Step("options", optionsRead)) return;
        if (!Step("lists", ReadListHeader(file, &lists))) return;
        const std::pair<EntryKind, uint32_t> kinds[] = {{EntryKind::kUpdate, lists.updateCount},
                                                        {EntryKind::kAdd, lists.addCount},
                                                        {EntryKind::kDelete, lists.deleteCount}};
        for (auto [kind, count] : kinds) {
            for (uint32_t i = 0; i < count; ++i) {
                FileEntry entry;
                if (!Step("entry", ReadFileEntry(file, kind, &entry))) return;
                (kind == EntryKind::kUpdate ? updates
                 : kind == EntryKind::kAdd  ? adds
                                            : deletes)
                    .push_back(entry);
            }
        }
    }
};

std::string WriteUpdater(const Bytes& file) {
    std::string path = test::NewScratchFolder() + "\\updater.exe";
    EXPECT_TRUE(test::WriteBytes(path, file));
    return path;
}

w::Package WorkedExample(const Bytes& stream) {
    w::Package p;
    p.formatVersion = 120;
    p.title = "App";
    p.oldVersion = "1.0";
    p.newVersion = "1.1";
    p.deleteBackupsDefault = 1;
    p.target.type = 3;
    p.target.rootOrBase = 2;
    p.target.path = "App";
    w::UpdateEntry e;
    e.name = "app.exe";
    e.digest = w::Md5(std::string("old contents of app.exe"));
    e.fileTime = w::FileTimeValue::FromTicks(0x01D0A1B2C3D4E5F6ull);
    e.stream = stream;
    p.updates.push_back(e);
    return p;
}

// A package that uses every section of version 120.
w::Package EverySection() {
    w::Package p = WorkedExample(w::DiffStream(4).CopyBlock(0).End().Data());
    p.copyright = "(c) Example";
    p.SetPassword("secret");
    p.deleteBackupsDefault = 0;
    w::LanguageBlock english;
    english.codePage = 1252;
    english.fontFace = "Tahoma";
    english.fontHeight = 13;
    for (int k = 0; k < 69; ++k) english.texts[k] = "text " + std::to_string(k);
    p.languages.push_back(english);
    p.target.type = 4;
    p.target.rules = {{1, 2, "Software\\Vendor\\%1", "InstallDir", "", 0},
                      {2, 3, "vendor.ini", "Paths", "Root", 1}};
    p.check.type = 2;
    p.check.programName = "app.exe";
    p.check.waitForExit = 1;
    p.launchFile = "readme.txt";
    p.documentBefore = "Before\r\nthe update";
    p.documentAfter = "After";
    p.ignoreMissingUpdate = 1;
    p.overwriteOnAdd = 1;
    p.ignoreMissingDelete = 1;
    p.verifyMode = 1;
    w::AddEntry add;
    add.name = "new\\file.dat";
    add.fileTime = w::FileTimeValue::FromTicks(42);
    add.contents = Bytes(100, 7);
    p.adds.push_back(add);
    p.deletes.push_back({"old.dll", w::DateSizeDigest(w::FileTimeValue::FromTicks(9), 1234)});
    return p;
}

TEST(PackageReader, WorkedExampleByteForByte) {
    const Bytes stream = w::DiffStream(4).CopyBlocks(0, 1).End().Data();
    const size_t L = stream.size();
    w::Layout layout;
    Bytes package = w::BuildPackage(WorkedExample(stream), &layout);
    ASSERT_EQ(package.size(), 111 + L);

    const uint8_t head[] = {'K', 'Z', 'P', ' ', 0x78, 0x00, 3,   'A', 'p', 'p', 3,  '1', '.',
                            '0', 3,   '1', '.', '1',  0,    0,   1,   0,   0,   3,  2,   3,
                            'A', 'p', 'p', 0,   0,    0,    0,   0,   0,   0,   0,  0,   0,
                            0,   0,   0,   0,   1,    0,    0,   0,   0,   0,   0,  0,   0,
                            0,   0,   0,   7,   'a',  'p',  'p', '.', 'e', 'x', 'e'};
    ASSERT_EQ(sizeof(head), 63u);
    EXPECT_EQ(0, std::memcmp(package.data(), head, sizeof(head)));
    // dataOffset 95 at offset 87, dataLength L at 91, the stream at 95.
    EXPECT_EQ(package[87], 95);
    EXPECT_EQ(package[91], L);
    EXPECT_EQ(0, std::memcmp(package.data() + 95, stream.data(), L));
    w::Digest trailer = w::Md5(Bytes(package.begin(), package.begin() + 95 + L));
    EXPECT_EQ(0, std::memcmp(package.data() + 95 + L, trailer.data(), 16));

    Bytes file = w::MakeStubImage();
    file.insert(file.end(), package.begin(), package.end());
    ASSERT_EQ(file.size(), 0x18000 + 111 + L);

    ForwardPass pass;
    ASSERT_EQ(pass.Run(WriteUpdater(file)), kResultOk) << pass.stoppedAt;
    EXPECT_EQ(pass.header.formatVersion, 120);
    EXPECT_STREQ(pass.state.title, "App");
    EXPECT_STREQ(pass.state.oldVersion, "1.0");
    EXPECT_STREQ(pass.state.newVersion, "1.1");
    EXPECT_STREQ(pass.state.copyrightText, "");
    EXPECT_EQ(pass.state.deleteBackupsDefault, 1);
    EXPECT_EQ(pass.folder.folderType, 3);
    EXPECT_EQ(pass.folder.rootOrBase, 2);
    EXPECT_STREQ(pass.folder.path, "App");
    ASSERT_EQ(pass.updates.size(), 1u);
    EXPECT_STREQ(pass.updates[0].name, "app.exe");
    EXPECT_EQ(pass.updates[0].dataOffset, 95u);
    EXPECT_EQ(pass.updates[0].dataLength, L);
    EXPECT_EQ(pass.updates[0].fileTime.high, 0x01D0A1B2u);
    EXPECT_EQ(pass.updates[0].fileTime.low, 0xC3D4E5F6u);
}

TEST(PackageReader, EverySectionOfVersion120ReachesItsPlace) {
    ForwardPass pass;
    ASSERT_EQ(pass.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), EverySection()))),
              kResultOk)
        << pass.stoppedAt;
    const UpdaterState& s = pass.state;
    EXPECT_EQ(pass.header.passwordFlag, 1);
    w::Digest secret = w::Md5(std::string("secret"));
    EXPECT_EQ(0, std::memcmp(s.passwordDigest, secret.data(), 16));
    EXPECT_EQ(s.deleteBackupsDefault, 0);
    EXPECT_STREQ(s.copyrightText, "(c) Example");
    ASSERT_NE(pass.folder.rules, nullptr);
    ASSERT_EQ(pass.folder.rules->Count(), 2);
    auto* second = static_cast<FolderRule*>(pass.folder.rules->Get(1));
    EXPECT_EQ(second->ruleKind, 2);
    EXPECT_EQ(second->rootOrBase, 3);
    EXPECT_STREQ(second->rulePath, "vendor.ini");
    EXPECT_STREQ(second->ruleName, "Paths");
    EXPECT_STREQ(second->ruleKey, "Root");
    EXPECT_EQ(second->resultVariable, 1);
    EXPECT_EQ(pass.check.checkType, 2);
    EXPECT_STREQ(pass.check.programName, "app.exe");
    EXPECT_EQ(pass.check.waitForExit, 1);
    EXPECT_STREQ(s.launchFile, "readme.txt");
    ASSERT_NE(pass.documentBefore, nullptr);
    EXPECT_STREQ(pass.documentBefore, "Before\r\nthe update");
    EXPECT_STREQ(pass.documentAfter, "After");
    EXPECT_EQ(s.ignoreMissingUpdate, 1);
    EXPECT_EQ(s.overwriteOnAdd, 1);
    EXPECT_EQ(s.ignoreMissingDelete, 1);
    EXPECT_EQ(pass.lists.verifyMode, 1);
    ASSERT_EQ(pass.adds.size(), 1u);
    EXPECT_STREQ(pass.adds[0].name, "new\\file.dat");
    EXPECT_EQ(pass.adds[0].dataLength, 100u);
    ASSERT_EQ(pass.deletes.size(), 1u);
    EXPECT_STREQ(pass.deletes[0].name, "old.dll");
    EXPECT_EQ(pass.deletes[0].digest[8], 1234 & 0xFF);
    EXPECT_EQ(pass.deletes[0].dataOffset, 0u);
}

TEST(PackageReader, OlderVersionsLackTheirSections) {
    w::Package p = EverySection();
    p.formatVersion = 110;
    p.passwordFlag = 0;
    ForwardPass v110;
    ASSERT_EQ(v110.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))), kResultOk)
        << v110.stoppedAt;
    EXPECT_EQ(v110.state.deleteBackupsDefault, 1);  // no such field before 120
    EXPECT_EQ(v110.state.codePage, 0u);
    EXPECT_EQ(v110.folder.folderType, 4);  // type 4 reads no rules before 120
    EXPECT_EQ(v110.folder.rules, nullptr);
    EXPECT_FALSE(v110.folder.hasRecord);
    EXPECT_EQ(v110.check.checkType, 2);
    EXPECT_STREQ(v110.documentAfter, "After");
    EXPECT_EQ(v110.state.ignoreMissingUpdate, 0);
    EXPECT_EQ(v110.state.overwriteOnAdd, 0);
    EXPECT_EQ(v110.adds.size(), 1u);

    p.formatVersion = 100;
    ForwardPass v100;
    ASSERT_EQ(v100.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))), kResultOk)
        << v100.stoppedAt;
    EXPECT_EQ(v100.check.checkType, 0);  // no running-program section
    EXPECT_STREQ(v100.state.launchFile, "");
    EXPECT_EQ(v100.documentBefore, nullptr);
    EXPECT_EQ(v100.deletes.size(), 1u);
}

TEST(PackageReader, HeaderRefusesWrongMagicAndNewerVersions) {
    Bytes file = w::BuildUpdaterFile(w::MakeStubImage(), WorkedExample({}));
    Bytes wrongMagic = file;
    wrongMagic[0x18000 + 2] = 'X';
    ForwardPass magic;
    EXPECT_EQ(magic.Run(WriteUpdater(wrongMagic)), kErrorNotPackage);

    // Above 120 only the compact version is known: those on either side of it
    // are refused like any other newer one.
    w::Package newer = WorkedExample({});
    for (uint16_t unknown : {121, 129, 131, 0xFFFF}) {
        newer.formatVersion = unknown;
        ForwardPass version;
        EXPECT_EQ(version.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), newer))),
                  kErrorPackageVersion)
            << unknown;
    }
    // The check is unsigned: nothing lower is refused.
    newer.formatVersion = 0;
    ForwardPass zero;
    EXPECT_EQ(zero.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), newer))), kResultOk);

    // A program file without a package.
    ForwardPass bare;
    EXPECT_EQ(bare.Run(WriteUpdater(w::MakeStubImage())), kErrorReadPackage);
}

TEST(PackageReader, OnlyPasswordFlagOneCarriesADigest) {
    w::Package p = WorkedExample({});
    p.passwordFlag = 2;  // any value but 1: no digest follows
    ForwardPass pass;
    ASSERT_EQ(pass.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))), kResultOk);
    EXPECT_EQ(pass.header.passwordFlag, 2);
    EXPECT_EQ(pass.folder.folderType, 3);
}

TEST(PackageReader, CheckTypesOtherThanOneAndTwoReadNothing) {
    for (uint8_t type : {0, 3, 200, 255}) {
        w::Package p = EverySection();
        p.check = {};
        p.check.type = type;
        ForwardPass pass;
        ASSERT_EQ(pass.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))), kResultOk)
            << "type " << int(type) << " stopped at " << pass.stoppedAt;
        EXPECT_STREQ(pass.state.launchFile, "readme.txt");
    }
    w::Package window = EverySection();
    window.check = {1, "Main Window", "AppClass", "", 1};
    ForwardPass pass;
    ASSERT_EQ(pass.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), window))), kResultOk);
    EXPECT_STREQ(pass.check.windowTitle, "Main Window");
    EXPECT_STREQ(pass.check.windowClass, "AppClass");
    EXPECT_EQ(pass.check.waitForExit, 1);
}

TEST(PackageReader, TruncatedAtEveryByteStopsWithAReadError) {
    Bytes full = w::BuildUpdaterFile(w::MakeStubImage(), EverySection());
    w::Layout layout;
    w::BuildPackage(EverySection(), &layout);
    const std::string path = test::NewScratchFolder() + "\\cut.exe";
    // Every cut inside the sections the forward pass reads.
    for (size_t cut = 0x18000; cut < 0x18000 + layout.listsEnd; ++cut) {
        ASSERT_TRUE(test::WriteBytes(path, Bytes(full.begin(), full.begin() + cut)));
        ForwardPass pass;
        Result r = pass.Run(path);
        ASSERT_EQ(r, kErrorReadPackage) << "cut at package byte " << cut - 0x18000;
    }
}

TEST(PackageReader, CountsAndLengthsBeyondThePackageFailAtOnce) {
    w::Package p = WorkedExample({});
    p.updates.clear();
    p.updateCountOverride = 0xFFFFFFFF;
    ForwardPass entries;
    EXPECT_EQ(entries.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))),
              kErrorReadPackage);
    EXPECT_EQ(entries.stoppedAt, "lists");

    w::Package rules = EverySection();
    rules.target.ruleCountOverride = 0xFFFFFFFF;
    ForwardPass folder;
    EXPECT_EQ(folder.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), rules))),
              kErrorReadPackage);
    EXPECT_EQ(folder.stoppedAt, "folder");

    // A document whose length says more than the package holds.
    Bytes file = w::BuildUpdaterFile(w::MakeStubImage(), EverySection());
    const std::string before = "Before\r\nthe update";
    auto at = std::search(file.begin() + 0x18000, file.end(), before.begin(), before.end());
    ASSERT_NE(at, file.end());
    at[-1] = 0xFF;
    at[-2] = 0xFF;
    at[-3] = 0xFF;
    at[-4] = 0xFF;
    ForwardPass document;
    EXPECT_EQ(document.Run(WriteUpdater(file)), kErrorReadPackage);
    EXPECT_EQ(document.stoppedAt, "documents");
}

TEST(PackageReader, ShortStringsOfEveryLengthAreTerminated) {
    w::Package p = WorkedExample({});
    p.title = std::string(255, 'T');
    p.oldVersion = "";
    p.newVersion = std::string(1, 'n');
    ForwardPass pass;
    ASSERT_EQ(pass.Run(WriteUpdater(w::BuildUpdaterFile(w::MakeStubImage(), p))), kResultOk);
    EXPECT_EQ(std::string(pass.state.title), p.title);
    EXPECT_STREQ(pass.state.oldVersion, "");
    EXPECT_STREQ(pass.state.newVersion, "n");
}

}  // namespace
}  // namespace kzp

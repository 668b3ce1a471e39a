// Update, add and delete of single files, and the backup names.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/file_operations.h"
#include "platform/posix/posix_os.h"
#include "support/file_helpers.h"
#include "tests/support/faulty_os.h"
#include "tests/support/package_fixture.h"
#include "tests/support/test_platform.h"

namespace kzp {
namespace {

using test::Bytes;
using Log = std::vector<std::pair<uint32_t, std::string>>;

constexpr uint64_t kOldTime = 0x01C3D3A1B2C3D4E0ull;
constexpr uint64_t kNewTime = 0x01C4D4E5F6A7B8C0ull;

Bytes Content(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class FileOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = test::NewScratchFolder() + "\\target";
        test::MakeFolder(folder_);
        state_.SetTargetFolder(folder_);
        state_.SetOldVersion("2004/01/06");
    }

    std::string Path(const std::string& name) const { return folder_ + "\\" + name; }

    void Put(const std::string& name, const Bytes& data) {
        ASSERT_TRUE(test::WriteBytes(Path(name), data));
        ASSERT_TRUE(test::SetFileTimeOf(Path(name), kOldTime));
    }
    Bytes Get(const std::string& name) const {
        Bytes data;
        EXPECT_TRUE(test::ReadBytes(Path(name), &data)) << name;
        return data;
    }
    uint64_t TimeOf(const std::string& name) const {
        uint64_t ticks = 0;
        test::FileTimeOf(Path(name), &ticks);
        return ticks;
    }

    // Writes the package and opens it; entries come from its layout.
    void Build() {
        updater_ = test::WriteUpdaterFile(package_, &state_.state());
        opened_ = std::make_unique<test::OpenedPackage>(updater_.path);
        ASSERT_TRUE(opened_->ok());
    }

    Result Update(size_t i) {
        return Run([&] {
            return ApplyUpdateEntry(
                opened_->file(), test::UpdateEntryOf(package_, updater_.layout, i), state_.state());
        });
    }
    Result Add(size_t i) {
        return Run([&] {
            return ApplyAddEntry(opened_->file(), test::AddEntryOf(package_, updater_.layout, i),
                                 state_.state());
        });
    }
    Result Delete(const std::string& name) {
        return Run([&] { return ApplyDeleteEntry(name.c_str(), state_.state()); });
    }
    template <typename F>
    Result Run(F operation) {
        state_.sink().Clear();
        std::unique_ptr<test::ScopedOs> use;
        if (faulty_ != nullptr) use = std::make_unique<test::ScopedOs>(*faulty_);
        return operation();
    }

    Log Notifications() const {
        Log log;
        for (const test::Notification& n : state_.sink().All()) {
            log.emplace_back(n.code, test::CarriesText(n.code) ? n.text : std::to_string(n.value));
        }
        return log;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& [name, data] : test::ReadTree(folder_)) names.push_back(name);
        return names;
    }

    std::string folder_;
    test::ScopedUpdaterState state_;
    writer::Package package_;
    test::UpdaterFile updater_;
    std::unique_ptr<test::OpenedPackage> opened_;
    test::FaultyOs* faulty_ = nullptr;
};

writer::UpdateEntry UpdateOf(const std::string& name, const writer::DiffStream& stream) {
    writer::UpdateEntry entry;
    entry.name = name;
    entry.fileTime = writer::FileTimeValue::FromTicks(kNewTime);
    entry.stream = stream.Data();
    return entry;
}

writer::AddEntry AddOf(const std::string& name, const Bytes& contents) {
    writer::AddEntry entry;
    entry.name = name;
    entry.fileTime = writer::FileTimeValue::FromTicks(kNewTime);
    entry.contents = contents;
    return entry;
}

TEST_F(FileOperations, UpdateMovesTheOldFileAsideAndRebuildsIt) {
    test::MakeFolder(Path("bin"));
    Put("bin\\tool.dll", Text("ABCDEFGH"));
    writer::DiffStream stream(4);
    stream.CopyBlock(4).LiteralRange(Text("-new")).End();
    package_.updates.push_back(UpdateOf("bin\\tool.dll", stream));
    Build();

    EXPECT_EQ(Update(0), kResultOk);
    EXPECT_EQ(Get("bin\\tool.dll"), Text("EFGH-new"));
    EXPECT_EQ(TimeOf("bin\\tool.dll"), kNewTime);
    EXPECT_EQ(Get("bin\\tool.dll.2004_01_06.old"), Text("ABCDEFGH"));
    EXPECT_EQ(TimeOf("bin\\tool.dll.2004_01_06.old"), kOldTime);
    EXPECT_EQ(state_.ChangedFiles(), std::vector<std::string>{Path("bin\\tool.dll")});
    const Log log = Notifications();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(),
              (std::pair<uint32_t, std::string>{SN_UPDATE_FILE, Path("bin\\tool.dll")}));
    EXPECT_EQ(log.back(), (std::pair<uint32_t, std::string>{SN_FILE_PROGRESS, "1000"}));
}

TEST_F(FileOperations, UpdateOfAMissingFile) {
    package_.updates.push_back(UpdateOf("gone.dll", writer::DiffStream(4).End()));
    Build();
    for (uint8_t flag : {0, 2}) {
        state_.state().ignoreMissingUpdate = flag;
        EXPECT_EQ(Update(0), kErrorOldFileMissing);
        EXPECT_EQ(Notifications(), (Log{{SN_UPDATE_FILE, Path("gone.dll")}}));
    }
    state_.state().ignoreMissingUpdate = 1;
    EXPECT_EQ(Update(0), kResultOk);
    EXPECT_EQ(Notifications(), (Log{{SN_UPDATE_SKIPPED, Path("gone.dll")}}));
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(state_.ChangedFiles().empty());
}

TEST_F(FileOperations, ABackupAlreadyThereLeavesTheFileUntouched) {
    Put("app.exe", Text("old program"));
    Put("app.exe.2004_01_06.old", Text("left from an earlier run"));
    Put("data.bin", Text("data"));
    Put("data.bin.2004_01_06.old", Text("earlier data"));
    package_.updates.push_back(UpdateOf("app.exe", writer::DiffStream(4).End()));
    package_.adds.push_back(AddOf("data.bin", Text("new data")));
    Build();
    state_.state().overwriteOnAdd = 1;

    EXPECT_EQ(Update(0), kErrorRename);
    EXPECT_EQ(Add(0), kErrorRename);
    EXPECT_EQ(Delete("app.exe"), kErrorRename);
    EXPECT_EQ(Get("app.exe"), Text("old program"));
    EXPECT_EQ(Get("app.exe.2004_01_06.old"), Text("left from an earlier run"));
    EXPECT_EQ(Get("data.bin"), Text("data"));
    EXPECT_EQ(Get("data.bin.2004_01_06.old"), Text("earlier data"));
    EXPECT_EQ(TimeOf("app.exe"), kOldTime);
    EXPECT_TRUE(state_.ChangedFiles().empty());
}

TEST_F(FileOperations, AddCopiesInChunksWithProgress) {
    const Bytes contents = Content(2500, 1);
    package_.adds.push_back(AddOf("new\\sub\\file.bin", contents));
    package_.adds.push_back(AddOf("empty.txt", {}));
    Build();

    EXPECT_EQ(Add(0), kResultOk);
    EXPECT_EQ(Notifications(), (Log{{SN_ADD_FILE, Path("new\\sub\\file.bin")},
                                    {SN_FILE_PROGRESS, "409"},
                                    {SN_FILE_PROGRESS, "819"},
                                    {SN_FILE_PROGRESS, "1000"},
                                    {SN_FILE_PROGRESS, "1000"}}));
    EXPECT_EQ(Get("new\\sub\\file.bin"), contents);
    EXPECT_EQ(TimeOf("new\\sub\\file.bin"), kNewTime);

    EXPECT_EQ(Add(1), kResultOk);
    EXPECT_EQ(
        Notifications(),
        (Log{{SN_ADD_FILE, Path("empty.txt")}, {SN_FILE_PROGRESS, "0"}, {SN_FILE_PROGRESS, "0"}}));
    EXPECT_TRUE(Get("empty.txt").empty());
    EXPECT_EQ(TimeOf("empty.txt"), kNewTime);
    EXPECT_EQ(state_.ChangedFiles(),
              (std::vector<std::string>{Path("new\\sub\\file.bin"), Path("empty.txt")}));
}

TEST_F(FileOperations, AddOntoAnExistingFile) {
    Put("conf.ini", Text("user settings"));
    package_.adds.push_back(AddOf("conf.ini", Text("shipped settings")));
    Build();

    for (uint8_t flag : {0, 2}) {
        state_.state().overwriteOnAdd = flag;
        EXPECT_EQ(Add(0), kErrorAddExists);
        EXPECT_EQ(Notifications(), (Log{{SN_ADD_FILE, Path("conf.ini")}}));
        EXPECT_EQ(Get("conf.ini"), Text("user settings"));
    }
    state_.state().overwriteOnAdd = 1;
    EXPECT_EQ(Add(0), kResultOk);
    EXPECT_EQ(Notifications().front(),
              (std::pair<uint32_t, std::string>{SN_ADD_OVERWRITE, Path("conf.ini")}));
    EXPECT_EQ(Notifications().size(), 3u) << "23, then the progress values; no 14";
    EXPECT_EQ(Get("conf.ini"), Text("shipped settings"));
    EXPECT_EQ(Get("conf.ini.2004_01_06.old"), Text("user settings"));
    EXPECT_EQ(state_.ChangedFiles(), std::vector<std::string>{Path("conf.ini")}) << "recorded once";
}

TEST_F(FileOperations, AnOverwritingAddIsRecordedBeforeTheFolderStep) {
    // A target folder without a drive letter fails the folder step; the file
    // moved aside must already be recorded so that the rollback finds it.
    Put("conf.ini", Text("user settings"));
    package_.adds.push_back(AddOf("conf.ini", Text("shipped")));
    Build();
    if (test::Posix() == nullptr) GTEST_SKIP() << "needs a folder reachable without a drive";
    std::string rooted = folder_.substr(2);  // "\scratchN\target"
    state_.SetTargetFolder(rooted);
    state_.state().overwriteOnAdd = 1;
    EXPECT_EQ(Add(0), kErrorNewFileOpen);
    EXPECT_EQ(state_.ChangedFiles(), std::vector<std::string>{rooted + "\\conf.ini"});
    EXPECT_EQ(Get("conf.ini.2004_01_06.old"), Text("user settings"));
}

TEST_F(FileOperations, AddFailuresAfterRecording) {
    package_.adds.push_back(AddOf("a.bin", Content(3000, 2)));
    package_.adds.push_back(AddOf("b.bin", Content(10, 3)));
    package_.adds.back().dataOffsetOverride = 0x7FFFFFF0u;  // beyond the package
    Build();
    // The package cannot be positioned: no progress, the empty file stays
    // recorded for the rollback.
    EXPECT_EQ(Add(1), kErrorReadPackage);
    EXPECT_EQ(Notifications(), (Log{{SN_ADD_FILE, Path("b.bin")}}));
    EXPECT_EQ(state_.ChangedFiles(), std::vector<std::string>{Path("b.bin")});

    // A cancel during the copy: the final value, no time stamp.
    int progress = 0;
    state_.sink().onSend = [&](const test::Notification& n) {
        if (n.code == SN_FILE_PROGRESS && ++progress == 1) RequestCancel(state_.state());
    };
    EXPECT_EQ(Add(0), kResultCancelled);
    state_.sink().onSend = nullptr;
    EXPECT_EQ(
        Notifications(),
        (Log{{SN_ADD_FILE, Path("a.bin")}, {SN_FILE_PROGRESS, "341"}, {SN_FILE_PROGRESS, "341"}}));
    EXPECT_NE(TimeOf("a.bin"), kNewTime);
    EXPECT_EQ(Get("a.bin").size(), 1024u);

    // The second chunk's write is refused and Cancel is pressed at the
    // progress that follows: the write is what failed. The progress shown
    // before the final value counts only the chunk on disk.
    test::RemovePath(Path("a.bin"));
    test::FaultyOs faulty(test::BaseOs());
    faulty.SetDiskSpace(1500);
    faulty_ = &faulty;
    progress = 0;
    state_.sink().onSend = [&](const test::Notification& n) {
        if (n.code == SN_FILE_PROGRESS && ++progress == 2) RequestCancel(state_.state());
    };
    state_.state().cancelRequested = 0;
    EXPECT_EQ(Add(0), kErrorNewFileWrite);
    state_.sink().onSend = nullptr;
    faulty_ = nullptr;
    EXPECT_EQ(
        Notifications(),
        (Log{{SN_ADD_FILE, Path("a.bin")}, {SN_FILE_PROGRESS, "341"}, {SN_FILE_PROGRESS, "682"}}));
    EXPECT_EQ(Get("a.bin").size(), 1500u);

    // With its space taken ahead, the file is written once, at the end; a
    // device that refuses that write fails the add all the same.
    test::RemovePath(Path("a.bin"));
    test::FaultyOs device(test::BaseOs());
    device.FailNth(test::OsCall::kWrite, 1);
    faulty_ = &device;
    state_.state().cancelRequested = 0;
    EXPECT_EQ(Add(0), kErrorNewFileWrite);
    faulty_ = nullptr;
    EXPECT_EQ(device.Count(test::OsCall::kWrite), 1u);
    EXPECT_NE(TimeOf("a.bin"), kNewTime);
}

TEST_F(FileOperations, DeleteMovesTheFileToItsBackup) {
    Put("obsolete.dll", Text("old"));
    Build();
    EXPECT_EQ(Delete("obsolete.dll"), kResultOk);
    EXPECT_EQ(Notifications(), (Log{{SN_DELETE_FILE, Path("obsolete.dll")},
                                    {SN_FILE_PROGRESS, "0"},
                                    {SN_FILE_PROGRESS, "1000"}}));
    EXPECT_EQ(Files(), std::vector<std::string>{"obsolete.dll.2004_01_06.old"});
    EXPECT_EQ(TimeOf("obsolete.dll.2004_01_06.old"), kOldTime);
    EXPECT_EQ(state_.ChangedFiles(), std::vector<std::string>{Path("obsolete.dll")});

    EXPECT_EQ(Delete("gone.dll"), kErrorOldFileMissing);
    EXPECT_EQ(Notifications(), (Log{{SN_DELETE_FILE, Path("gone.dll")}}));
    state_.state().ignoreMissingDelete = 1;
    EXPECT_EQ(Delete("gone.dll"), kResultOk);
    EXPECT_EQ(Notifications(), (Log{{SN_DELETE_SKIPPED, Path("gone.dll")}}));
}

TEST_F(FileOperations, AChangeThatCannotBeRecordedIsUndone) {
    Put("a.dll", Text("old a"));
    Put("b.dll", Text("old b"));
    Put("c.ini", Text("old c"));
    package_.updates.push_back(UpdateOf("a.dll", writer::DiffStream(4).End()));
    package_.adds.push_back(AddOf("c.ini", Text("new c")));
    package_.adds.push_back(AddOf("d.txt", Text("new d")));
    Build();
    state_.state().overwriteOnAdd = 1;
    // Storing the copy of the path fails (the list's memory is exhausted).
    test::FaultyOs faulty(test::BaseOs());
    faulty.FailAll(test::OsCall::kGlobalAlloc);
    faulty_ = &faulty;
    EXPECT_EQ(Update(0), kErrorRename);
    EXPECT_EQ(Delete("b.dll"), kErrorRename);
    EXPECT_EQ(Add(0), kErrorRename);
    EXPECT_EQ(Add(1), kErrorNewFileOpen);
    faulty_ = nullptr;
    EXPECT_EQ(Files(), (std::vector<std::string>{"a.dll", "b.dll", "c.ini"}));
    EXPECT_EQ(Get("a.dll"), Text("old a"));
    EXPECT_EQ(Get("c.ini"), Text("old c"));
    EXPECT_TRUE(state_.ChangedFiles().empty());

    // Without a list at all, the same.
    StringList* list = state_.state().changedFiles;
    state_.state().changedFiles = nullptr;
    EXPECT_EQ(Update(0), kErrorRename);
    state_.state().changedFiles = list;
    EXPECT_EQ(Get("a.dll"), Text("old a"));
}

TEST_F(FileOperations, OverlongPathsAreRefusedNotCut) {
    // The folder fills the path so that names reach the limit.
    const size_t room = 259 - TextLength(state_.state().targetFolder);
    ASSERT_GT(room, 40u);
    const std::string longest(room, 'x');
    Build();
    EXPECT_EQ(Delete(longest + "y"), kErrorOldFileOpen);
    package_.adds.push_back(AddOf(longest + "y", Text("content")));
    package_.updates.push_back(UpdateOf(longest + "y", writer::DiffStream(4).End()));
    Build();
    EXPECT_EQ(Add(0), kErrorNewFileOpen);
    EXPECT_EQ(Update(0), kErrorOldFileOpen);
    EXPECT_TRUE(Notifications().empty());

    // The full path fits, the backup path does not: the move step refuses.
    const std::string name(room - 3, 'z');
    Put(name, Text("keep me"));
    EXPECT_EQ(Delete(name), kErrorRename);
    EXPECT_EQ(Get(name), Text("keep me"));
    EXPECT_TRUE(state_.ChangedFiles().empty());
}

TEST(BackupNames, ReservedCharactersBecomeUnderscores) {
    char name[kMaxPath];
    ASSERT_TRUE(BuildBackupName("bin\\tool.dll", "2004/01/06", name));
    EXPECT_STREQ(name, "bin\\tool.dll.2004_01_06.old");
    ASSERT_TRUE(BuildBackupName("a,b;c.txt", "Ver: 2 <beta>|\"x\"*?", name));
    EXPECT_STREQ(name, "a_b_c.txt.Ver_ 2 _beta___x___.old");

    char path[kMaxPath];
    ASSERT_TRUE(BuildBackupPath("C:\\App, Inc\\bin\\tool.dll", "2004/01/06", path));
    EXPECT_STREQ(path, "C:\\App, Inc\\bin\\tool.dll.2004_01_06.old")
        << "the folder part is kept as it is";
    // A "/" in the entry's folder part separates folders; the backup lies
    // beside the file, in that folder.
    ASSERT_TRUE(BuildBackupPath("C:\\App\\bin/sub/tool.dll", "2004/01/06", path));
    EXPECT_STREQ(path, "C:\\App\\bin/sub/tool.dll.2004_01_06.old");
    ASSERT_TRUE(BuildBackupPath("C:\\App\\noext", "1.0", path));
    EXPECT_STREQ(path, "C:\\App\\noext.1.0.old");

    const std::string long200(200, 'v');
    EXPECT_FALSE(BuildBackupName("a-name-of-sixty-bytes-a-name-of-sixty-bytes-a-name-of-sixty",
                                 long200.c_str(), name));
    EXPECT_FALSE(BuildBackupPath(("C:\\" + std::string(250, 'f')).c_str(), "1.0", path));
}

TEST(BackupNames, DoubleByteCharactersKeepTheirSecondByte) {
    // "ポ" in code page 932 is 0x83 0x7C; its second byte is the code of "|".
    const char name[] = "\x83\x7C\x83\x93.txt";
    char backup[kMaxPath];
    ASSERT_TRUE(BuildBackupName(name, "2004/01/06", backup));
    EXPECT_STREQ(backup, "\x83\x7C\x83\x93.txt.2004_01_06.old");
    // The same through the full path, with a double-byte character whose
    // second byte is a backslash ("ソ", 0x83 0x5C) in the folder name.
    if (TheOs().GetAnsiCodePage() != 932) {
        GTEST_SKIP() << "needs the system code page 932";
    }
    char path[kMaxPath];
    ASSERT_TRUE(BuildBackupPath("C:\\\x83\x5C|\\\x83\x7C.txt", "1|2", path));
    EXPECT_STREQ(path, "C:\\\x83\x5C|\\\x83\x7C.txt.1_2.old");
}

}  // namespace
}  // namespace kzp

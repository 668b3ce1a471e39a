// Packages whose file names or version names try to reach outside the target
// folder, or collide with each other: every such run either is refused before
// anything changes or, once the window has restored the changed files, leaves
// the target folder exactly as it was, and nothing outside it is touched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/program_helpers.h"
#include "support/result_code.h"
#include "tests/support/robust_run.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
using test::TreeState;
namespace w = writer;

Bytes B(const std::string& s) {
    return test::BytesOf(s);
}

constexpr uint64_t kOldTime = 0x01D0123400000000ull;
constexpr uint64_t kNewTime = 0x01D0567800000000ull;

// A scratch folder holding the target folder and, beside it, a file that no
// package may touch.
struct Folders {
    std::string root = test::NewScratchFolder();
    std::string target = root + "\\target";
    TreeState outside;

    Folders() {
        outside["outside.txt"] = {B("not yours"), kOldTime};
        EXPECT_TRUE(test::MakeFolder(target));
        EXPECT_TRUE(test::WriteTreeState(root, outside));
    }
    // The scratch folder as it must stay: the outside file and the target
    // folder's files.
    TreeState Whole(const TreeState& inTarget) const {
        TreeState whole = outside;
        for (const auto& [name, file] : inTarget) whole["target\\" + name] = file;
        return whole;
    }
};

w::UpdateEntry Update(const std::string& name, const std::string& old, const std::string& tail) {
    w::UpdateEntry e;
    e.name = name;
    e.digest = w::Md5(old);
    e.fileTime = w::FileTimeValue::FromTicks(kNewTime);
    e.stream = w::DiffStream(8)
                   .CopyRange(0, static_cast<uint32_t>(old.size() < 8 ? old.size() : 8))
                   .LiteralRange(B(tail))
                   .End()
                   .Data();
    return e;
}

w::AddEntry Add(const std::string& name, const std::string& contents) {
    w::AddEntry e;
    e.name = name;
    e.fileTime = w::FileTimeValue::FromTicks(kNewTime);
    e.contents = B(contents);
    return e;
}

enum class List { kUpdate, kAdd, kDelete };

// Names that leave the folder, name a drive, the root, a folder or a device.
// The digests are those of the outside file, so that nothing but the name
// stands between the package and that file.
const char* const kHostileNames[] = {
    "..\\outside.txt",
    "sub\\..\\..\\outside.txt",
    "../outside.txt",
    ".\\..\\outside.txt",
    "...\\outside.txt",
    "C:\\outside.txt",
    "C:outside.txt",
    "\\outside.txt",
    "/outside.txt",
    "\\\\server\\share\\outside.txt",
    "sub\\",
    "sub/",
    "",
    "CON",
    "nul.txt",
    "sub\\aux",
    "outside.txt:stream",
    "*.txt",
    "out?ide.txt",
};

TEST(HostileNamesTest, NamesOutsideTheTargetFolderAreRefusedBeforeAnythingChanges) {
    for (const char* name : kHostileNames) {
        for (List list : {List::kUpdate, List::kAdd, List::kDelete}) {
            SCOPED_TRACE(std::string(name) + " in list " + std::to_string(static_cast<int>(list)));
            Folders folders;
            TreeState target{{"app.exe", {B("old app"), kOldTime}}};
            ASSERT_TRUE(test::WriteTreeState(folders.target, target));
            w::Package p = test::PackageForFolder(folders.target);
            // Skipping a missing file would be allowed: the name must not
            // even be looked up.
            p.ignoreMissingUpdate = 1;
            p.ignoreMissingDelete = 1;
            p.overwriteOnAdd = 1;
            p.updates.push_back(Update("app.exe", "old app", " v2"));
            if (list == List::kUpdate) p.updates.push_back(Update(name, "not yours", "!"));
            if (list == List::kAdd) p.adds.push_back(Add(name, "planted"));
            if (list == List::kDelete)
                p.deletes.push_back({name, w::Md5(std::string("not yours"))});

            test::WholeRun run;
            test::RunOutcome outcome = run.RunPackage(p);
            // The verification forms every path before the first change:
            // update and delete names fail as old files that cannot be
            // opened, add names as new files that cannot be created.
            const Result expected = list == List::kAdd ? kErrorNewFileOpen : kErrorOldFileOpen;
            EXPECT_EQ(outcome.result, expected);
            EXPECT_TRUE(outcome.changedFiles.empty());
            TreeState after = test::ReadTreeState(folders.root);
            EXPECT_EQ(test::DescribeDifference(folders.Whole(target), after), "");
        }
    }
}

TEST(HostileNamesTest, ADotComponentNamesTheSameFileAsWithoutIt) {
    Folders folders;
    TreeState target{{"app.exe", {B("old app"), kOldTime}},
                     {"bin\\old.dll", {B("old dll"), kOldTime}}};
    ASSERT_TRUE(test::WriteTreeState(folders.target, target));
    w::Package p = test::PackageForFolder(folders.target);
    p.updates.push_back(Update(".\\app.exe", "old app", " v2"));
    p.adds.push_back(Add("sub\\.\\new.txt", "added"));
    p.deletes.push_back({"bin/./old.dll", w::Md5(std::string("old dll"))});
    test::WholeRun run;
    EXPECT_EQ(run.RunPackage(p).result, kResultOk);
    TreeState after = test::ReadTreeState(folders.target);
    EXPECT_EQ(after["app.exe"].contents, B("old app v2"));
    EXPECT_EQ(after["sub\\new.txt"].contents, B("added"));
    EXPECT_EQ(after.count("bin\\old.dll"), 0u);
    EXPECT_EQ(after["app.exe.1.0.old"].contents, B("old app"));
    EXPECT_EQ(after["bin\\old.dll.1.0.old"].contents, B("old dll"));
}

TEST(HostileNamesTest, DoubleByteNamesWhoseTrailBytesLookReservedStayAccepted) {
    if (TheOs().GetAnsiCodePage() != 932) GTEST_SKIP() << "needs code page 932";
    Folders folders;
    // 0x83 0x7C is one character; its trail byte is the code of "|".
    const std::string name = "\x83|..txt";
    w::Package p = test::PackageForFolder(folders.target);
    p.adds.push_back(Add(name, "inside"));
    test::WholeRun run;
    EXPECT_EQ(run.RunPackage(p).result, kResultOk);
    TreeState after = test::ReadTreeState(folders.target);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after.begin()->second.contents, B("inside"));
}

// The old version name is part of every backup name. Reserved characters are
// replaced; a backslash would move the backup elsewhere, so it is refused
// before the file is moved.
TEST(HostileNamesTest, OldVersionNamesWithSeparatorsCannotPlaceBackupsElsewhere) {
    for (const char* version : {"1.0\\..\\..\\moved", "1.0\\sub", "..\\"}) {
        SCOPED_TRACE(version);
        Folders folders;
        TreeState target{{"app.exe", {B("old app"), kOldTime}},
                         {"gone.dll", {B("old dll"), kOldTime}}};
        ASSERT_TRUE(test::WriteTreeState(folders.target, target));
        for (bool deleteOnly : {false, true}) {
            w::Package p = test::PackageForFolder(folders.target);
            p.oldVersion = version;
            p.adds.push_back(Add("new.txt", "added first"));
            if (!deleteOnly) p.updates.push_back(Update("app.exe", "old app", " v2"));
            p.deletes.push_back({"gone.dll", w::Md5(std::string("old dll"))});
            test::WholeRun run;
            test::RunOutcome outcome = run.RunPackage(p);
            EXPECT_EQ(outcome.result, kErrorRename);
            EXPECT_EQ(
                test::DescribeDifference(folders.Whole(target), test::ReadTreeState(folders.root)),
                "");
        }
    }
}

TEST(HostileNamesTest, ReservedCharactersInVersionsGiveUnderscoredBackupsThatAreRestored) {
    Folders folders;
    TreeState target{{"bin\\tool.dll", {B("old tool"), kOldTime}},
                     {"readme.txt", {B("old readme"), kOldTime}}};
    ASSERT_TRUE(test::WriteTreeState(folders.target, target));
    w::Package p = test::PackageForFolder(folders.target);
    p.oldVersion = "2004/01/06 <beta>:*?|\"";
    p.updates.push_back(Update("bin\\tool.dll", "old tool", " v2"));
    p.deletes.push_back({"readme.txt", w::Md5(std::string("old readme"))});
    // Verified as it was; its backup name is taken once it is updated.
    p.deletes.push_back({"bin\\tool.dll", w::Md5(std::string("old tool"))});
    test::WholeRun run;
    test::RunOutcome outcome = run.RunPackage(p);
    EXPECT_EQ(outcome.result, kErrorRename);
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(test::DescribeDifference(target, test::ReadTreeState(folders.target)), "");

    // The same package without the failing entry: backups with underscores.
    p.deletes.pop_back();
    test::WholeRun second;
    EXPECT_EQ(second.RunPackage(p).result, kResultOk);
    TreeState after = test::ReadTreeState(folders.target);
    EXPECT_EQ(after.count("bin\\tool.dll.2004_01_06 _beta______.old"), 1u);
    EXPECT_EQ(after.count("readme.txt.2004_01_06 _beta______.old"), 1u);
}

// Names of 255 bytes: a path that would need more than 259 bytes is refused
// with the code of the step that forms it, never cut into another name.
TEST(HostileNamesTest, NamesThatMakePathsTooLongAreRefused) {
    Folders folders;
    const size_t room = 259 - (folders.target.size() + 1);  // bytes left for a name
    ASSERT_LT(room, 255u);
    const std::string tooLong(255, 'n');
    // Fits as a path, but its backup name (".1.0.old" longer) does not.
    const std::string noRoomForBackup(room, 'b');
    TreeState target{{"app.exe", {B("old app"), kOldTime}},
                     {noRoomForBackup, {B("old b"), kOldTime}}};
    ASSERT_TRUE(test::WriteTreeState(folders.target, target));

    struct Case {
        std::string name;
        List list;
        Result expected;
    };
    const Case cases[] = {
        {tooLong, List::kUpdate, kErrorOldFileOpen},
        {tooLong, List::kDelete, kErrorOldFileOpen},
        {tooLong, List::kAdd, kErrorNewFileOpen},
        {noRoomForBackup, List::kUpdate, kErrorRename},
        {noRoomForBackup, List::kDelete, kErrorRename},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.name.size()) + " bytes, list " +
                     std::to_string(static_cast<int>(c.list)));
        w::Package p = test::PackageForFolder(folders.target);
        p.updates.push_back(Update("app.exe", "old app", " v2"));
        if (c.list == List::kUpdate) p.updates.push_back(Update(c.name, "old b", "!"));
        if (c.list == List::kAdd) p.adds.push_back(Add(c.name, "x"));
        if (c.list == List::kDelete) p.deletes.push_back({c.name, w::Md5(std::string("old b"))});
        test::WholeRun run;
        EXPECT_EQ(run.RunPackage(p).result, c.expected);
        EXPECT_EQ(
            test::DescribeDifference(folders.Whole(target), test::ReadTreeState(folders.root)), "");
    }
}

// The same file named twice in one list, or in two lists: the second change
// meets the first one's backup and fails; the restore puts the old file back.
TEST(HostileNamesTest, TheSameFileTwiceIsRefusedAndRestored) {
    struct Case {
        const char* what;
        uint8_t overwriteOnAdd;
        uint8_t ignoreMissingDelete;
        Result expected;
    };
    for (const Case& c :
         {Case{"update twice", 0, 0, kErrorRename}, Case{"add twice", 0, 0, kErrorAddExists},
          Case{"add twice over an old file", 1, 0, kErrorRename},
          Case{"delete twice", 0, 0, kErrorOldFileMissing},
          Case{"update then delete", 0, 0, kErrorRename},
          Case{"update then add", 1, 0, kErrorRename}}) {
        SCOPED_TRACE(c.what);
        Folders folders;
        TreeState target{{"a.txt", {B("old a"), kOldTime}}};
        ASSERT_TRUE(test::WriteTreeState(folders.target, target));
        w::Package p = test::PackageForFolder(folders.target);
        p.overwriteOnAdd = c.overwriteOnAdd;
        p.ignoreMissingDelete = c.ignoreMissingDelete;
        const std::string what = c.what;
        const w::DeleteEntry del{"a.txt", w::Md5(std::string("old a"))};
        if (what == "update twice") {
            p.updates = {Update("a.txt", "old a", "1"), Update("a.txt", "old a", "2")};
        } else if (what == "add twice") {
            p.adds = {Add("n.txt", "first"), Add("n.txt", "second")};
        } else if (what == "add twice over an old file") {
            p.adds = {Add("a.txt", "first"), Add("a.txt", "second")};
        } else if (what == "delete twice") {
            p.deletes = {del, del};
        } else if (what == "update then delete") {
            p.updates = {Update("a.txt", "old a", "1")};
            p.deletes = {del};
        } else {
            p.updates = {Update("a.txt", "old a", "1")};
            p.adds = {Add("a.txt", "added")};
        }
        test::WholeRun run;
        test::RunOutcome outcome = run.RunPackage(p);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_TRUE(outcome.restored);
        EXPECT_EQ(test::DescribeDifference(target, test::ReadTreeState(folders.target)), "");
    }
}

// An add whose name is the backup name of a file updated before it: with
// overwriting allowed, the add moves that backup aside to a backup of its
// own. Undone in the order the changes were made, the old file would get the
// added contents; undone last change first, every file returns.
TEST(HostileNamesTest, AnAddOverAnotherFilesBackupIsUndoneLastChangeFirst) {
    Folders folders;
    TreeState target{{"x.dat", {B("old x"), kOldTime}}};
    ASSERT_TRUE(test::WriteTreeState(folders.target, target));
    w::Package p = test::PackageForFolder(folders.target);
    p.overwriteOnAdd = 1;
    p.updates = {Update("x.dat", "old x", " v2")};
    p.adds = {Add("x.dat.1.0.old", "planted")};
    // Passes the verification; fails when it is applied, because its backup
    // name is taken by then.
    p.deletes = {{"x.dat", w::Md5(std::string("old x"))}};
    test::WholeRun run;
    test::RunOutcome outcome = run.RunPackage(p);
    EXPECT_EQ(outcome.result, kErrorRename);
    EXPECT_EQ(outcome.changedFiles.size(), 2u);
    EXPECT_EQ(test::DescribeDifference(target, test::ReadTreeState(folders.target)), "");
}

// The follow-up file is opened by the shell after a successful run: only a
// file inside the target folder.
TEST(HostileNamesTest, FollowUpFilesOutsideTheTargetFolderAreNotOpened) {
    char path[260];
    for (const char* name : kHostileNames) {
        EXPECT_FALSE(JoinFollowUpPath("C:\\App\\", name, 1252, path, sizeof(path))) << name;
        EXPECT_STREQ(path, "");
    }
    for (const char* name : {"..\\..\\Windows\\notepad.exe", "http://example.com/", "C:\\x.exe"}) {
        EXPECT_FALSE(JoinFollowUpPath("C:\\App", name, 932, path, sizeof(path))) << name;
    }
    ASSERT_TRUE(JoinFollowUpPath("C:\\App", "docs\\readme.html", 932, path, sizeof(path)));
    EXPECT_STREQ(path, "C:\\App\\docs\\readme.html");
}

}  // namespace
}  // namespace kzp

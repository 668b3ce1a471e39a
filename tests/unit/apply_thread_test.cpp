// Whole runs of the apply thread over updater files on disk, answered by a
// script and recorded by a sink.
#include "engine/apply_thread.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "engine/rollback.h"
#include "engine/status_notification.h"
#include "tests/support/package_fixture.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_prompts.h"
#include "tests/support/simulated_system.h"
#include "tests/support/test_platform.h"
#include "tools/package_writer/package_writer.h"

namespace kzp {
namespace {

using test::Bytes;
using writer::Package;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

constexpr writer::FileTimeValue kNewTime{0x5A5A0000u, 0x01D00000u};

writer::AddEntry Add(const std::string& name, const std::string& contents) {
    writer::AddEntry e;
    e.name = name;
    e.fileTime = kNewTime;
    e.contents = B(contents);
    return e;
}

// Counts the file handles that are open, over whatever seam is in use.
class OpenHandles : public test::FaultyOs {
  public:
    OpenHandles() : FaultyOs(TheOs()) {}
    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInherit, uint32_t disposition, uint32_t flags) override {
        FileHandle file =
            FaultyOs::CreateFileHandle(path, access, shareMode, noInherit, disposition, flags);
        if (file != kInvalidFile) ++open;
        return file;
    }
    bool CloseFile(FileHandle file) override {
        --open;
        return FaultyOs::CloseFile(file);
    }
    int open = 0;
};

class ApplyRunTest : public testing::Test {
  protected:
    void SetUp() override {
        state_ = std::make_unique<UpdaterState>();
        InitUpdaterState(state_.get(), kNoInstance);
        state_->sink = &sink_;
        state_->prompts = &prompts_;
        state_->threadHandle = 1;
        target_ = test::NewScratchFolder();
        savedCodePage_ = ansiCodePage;
    }
    void TearDown() override {
        ansiCodePage = savedCodePage_;
        ReleaseUpdaterState(state_.get());
    }

    // Version 120 with one English language block; the target folder is the
    // scratch folder, given as a complete path.
    Package Base() {
        Package p;
        p.title = "App";
        p.oldVersion = "1.0";
        p.newVersion = "1.1";
        p.copyright = "(c) kzp";
        writer::LanguageBlock block;
        block.codePage = 1252;
        block.fontFace = "Arial";
        block.fontHeight = 9;
        for (int k = 0; k < kCatalogueSlots; ++k) block.texts[k] = "<" + std::to_string(k) + ">";
        block.texts[kSlotCaption] = "%s updater (%s -> %s)";
        block.texts[kSlotHeading] = "Update %s from %s to %s";
        block.texts[kSlotConfirm] = "Update %s from %s to %s?";
        p.languages.push_back(block);
        p.target.type = 3;
        p.target.rootOrBase = 6;
        p.target.path = target_;
        return p;
    }

    // An old file in the target folder and the update entry that rebuilds it
    // as its first four bytes followed by `tail`.
    void AddUpdate(Package& p, const std::string& name, const std::string& old,
                   const std::string& tail) {
        ASSERT_TRUE(test::WriteBytes(target_ + "\\" + name, B(old)));
        writer::UpdateEntry e;
        e.name = name;
        e.digest = writer::Md5(old);
        e.fileTime = kNewTime;
        e.stream = writer::DiffStream(16).CopyRange(0, 4).LiteralRange(B(tail)).End().Data();
        p.updates.push_back(e);
    }
    void AddDelete(Package& p, const std::string& name, const std::string& contents) {
        ASSERT_TRUE(test::WriteBytes(target_ + "\\" + name, B(contents)));
        p.deletes.push_back({name, writer::Md5(contents)});
    }

    // Runs the thread over `bytes` (stub image + package, or anything else).
    Result RunFile(const Bytes& bytes) {
        std::string path = test::NewScratchFolder() + "\\update.exe";
        EXPECT_TRUE(test::WriteBytes(path, bytes));
        CopyText(state_->packagePath, kMaxPath, path.c_str());
        return RunThread();
    }
    Result Run(const Package& p) {
        test::WriteUpdaterFile(p, state_.get());
        return RunThread();
    }
    Result RunThread() {
        // One font per process: the product runs the thread once.
        ReleasePackageFont();
        OpenHandles handles;
        {
            test::ScopedOs use(handles);
            EXPECT_EQ(ApplyThread(state_.get()), 0u);
        }
        EXPECT_EQ(handles.open, 0) << "a file handle of the run was left open";
        // The end code is posted once, as the very last notification.
        const auto& all = sink_.All();
        EXPECT_FALSE(all.empty());
        for (size_t i = 0; i + 1 < all.size(); ++i) EXPECT_FALSE(all[i].posted) << i;
        if (!all.empty()) {
            EXPECT_TRUE(all.back().posted);
        }
        return state_->runResult;
    }

    // The codes sent, runs of 12 shown as one, the end code last.
    std::vector<uint32_t> Codes() const {
        std::vector<uint32_t> codes;
        for (const test::Notification& n : sink_.All()) {
            if (n.code == SN_FILE_PROGRESS && !codes.empty() && codes.back() == SN_FILE_PROGRESS) {
                continue;
            }
            codes.push_back(n.code);
        }
        return codes;
    }
    const test::Notification& End() const { return sink_.All().back(); }
    std::string Path(const std::string& name) const { return target_ + "\\" + name; }
    std::string Contents(const std::string& name) const {
        Bytes b;
        if (!test::ReadBytes(Path(name), &b)) return "(missing)";
        return std::string(b.begin(), b.end());
    }

    std::unique_ptr<UpdaterState> state_;
    test::RecordingSink sink_;
    test::ScriptedPrompts prompts_;
    std::string target_;
    uint32_t savedCodePage_ = 0;
};

TEST_F(ApplyRunTest, FullRunInOrder) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    p.adds.push_back(Add("sub\\b.dat", "added"));
    AddDelete(p, "c.txt", "obsolete");

    EXPECT_EQ(Run(p), kResultOk);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4,  5,  20, 10, 3,  25, 6,  8, 8,
                                              25, 11, 12,  13, 14, 12, 13, 15, 12, 13, 0}));
    EXPECT_EQ(End().value, 0);
    EXPECT_EQ(sink_.Values(SN_TOTAL_PROGRESS), (std::vector<intptr_t>{333, 666, 1000}));
    // The delete reports 0 and 1000 and nothing else.
    std::vector<intptr_t> progress = sink_.Values(SN_FILE_PROGRESS);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(std::vector<intptr_t>(progress.end() - 2, progress.end()),
              (std::vector<intptr_t>{0, 1000}));

    const std::string folder = target_ + "\\";
    EXPECT_EQ(sink_.Texts(SN_WINDOW_TITLE), (std::vector<std::string>{"App updater (1.0 -> 1.1)"}));
    EXPECT_EQ(sink_.Texts(SN_HEADING), (std::vector<std::string>{"Update App from 1.0 to 1.1"}));
    EXPECT_EQ(sink_.Texts(SN_VERIFY_FILE_MD5),
              (std::vector<std::string>{folder + "a.exe", folder + "c.txt"}));
    EXPECT_EQ(sink_.Texts(SN_UPDATE_FILE), (std::vector<std::string>{folder + "a.exe"}));
    EXPECT_EQ(sink_.Texts(SN_ADD_FILE), (std::vector<std::string>{folder + "sub\\b.dat"}));
    EXPECT_EQ(sink_.Texts(SN_DELETE_FILE), (std::vector<std::string>{folder + "c.txt"}));
    EXPECT_EQ(prompts_.questions, (std::vector<std::string>{"Update App from 1.0 to 1.1?"}));
    EXPECT_EQ(prompts_.captions, (std::vector<std::string>{"App updater (1.0 -> 1.1)"}));

    EXPECT_STREQ(state_->targetFolder, folder.c_str());
    EXPECT_EQ(state_->codePage, 1252u);
    EXPECT_EQ(Contents("a.exe"), "old NEW a");
    EXPECT_EQ(Contents("sub\\b.dat"), "added");
    EXPECT_EQ(Contents("c.txt"), "(missing)");
    EXPECT_EQ(Contents("a.exe.1.0.old"), "old contents of a");
    EXPECT_EQ(Contents("c.txt.1.0.old"), "obsolete");
}

TEST_F(ApplyRunTest, EmptyListsSucceedAndShowBothDocuments) {
    Package p = Base();
    p.launchFile = "app.exe";
    p.documentBefore = "read me first";
    p.documentAfter = "thanks";
    p.verifyMode = 255;
    size_t documentsAtFolder = 99;
    sink_.onSend = [&](const test::Notification& n) {
        if (n.code == SN_TARGET_FOLDER) documentsAtFolder = prompts_.documents.size();
    };
    EXPECT_EQ(Run(p), kResultOk);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 10, 3, 25, 7, 25, 0}));
    EXPECT_EQ(prompts_.documents, (std::vector<std::string>{"read me first", "thanks"}));
    EXPECT_EQ(documentsAtFolder, 1u);
    EXPECT_STREQ(state_->launchFile, "app.exe");
}

TEST_F(ApplyRunTest, NoToTheQuestionCancelsBeforeAnythingIsRead) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    p.SetPassword("secret");
    p.documentAfter = "thanks";
    prompts_.confirm = false;
    EXPECT_EQ(Run(p), kResultCancelled);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 2}));
    EXPECT_EQ(prompts_.passwordPrompts, 0);
    EXPECT_TRUE(prompts_.documents.empty());
    EXPECT_EQ(Contents("a.exe"), "old contents of a");
    EXPECT_EQ(state_->changedFiles->Count(), 0);
}

TEST_F(ApplyRunTest, WrongPasswordThenTheRightOne) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    p.SetPassword("secret");
    prompts_.passwords = {"Secret", "secret"};
    EXPECT_EQ(Run(p), kResultOk);
    EXPECT_EQ(prompts_.passwordPrompts, 1);
    EXPECT_EQ(prompts_.passwordMismatches, 1);
    EXPECT_EQ(Contents("a.exe"), "old NEW a");

    // Cancel in the password prompt.
    sink_.Clear();
    prompts_.passwords = {"wrong"};
    EXPECT_EQ(Run(p), kResultCancelled);
    EXPECT_EQ(End().code, SN_CANCELLED);
}

TEST_F(ApplyRunTest, SkipConfirmStillAsksForThePassword) {
    Package p = Base();
    p.SetPassword("secret");
    state_->skipConfirm = 1;
    prompts_.confirm = false;  // would cancel if asked
    prompts_.passwords = {"secret"};
    EXPECT_EQ(Run(p), kResultOk);
    EXPECT_TRUE(prompts_.questions.empty());
    EXPECT_EQ(prompts_.passwordPrompts, 1);
}

TEST_F(ApplyRunTest, DamagedPackageStopsAfterTheIntegrityCheck) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    Bytes file = writer::BuildUpdaterFile(writer::MakeStubImage(), p);
    file[file.size() - 20] ^= 0x01;  // inside the diff stream
    EXPECT_EQ(RunFile(file), kErrorTampered);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 1}));
    EXPECT_EQ(End().value, static_cast<intptr_t>(kErrorTampered));
    EXPECT_TRUE(prompts_.questions.empty());
    EXPECT_EQ(Contents("a.exe"), "old contents of a");
    // The catalogue was settled: its texts stay the package's.
    EXPECT_STREQ(state_->catalogue[kSlotClose], "<2>");
}

TEST_F(ApplyRunTest, ErrorOnTheThirdUpdateLeavesTwoForTheRollback) {
    Package p = Base();
    AddUpdate(p, "1.dll", "first old", "first new");
    AddUpdate(p, "2.dll", "second old", "second new");
    AddUpdate(p, "3.dll", "third old", "third new");
    p.updates[2].stream = writer::DiffStream(16, 100, "KZX ").End().Data();
    p.adds.push_back(Add("added.txt", "never"));
    const auto before = test::ReadTree(target_);

    EXPECT_EQ(Run(p), kErrorDiffData);
    EXPECT_EQ(End().code, SN_FAILED);
    EXPECT_EQ(End().value, static_cast<intptr_t>(kErrorDiffData));
    EXPECT_EQ(sink_.Values(SN_TOTAL_PROGRESS), (std::vector<intptr_t>{250, 500}));
    EXPECT_TRUE(sink_.Values(SN_ADD_FILE).empty());
    EXPECT_EQ(Contents("1.dll"), "firsfirst new");
    EXPECT_EQ(Contents("2.dll"), "secosecond new");
    EXPECT_EQ(Contents("added.txt"), "(missing)");
    ASSERT_GE(state_->changedFiles->Count(), 2);
    EXPECT_STREQ(state_->changedFiles->Get(0), Path("1.dll").c_str());
    EXPECT_STREQ(state_->changedFiles->Get(1), Path("2.dll").c_str());

    RestoreChangedFiles(*state_);
    EXPECT_EQ(test::ReadTree(target_), before);
}

TEST_F(ApplyRunTest, CancelWhileTheListsAreRead) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    sink_.onSend = [&](const test::Notification& n) {
        if (n.code == SN_READING_INFO) RequestCancel(*state_);
    };
    EXPECT_EQ(Run(p), kResultCancelled);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 10, 3, 2}));
    EXPECT_EQ(Contents("a.exe"), "old contents of a");
}

TEST_F(ApplyRunTest, OlderVersionsAndFoldersThatCannotBeFound) {
    Package v100 = Base();
    v100.formatVersion = 100;
    v100.languages.clear();
    v100.adds.push_back(Add("new.txt", "v100"));
    v100.check.type = 1;  // not written before 110
    EXPECT_EQ(Run(v100), kResultOk);
    EXPECT_EQ(Contents("new.txt"), "v100");
    EXPECT_EQ(state_->codePage, kBuiltInCodePage);
    EXPECT_EQ(state_->deleteBackupsDefault, 1);

    // Rules before version 120: no folder, and nothing is touched.
    sink_.Clear();
    Package v110 = Base();
    v110.formatVersion = 110;
    v110.languages.clear();
    v110.target.type = 4;
    v110.adds.push_back(Add("other.txt", "x"));
    EXPECT_EQ(Run(v110), kErrorTargetFolder);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 1}));
    EXPECT_EQ(Contents("other.txt"), "(missing)");

    sink_.Clear();
    Package unknown = Base();
    unknown.target.type = 9;
    EXPECT_EQ(Run(unknown), kErrorTargetFolder);
}

TEST_F(ApplyRunTest, StopsBeforeTheCatalogueIsSettledLeaveTextsToShow) {
    // The window fills the open and read error slots before the thread starts.
    CopyText(state_->catalogue[kSlotOpenError], kMaxPath, "open error");
    CopyText(state_->catalogue[kSlotReadError], kMaxPath, "read error");
    ansiCodePage = 1252;
    CopyText(state_->packagePath, kMaxPath, (target_ + "\\missing.exe").c_str());
    EXPECT_EQ(RunThread(), kErrorOpenPackage);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(End().value, static_cast<intptr_t>(kErrorOpenPackage));
    EXPECT_STREQ(state_->catalogue[kSlotOpenError], "open error");
    EXPECT_STREQ(state_->catalogue[kSlotReadError], "read error");
    EXPECT_STREQ(state_->catalogue[kSlotClose], "&Close");
    EXPECT_STREQ(state_->catalogue[kSlotErrorOccurred],
                 "[Error] An error occurred while applying the kzp file.");
    EXPECT_STREQ(state_->catalogue[kSlotNotPackageError], "[Error] This is not a kzp file.");
    EXPECT_STREQ(state_->catalogue[kSlotPackageVersionError],
                 "[Error] Unknown version of kzp file.");

    // On a Japanese system the built-in texts of the same slots.
    sink_.Clear();
    ansiCodePage = 932;
    state_->catalogue[kSlotClose][0] = 0;
    Bytes badMagic = writer::BuildUpdaterFile(writer::MakeStubImage(), Base());
    badMagic[0x18000 + 2] = 'X';
    EXPECT_EQ(RunFile(badMagic), kErrorNotPackage);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{1}));
    char builtIn[kMaxPath] = {};
    TheOs().LoadStringResource(kNoInstance, kCatalogueStringBase + kSlotClose, builtIn, kMaxPath);
    EXPECT_NE(builtIn[0], 0);
    EXPECT_STREQ(state_->catalogue[kSlotClose], builtIn);

    sink_.Clear();
    Package future = Base();
    future.formatVersion = 121;
    EXPECT_EQ(RunFile(writer::BuildUpdaterFile(writer::MakeStubImage(), future)),
              kErrorPackageVersion);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{1}));

    // No package behind the image, and a language block cut short.
    sink_.Clear();
    EXPECT_EQ(RunFile(writer::MakeStubImage()), kErrorReadPackage);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{1}));
    sink_.Clear();
    Bytes cut = writer::BuildUpdaterFile(writer::MakeStubImage(), Base());
    cut.resize(0x18000 + 60);
    EXPECT_EQ(RunFile(cut), kErrorReadPackage);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{1}));
    EXPECT_STREQ(state_->catalogue[kSlotReadError], "read error");
}

// A signed updater: the certificate table follows the package and its
// trailer, and the security directory of the image points at it.
TEST_F(ApplyRunTest, SignedUpdaterEndsItsPackageBeforeTheCertificates) {
    Package p = Base();
    AddUpdate(p, "a.exe", "old contents of a", "NEW a");
    Bytes file = writer::BuildUpdaterFile(writer::MakeStubImage(), p);
    const uint32_t pe = 0x80;
    const uint32_t optional = pe + 4 + 20;
    auto put32 = [&](uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0x3C, pe);
    put32(pe, 0x00004550);
    file[optional] = 0x0B;  // PE32
    file[optional + 1] = 0x01;
    put32(optional + 92, 16);  // directory count
    const uint32_t table = static_cast<uint32_t>(file.size());
    put32(optional + 96 + 8 * 4, table);
    put32(optional + 96 + 8 * 4 + 4, 64);
    file.insert(file.end(), 64, 0xCE);
    EXPECT_EQ(RunFile(file), kResultOk);
    EXPECT_EQ(Contents("a.exe"), "old NEW a");
}

// ---- the running-program check, against a described system --------------

class RunningProgramRunTest : public ApplyRunTest {
  protected:
    RunningProgramRunTest() : use_(system_) {}

    Package Checked(uint8_t type, uint8_t wait) {
        Package p = Base();
        p.check.type = type;
        p.check.windowClass = type == 1 ? "KzpAppWindow" : "";
        p.check.programName = type == 2 ? "APP.EXE" : "";
        p.check.waitForExit = wait;
        p.launchFile = "app.exe";
        p.documentBefore = "before";
        p.adds.push_back(Add("new.txt", "n"));
        return p;
    }
    void WindowOpen(bool open) {
        system_.findWindow = [open](const char*, const char*) { return open; };
    }

    test::SimulatedSystem system_;
    test::ScopedOs use_;
};

TEST_F(RunningProgramRunTest, NotRunning) {
    EXPECT_EQ(Run(Checked(1, 0)), kResultOk);
    EXPECT_EQ(system_.windowProbes, 1);
    EXPECT_TRUE(sink_.Values(SN_WAIT_FOR_PROGRAM).empty());
    EXPECT_EQ(Contents("new.txt"), "n");
}

TEST_F(RunningProgramRunTest, RunningWithoutWaitingStopsAtOnce) {
    WindowOpen(true);
    EXPECT_EQ(Run(Checked(1, 0)), kResultProgramRunning);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 18}));
    EXPECT_EQ(End().value, 0);
    EXPECT_EQ(system_.windowProbes, 1);
    // Nothing after the check was read.
    EXPECT_STREQ(state_->launchFile, "");
    EXPECT_TRUE(prompts_.documents.empty());
    EXPECT_EQ(Contents("new.txt"), "(missing)");
}

TEST_F(RunningProgramRunTest, ProgramEndsDuringTheWait) {
    const uint32_t start = system_.clock;
    system_.findWindow = [&](const char*, const char*) { return system_.clock - start < 10000; };
    EXPECT_EQ(Run(Checked(1, 1)), kResultOk);
    EXPECT_EQ(sink_.Texts(SN_WAIT_FOR_PROGRAM), (std::vector<std::string>{"App"}));
    EXPECT_EQ(Codes()[6], SN_WAIT_FOR_PROGRAM);
    EXPECT_EQ(prompts_.documents, (std::vector<std::string>{"before"}));
    EXPECT_EQ(Contents("new.txt"), "n");
}

TEST_F(RunningProgramRunTest, StillRunningAfterTheWait) {
    WindowOpen(true);
    const uint32_t start = system_.clock;
    EXPECT_EQ(Run(Checked(1, 1)), kResultProgramRunning);
    EXPECT_GE(system_.clock - start, 30000u);
    EXPECT_EQ(Codes(), (std::vector<uint32_t>{28, 17, 100, 4, 5, 20, 19, 18}));
    // A wait asked for with any other value than 1 sends no request.
    sink_.Clear();
    EXPECT_EQ(Run(Checked(2, 2)), kResultOk);  // no such process
    EXPECT_TRUE(sink_.Values(SN_WAIT_FOR_PROGRAM).empty());
}

TEST_F(RunningProgramRunTest, BothWindowTextsEmptyCheckNothing) {
    WindowOpen(true);
    Package p = Checked(1, 0);
    p.check.windowClass = "";
    EXPECT_EQ(Run(p), kResultOk);
    EXPECT_EQ(system_.windowProbes, 0);
}

TEST_F(RunningProgramRunTest, ModulePathMatchesWithoutRegardToCase) {
    system_.version = {kPlatformWin32Nt, 4, 0};
    system_.processes = {{42, "x", {"c:\\program files\\app\\app.exe"}}};
    EXPECT_EQ(Run(Checked(2, 0)), kResultProgramRunning);
    EXPECT_EQ(End().code, SN_PROGRAM_RUNNING);

    sink_.Clear();
    system_.processes = {{42, "x", {"c:\\program files\\app\\app2.exe"}}};
    EXPECT_EQ(Run(Checked(2, 0)), kResultOk);

    sink_.Clear();
    system_.processStatusAvailable = false;
    EXPECT_EQ(Run(Checked(2, 0)), kErrorProcessList);
    EXPECT_EQ(End().code, SN_FAILED);
}

}  // namespace
}  // namespace kzp

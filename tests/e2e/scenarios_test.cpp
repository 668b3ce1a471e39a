// End-to-end scenarios: the real updater (64-bit build) under Wine, played by
// this driver as a user would, each checked on the target folder afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>

#include "app/catalogue.h"
#include "engine/notification_view.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_os.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/player.h"
#include "tests/support/test_platform.h"
#include "tools/encoder/compact_encoder.h"
#include "tools/kzp/catalogues.h"

namespace kzp::e2e {
namespace {

using namespace std::chrono_literals;

const char kTitle[] = "Sample App";
const char kOld[] = "1.0";
const char kNew[] = "2.0";
const char kStartCaption[] = "kzp Self Extract Updater ver.1.20";

Tree OldTree() {
    Tree t;
    t["app.exe"] = Pattern(60000, 1);
    t["data\\config.ini"] = BytesOf("[main]\r\nlevel=1\r\n");
    t["keep.txt"] = BytesOf("unchanged\r\n");
    t["obsolete.dll"] = Pattern(3000, 2);
    return t;
}

Tree NewTree() {
    Tree t = OldTree();
    Bytes& app = t["app.exe"];
    Bytes inserted = Pattern(5000, 3);
    app.insert(app.begin() + 20000, inserted.begin(), inserted.end());
    app.resize(app.size() - 700);
    t["data\\config.ini"] = BytesOf("[main]\r\nlevel=2\r\nmode=fast\r\n");
    t["data\\new.bin"] = Pattern(2500, 4);
    t["readme.txt"] = BytesOf("version 2\r\n");
    t.erase("obsolete.dll");
    return t;
}

const std::vector<std::string> kChanged = {"app.exe", "data\\config.ini", "obsolete.dll"};

std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  | " + l + "\n";
    return out;
}

// The last `n` lines of the log.
std::vector<std::string> Tail(const std::vector<std::string>& lines, size_t n) {
    if (lines.size() <= n) return lines;
    return std::vector<std::string>(lines.end() - static_cast<long>(n), lines.end());
}

std::string Last(const std::vector<std::string>& lines) {
    return lines.empty() ? "(empty log)" : lines.back();
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string WithoutTrailingBackslash(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

bool SystemIsJapanese() {
    return GetACP() == 932;
}

// True when the image under test is the 32-bit one (PE machine i386): it
// runs under WoW64 and sees the 32-bit views of the registry and of the
// system folder.
bool UpdaterIs32Bit() {
    Bytes image;
    if (!test::ReadBytes(UpdaterImagePath(), &image) || image.size() < 0x40) return false;
    uint32_t pe = image[0x3c] | image[0x3d] << 8 | image[0x3e] << 16 |
                  static_cast<uint32_t>(image[0x3f]) << 24;
    if (pe > image.size() - 6) return false;
    return (image[pe + 4] | image[pe + 5] << 8) == 0x14c;
}

// Wine's setting of the Windows version one program sees (by its file name),
// for as long as the object lives.
class WineVersionFor {
  public:
    WineVersionFor(const std::string& program, const char* version)
        : key_("Software\\Wine\\AppDefaults\\" + program) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(k, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                           static_cast<DWORD>(strlen(version) + 1));
            RegCloseKey(k);
        }
    }
    ~WineVersionFor() { RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str()); }

  private:
    std::string key_;
};

// The scenarios compare what the windows show with the built-in Japanese
// texts, so they run where the ANSI code page is 932 (the updater runs with
// the driver's locale).
class UpdaterScenario : public ::testing::Test {
  protected:
    virtual bool NeedsJapanese() const { return true; }

    void SetUp() override {
        if (NeedsJapanese() && !SystemIsJapanese()) {
            GTEST_SKIP() << "needs ANSI code page 932 (LC_ALL=ja_JP.UTF-8)";
        }
        root_ = test::NewScratchFolder();
        app_ = root_ + "\\app";
        old_ = OldTree();
        new_ = NewTree();
        ASSERT_TRUE(WriteTree(app_, old_));
    }
    void TearDown() override {
        if (!root_.empty()) test::RemovePath(root_);
    }

    writer::Package Sample() const { return PackageFor(old_, new_, app_); }

    std::string Build(const writer::Package& package, const std::string& name = "kzpupdate.exe") {
        std::string path = root_ + "\\" + name;
        EXPECT_TRUE(WriteUpdater(path, package));
        return path;
    }

    std::string Full(const std::string& name) const { return app_ + "\\" + name; }

    // Answers the confirmation question, checking that it asks about this
    // package.
    void AnswerQuestion(UpdaterRun& run, bool yes) {
        HWND box = run.WaitFor(WindowKind::kMessageBox);
        ASSERT_NE(box, nullptr) << run.Describe();
        EXPECT_EQ(MessageBoxText(box), Format(Slot(10), {kTitle, kOld, kNew}));
        EXPECT_EQ(WindowText(box), Format(Slot(8), {kTitle, kOld, kNew}));
        ASSERT_TRUE(Press(box, yes ? IDYES : IDNO));
        ASSERT_TRUE(run.WaitGone(WindowKind::kMessageBox)) << run.Describe();
    }

    // Waits until the run has ended and the window offers Close.
    void WaitForClose(UpdaterRun& run, HWND main, const std::string& closeText) {
        bool ended = WaitUntil([&] {
            return IsControlEnabled(main, kButtonCancelClose) &&
                   ControlText(main, kButtonCancelClose) == closeText;
        });
        ASSERT_TRUE(ended) << run.Describe() << Lines(LogLines(main));
    }

    void CloseAndExpectExit(UpdaterRun& run, HWND main, long exitCode) {
        ASSERT_TRUE(Press(main, kButtonCancelClose)) << run.Describe();
        EXPECT_EQ(run.WaitForExit(), exitCode);
    }

    // The lines that a successful run of the sample package logs.
    std::vector<std::string> SuccessLog(const std::string& exe) const {
        std::string folder = app_ + "\\";
        return {
            Format(Slot(11), {exe}),
            Slot(15),
            Format(Slot(25), {folder}),
            Slot(17),
            Slot(39),
            Slot(26),
            kDetail + Format(Slot(28), {Full("app.exe")}),
            kDetail + Format(Slot(28), {Full("data\\config.ini")}),
            kDetail + Format(Slot(28), {Full("obsolete.dll")}),
            Slot(39),
            Format(Slot(30), {Full("app.exe")}),
            Format(Slot(30), {Full("data\\config.ini")}),
            Format(Slot(31), {Full("data\\new.bin")}),
            Format(Slot(31), {Full("readme.txt")}),
            Format(Slot(32), {Full("obsolete.dll")}),
            Slot(19),
        };
    }

    void ExpectEntryTimes(const writer::Package& package) {
        for (const auto& u : package.updates) {
            uint64_t ticks = 0;
            ASSERT_TRUE(test::FileTimeOf(Full(u.name), &ticks)) << u.name;
            EXPECT_EQ(ticks, u.fileTime.Ticks()) << u.name;
        }
        for (const auto& a : package.adds) {
            uint64_t ticks = 0;
            ASSERT_TRUE(test::FileTimeOf(Full(a.name), &ticks)) << a.name;
            EXPECT_EQ(ticks, a.fileTime.Ticks()) << a.name;
        }
    }

    std::string root_;
    std::string app_;
    Tree old_;
    Tree new_;
};

// A successful run as a user sees it: question, documents, every window text,
// the whole log; the backups stay until Close, which deletes them because
// the box is checked.
TEST_F(UpdaterScenario, SuccessShowsTheRunAndCloseWithTheBoxCheckedDeletesBackups) {
    writer::Package package = Sample();
    package.documentBefore = "Read me first.\r\nSecond line.";
    package.documentAfter = "All done.";
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    ASSERT_NE(main, nullptr);

    HWND question = run.WaitFor(WindowKind::kMessageBox);
    ASSERT_NE(question, nullptr) << run.Describe();
    // While the question is open the main window cannot be used, and Cancel
    // is not enabled before the file information is read.
    EXPECT_FALSE(Press(main, kButtonCancelClose));
    EXPECT_EQ(WindowText(main), Format(Slot(8), {kTitle, kOld, kNew}));
    EXPECT_EQ(ControlText(main, kEditHeading), Format(Slot(9), {kTitle, kOld, kNew}));
    EXPECT_EQ(ControlText(main, kEditCopyright), "(c) kzp e2e");
    AnswerQuestion(run, true);

    HWND before = run.WaitFor(WindowKind::kDocument);
    ASSERT_NE(before, nullptr) << run.Describe();
    EXPECT_EQ(WindowText(before), Slot(60));
    EXPECT_EQ(ControlText(before, IDOK), Slot(2));
    std::string shown = ControlText(before, 1022);
    shown.erase(std::remove(shown.begin(), shown.end(), '\n'), shown.end());
    EXPECT_EQ(shown, "Read me first.\rSecond line.");
    // Esc (IDCANCEL) does not close the document; its button does.
    PostMessageW(before, WM_COMMAND, IDCANCEL, 0);
    Pause(300ms);
    EXPECT_TRUE(IsWindowVisible(before));
    EXPECT_TRUE(test::PathExists(Full("obsolete.dll")));  // nothing changed yet
    ASSERT_TRUE(Press(before, IDOK));

    HWND after = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        for (const FoundWindow& w : run.Windows()) {
            if (w.kind == WindowKind::kDocument && w.handle != before) after = w.handle;
        }
        return after != nullptr;
    })) << run.Describe();
    EXPECT_EQ(ControlText(after, 1022), "All done.");
    // The files are applied before the closing document.
    EXPECT_EQ(test::ReadTree(app_), WithBackups(new_, old_, kChanged, kOld));
    ASSERT_TRUE(Press(after, IDOK));

    WaitForClose(run, main, Slot(2));
    EXPECT_EQ(ControlText(main, kLabelStep), Slot(5));
    EXPECT_EQ(ControlText(main, kLabelCopyright), Slot(4));
    EXPECT_EQ(ControlText(main, kLabelLog), Slot(6));
    EXPECT_EQ(ControlText(main, kCheckDeleteBackups), Slot(7));
    EXPECT_EQ(ControlText(main, kLabelFilePercent), "100.0%");
    EXPECT_EQ(ControlText(main, kLabelOverallPercent), "100.0%");
    EXPECT_EQ(ProgressPosition(main, kBarFile), 1000);
    EXPECT_TRUE(IsControlEnabled(main, kCheckDeleteBackups));
    EXPECT_TRUE(IsChecked(main, kCheckDeleteBackups));
    EXPECT_EQ(LogLines(main), SuccessLog(exe)) << Lines(LogLines(main));

    EXPECT_EQ(test::ReadTree(app_), WithBackups(new_, old_, kChanged, kOld));
    CloseAndExpectExit(run, main, 0);
    EXPECT_EQ(test::ReadTree(app_), new_);
    ExpectEntryTimes(package);
}

TEST_F(UpdaterScenario, CloseWithTheBoxClearedKeepsTheBackups) {
    std::string exe = Build(Sample());
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    WaitForClose(run, main, Slot(2));
    ASSERT_TRUE(SetChecked(main, kCheckDeleteBackups, false));
    CloseAndExpectExit(run, main, 0);
    EXPECT_EQ(test::ReadTree(app_), WithBackups(new_, old_, kChanged, kOld));
}

TEST_F(UpdaterScenario, AnswerNoChangesNothingAndExitsWith255) {
    std::string exe = Build(Sample());
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, false);
    WaitForClose(run, main, Slot(2));
    EXPECT_EQ(Last(LogLines(main)), Slot(21)) << Lines(LogLines(main));
    EXPECT_FALSE(IsControlEnabled(main, kCheckDeleteBackups));
    CloseAndExpectExit(run, main, 255);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

// With -F there is no question and the window closes by itself; the package
// decides about the backups.
TEST_F(UpdaterScenario, SwitchFSkipsTheQuestionAndClosesByItself) {
    for (uint8_t deleteDefault : {1, 0}) {
        SCOPED_TRACE(deleteDefault);
        ASSERT_TRUE(test::RemovePath(app_));
        ASSERT_TRUE(WriteTree(app_, old_));
        writer::Package package = Sample();
        package.deleteBackupsDefault = deleteDefault;
        std::string exe = Build(package, deleteDefault ? "f1.exe" : "f0.exe");
        UpdaterRun run;
        ASSERT_TRUE(run.Start(exe, deleteDefault ? "-F" : "-force"));
        EXPECT_EQ(run.WaitForExit(), 0) << run.Describe();
        Tree expected = deleteDefault ? new_ : WithBackups(new_, old_, kChanged, kOld);
        EXPECT_EQ(test::ReadTree(app_), expected);
        ExpectEntryTimes(package);
    }
}

TEST_F(UpdaterScenario, WrongPasswordIsRefusedAndTheRightOneGoesOn) {
    writer::Package package = Sample();
    package.SetPassword("s3cret");
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);

    HWND prompt = run.WaitFor(WindowKind::kPassword);
    ASSERT_NE(prompt, nullptr) << run.Describe();
    EXPECT_EQ(WindowText(prompt), Slot(61));
    EXPECT_EQ(ControlText(prompt, 1026), Slot(62));
    for (const char* wrong : {"", "S3CRET", "s3cret "}) {
        SCOPED_TRACE(wrong);
        ASSERT_TRUE(Type(prompt, 1017, wrong));
        ASSERT_TRUE(Press(prompt, IDOK));
        HWND message = run.WaitFor(WindowKind::kMessageBox);
        ASSERT_NE(message, nullptr) << run.Describe();
        EXPECT_EQ(MessageBoxText(message), Slot(63));
        // The prompt is disabled while its message is open.
        EXPECT_FALSE(Press(prompt, IDOK));
        ASSERT_TRUE(Press(message, IDOK));
        ASSERT_TRUE(run.WaitGone(WindowKind::kMessageBox));
        EXPECT_TRUE(IsWindowVisible(prompt));
    }
    EXPECT_EQ(test::ReadTree(app_), old_);
    ASSERT_TRUE(Type(prompt, 1017, "s3cret"));
    ASSERT_TRUE(Press(prompt, IDOK));
    WaitForClose(run, main, Slot(2));
    EXPECT_EQ(Last(LogLines(main)), Slot(19));
    CloseAndExpectExit(run, main, 0);
    EXPECT_EQ(test::ReadTree(app_), new_);
}

// Cancelling the password ends the run; the follow-up file is not opened.
TEST_F(UpdaterScenario, PasswordCancelEndsWith255AndOpensNothing) {
    Bytes followUp;
    ASSERT_TRUE(test::ReadBytes(FollowUpProgramPath(), &followUp));
    old_["followup.exe"] = followUp;
    new_["followup.exe"] = followUp;
    ASSERT_TRUE(WriteTree(app_, old_));
    writer::Package package = Sample();
    package.SetPassword("s3cret");
    package.launchFile = "followup.exe";
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    HWND prompt = run.WaitFor(WindowKind::kPassword);
    ASSERT_NE(prompt, nullptr) << run.Describe();
    ASSERT_TRUE(Type(prompt, 1017, "guess"));
    ASSERT_TRUE(Press(prompt, IDCANCEL));
    WaitForClose(run, main, Slot(2));
    EXPECT_EQ(Last(LogLines(main)), Slot(21)) << Lines(LogLines(main));
    CloseAndExpectExit(run, main, 255);
    Pause(2s);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

// Folder type 0: the user types the folder; an empty field and a missing
// folder are refused with their messages first.
TEST_F(UpdaterScenario, FolderPromptRefusesEmptyAndMissingFolders) {
    writer::Package package = Sample();
    package.target = {};
    package.target.type = 0;
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    HWND prompt = run.WaitFor(WindowKind::kFolder);
    ASSERT_NE(prompt, nullptr) << run.Describe();
    EXPECT_EQ(WindowText(prompt), Slot(64));
    EXPECT_EQ(ControlText(prompt, 1026), Slot(65));
    EXPECT_EQ(ControlText(prompt, 1005), Slot(3));

    struct Attempt {
        std::string typed;
        std::string message;
    };
    for (const Attempt& a : {Attempt{"", Slot(67)}, Attempt{root_ + "\\missing", Slot(68)}}) {
        ASSERT_TRUE(Type(prompt, 1003, a.typed));
        ASSERT_TRUE(Press(prompt, IDOK));
        HWND message = run.WaitFor(WindowKind::kMessageBox);
        ASSERT_NE(message, nullptr) << run.Describe();
        EXPECT_EQ(MessageBoxText(message), a.message);
        ASSERT_TRUE(Press(message, IDOK));
        ASSERT_TRUE(run.WaitGone(WindowKind::kMessageBox));
    }
    // Browse opens the shell's folder picker on the typed folder: Cancel
    // keeps the field, OK puts the picked folder into it. (Wine's picker
    // cannot open on folders inside the user profile, where the scratch
    // folders are, and fills its tree a moment after it shows: the folder is
    // the Windows folder's Temp, and the user looks before pressing OK.)
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string picked = std::string(windows) + "\\Temp";
    for (bool pick : {false, true}) {
        SCOPED_TRACE(pick);
        const std::string typed = pick ? picked : "C:\\no such folder";
        ASSERT_TRUE(Type(prompt, 1003, typed));
        ASSERT_TRUE(Press(prompt, 1005));
        HWND picker = run.WaitFor(WindowKind::kMessageBox);
        ASSERT_NE(picker, nullptr) << run.Describe();
        Pause(1500ms);
        ASSERT_TRUE(Press(picker, pick ? IDOK : IDCANCEL));
        ASSERT_TRUE(run.WaitGone(WindowKind::kMessageBox));
        EXPECT_EQ(Lower(ControlText(prompt, 1003)), Lower(typed));
    }
    // A trailing backslash is dropped and added back once.
    ASSERT_TRUE(Type(prompt, 1003, app_ + "\\"));
    ASSERT_TRUE(Press(prompt, IDOK));
    WaitForClose(run, main, Slot(2));
    std::vector<std::string> log = LogLines(main);
    EXPECT_TRUE(Contains(log, Format(Slot(25), {app_ + "\\"}))) << Lines(log);
    EXPECT_EQ(Last(log), Slot(19));
    CloseAndExpectExit(run, main, 0);
    EXPECT_EQ(test::ReadTree(app_), new_);
}

// Presses Cancel while the file `label` names is half written, then checks
// the rollback: the log ends with cancelled, restoring, restored; the folder
// is as before; the exit code is 255. The player holds the updater's work
// while it reads the bar and presses, so the press lands while the bar
// stands strictly between 0 and 1000; the updater polls Cancel after each
// progress report, so it stops inside that file, whose start (`startLine`)
// is the last line logged before the press.
void CancelWhileWriting(UpdaterRun& run, HWND main, const std::string& label,
                        const std::string& startLine, const Tree& before, const std::string& app) {
    bool pressed = false;
    bool writing = WaitUntil([&] {
        if (run.Exited()) return true;
        if (!run.HoldWork()) return false;  // a thread ended meanwhile: look again
        if (ControlText(main, kLabelStep) == label) {
            const int position = ProgressPosition(main, kBarFile);
            if (position > 0 && position < 1000) pressed = PressAndWait(main, kButtonCancelClose);
        }
        run.ReleaseWork();
        return pressed;
    });
    ASSERT_TRUE(writing && pressed) << run.Describe();
    EXPECT_FALSE(IsControlEnabled(main, kButtonCancelClose));
    EXPECT_FALSE(Press(main, kButtonCancelClose));  // a second press cannot happen

    ASSERT_TRUE(WaitUntil([&] {
        return IsControlEnabled(main, kButtonCancelClose) &&
               ControlText(main, kButtonCancelClose) == Slot(2);
    })) << run.Describe();
    std::vector<std::string> log = LogLines(main);
    const auto stopping = std::find(log.begin(), log.end(), Slot(18));
    ASSERT_TRUE(stopping != log.end() && stopping != log.begin()) << Lines(log);
    EXPECT_EQ(*(stopping - 1), startLine) << Lines(log);
    EXPECT_EQ(Tail(log, 3), (std::vector<std::string>{Slot(21), Slot(23), Slot(24)})) << Lines(log);
    EXPECT_FALSE(IsControlEnabled(main, kCheckDeleteBackups));
    EXPECT_FALSE(SetChecked(main, kCheckDeleteBackups, true));
    ASSERT_TRUE(Press(main, kButtonCancelClose));
    EXPECT_EQ(run.WaitForExit(), 255);
    EXPECT_EQ(test::ReadTree(app), before);
}

TEST_F(UpdaterScenario, CancelDuringALargeAddRestoresTheFolder) {
    new_["big.bin"] = Pattern(24u << 20, 5);
    writer::Package package = Sample();
    std::string exe = Build(package);
    new_.erase("big.bin");
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    CancelWhileWriting(run, main, Format(Slot(13), {"big", ".bin"}),
                       Format(Slot(31), {Full("big.bin")}), old_, app_);
}

TEST_F(UpdaterScenario, CancelDuringALongDecodeRestoresTheFolder) {
    old_["video.dat"] = Pattern(64 << 10, 6);
    ASSERT_TRUE(WriteTree(app_, old_));
    writer::Package package = Sample();
    // 30,000 one-block copies: a 30 MB file and as many progress reports.
    writer::DiffStream stream(1024);
    for (int i = 0; i < 30000; ++i) stream.CopyBlock(static_cast<uint32_t>((i % 64) * 1024));
    stream.End();
    writer::UpdateEntry video;
    video.name = "video.dat";
    video.digest = writer::Md5(old_["video.dat"]);
    video.fileTime = EntryTime(50);
    video.stream = stream.Data();
    package.updates.push_back(video);
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    CancelWhileWriting(run, main, Format(Slot(12), {"video", ".dat"}),
                       Format(Slot(30), {Full("video.dat")}), old_, app_);
}

// A compact update that takes long to write: 30,000 segments, each a
// kilobyte copied from the old file with an addend to four of its bytes,
// then eight literal bytes (a 31 MB file written in 480 pieces, each with
// its progress report). Addends and literals are random, so that the packed
// data, which the progress counts, is taken as the file grows.
Bytes LongCompactUpdate() {
    std::vector<uint8_t> streams[kCompactStreams];
    auto number = [](std::vector<uint8_t>& out, uint64_t value) {
        for (; value >= 0x80; value >>= 7) out.push_back(static_cast<uint8_t>(value | 0x80));
        out.push_back(static_cast<uint8_t>(value));
    };
    std::mt19937 random(21);
    constexpr uint64_t kCopy = 1024, kLiteral = 8, kChangeAt = 7;
    uint64_t cursor = 0;
    for (int i = 0; i < 30000; ++i) {
        const uint64_t at = static_cast<uint64_t>(i % 64) * 1024;
        number(streams[kCopyLengths], kCopy);
        number(streams[kLiteralLengths], kLiteral);
        number(streams[kOldSteps], at >= cursor ? (at - cursor) * 2 : (cursor - at) * 2 - 1);
        cursor = at + kCopy + kLiteral;
        number(streams[kChangeGaps], i == 0 ? kChangeAt : kCopy - kChangeWordSize);
        number(streams[kChangeKinds], 0);
        for (uint64_t k = 0; k < kChangeWordSize + kLiteral; ++k) {
            streams[k < kChangeWordSize ? kChangeWords : kLiterals].push_back(
                static_cast<uint8_t>(random()));
        }
    }
    return encoder::PackCompactStreams(30000 * (kCopy + kLiteral), streams);
}

TEST_F(UpdaterScenario, CancelDuringALargeCompactUpdateRestoresTheFolder) {
    writer::Package package = CompactPackageFor(old_, new_, app_);
    // An old file that the package only updates.
    old_["video.dat"] = Pattern(64 << 10, 6);
    ASSERT_TRUE(WriteTree(app_, old_));
    writer::UpdateEntry video;
    video.name = "video.dat";
    video.digest = writer::Md5(old_["video.dat"]);
    video.fileTime = EntryTime(50);
    video.stream = LongCompactUpdate();
    package.updates.push_back(video);
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    CancelWhileWriting(run, main, Format(Slot(12), {"video", ".dat"}),
                       Format(Slot(30), {Full("video.dat")}), old_, app_);
}

// Waits for the end of a run that failed before anything changed and checks
// the last log lines and that the backups cannot be deleted.
void ExpectFailure(UpdaterRun& run, HWND main, const std::vector<std::string>& lastLines) {
    ASSERT_TRUE(WaitUntil([&] {
        return IsControlEnabled(main, kButtonCancelClose) &&
               ControlText(main, kButtonCancelClose) == Slot(2);
    })) << run.Describe();
    std::vector<std::string> log = LogLines(main);
    EXPECT_EQ(Tail(log, lastLines.size()), lastLines) << Lines(log);
    EXPECT_FALSE(IsControlEnabled(main, kCheckDeleteBackups));
}

TEST_F(UpdaterScenario, DamagedPackageIsRefusedBeforeTheQuestion) {
    std::string exe = Build(Sample());
    Bytes file;
    ASSERT_TRUE(test::ReadBytes(exe, &file));
    file[file.size() - 100] ^= 0x01;  // inside the data area, covered by the digest
    ASSERT_TRUE(test::WriteBytes(exe, file));
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    ExpectFailure(run, main, {Format(Slot(11), {exe}), Slot(15), Slot(57), Slot(20)});
    EXPECT_EQ(WindowText(main), kStartCaption);  // the package's caption never came
    CloseAndExpectExit(run, main, 255);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

// Compact data that promises one byte more than its streams hold: the
// trailer matches (the package was made so), the decoder fails as a package
// read, and the rollback brings the folder back.
TEST_F(UpdaterScenario, DamagedCompactDataFailsAsAPackageReadAndIsRolledBack) {
    writer::Package package = CompactPackageFor(old_, new_, app_);
    ASSERT_FALSE(package.updates.empty());
    package.updates[0].stream[6] += 1;  // the new file's size
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    ExpectFailure(run, main, {Slot(42), Slot(20), Slot(23), Slot(24)});
    CloseAndExpectExit(run, main, 255);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

// Scenarios whose texts depend on the system's code page: they run in the
// Japanese and in the default locale, expecting what each should show.
class CodePageScenario : public UpdaterScenario {
  protected:
    bool NeedsJapanese() const override { return false; }
};

// The program file alone, without a package: the read error in the language
// of the system's code page.
TEST_F(CodePageScenario, ProgramWithoutPackageReportsTheReadError) {
    std::string bare = root_ + "\\kzpupdater.exe";
    ASSERT_TRUE(CopyFileA(UpdaterImagePath().c_str(), bare.c_str(), FALSE));
    {
        bool japanese = SystemIsJapanese();
        UpdaterRun run;
        ASSERT_TRUE(run.Start(bare, ""));
        HWND main = run.WaitFor(WindowKind::kMain);
        ASSERT_NE(main, nullptr);
        // The catalogue is never filled; the run still leaves readable texts
        // for the error line and the Close button.
        ASSERT_TRUE(WaitUntil([&] {
            return IsControlEnabled(main, kButtonCancelClose) && LogLines(main).size() >= 2;
        })) << run.Describe();
        std::vector<std::string> log = LogLines(main);
        ASSERT_EQ(log.size(), 2u) << Lines(log);
        EXPECT_EQ(log[0], StartupString(japanese ? 111 : 211)) << Lines(log);
        EXPECT_EQ(log[1], japanese ? Slot(20) : StartupString(213)) << Lines(log);
        EXPECT_EQ(ControlText(main, kButtonCancelClose), japanese ? Slot(2) : StartupString(212));
        EXPECT_EQ(WindowText(main), kStartCaption);
        ASSERT_TRUE(Press(main, kButtonCancelClose));
        EXPECT_EQ(run.WaitForExit(), 255);
    }
}

// The program cannot open its own file (it was moved away after the start):
// the window hides, a warning on the desktop says so, and the program ends.
TEST_F(CodePageScenario, UnopenableProgramFileShowsTheOpenErrorAndEnds) {
    std::string exe = Build(Sample());
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, "", "", true));
    ASSERT_TRUE(MoveFileA(exe.c_str(), (exe + ".moved").c_str()));
    ASSERT_TRUE(run.Resume());
    HWND box = run.WaitFor(WindowKind::kMessageBox);
    ASSERT_NE(box, nullptr) << run.Describe();
    EXPECT_EQ(MessageBoxText(box), StartupString(SystemIsJapanese() ? 110 : 210));
    EXPECT_EQ(WindowText(box), "kzp Self Extract Updater");
    for (const FoundWindow& w : run.Windows()) {
        if (w.kind == WindowKind::kMain) {
            EXPECT_FALSE(IsWindowVisible(w.handle));
        }
    }
    ASSERT_TRUE(Press(box, IDOK));
    EXPECT_EQ(run.WaitForExit(), 255);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

TEST_F(UpdaterScenario, MissingOldFileStopsTheRunBeforeAnyChange) {
    std::string exe = Build(Sample());
    ASSERT_TRUE(test::RemovePath(Full("data\\config.ini")));
    old_.erase("data\\config.ini");
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    ExpectFailure(run, main, {Slot(45), Slot(20)});
    CloseAndExpectExit(run, main, 255);
    EXPECT_EQ(test::ReadTree(app_), old_);
}

// The program that the package updates is running: by its window or by its
// process name, through Tool Help or, where Windows says it is NT 4.0,
// through psapi. The run stops with end code 18 before anything changes.
TEST_F(UpdaterScenario, RunningProgramStopsTheRun) {
    UpdaterRun app;
    ASSERT_TRUE(app.Start(RunningAppPath(), ""));
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(L"KzpE2eRunningApp", nullptr) != nullptr; }));
    struct Check {
        uint8_t type;
        const char* exe;
        const char* windowsVersion;  // Wine's name for it, or none
    };
    for (const Check& c :
         {Check{1, "w.exe", nullptr}, Check{2, "p.exe", nullptr}, Check{2, "p4.exe", "nt40"}}) {
        SCOPED_TRACE(c.exe);
        // NT 4.0 runs only 32-bit programs. A 32-bit updater cannot list the
        // modules of the 64-bit helper program through psapi and skips it,
        // so that pairing, which no NT 4.0 can have, is left out.
        if (c.windowsVersion != nullptr && UpdaterIs32Bit()) continue;
        writer::Package package = Sample();
        package.check.type = c.type;
        package.check.windowTitle = "kzp e2e running app";
        package.check.programName = "E2E_RUNNING_APP.EXE";  // compared without case
        std::string exe = Build(package, c.exe);
        std::unique_ptr<WineVersionFor> version;
        if (c.windowsVersion != nullptr) {
            version = std::make_unique<WineVersionFor>(c.exe, c.windowsVersion);
        }
        UpdaterRun run;
        ASSERT_TRUE(run.Start(exe, ""));
        HWND main = run.WaitFor(WindowKind::kMain);
        AnswerQuestion(run, true);
        ExpectFailure(run, main, {Format(Slot(22), {kTitle})});
        CloseAndExpectExit(run, main, 255);
        EXPECT_EQ(test::ReadTree(app_), old_);
    }
}

// Waiting for the program: the user is asked to quit it and the run goes on
// once its window is gone.
TEST_F(UpdaterScenario, WaitingForTheProgramGoesOnWhenItQuits) {
    UpdaterRun app;
    ASSERT_TRUE(app.Start(RunningAppPath(), ""));
    HWND appWindow = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        appWindow = FindWindowW(L"KzpE2eRunningApp", nullptr);
        return appWindow != nullptr;
    }));
    writer::Package package = Sample();
    package.check.type = 1;
    package.check.windowClass = "KzpE2eRunningApp";
    package.check.waitForExit = 1;
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, ""));
    HWND main = run.WaitFor(WindowKind::kMain);
    AnswerQuestion(run, true);
    ASSERT_TRUE(WaitUntil([&] { return Contains(LogLines(main), Format(Slot(34), {kTitle})); }))
        << run.Describe();
    // Not scaled: the updater waits for the program 30 seconds at most, however
    // slow the machine, and this pause must stay well inside them.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(test::ReadTree(app_), old_);
    PostMessageW(appWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.WaitForExit(), 0);
    WaitForClose(run, main, Slot(2));
    EXPECT_EQ(Last(LogLines(main)), Slot(19));
    CloseAndExpectExit(run, main, 0);
    EXPECT_EQ(test::ReadTree(app_), new_);
}

// A package with its own texts for code pages 932 and 1252: each system
// shows the block of its own code page, whatever the order of the blocks.
std::string ToCodePage(const std::string& utf8, UINT codePage) {
    std::wstring wide = Wide(utf8);
    int size = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

writer::LanguageBlock Block(uint32_t codePage, const std::string& face,
                            const std::vector<std::pair<int, std::string>>& texts) {
    writer::LanguageBlock block;
    block.codePage = codePage;
    block.fontFace = ToCodePage(face, codePage);
    block.fontHeight = 13;
    for (int k = 0; k < 69; ++k) block.texts[k] = ToCodePage(Slot(k), codePage);
    for (const auto& [k, text] : texts) block.texts[k] = ToCodePage(text, codePage);
    return block;
}

// A compact package updates, adds and deletes like the original one, under
// either code page.
TEST_F(CodePageScenario, CompactPackageUpdatesTheFolder) {
    writer::Package package = CompactPackageFor(old_, new_, app_);
    std::string exe = Build(package, "compact.exe");
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, "-F"));
    EXPECT_EQ(run.WaitForExit(), 0) << run.Describe();
    EXPECT_EQ(test::ReadTree(app_), new_);
    ExpectEntryTimes(package);
}

TEST_F(CodePageScenario, EachCodePageGetsItsOwnLanguageBlock) {
    writer::Package package = Sample();
    package.languages.push_back(Block(
        932, "ＭＳ Ｐゴシック",
        {{5, "完了！"}, {19, "更新が完了しました。"}, {2, "閉じる"}, {8, "%s 更新 (%s → %s)"}}));
    package.languages.push_back(Block(1252, "Tahoma",
                                      {{5, "Terminé"},
                                       {19, "Mise à jour appliquée."},
                                       {2, "&Fermer"},
                                       {8, "%s – mise à jour (%s » %s)"},
                                       {10, "Mettre à jour %s de %s à %s ?\\nCliquez « Oui »."}}));
    std::string exe = Build(package);

    struct Expected {
        bool japanese;
        std::string finished, applied, close, caption;
    };
    const Expected japanese{true, "完了！", "更新が完了しました。", "閉じる",
                            "Sample App 更新 (1.0 → 2.0)"};
    const Expected western{false, "Terminé", "Mise à jour appliquée.", "&Fermer",
                           "Sample App – mise à jour (1.0 » 2.0)"};
    {
        const Expected& e = SystemIsJapanese() ? japanese : western;
        UpdaterRun run;
        ASSERT_TRUE(run.Start(exe, ""));
        HWND main = run.WaitFor(WindowKind::kMain);
        HWND box = run.WaitFor(WindowKind::kMessageBox);
        ASSERT_NE(box, nullptr) << run.Describe();
        if (!e.japanese) {
            EXPECT_EQ(MessageBoxText(box),
                      "Mettre à jour Sample App de 1.0 à 2.0 ?\r\nCliquez « Oui ».");
        }
        EXPECT_EQ(WindowText(main), e.caption);
        ASSERT_TRUE(Press(box, IDYES));
        WaitForClose(run, main, e.close);
        EXPECT_EQ(ControlText(main, kLabelStep), e.finished);
        EXPECT_EQ(Last(LogLines(main)), e.applied);
        CloseAndExpectExit(run, main, 0);
        EXPECT_EQ(test::ReadTree(app_), new_);
    }
}

// Where the updater shows each catalogue text that has a control of its own:
// window, control, slot. The texts formatted with a path go to the log pane
// (and, with a file name, to the step label), where they may scroll; the
// question and the prompts' messages are message boxes, which take the size
// of their text.
struct TextPlace {
    WindowKind window;
    int control;
    int slot;
};
constexpr int kPromptText = 1026;
const TextPlace kTextPlaces[] = {
    {WindowKind::kMain, kLabelCopyright, kSlotCopyrightLabel},
    {WindowKind::kMain, kLabelLog, kSlotLogLabel},
    {WindowKind::kMain, kCheckDeleteBackups, kSlotDeleteBackups},
    {WindowKind::kMain, kLabelStep, kSlotCheckingPackage},
    {WindowKind::kMain, kLabelStep, kSlotFinished},
    {WindowKind::kMain, kButtonCancelClose, kSlotCancel},
    {WindowKind::kMain, kButtonCancelClose, kSlotClose},
    {WindowKind::kPassword, kPromptText, kSlotPasswordPrompt},
    {WindowKind::kPassword, IDOK, kSlotOk},
    {WindowKind::kPassword, IDCANCEL, kSlotCancel},
    {WindowKind::kFolder, kPromptText, kSlotFolderPrompt},
    {WindowKind::kFolder, 1005, kSlotBrowse},
    {WindowKind::kFolder, IDOK, kSlotOk},
    {WindowKind::kFolder, IDCANCEL, kSlotCancel},
    {WindowKind::kDocument, IDOK, kSlotClose},
};

// A text of a language block as a control of this system shows it: line
// breaks made CR LF, the bytes read in the system's code page (the updater
// sets its texts through the ANSI functions).
std::wstring Shown(std::string stored) {
    std::vector<char> text(stored.begin(), stored.end());
    text.push_back(0);
    ConvertLineBreaks(text.data());
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

// The package font the updater makes from a block, made here the same way.
class BlockFont {
  public:
    explicit BlockFont(const writer::LanguageBlock& block)
        : font_(Win32Os().CreateFontFrom(MakePackageFontDescription(
              block.fontFace.c_str(), block.fontHeight, block.codePage))) {}
    ~BlockFont() { DeleteObject(ToWin32(font_)); }
    BlockFont(const BlockFont&) = delete;
    BlockFont& operator=(const BlockFont&) = delete;
    HFONT get() const { return ToWin32(font_); }

  private:
    FontHandle font_;
};

// Every text that kzp make's language blocks put into a control fits it,
// measured with the package font: the built-in Japanese texts where the
// code page is 932, the English block on every system (a package made for
// English only shows it on a Japanese system too). One run per block shows
// each window: the password and folder prompts, a document, the main window.
TEST_F(CodePageScenario, EveryDefaultTextFitsItsControl) {
    const writer::LanguageBlock english = tool::EnglishBlock();
    const writer::LanguageBlock japanese = tool::JapaneseBlock();
    struct Case {
        std::vector<writer::LanguageBlock> blocks;  // in the package
        const writer::LanguageBlock* shown;         // the block this system takes
    };
    std::vector<Case> cases = {{{english, japanese}, SystemIsJapanese() ? &japanese : &english}};
    if (SystemIsJapanese()) cases.push_back({{english}, &english});

    for (const Case& c : cases) {
        const writer::LanguageBlock& block = *c.shown;
        SCOPED_TRACE("language block of code page " + std::to_string(block.codePage));
        ASSERT_TRUE(test::RemovePath(app_));
        ASSERT_TRUE(WriteTree(app_, old_));
        writer::Package package = Sample();
        package.languages = c.blocks;
        package.SetPassword("fit");
        package.target = {};
        package.target.type = 0;  // the folder prompt
        package.documentBefore = "Read me first.";
        std::string exe = Build(package);
        BlockFont font(block);

        std::string misfits;
        std::vector<WindowKind> measured;
        auto measure = [&](HWND window, WindowKind kind) {
            measured.push_back(kind);
            for (const TextPlace& place : kTextPlaces) {
                if (place.window != kind) continue;
                std::wstring text = Shown(block.texts[place.slot]);
                TextFit fit = MeasureInControl(window, place.control, text, font.get());
                if (fit.Fits()) continue;
                misfits += "  slot " + std::to_string(place.slot) + " \"" + Utf8(text) +
                           "\" in control " + std::to_string(place.control) + ": needs " +
                           std::to_string(fit.needed.cx) + "x" + std::to_string(fit.needed.cy) +
                           " pixels, has " + std::to_string(fit.room.cx) + "x" +
                           std::to_string(fit.room.cy) + "\n";
            }
        };

        UpdaterRun run;
        ASSERT_TRUE(run.Start(exe, ""));
        HWND main = run.WaitFor(WindowKind::kMain);
        ASSERT_NE(main, nullptr);
        const std::string close = Utf8(Shown(block.texts[kSlotClose]));
        // Each prompt is measured once, then answered: Yes to the question,
        // the password, the folder, OK to the document.
        std::vector<HWND> seen;
        std::vector<HWND> answered;
        auto in = [](const std::vector<HWND>& list, HWND window) {
            return std::find(list.begin(), list.end(), window) != list.end();
        };
        bool ended = WaitUntil([&] {
            for (const FoundWindow& w : run.Windows()) {
                if (w.kind == WindowKind::kMain || w.kind == WindowKind::kOther ||
                    in(answered, w.handle)) {
                    continue;
                }
                if (w.kind != WindowKind::kMessageBox && !in(seen, w.handle)) {
                    seen.push_back(w.handle);
                    measure(w.handle, w.kind);
                }
                if (w.kind == WindowKind::kPassword) Type(w.handle, 1017, "fit");
                if (w.kind == WindowKind::kFolder) Type(w.handle, 1003, app_);
                if (Press(w.handle, w.kind == WindowKind::kMessageBox ? IDYES : IDOK)) {
                    answered.push_back(w.handle);
                }
            }
            return IsControlEnabled(main, kButtonCancelClose) &&
                   ControlText(main, kButtonCancelClose) == close;
        });
        ASSERT_TRUE(ended) << run.Describe() << Lines(LogLines(main));
        measure(main, WindowKind::kMain);

        // The heading, formatted with the package's title and versions, is
        // laid out by its edit control in the control's own font: the copy
        // made here must put its characters at the same places, or the
        // measurements above say nothing.
        const std::wstring heading = Wide(ControlText(main, kEditHeading));
        ASSERT_GT(heading.size(), 1u);
        const int last = static_cast<int>(heading.size()) - 1;
        EXPECT_NEAR(EditCharacterOffset(main, kEditHeading, last),
                    TextExtent(font.get(), heading.substr(0, last)).cx, 2)
            << Utf8(heading);
        TextFit headingFit = MeasureInControl(main, kEditHeading, heading, font.get());
        EXPECT_TRUE(headingFit.Fits()) << Utf8(heading) << ": needs " << headingFit.needed.cx
                                       << " pixels, has " << headingFit.room.cx;

        for (WindowKind kind : {WindowKind::kPassword, WindowKind::kFolder, WindowKind::kDocument,
                                WindowKind::kMain}) {
            EXPECT_NE(std::find(measured.begin(), measured.end(), kind), measured.end())
                << "no window of kind " << static_cast<int>(kind) << " was measured";
        }
        EXPECT_TRUE(misfits.empty()) << "texts that do not fit their controls:\n" << misfits;
        CloseAndExpectExit(run, main, 0);
        EXPECT_EQ(test::ReadTree(app_), new_);
    }
}

// What a 32-bit updater sees on 64-bit Windows, and under Wine's WoW64 alike:
// HKLM\Software through Wow6432Node, "Program Files (x86)" as the Program
// Files base folder, and System32 redirected to SysWOW64. A vendor whose
// program is 64-bit writes the 64-bit view and installs under the 64-bit
// folders; the 32-bit updater does not find them and changes nothing. The
// 64-bit build of the same code finds them. Each case shows both sides.
class Wow64Scenario : public UpdaterScenario {
  protected:
    void TearDown() override {
        for (const std::string& folder : extraFolders_) test::RemovePath(folder);
        for (const auto& [key, view] : keys_)
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), view, 0);
        UpdaterScenario::TearDown();
    }

    // HKLM\`key` "InstallDir" = `folder` in one view of the registry.
    void WriteInstallDir(const std::string& key, REGSAM view, const std::string& folder) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                                  nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        keys_.push_back({key, view});
        LONG status = RegSetValueExA(k, "InstallDir", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(folder.c_str()),
                                     static_cast<DWORD>(folder.size() + 1));
        RegCloseKey(k);
        ASSERT_EQ(status, ERROR_SUCCESS);
    }

    // Moves the installed old tree to `folder` (removed at the end).
    void InstallAt(const std::string& folder) {
        ASSERT_TRUE(test::RemovePath(app_));
        extraFolders_.push_back(folder);
        test::RemovePath(folder);
        app_ = folder;
        ASSERT_TRUE(WriteTree(app_, old_));
    }

    // Runs `package` to its end: applied (exit 0) or stopped with a missing
    // old file or the target-folder error, nothing changed (exit 255).
    enum class Outcome { kApplied, kMissingOldFile, kNoTargetFolder };
    std::vector<std::string> RunExpecting(const writer::Package& package, Outcome outcome) {
        std::string exe = Build(package);
        UpdaterRun run;
        EXPECT_TRUE(run.Start(exe, ""));
        HWND main = run.WaitFor(WindowKind::kMain);
        AnswerQuestion(run, true);
        std::vector<std::string> log;
        if (outcome == Outcome::kApplied) {
            WaitForClose(run, main, Slot(2));
            log = LogLines(main);
            EXPECT_EQ(Last(log), Slot(19)) << Lines(log);
            CloseAndExpectExit(run, main, 0);
        } else {
            std::vector<std::string> last = {Slot(45), Slot(20)};
            if (outcome == Outcome::kNoTargetFolder) {
                last = {Slot(48), Format(Slot(49), {kTitle}), Slot(20)};
            }
            EXPECT_TRUE(WaitUntil([&] {
                return IsControlEnabled(main, kButtonCancelClose) &&
                       ControlText(main, kButtonCancelClose) == Slot(2);
            })) << run.Describe();
            log = LogLines(main);
            EXPECT_EQ(Tail(log, last.size()), last) << Lines(log);
            CloseAndExpectExit(run, main, 255);
        }
        return log;
    }

    std::vector<std::pair<std::string, REGSAM>> keys_;
    std::vector<std::string> extraFolders_;
};

std::string SpecialFolder(int csidl) {
    char path[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// A registry target that only the 64-bit view holds: the 32-bit updater
// reads Wow6432Node and ends with the target-folder error (0x10008). Once the
// 32-bit view holds it as well, the 32-bit updater applies the package.
TEST_F(Wow64Scenario, RegistryTargetIsReadInTheUpdatersOwnView) {
    const std::string key = "Software\\KzpE2e Wow64\\App";
    WriteInstallDir(key, KEY_WOW64_64KEY, app_);
    writer::Package package = Sample();
    package.target = {};
    package.target.type = 1;
    package.target.rootOrBase = 2;  // HKLM
    package.target.path = key;
    package.target.name = "InstallDir";
    if (!UpdaterIs32Bit()) {
        RunExpecting(package, Outcome::kApplied);
        EXPECT_EQ(test::ReadTree(app_), new_);
        return;
    }
    RunExpecting(package, Outcome::kNoTargetFolder);
    EXPECT_EQ(test::ReadTree(app_), old_);
    WriteInstallDir(key, KEY_WOW64_32KEY, app_);
    RunExpecting(package, Outcome::kApplied);
    EXPECT_EQ(test::ReadTree(app_), new_);
}

// The Program Files base: a program installed under the 64-bit Program Files
// folder is not where the 32-bit updater looks ("Program Files (x86)"); the
// run stops at the first old file and changes nothing.
TEST_F(Wow64Scenario, ProgramFilesBaseIsTheX86FolderFor32BitUpdaters) {
    const std::string programFiles = SpecialFolder(CSIDL_PROGRAM_FILES);
    const std::string x86 = SpecialFolder(CSIDL_PROGRAM_FILESX86);
    ASSERT_FALSE(programFiles.empty());
    InstallAt(programFiles + "\\KzpE2e Wow64 App");
    writer::Package package = Sample();
    package.target.type = 3;
    package.target.rootOrBase = 2;  // the Program Files base
    package.target.path = "KzpE2e Wow64 App";
    if (!UpdaterIs32Bit()) {
        RunExpecting(package, Outcome::kApplied);
        EXPECT_EQ(test::ReadTree(app_), new_);
        return;
    }
    ASSERT_FALSE(x86.empty());
    ASSERT_NE(Lower(x86), Lower(programFiles));
    std::vector<std::string> log = RunExpecting(package, Outcome::kMissingOldFile);
    EXPECT_TRUE(Contains(log, Format(Slot(25), {x86 + "\\KzpE2e Wow64 App\\"}))) << Lines(log);
    EXPECT_EQ(test::ReadTree(app_), old_);

    // What kzp make advises for a 64-bit program: the folder named from the
    // Windows drive, which no view redirects.
    char windows[MAX_PATH] = "";
    ASSERT_NE(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    ASSERT_EQ(Lower(programFiles.substr(0, 3)), Lower(std::string(windows, 3)));
    package.target.rootOrBase = 3;  // the Windows drive
    package.target.path = programFiles.substr(3) + "\\KzpE2e Wow64 App";
    RunExpecting(package, Outcome::kApplied);
    EXPECT_EQ(test::ReadTree(app_), new_);
}

// The system folder base: the 32-bit updater is told System32, but its file
// accesses go to SysWOW64. Files that a 64-bit installer put into System32
// are missing for it; a copy in SysWOW64 is updated while the log names
// System32, and the System32 copy stays old.
TEST_F(Wow64Scenario, SystemFolderBaseIsRedirectedToSysWow64) {
    char system[MAX_PATH] = "";
    ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
    const std::string system32 = std::string(system) + "\\KzpE2e Wow64";
    InstallAt(system32);
    writer::Package package = Sample();
    package.target.type = 3;
    package.target.rootOrBase = 1;  // the system folder
    package.target.path = "KzpE2e Wow64";
    if (!UpdaterIs32Bit()) {
        RunExpecting(package, Outcome::kApplied);
        EXPECT_EQ(test::ReadTree(app_), new_);
        return;
    }
    std::vector<std::string> log = RunExpecting(package, Outcome::kMissingOldFile);
    EXPECT_TRUE(Contains(log, Format(Slot(25), {system32 + "\\"}))) << Lines(log);
    EXPECT_EQ(test::ReadTree(system32), old_);

    const std::string sysWow64 = SpecialFolder(CSIDL_SYSTEMX86) + "\\KzpE2e Wow64";
    ASSERT_NE(Lower(sysWow64), Lower(system32));
    extraFolders_.push_back(sysWow64);
    ASSERT_TRUE(WriteTree(sysWow64, old_));
    log = RunExpecting(package, Outcome::kApplied);
    EXPECT_TRUE(Contains(log, Format(Slot(25), {system32 + "\\"}))) << Lines(log);
    EXPECT_EQ(test::ReadTree(sysWow64), new_);
    EXPECT_EQ(test::ReadTree(system32), old_);
}

// After a successful run the package's follow-up file is opened in the
// target folder.
TEST_F(UpdaterScenario, FollowUpFileIsOpenedAfterSuccess) {
    Bytes followUp;
    ASSERT_TRUE(test::ReadBytes(FollowUpProgramPath(), &followUp));
    new_["followup.exe"] = followUp;
    writer::Package package = Sample();
    package.launchFile = "followup.exe";
    std::string exe = Build(package);
    UpdaterRun run;
    ASSERT_TRUE(run.Start(exe, "-f"));
    EXPECT_EQ(run.WaitForExit(), 0) << run.Describe();
    std::string marker = Full("followup-ran.txt");
    ASSERT_TRUE(WaitUntil(
        [&] {
            Bytes data;
            return test::ReadBytes(marker, &data) && !data.empty();
        },
        20s));
    Bytes where;
    ASSERT_TRUE(test::ReadBytes(marker, &where));
    EXPECT_EQ(Lower(WithoutTrailingBackslash(std::string(where.begin(), where.end()))),
              Lower(app_));
    Tree expected = new_;
    expected["followup-ran.txt"] = where;
    EXPECT_EQ(test::ReadTree(app_), expected);
}

}  // namespace
}  // namespace kzp::e2e

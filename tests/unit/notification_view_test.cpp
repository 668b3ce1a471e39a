#include "engine/notification_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "engine/status_notification.h"

namespace kzp {
namespace {

using Kind = WindowActionKind;

// A state whose catalogue slot k reads "<k>" unless a test gives it a text.
class NotificationViewTest : public testing::Test {
  protected:
    void SetUp() override {
        state_ = std::make_unique<UpdaterState>();
        InitUpdaterState(state_.get(), kNoInstance);
        for (int k = 0; k < kCatalogueSlots; ++k) {
            SetSlot(k, "<" + std::to_string(k) + ">");
        }
        CopyText(state_->title, kMaxPath, "App");
        state_->threadHandle = 1;
        savedCodePage_ = ansiCodePage;
        ansiCodePage = 932;
    }
    void TearDown() override {
        ansiCodePage = savedCodePage_;
        ReleaseUpdaterState(state_.get());
    }

    void SetSlot(int k, const std::string& text) {
        CopyText(state_->catalogue[k], kMaxPath, text.c_str());
    }
    const WindowActions& Describe(uint32_t code, intptr_t value = 0) {
        DescribeNotification(*state_, code, value, &actions_);
        return actions_;
    }
    const WindowActions& DescribeText(uint32_t code, const char* text) {
        return Describe(code, reinterpret_cast<intptr_t>(text));
    }
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        for (int i = 0; i < actions_.count; ++i) {
            if (actions_.items[i].kind == Kind::kLog) lines.push_back(actions_.items[i].text);
        }
        return lines;
    }
    std::vector<Kind> Kinds() const {
        std::vector<Kind> kinds;
        for (int i = 0; i < actions_.count; ++i) kinds.push_back(actions_.items[i].kind);
        return kinds;
    }

    std::unique_ptr<UpdaterState> state_;
    WindowActions actions_{};
    uint32_t savedCodePage_ = 0;
};

TEST_F(NotificationViewTest, PercentagesShowTenthsOfAPercent) {
    const std::pair<intptr_t, const char*> cases[] = {
        {0, "0.0%"}, {5, "0.5%"}, {999, "99.9%"}, {1000, "100.0%"}};
    for (const auto& [value, text] : cases) {
        const WindowActions& a = Describe(SN_FILE_PROGRESS, value);
        ASSERT_EQ(a.count, 2);
        EXPECT_EQ(a.items[0].kind, Kind::kSetText);
        EXPECT_EQ(a.items[0].control, kLabelFilePercent);
        EXPECT_STREQ(a.items[0].text, text);
        EXPECT_EQ(a.items[1].kind, Kind::kSetBar);
        EXPECT_EQ(a.items[1].control, kBarFile);
        EXPECT_EQ(a.items[1].value, value);
    }
    const WindowActions& total = Describe(SN_TOTAL_PROGRESS, 666);
    ASSERT_EQ(total.count, 2);
    EXPECT_EQ(total.items[0].control, kLabelOverallPercent);
    EXPECT_STREQ(total.items[0].text, "66.6%");
    EXPECT_EQ(total.items[1].control, kBarOverall);
}

TEST_F(NotificationViewTest, UnknownCodesChangeNothing) {
    for (uint32_t code : {16u, 29u, 50u, 99u, 101u, 2024u}) {
        EXPECT_EQ(Describe(code, 0x10008).count, 0) << code;
    }
}

TEST_F(NotificationViewTest, TargetFolderErrorLogsThreeLinesAndUnknownErrorOne) {
    SetSlot(kSlotNotInstalled, "[%s] not installed");
    Describe(SN_FAILED, 0x10008);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<48>", "[App] not installed", "<20>"}));
    EXPECT_EQ(actions_.items[0].kind, Kind::kMarkFailed);

    Describe(SN_FAILED, 0x20000);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<20>"}));
    Describe(SN_FAILED, 0);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<20>"}));
}

TEST_F(NotificationViewTest, EachErrorCodeLogsItsOwnSlot) {
    // ErrorOpenPackage (a box) and ErrorTargetFolder (two lines) have tests of
    // their own.
    const struct {
        Result code;
        int slot;
    } cases[] = {
        {kErrorReadPackage, kSlotReadError},
        {kErrorNotPackage, kSlotNotPackageError},
        {kErrorPackageVersion, kSlotPackageVersionError},
        {kErrorOldFileMissing, kSlotOldFileMissingError},
        {kErrorOldFileOpen, kSlotOldFileOpenError},
        {kErrorOldFileRead, kSlotOldFileReadError},
        {kErrorDigestMismatch, kSlotDigestMismatchError},
        {kErrorDateSizeMismatch, kSlotDateSizeMismatchError},
        {kErrorRename, kSlotRenameError},
        {kErrorNewFileOpen, kSlotNewFileOpenError},
        {kErrorNewFileWrite, kSlotNewFileWriteError},
        {kErrorDiffData, kSlotDiffDataError},
        {kErrorDiffVersion, kSlotDiffVersionError},
        {kErrorTampered, kSlotTamperedError},
        {kErrorProcessList, kSlotProcessListError},
        {kErrorAddExists, kSlotAddExistsError},
    };
    for (const auto& c : cases) {
        Describe(SN_FAILED, c.code);
        EXPECT_EQ(LogLines(),
                  (std::vector<std::string>{"<" + std::to_string(c.slot) + ">", "<20>"}))
            << ResultName(c.code);
    }
}

TEST_F(NotificationViewTest, OpenErrorShowsTheBoxThenLogsAndEndsTheRun) {
    SetSlot(kSlotOpenError, "[Error] Unable to open kzp file.");
    Describe(SN_FAILED, 0x10001);
    ASSERT_GE(actions_.count, 3);
    EXPECT_EQ(actions_.items[0].kind, Kind::kMarkFailed);
    EXPECT_EQ(actions_.items[1].kind, Kind::kShowOpenError);
    EXPECT_STREQ(actions_.items[1].text, "[Error] Unable to open kzp file.");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<20>"}));
    EXPECT_EQ(Kinds().back(), Kind::kEnable);
}

TEST_F(NotificationViewTest, FailedRunsRollBackOnlyWhenFilesChanged) {
    Describe(SN_CANCELLED);
    EXPECT_EQ(Kinds(),
              (std::vector<Kind>{Kind::kMarkFailed, Kind::kLog, Kind::kEnable,
                                 Kind::kWaitForApplyThread, Kind::kSetText, Kind::kEnable}));
    EXPECT_EQ(actions_.items[2].control, kCheckDeleteBackups);
    EXPECT_EQ(actions_.items[2].value, 0);
    EXPECT_STREQ(actions_.items[4].text, "<2>");
    EXPECT_EQ(actions_.items[5].control, kButtonCancelClose);
    EXPECT_EQ(actions_.items[5].value, 1);

    ASSERT_GE(state_->changedFiles->Add("C:\\App\\a.exe"), 0);
    SetSlot(kSlotProgramRunning, "%s is running");
    Describe(SN_PROGRAM_RUNNING);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"App is running", "<23>", "<24>"}));
    EXPECT_EQ(Kinds(),
              (std::vector<Kind>{Kind::kMarkFailed, Kind::kLog, Kind::kEnable, Kind::kLog,
                                 Kind::kRestoreChangedFiles, Kind::kLog, Kind::kWaitForApplyThread,
                                 Kind::kSetText, Kind::kEnable}));
}

TEST_F(NotificationViewTest, SuccessClosesByItselfOnlyWithSkipConfirm) {
    Describe(SN_FINISHED);
    EXPECT_EQ(actions_.items[0].kind, Kind::kSetText);
    EXPECT_EQ(actions_.items[0].control, kLabelStep);
    EXPECT_STREQ(actions_.items[0].text, "<5>");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<19>"}));
    EXPECT_EQ(Kinds().back(), Kind::kEnable);
    for (Kind k : Kinds()) EXPECT_NE(k, Kind::kMarkFailed);

    state_->skipConfirm = 1;
    Describe(SN_FINISHED);
    std::vector<Kind> kinds = Kinds();
    ASSERT_GE(kinds.size(), 2u);
    EXPECT_EQ(kinds[kinds.size() - 2], Kind::kDeleteBackupsIfChecked);
    EXPECT_EQ(kinds.back(), Kind::kCloseWindow);
    // A failed run never closes by itself.
    Describe(SN_FAILED, 0x10009);
    EXPECT_EQ(Kinds().back(), Kind::kEnable);
}

TEST_F(NotificationViewTest, FileStartSplitsNameAndExtension) {
    SetSlot(kSlotUpdatingLog, "[%s] updating");
    SetSlot(kSlotUpdatingLabel, "%s%s を更新しています...");
    DescribeText(SN_UPDATE_FILE, "C:\\App\\README");
    ASSERT_EQ(actions_.count, 3);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"[C:\\App\\README] updating"}));
    EXPECT_EQ(actions_.items[1].control, kLabelStep);
    EXPECT_STREQ(actions_.items[1].text, "README を更新しています...");
    EXPECT_EQ(actions_.items[2].kind, Kind::kSetBar);
    EXPECT_EQ(actions_.items[2].control, kBarFile);
    EXPECT_EQ(actions_.items[2].value, 0);

    SetSlot(kSlotDeletingLabel, "%s|%s");
    DescribeText(SN_DELETE_FILE, "C:\\v1.2\\sub/lib.tar.gz");
    EXPECT_STREQ(actions_.items[1].text, "lib.tar|.gz");
    DescribeText(SN_ADD_FILE, nullptr);  // a missing text is an empty one
    EXPECT_EQ(actions_.count, 3);
}

TEST_F(NotificationViewTest, DetailLinesCarryThePrefix) {
    SetSlot(kSlotFileMd5, "[%s] MD5");
    DescribeText(SN_VERIFY_FILE_MD5, "C:\\a.dll");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"\x81\x40\x81\x40--> [C:\\a.dll] MD5"}));
    DescribeText(SN_VERIFY_DELETE_SKIPPED, "x");
    EXPECT_EQ(LogLines().front().rfind(kDetailPrefix, 0), 0u);
    DescribeText(SN_DELETE_SKIPPED, "x");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"<38>"}));
}

TEST_F(NotificationViewTest, TextSetUpFollowsTheWindowOrder) {
    SetSlot(kSlotPackagePath, "package [%s]");
    CopyText(state_->packagePath, kMaxPath, "C:\\upd.exe");
    Describe(SN_APPLY_TEXTS);
    ASSERT_EQ(actions_.count, 7);
    EXPECT_EQ(actions_.items[0].kind, Kind::kApplyFonts);
    EXPECT_STREQ(actions_.items[1].text, "package [C:\\upd.exe]");
    const std::pair<int, const char*> texts[] = {{kLabelCopyright, "<4>"},
                                                 {kLabelStep, "<16>"},
                                                 {kButtonCancelClose, "<1>"},
                                                 {kCheckDeleteBackups, "<7>"},
                                                 {kLabelLog, "<6>"}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(actions_.items[2 + i].kind, Kind::kSetText);
        EXPECT_EQ(actions_.items[2 + i].control, texts[i].first);
        EXPECT_STREQ(actions_.items[2 + i].text, texts[i].second);
    }
}

TEST_F(NotificationViewTest, CheckBoxFollowsTheDefault) {
    state_->deleteBackupsDefault = 0;
    Describe(SN_BACKUP_DEFAULT);
    ASSERT_EQ(actions_.count, 1);
    EXPECT_EQ(actions_.items[0].kind, Kind::kSetCheck);
    EXPECT_EQ(actions_.items[0].value, 0);
    state_->deleteBackupsDefault = 1;
    EXPECT_EQ(Describe(SN_BACKUP_DEFAULT).items[0].value, 1);
}

TEST_F(NotificationViewTest, PackageTextsFormatSafely) {
    // A package's slot with more and other conversions than its one argument.
    SetSlot(kSlotTargetFolder, "%s %s %n %d %x");
    CopyText(state_->targetFolder, kMaxPath, "C:\\App\\");
    Describe(SN_TARGET_FOLDER);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"C:\\App\\ %s %n %d %x"}));

    // Texts shown without values are shown as stored: log lines, error
    // lines, labels and the Close button.
    const std::string stored = "100%% sure %s";
    for (int slot : {kSlotIntegrityCheck, kSlotCancelled, kSlotClose, kSlotReadingInfo})
        SetSlot(slot, stored);
    Describe(SN_INTEGRITY_CHECK);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{stored}));
    Describe(SN_CANCELLED);
    ASSERT_FALSE(LogLines().empty());
    EXPECT_EQ(LogLines().front(), stored);
    bool closeShown = false;
    for (int i = 0; i < actions_.count; ++i) {
        const WindowAction& a = actions_.items[i];
        if (a.kind == Kind::kSetText && a.control == kButtonCancelClose) {
            EXPECT_EQ(std::string(a.text), stored);
            closeShown = true;
        }
    }
    EXPECT_TRUE(closeShown);

    // A long double-byte text is cut at a character boundary: the 512-byte
    // buffer would end with the lead byte of the character at 510.
    std::string wide;
    for (int i = 0; i < 120; ++i) wide += "\x82\xa0";
    SetSlot(kSlotUpdateMissing, wide + "%s");
    std::string path;
    for (int i = 0; i < 150; ++i) path += "\x82\xa0";
    DescribeText(SN_UPDATE_SKIPPED, path.c_str());
    std::string line = LogLines().at(0);
    EXPECT_EQ(line.size(), 510u);
    EXPECT_EQ(line, (wide + path).substr(0, 510));
}

TEST_F(NotificationViewTest, CancelWhileRunningAndCloseAfterwards) {
    DescribeCancelCommand(*state_, &actions_);
    EXPECT_EQ(Kinds(), (std::vector<Kind>{Kind::kEnable, Kind::kLog, Kind::kRequestCancel}));
    EXPECT_EQ(actions_.items[0].value, 0);
    EXPECT_STREQ(actions_.items[1].text, "<18>");

    state_->threadHandle = kNoThread;
    DescribeCancelCommand(*state_, &actions_);
    EXPECT_EQ(Kinds(), (std::vector<Kind>{Kind::kDeleteBackupsIfEnabledAndChecked, Kind::kEnable,
                                          Kind::kCloseWindow}));
}

}  // namespace
}  // namespace kzp

#include "engine/notification_view.h"

#include <string.h>

#include "app/catalogue.h"
#include "engine/status_notification.h"
#include "support/format.h"
#include "support/result_code.h"

namespace kzp {

// Two ideographic spaces (0x81 0x40 each in code page 932), "-->", a space.
const char kDetailPrefix[] = "\x81\x40\x81\x40--> ";

namespace {

// A formatted text is built in 512 bytes; the detail prefix goes in front.
constexpr size_t kFormattedSize = 512;
constexpr size_t kDetailPrefixLength = sizeof(kDetailPrefix) - 1;
static_assert(kDetailPrefixLength + kFormattedSize <= kActionTextSize,
              "an action holds the prefix and a whole formatted text");

// The first error code whose message needs two slots, and the codes around it.
constexpr Result kFirstErrorCode = kErrorOpenPackage;
constexpr Result kLastErrorCode = kErrorAddExists;

class ActionList {
  public:
    ActionList(UpdaterState& state, WindowActions* actions) : state_(state), actions_(actions) {
        actions_->count = 0;
    }

    WindowAction* Add(WindowActionKind kind, int control = 0, intptr_t value = 0) {
        if (actions_->count >= kMaxWindowActions) return nullptr;
        WindowAction* action = &actions_->items[actions_->count++];
        action->kind = kind;
        action->control = control;
        action->value = value;
        action->text[0] = 0;
        return action;
    }

    const char* Slot(int slot) const {
        const char* text = state_.catalogue[slot];
        return text != nullptr ? text : "";
    }

    // A formatted catalogue text, optionally behind the detail prefix.
    template <typename... Args>
    void AddFormatted(WindowActionKind kind, int control, bool detail, int slot, Args... args) {
        WindowAction* action = Add(kind, control);
        if (action == nullptr) return;
        char* out = action->text;
        if (detail) {
            CopyText(out, kActionTextSize, kDetailPrefix);
            out += kDetailPrefixLength;
        }
        size_t length;
        if constexpr (sizeof...(Args) == 0) {
            // A text shown without values is shown as stored: a "%" in a
            // package's label or log line is no directive.
            CopyText(out, kFormattedSize, Slot(slot));
            length = strlen(out);
        } else {
            length = FormatText(out, kFormattedSize, Slot(slot), args...);
        }
        CutHalfCharacter(out, length);
    }

    template <typename... Args>
    void Log(int slot, Args... args) {
        AddFormatted(WindowActionKind::kLog, 0, false, slot, args...);
    }
    template <typename... Args>
    void LogDetail(int slot, Args... args) {
        AddFormatted(WindowActionKind::kLog, 0, true, slot, args...);
    }
    template <typename... Args>
    void SetText(int control, int slot, Args... args) {
        AddFormatted(WindowActionKind::kSetText, control, false, slot, args...);
    }
    void SetPlainText(WindowActionKind kind, int control, const char* text) {
        WindowAction* action = Add(kind, control);
        if (action != nullptr) CopyText(action->text, kActionTextSize, text);
    }

    UpdaterState& state() { return state_; }

  private:
    // A text cut at the end of its buffer must not end in half a double-byte
    // character, which would swallow the line break the log pane appends.
    static void CutHalfCharacter(char* text, size_t length) {
        if (length + 1 < kFormattedSize) return;
        size_t i = 0;
        while (i < length) {
            size_t step = IsLeadByte(ansiCodePage, static_cast<uint8_t>(text[i])) ? 2 : 1;
            if (i + step > length) {
                text[i] = 0;
                return;
            }
            i += step;
        }
    }

    UpdaterState& state_;
    WindowActions* actions_;
};

const char* TextOf(intptr_t value) {
    const char* text = reinterpret_cast<const char*>(value);
    return text != nullptr ? text : "";
}

// Codes 11, 14 and 15: the log line with the full path, the step label with
// the file's name and extension, and the file bar back to 0.
void DescribeFileStart(ActionList& list, intptr_t value, int logSlot, int labelSlot) {
    const char* path = TextOf(value);
    list.Log(logSlot, path);
    char name[kMaxPath];
    char extension[kMaxPath];
    PathParts parts = SplitPath(path, ansiCodePage);
    CopyTextRange(name, sizeof(name), path, parts.directoryEnd, parts.extensionStart);
    CopyTextRange(extension, sizeof(extension), path, parts.extensionStart, parts.end);
    list.SetText(kLabelStep, labelSlot, name, extension);
    list.Add(WindowActionKind::kSetBar, kBarFile, 0);
}

void DescribeProgress(ActionList& list, intptr_t value, int label, int bar) {
    WindowAction* action = list.Add(WindowActionKind::kSetText, label);
    if (action != nullptr) FormatPercentage(value, action->text, kActionTextSize);
    list.Add(WindowActionKind::kSetBar, bar, value);
}

// What end code 1 logs before slot 20.
void DescribeErrorLines(ActionList& list, intptr_t value) {
    if (value < static_cast<intptr_t>(kFirstErrorCode) ||
        value > static_cast<intptr_t>(kLastErrorCode)) {
        return;
    }
    const Result code = static_cast<Result>(value);
    const int offset = static_cast<int>(code - kFirstErrorCode);
    if (code == kErrorOpenPackage) {
        list.SetPlainText(WindowActionKind::kShowOpenError, 0, list.Slot(kSlotOpenError));
    } else if (code < kErrorTargetFolder) {
        list.Log(kSlotOpenError + offset);
    } else if (code == kErrorTargetFolder) {
        list.Log(kSlotTargetFolderError);
        list.Log(kSlotNotInstalled, list.state().title);
    } else {
        list.Log(kSlotOpenError + 1 + offset);
    }
}

// Codes 1, 2 and 18 after their log lines.
void DescribeRollback(ActionList& list) {
    list.Add(WindowActionKind::kEnable, kCheckDeleteBackups, 0);
    const StringList* changed = list.state().changedFiles;
    if (changed == nullptr || changed->Count() <= 0) return;
    list.Log(kSlotRestoring);
    list.Add(WindowActionKind::kRestoreChangedFiles);
    list.Log(kSlotRestored);
}

// Every end code, last.
void DescribeEndOfRun(ActionList& list, uint32_t code) {
    list.Add(WindowActionKind::kWaitForApplyThread);
    list.SetText(kButtonCancelClose, kSlotClose);
    list.Add(WindowActionKind::kEnable, kButtonCancelClose, 1);
    if (code == SN_FINISHED && list.state().skipConfirm == 1) {
        list.Add(WindowActionKind::kDeleteBackupsIfChecked, kCheckDeleteBackups);
        list.Add(WindowActionKind::kCloseWindow);
    }
}

}  // namespace

void FormatPercentage(intptr_t value, char* out, size_t size) {
    const long tenths = static_cast<long>(value);
    FormatText(out, size, "%d.%d%%", tenths / 10, tenths % 10);
}

void DescribeNotification(UpdaterState& state, uint32_t code, intptr_t value,
                          WindowActions* actions) {
    ActionList list(state, actions);
    switch (code) {
        case SN_FINISHED:
            list.SetText(kLabelStep, kSlotFinished);
            list.Log(kSlotApplied);
            DescribeEndOfRun(list, code);
            break;
        case SN_FAILED:
            list.Add(WindowActionKind::kMarkFailed);
            DescribeErrorLines(list, value);
            list.Log(kSlotErrorOccurred);
            DescribeRollback(list);
            DescribeEndOfRun(list, code);
            break;
        case SN_CANCELLED:
            list.Add(WindowActionKind::kMarkFailed);
            list.Log(kSlotCancelled);
            DescribeRollback(list);
            DescribeEndOfRun(list, code);
            break;
        case SN_PROGRAM_RUNNING:
            list.Add(WindowActionKind::kMarkFailed);
            list.Log(kSlotProgramRunning, state.title);
            DescribeRollback(list);
            DescribeEndOfRun(list, code);
            break;
        case SN_READING_INFO:
            list.Log(kSlotReadingInfo);
            list.Add(WindowActionKind::kEnable, kButtonCancelClose, 1);
            break;
        case SN_HEADING:
            list.SetPlainText(WindowActionKind::kSetText, kEditHeading, TextOf(value));
            break;
        case SN_COPYRIGHT:
            list.SetPlainText(WindowActionKind::kSetText, kEditCopyright, state.copyrightText);
            break;
        case SN_VERIFY_MD5:
            list.Log(kSlotVerifyMd5);
            break;
        case SN_VERIFY_DATE_SIZE:
            list.Log(kSlotVerifyDateSize);
            break;
        case SN_VERIFY_FILE_MD5:
            list.LogDetail(kSlotFileMd5, TextOf(value));
            break;
        case SN_VERIFY_FILE_DATE_SIZE:
            list.LogDetail(kSlotFileDateSize, TextOf(value));
            break;
        case SN_TARGET_FOLDER:
            list.Log(kSlotTargetFolder, state.targetFolder);
            break;
        case SN_UPDATE_FILE:
            DescribeFileStart(list, value, kSlotUpdatingLog, kSlotUpdatingLabel);
            break;
        case SN_FILE_PROGRESS:
            DescribeProgress(list, value, kLabelFilePercent, kBarFile);
            break;
        case SN_TOTAL_PROGRESS:
            DescribeProgress(list, value, kLabelOverallPercent, kBarOverall);
            break;
        case SN_ADD_FILE:
            DescribeFileStart(list, value, kSlotAddingLog, kSlotAddingLabel);
            break;
        case SN_DELETE_FILE:
            DescribeFileStart(list, value, kSlotDeletingLog, kSlotDeletingLabel);
            break;
        case SN_INTEGRITY_CHECK:
            list.Log(kSlotIntegrityCheck);
            break;
        case SN_WAIT_FOR_PROGRAM:
            list.Log(kSlotWaitForProgram, TextOf(value));
            break;
        case SN_BACKUP_DEFAULT:
            // BM_SETCHECK on a two-state box takes any non-zero state as checked.
            list.Add(WindowActionKind::kSetCheck, kCheckDeleteBackups,
                     state.deleteBackupsDefault != 0 ? 1 : 0);
            break;
        case SN_UPDATE_SKIPPED:
            list.Log(kSlotUpdateMissing, TextOf(value));
            break;
        case SN_VERIFY_UPDATE_SKIPPED:
            list.LogDetail(kSlotUpdateMissing, TextOf(value));
            break;
        case SN_ADD_OVERWRITE:
            list.Log(kSlotAddOverwrite, TextOf(value));
            break;
        case SN_VERIFY_ADD_EXISTS:
            list.Log(kSlotAddExists, TextOf(value));
            break;
        case SN_SEPARATOR:
            list.Log(kSlotSeparator);
            break;
        case SN_VERIFY_DELETE_SKIPPED:
            list.LogDetail(kSlotDeleteMissing, TextOf(value));
            break;
        case SN_DELETE_SKIPPED:
            list.Log(kSlotDeleteMissing, TextOf(value));
            break;
        case SN_APPLY_TEXTS:
            list.Add(WindowActionKind::kApplyFonts);
            list.Log(kSlotPackagePath, state.packagePath);
            list.SetText(kLabelCopyright, kSlotCopyrightLabel);
            list.SetText(kLabelStep, kSlotCheckingPackage);
            list.SetText(kButtonCancelClose, kSlotCancel);
            list.SetText(kCheckDeleteBackups, kSlotDeleteBackups);
            list.SetText(kLabelLog, kSlotLogLabel);
            break;
        case SN_WINDOW_TITLE:
            list.SetPlainText(WindowActionKind::kSetCaption, 0, TextOf(value));
            break;
        default:
            break;
    }
}

void DescribeCancelCommand(UpdaterState& state, WindowActions* actions) {
    ActionList list(state, actions);
    if (state.threadHandle != kNoThread) {
        list.Add(WindowActionKind::kEnable, kButtonCancelClose, 0);
        list.Log(kSlotStopping);
        list.Add(WindowActionKind::kRequestCancel);
        return;
    }
    list.Add(WindowActionKind::kDeleteBackupsIfEnabledAndChecked, kCheckDeleteBackups);
    list.Add(WindowActionKind::kEnable, kButtonCancelClose, 0);
    list.Add(WindowActionKind::kCloseWindow);
}

}  // namespace kzp

// Status notifications: how the apply engine reports to the window.
//
// The engine never touches a control. Each step reaches the window as a code
// and one value: 0, a text pointer valid only while the notification is
// handled, a progress value in tenths of a percent, or an error code. All codes
// are sent (the engine waits until the window has handled them) except the
// four end codes, which are posted last.
#pragma once

#include <stdint.h>

namespace kzp {

// WM_USER + 1000.
constexpr uint32_t WM_STATUS_NOTIFICATION = 2024;

enum StatusCode : uint32_t {
    SN_FINISHED = 0,
    SN_FAILED = 1,
    SN_CANCELLED = 2,
    SN_READING_INFO = 3,
    SN_HEADING = 4,
    SN_COPYRIGHT = 5,
    SN_VERIFY_MD5 = 6,
    SN_VERIFY_DATE_SIZE = 7,
    SN_VERIFY_FILE_MD5 = 8,
    SN_VERIFY_FILE_DATE_SIZE = 9,
    SN_TARGET_FOLDER = 10,
    SN_UPDATE_FILE = 11,
    SN_FILE_PROGRESS = 12,
    SN_TOTAL_PROGRESS = 13,
    SN_ADD_FILE = 14,
    SN_DELETE_FILE = 15,
    SN_INTEGRITY_CHECK = 17,
    SN_PROGRAM_RUNNING = 18,
    SN_WAIT_FOR_PROGRAM = 19,
    SN_BACKUP_DEFAULT = 20,
    SN_UPDATE_SKIPPED = 21,
    SN_VERIFY_UPDATE_SKIPPED = 22,
    SN_ADD_OVERWRITE = 23,
    SN_VERIFY_ADD_EXISTS = 24,
    SN_SEPARATOR = 25,
    SN_VERIFY_DELETE_SKIPPED = 26,
    SN_DELETE_SKIPPED = 27,
    SN_APPLY_TEXTS = 28,
    SN_WINDOW_TITLE = 100,
};

// Where notifications go. The Windows program turns them into window message
// 2024 (SendMessageA / PostMessageA); tests record them.
class StatusSink {
  public:
    virtual void Send(uint32_t code, intptr_t value) = 0;
    virtual void Post(uint32_t code, intptr_t value) = 0;

  protected:
    ~StatusSink() = default;
};

}  // namespace kzp

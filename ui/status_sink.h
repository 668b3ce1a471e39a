// Status notifications as window message 2024 to the main window: sent (the
// apply thread waits until the window has handled it) or, for the four end
// codes, posted.
#pragma once

#include <windows.h>

#include "app/updater_state.h"
#include "engine/status_notification.h"
#include "platform/win32/win32_handles.h"

namespace kzp {

class Win32StatusSink final : public StatusSink {
  public:
    explicit Win32StatusSink(UpdaterState& state) : state_(state) {}

    void Send(uint32_t code, intptr_t value) override {
        SendMessageA(ToWin32(state_.window), WM_STATUS_NOTIFICATION, code, value);
    }
    void Post(uint32_t code, intptr_t value) override {
        PostMessageA(ToWin32(state_.window), WM_STATUS_NOTIFICATION, code, value);
    }

  private:
    UpdaterState& state_;
};

}  // namespace kzp

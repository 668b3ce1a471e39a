// Sending status notifications from the engine.
#pragma once

#include <stdint.h>

#include "app/updater_state.h"
#include "engine/status_notification.h"
#include "package/decode_context.h"

namespace kzp {

// Sends a notification and waits until the window has handled it.
inline void Notify(UpdaterState& state, uint32_t code, intptr_t value = 0) {
    if (state.sink != nullptr) state.sink->Send(code, value);
}
inline void NotifyText(UpdaterState& state, uint32_t code, const char* text) {
    Notify(state, code, reinterpret_cast<intptr_t>(text));
}
// Posts one of the four end codes; the last thing the apply thread does.
inline void PostEndCode(UpdaterState& state, uint32_t code, intptr_t value) {
    if (state.sink != nullptr) state.sink->Post(code, value);
}

// Progress in tenths of a percent: done / total * 1000 in double precision,
// truncated toward zero and not clamped; 0 when total is 0.
intptr_t ProgressValue(uint64_t done, uint64_t total);

// The run's side of what decoding and the integrity check need: the state's
// heap, its cancel flag, and per-file progress as notification 12.
class StateDecodeContext final : public DecodeContext {
  public:
    explicit StateDecodeContext(UpdaterState& state) : state_(state) {}

    HeapHandle Heap() override { return state_.heap; }
    bool Cancelled() override { return IsCancelRequested(state_); }
    void FileProgress(uint64_t done, uint64_t total) override {
        Notify(state_, SN_FILE_PROGRESS, ProgressValue(done, total));
    }

  private:
    UpdaterState& state_;
};

}  // namespace kzp

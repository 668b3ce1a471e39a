// What the two decoder fuzz targets share: a status sink that presses Cancel
// after a given notification and holds the decoder to its progress rules,
// and the set of results a decoder may return.
#pragma once

#include <stdint.h>

#include "engine/notify.h"
#include "engine/status_notification.h"
#include "tests/fuzz/fuzz_platform.h"

namespace kzp::fuzz {

class CancellingSink : public StatusSink {
  public:
    CancellingSink(UpdaterState& state, uint32_t cancelAfter)
        : state_(state), cancelAfter_(cancelAfter) {}
    void Send(uint32_t code, intptr_t value) override {
        Require(code == SN_FILE_PROGRESS, "the decoder sends only file progress");
        Require(value >= lastProgress, "progress went back");
        lastProgress = value;
        if (cancelAfter_ != 0 && ++sent == cancelAfter_) RequestCancel(state_);
    }
    void Post(uint32_t, intptr_t) override { Require(false, "the decoder posts nothing"); }
    intptr_t lastProgress = -1;
    uint32_t sent = 0;

  private:
    UpdaterState& state_;
    uint32_t cancelAfter_;
};

inline bool IsDecoderResult(Result r) {
    return r == kResultOk || r == kResultCancelled || r == kErrorReadPackage ||
           r == kErrorOldFileRead || r == kErrorNewFileWrite || r == kErrorDiffData ||
           r == kErrorDiffVersion;
}

}  // namespace kzp::fuzz

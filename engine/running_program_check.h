// Makes sure that the program being updated is not running, by its window or
// by its executable's file name, waiting up to 30 seconds when asked to.
#pragma once

#include <stdint.h>

#include "support/result_code.h"

namespace kzp {

constexpr uint32_t kRunningProgramWaitMs = 30000;
// Pause between probes while waiting, so that the wait does not burn a core.
constexpr uint32_t kRunningProgramProbePauseMs = 100;

// 0 (not running, or nothing to look for) or 2 (running).
Result CheckRunningWindow(const char* windowTitle, const char* windowClass, uint8_t waitForExit);
// 0, 2 or 0x10011 (the process list is not available).
Result CheckRunningProcess(const char* programName, uint8_t waitForExit);

}  // namespace kzp

#include "engine/running_program_check.h"

#include "platform/os.h"
#include "platform/owned_handles.h"
#include "support/file_helpers.h"
#include "support/text.h"

namespace kzp {
namespace {

// Windows NT 4.0 has no Tool Help; its processes are listed through psapi.
constexpr int kOsClassNt4 = 3;
constexpr uint32_t kMaxProcesses = 1000;
constexpr uint32_t kMaxModules = 1000;

enum class Scan { kNotFound, kFound, kFailed };

bool Elapsed(uint32_t start) {
    return static_cast<uint32_t>(TheOs().TickCount() - start) >= kRunningProgramWaitMs;
}

// Waits a moment before the next probe, never past the end of the wait.
void PauseBeforeNextProbe(uint32_t start) {
    uint32_t passed = static_cast<uint32_t>(TheOs().TickCount() - start);
    uint32_t left = passed < kRunningProgramWaitMs ? kRunningProgramWaitMs - passed : 0;
    uint32_t pause = left < kRunningProgramProbePauseMs ? left : kRunningProgramProbePauseMs;
    TheOs().SleepMs(pause);
}

// True when the file name and extension of `modulePath` equal `programName`
// without regard to case.
bool ModuleMatches(const char* modulePath, const char* programName) {
    PathParts parts = SplitPath(modulePath, TheOs().GetAnsiCodePage());
    return TextEqualsIgnoreCase(modulePath + parts.directoryEnd, programName);
}

// One pass over the process list through the process-status interface.
Scan ScanProcessStatus(const char* programName) {
    Os& os = TheOs();
    uint32_t ids[kMaxProcesses];
    uint32_t returned = 0;
    if (!os.EnumerateProcesses(ids, sizeof(ids), &returned)) return Scan::kFailed;
    uint32_t count = returned / sizeof(ids[0]);
    if (count > kMaxProcesses) count = kMaxProcesses;

    ModuleHandle modules[kMaxModules];
    for (uint32_t p = 0; p < count; ++p) {
        OwnedProcess process(os.OpenProcessForQuery(ids[p]));
        if (!process.IsOpen()) continue;
        uint32_t needed = 0;
        if (!os.EnumerateModules(process.Get(), modules, sizeof(modules), &needed)) continue;
        uint32_t moduleCount = needed / sizeof(modules[0]);
        if (moduleCount > kMaxModules) moduleCount = kMaxModules;
        for (uint32_t m = 0; m < moduleCount; ++m) {
            char path[kMaxPath];
            path[0] = 0;
            uint32_t length = os.GetModulePath(process.Get(), modules[m], path, kMaxPath);
            if (length == 0) return Scan::kFailed;
            path[kMaxPath - 1] = 0;
            if (ModuleMatches(path, programName)) return Scan::kFound;
        }
    }
    return Scan::kNotFound;
}

// One pass over a fresh Tool Help snapshot.
Scan ScanToolHelp(const char* programName) {
    Os& os = TheOs();
    OwnedSnapshot snapshot(os.CreateProcessSnapshot());
    if (!snapshot.IsOpen()) return Scan::kFailed;
    ProcessEntry entry{};
    entry.size = kProcessEntrySize;
    for (int more = os.ProcessFirst(snapshot.Get(), &entry); more == 1;
         more = os.ProcessNext(snapshot.Get(), &entry)) {
        entry.exeFile[sizeof(entry.exeFile) - 1] = 0;
        if (TextEqualsIgnoreCase(entry.exeFile, programName)) return Scan::kFound;
        entry.size = kProcessEntrySize;
    }
    return Scan::kNotFound;
}

Result ScanUntilGone(Scan (*scan)(const char*), const char* programName, uint8_t waitForExit,
                     uint32_t start) {
    for (;;) {
        Scan found = scan(programName);
        if (found == Scan::kFailed) return kErrorProcessList;
        if (found == Scan::kNotFound) return kResultOk;
        if (waitForExit == 0 || Elapsed(start)) return kResultProgramRunning;
        PauseBeforeNextProbe(start);
    }
}

}  // namespace

Result CheckRunningWindow(const char* windowTitle, const char* windowClass, uint8_t waitForExit) {
    Os& os = TheOs();
    const uint32_t start = os.TickCount();
    if (windowTitle[0] == 0 && windowClass[0] == 0) return kResultOk;
    const char* className = windowClass[0] != 0 ? windowClass : nullptr;
    const char* windowName = windowTitle[0] != 0 ? windowTitle : nullptr;
    for (;;) {
        if (!os.FindTopLevelWindow(className, windowName)) return kResultOk;
        if (waitForExit == 0 || Elapsed(start)) return kResultProgramRunning;
        PauseBeforeNextProbe(start);
    }
}

Result CheckRunningProcess(const char* programName, uint8_t waitForExit) {
    Os& os = TheOs();
    const int osClass = GetOsClass();
    const uint32_t start = os.TickCount();
    if (osClass == kOsClassNt4) {
        if (!os.LoadProcessStatus()) return kErrorProcessList;
        Result result = ScanUntilGone(ScanProcessStatus, programName, waitForExit, start);
        os.UnloadProcessStatus();
        return result;
    }
    if (!os.HasToolHelp()) return kErrorProcessList;
    return ScanUntilGone(ScanToolHelp, programName, waitForExit, start);
}

}  // namespace kzp

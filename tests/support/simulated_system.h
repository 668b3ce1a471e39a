// A system that tests describe: top-level windows, processes, registry
// values, well-known folders, the version of "shell32.dll", the operating
// system's version and a virtual millisecond clock. Everything else (files,
// heaps, INI files, strings) goes to the real seam underneath, so tests that
// use it run natively and under Wine alike.
//
//   SimulatedSystem system;
//   system.processes = {{42, "app.exe", {"c:\\app\\app.exe"}}};
//   ScopedOs use(system);
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/faulty_os.h"

namespace kzp::test {

class SimulatedSystem : public FaultyOs {
  public:
    SimulatedSystem();

    // ---- the description ------------------------------------------------
    // Milliseconds; SleepMs advances it instead of sleeping.
    uint32_t clock = 0;
    OsVersion version{kPlatformWin32Nt, 5, 1};

    // FindWindowA: null texts stand for "any". Without a function no window
    // exists. Every call is counted.
    std::function<bool(const char* className, const char* windowName)> findWindow;
    int windowProbes = 0;

    struct Process {
        uint32_t id = 0;
        std::string exeFile;               // what Tool Help reports
        std::vector<std::string> modules;  // what psapi reports, executable first
        bool canOpen = true;
        bool canListModules = true;
    };
    std::vector<Process> processes;
    bool processStatusAvailable = true;  // "psapi.dll" loads
    bool toolHelpAvailable = true;
    // Called before every scan (EnumProcesses or a snapshot); false fails it.
    std::function<bool()> beforeScan;
    int scans = 0;

    // Registry values by root index, key and value name (keys and names
    // without regard to case). The bytes are handed out as stored: a value
    // meant as a text carries its own terminator.
    void SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name,
                          const std::string& bytes);

    std::string windowsFolder = "C:\\WINDOWS";
    std::string systemFolder = "C:\\WINDOWS\\system32";
    std::map<int, std::string> specialFolders;
    // dwFileVersionMS of "shell32.dll"; 0 means no version information.
    uint32_t shellVersion = 0;

    // ---- the seam ----------------------------------------------------------
    uint32_t TickCount() override { return clock; }
    void SleepMs(uint32_t milliseconds) override { clock += milliseconds == 0 ? 1 : milliseconds; }
    OsVersion GetVersion() override { return version; }

    uint32_t GetWindowsFolder(char* buffer, uint32_t size) override;
    uint32_t GetSystemFolder(char* buffer, uint32_t size) override;
    void GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) override;
    uint32_t VersionInfoSize(const char* file) override;
    bool VersionInfoBlock(const char* file, uint32_t size, void* block) override;
    bool QueryRootVersionValue(const void* block, FixedFileInfo* info) override;

    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override;
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                            uint32_t* size) override;
    void CloseRegistryKey(RegistryKey) override {}

    bool FindTopLevelWindow(const char* className, const char* windowName) override;

    bool LoadProcessStatus() override { return processStatusAvailable; }
    void UnloadProcessStatus() override {}
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override;
    ProcessHandle OpenProcessForQuery(uint32_t processId) override;
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                          uint32_t* needed) override;
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                           uint32_t size) override;
    void CloseProcess(ProcessHandle) override {}
    bool HasToolHelp() override { return toolHelpAvailable; }
    SnapshotHandle CreateProcessSnapshot() override;
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override;
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override;
    void CloseSnapshot(SnapshotHandle) override {}

  private:
    bool Scan();

    std::map<std::string, std::map<std::string, std::string>> registry_;
    // Processes as the last scan saw them, and the walk's position.
    std::vector<Process> snapshot_;
    size_t next_ = 0;
};

}  // namespace kzp::test

// The POSIX side of the operating-system seam: the engine runs natively on
// Linux for tests, sanitizers, fuzzing and the kzp tool.
//
// Windows paths are mapped onto the host: each drive letter maps to a host
// folder (Z: to "/" by default, as Wine does); backslashes and slashes both
// separate. The Win32 rules the engine relies on are kept: a move refuses an
// existing target, opens with share mode 0 exclude each other within the
// process (and an open file cannot be moved or deleted), last-write times keep
// 100 ns, a FindFirstFileA path that ends in a backslash is not found, and
// names are found without regard to case (creating "app.dll" where "App.dll"
// exists opens that file; moving onto "A.OLD" fails where "a.old" exists).
//
// What the host cannot supply (registry, windows, version resources, shell
// folders) comes from tables that callers fill; processes come from /proc
// unless a table is given.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/os.h"

namespace kzp {

class PosixOs : public Os {
  public:
    PosixOs();
    ~PosixOs();

    // ---- configuration -------------------------------------------------
    // Maps drive `letter` ("C") to a host folder.
    void MapDrive(char letter, const std::string& hostFolder);
    // The host path for a Windows path, or "" when it cannot be mapped.
    std::string HostPath(const std::string& windowsPath) const;
    // The Windows path for a host path, through the first drive whose folder
    // holds it, or "" when none does.
    std::string WindowsPath(const std::string& hostPath) const;

    void SetAnsiCodePage(uint32_t codePage) { codePage_ = codePage; }
    void SetVersion(const OsVersion& version) { version_ = version; }
    void SetModulePath(const std::string& windowsPath) { modulePath_ = windowsPath; }
    void SetWindowsFolder(const std::string& path) { windowsFolder_ = path; }
    void SetSystemFolder(const std::string& path) { systemFolder_ = path; }
    void SetSpecialFolder(int csidl, const std::string& path) { specialFolders_[csidl] = path; }
    // Version resource of a file (by name, without regard to case); a file
    // without one reports size 0.
    void SetFileVersion(const std::string& file, uint32_t fileVersionMS);
    void ClearFileVersion(const std::string& file);

    // Registry values (REG_SZ). Keys are matched without regard to case.
    void SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name,
                          const std::string& value);
    void AddRegistryKey(RegistryRoot root, const std::string& key);

    // Top-level windows for FindWindowA, matched without regard to case.
    struct Window {
        std::string className;
        std::string title;
    };
    void SetWindows(std::vector<Window> windows);
    // Called on every FindWindowA; lets tests change the windows over time.
    void SetWindowProbe(std::function<bool(const char* cls, const char* title)> probe);

    // A process table replaces /proc. Each process lists its module paths,
    // the executable first.
    struct Process {
        uint32_t id;
        std::string exeFile;  // what Tool Help reports
        std::vector<std::string> modules;
        bool canOpen = true;
        bool canListModules = true;
    };
    void SetProcessTable(std::vector<Process> processes);
    void SetProcessStatusAvailable(bool available) { processStatusAvailable_ = available; }
    void SetToolHelpAvailable(bool available) { toolHelpAvailable_ = available; }
    // Called before every process scan (EnumProcesses or a snapshot); lets
    // tests change the table over time. Returning false makes the scan fail.
    void SetProcessProbe(std::function<bool()> probe) { processProbe_ = std::move(probe); }

    // Added to the millisecond clock (to test a wrapping counter).
    void SetTickOffset(uint32_t offset) { tickOffset_ = offset; }
    // When set, SleepMs advances a virtual clock instead of sleeping.
    void UseVirtualClock(bool on) { virtualClock_ = on; }

    // The last font created, for tests of the font description.
    const FontDescription& LastFont() const { return lastFont_; }

    // Number of file handles currently open (to find leaks in tests).
    size_t OpenFileCount() const;

    // ---- the seam -----------------------------------------------------
    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInheritAttributes, uint32_t disposition,
                                uint32_t flagsAndAttributes) override;
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                    uint32_t* read) override;
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override;
    uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) override;
    uint32_t GetFileSize(FileHandle file, uint32_t* high) override;
    bool SetFileSize(FileHandle file, uint64_t size) override;
    bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) override;
    bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) override;
    bool CloseFile(FileHandle file) override;
    bool MoveFileNoReplace(const char* from, const char* to) override;
    bool RemoveFile(const char* path) override;
    bool FindFirstFileExists(const char* path) override;
    bool MakeDirectory(const char* path) override;
    bool SameFileName(const char* a, const char* b) override;

    HeapHandle HeapCreate() override;
    void HeapDestroy(HeapHandle heap) override;
    HeapHandle ProcessHeap() override;
    void* HeapAllocZero(HeapHandle heap, size_t size) override;
    void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) override;
    void HeapFree(HeapHandle heap, void* block) override;
    void* GlobalAllocZero(size_t size) override;
    void GlobalFree(void* block) override;

    uint32_t TickCount() override;
    void SleepMs(uint32_t milliseconds) override;

    OsVersion GetVersion() override { return version_; }
    uint32_t GetAnsiCodePage() override { return codePage_; }
    uint32_t GetOwnModulePath(char* buffer, uint32_t size) override;
    uint32_t GetWindowsFolder(char* buffer, uint32_t size) override;
    uint32_t GetSystemFolder(char* buffer, uint32_t size) override;
    void GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) override;
    uint32_t VersionInfoSize(const char* file) override;
    bool VersionInfoBlock(const char* file, uint32_t size, void* block) override;
    bool QueryRootVersionValue(const void* block, FixedFileInfo* info) override;
    int LoadStringResource(InstanceHandle instance, uint32_t id, char* buffer, int size) override;
    FontHandle CreateFontFrom(const FontDescription& font) override;
    void DestroyFont(FontHandle font) override;

    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override;
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                            uint32_t* size) override;
    void CloseRegistryKey(RegistryKey key) override;

    uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue,
                               char* buffer, uint32_t size, const char* iniPath) override;

    bool FindTopLevelWindow(const char* className, const char* windowName) override;

    bool LoadProcessStatus() override;
    void UnloadProcessStatus() override {}
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override;
    ProcessHandle OpenProcessForQuery(uint32_t processId) override;
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                          uint32_t* needed) override;
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                           uint32_t size) override;
    void CloseProcess(ProcessHandle process) override;
    bool HasToolHelp() override { return toolHelpAvailable_; }
    SnapshotHandle CreateProcessSnapshot() override;
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override;
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override;
    void CloseSnapshot(SnapshotHandle snapshot) override;

  private:
    struct OpenFile;
    struct Heap;
    struct Snapshot;

    std::vector<Process> CurrentProcesses();
    bool IsOpen(const std::string& hostPath);
    // A name (code page bytes) in the form names are compared in.
    std::string FoldedName(const std::string& name) const;
    // The host path of a Windows path, found as Windows finds files: a
    // component that does not exist as written is looked up in its folder
    // without regard to case. What is not found stays as written (a file
    // about to be created).
    std::string FilePath(const std::string& windowsPath) const;

    std::map<char, std::string> drives_;
    uint32_t codePage_ = 932;
    OsVersion version_{kPlatformWin32Nt, 5, 1};
    std::string modulePath_;
    std::string windowsFolder_ = "C:\\WINDOWS";
    std::string systemFolder_ = "C:\\WINDOWS\\system32";
    std::map<int, std::string> specialFolders_;
    std::map<std::string, uint32_t> fileVersions_;
    std::map<std::string, std::map<std::string, std::string>> registry_;
    std::vector<Window> windows_;
    std::function<bool(const char*, const char*)> windowProbe_;
    bool useProcessTable_ = false;
    std::vector<Process> processTable_;
    bool processStatusAvailable_ = true;
    bool toolHelpAvailable_ = true;
    std::function<bool()> processProbe_;
    uint32_t tickOffset_ = 0;
    bool virtualClock_ = false;
    uint64_t virtualMs_ = 0;
    FontDescription lastFont_{};

    mutable std::mutex mutex_;
    std::set<OpenFile*> openFiles_;
    Heap* processHeap_;
};

}  // namespace kzp

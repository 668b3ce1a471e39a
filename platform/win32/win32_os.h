// The Win32 side of the operating-system seam: the product.
#pragma once

#include "platform/os.h"

namespace kzp {

class Win32Os final : public Os {
  public:
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

    OsVersion GetVersion() override;
    uint32_t GetAnsiCodePage() override;
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
    void UnloadProcessStatus() override;
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override;
    ProcessHandle OpenProcessForQuery(uint32_t processId) override;
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                          uint32_t* needed) override;
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                           uint32_t size) override;
    void CloseProcess(ProcessHandle process) override;
    bool HasToolHelp() override;
    SnapshotHandle CreateProcessSnapshot() override;
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override;
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override;
    void CloseSnapshot(SnapshotHandle snapshot) override;
};

}  // namespace kzp

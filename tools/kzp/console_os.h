// The operating-system seam as the kzp command uses it: every call goes to
// the platform's own implementation, except that a named target folder
// answers the package's registry and INI lookups (so that whatever method
// the package names succeeds, and the folder itself is set afterwards), and
// that one reserved path is a null file that takes any write.
#pragma once

#include <atomic>
#include <string>

#include "platform/os.h"

namespace kzp::tool {

// The path of the null file (writes succeed and are counted).
extern const char kNullFilePath[];

class ConsoleOs : public Os {
  public:
    explicit ConsoleOs(Os& inner) : inner_(inner) {}

    // Non-empty: registry values and INI entries all read as this text.
    void SetTargetAnswer(const std::string& windowsFolder) { answer_ = windowsFolder; }
    void SetAnsiCodePage(uint32_t codePage) { codePage_ = codePage; }
    uint64_t NullBytesWritten() const { return nullWritten_; }

    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInheritAttributes, uint32_t disposition,
                                uint32_t flagsAndAttributes) override;
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                    uint32_t* read) override;
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override;
    uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) override;
    uint32_t GetFileSize(FileHandle file, uint32_t* high) override;
    bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) override;
    bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) override;
    bool CloseFile(FileHandle file) override;
    bool MoveFileNoReplace(const char* from, const char* to) override { return inner_.MoveFileNoReplace(from, to); }
    bool RemoveFile(const char* path) override { return inner_.RemoveFile(path); }
    bool FindFirstFileExists(const char* path) override { return inner_.FindFirstFileExists(path); }
    bool MakeDirectory(const char* path) override { return inner_.MakeDirectory(path); }

    HeapHandle HeapCreate() override { return inner_.HeapCreate(); }
    void HeapDestroy(HeapHandle heap) override { inner_.HeapDestroy(heap); }
    HeapHandle ProcessHeap() override { return inner_.ProcessHeap(); }
    void* HeapAllocZero(HeapHandle heap, size_t size) override { return inner_.HeapAllocZero(heap, size); }
    void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) override {
        return inner_.HeapReAllocZero(heap, block, size);
    }
    void HeapFree(HeapHandle heap, void* block) override { inner_.HeapFree(heap, block); }
    void* GlobalAllocZero(size_t size) override { return inner_.GlobalAllocZero(size); }
    void GlobalFree(void* block) override { inner_.GlobalFree(block); }

    uint32_t TickCount() override { return inner_.TickCount(); }
    void SleepMs(uint32_t milliseconds) override { inner_.SleepMs(milliseconds); }

    OsVersion GetVersion() override { return inner_.GetVersion(); }
    uint32_t GetAnsiCodePage() override { return codePage_ != 0 ? codePage_ : inner_.GetAnsiCodePage(); }
    uint32_t GetOwnModulePath(char* buffer, uint32_t size) override { return inner_.GetOwnModulePath(buffer, size); }
    uint32_t GetWindowsFolder(char* buffer, uint32_t size) override { return inner_.GetWindowsFolder(buffer, size); }
    uint32_t GetSystemFolder(char* buffer, uint32_t size) override { return inner_.GetSystemFolder(buffer, size); }
    void GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) override {
        inner_.GetSpecialFolder(owner, csidl, buffer260);
    }
    uint32_t VersionInfoSize(const char* file) override { return inner_.VersionInfoSize(file); }
    bool VersionInfoBlock(const char* file, uint32_t size, void* block) override {
        return inner_.VersionInfoBlock(file, size, block);
    }
    bool QueryRootVersionValue(const void* block, FixedFileInfo* info) override {
        return inner_.QueryRootVersionValue(block, info);
    }
    int LoadStringResource(InstanceHandle instance, uint32_t id, char* buffer, int size) override {
        return inner_.LoadStringResource(instance, id, buffer, size);
    }
    FontHandle CreateFontFrom(const FontDescription& font) override { return inner_.CreateFontFrom(font); }
    void DestroyFont(FontHandle font) override { inner_.DestroyFont(font); }

    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override;
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer, uint32_t* size) override;
    void CloseRegistryKey(RegistryKey key) override;
    uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                               uint32_t size, const char* iniPath) override;

    bool FindTopLevelWindow(const char* className, const char* windowName) override {
        return inner_.FindTopLevelWindow(className, windowName);
    }
    bool LoadProcessStatus() override { return inner_.LoadProcessStatus(); }
    void UnloadProcessStatus() override { inner_.UnloadProcessStatus(); }
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override {
        return inner_.EnumerateProcesses(ids, size, returned);
    }
    ProcessHandle OpenProcessForQuery(uint32_t processId) override { return inner_.OpenProcessForQuery(processId); }
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size, uint32_t* needed) override {
        return inner_.EnumerateModules(process, modules, size, needed);
    }
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer, uint32_t size) override {
        return inner_.GetModulePath(process, module, buffer, size);
    }
    void CloseProcess(ProcessHandle process) override { inner_.CloseProcess(process); }
    bool HasToolHelp() override { return inner_.HasToolHelp(); }
    SnapshotHandle CreateProcessSnapshot() override { return inner_.CreateProcessSnapshot(); }
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override { return inner_.ProcessFirst(snapshot, entry); }
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override { return inner_.ProcessNext(snapshot, entry); }
    void CloseSnapshot(SnapshotHandle snapshot) override { inner_.CloseSnapshot(snapshot); }

  private:
    Os& inner_;
    std::string answer_;
    uint32_t codePage_ = 0;
    std::atomic<uint64_t> nullWritten_{0};
};

}  // namespace kzp::tool

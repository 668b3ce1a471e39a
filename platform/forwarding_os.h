// An Os that passes every call to another one. Wrappers of the seam (the kzp
// command's console seam, the tests' fault injection) derive from it and
// override only the calls they change.
#pragma once

#include "platform/os.h"

namespace kzp {

class ForwardingOs : public Os {
  public:
    explicit ForwardingOs(Os& inner) : inner_(inner) {}

    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInheritAttributes, uint32_t disposition,
                                uint32_t flagsAndAttributes) override {
        return inner_.CreateFileHandle(path, access, shareMode, noInheritAttributes, disposition,
                                       flagsAndAttributes);
    }
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override {
        return inner_.ReadFile(file, buffer, size, read);
    }
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override {
        return inner_.WriteFile(file, buffer, size, written);
    }
    uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) override {
        return inner_.SetFilePointer(file, distance, origin);
    }
    uint32_t GetFileSize(FileHandle file, uint32_t* high) override {
        return inner_.GetFileSize(file, high);
    }
    bool SetFileSize(FileHandle file, uint64_t size) override {
        return inner_.SetFileSize(file, size);
    }
    bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) override {
        return inner_.GetLastWriteTime(file, lastWrite);
    }
    bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) override {
        return inner_.SetLastWriteTime(file, lastWrite);
    }
    bool CloseFile(FileHandle file) override { return inner_.CloseFile(file); }
    bool MoveFileNoReplace(const char* from, const char* to) override {
        return inner_.MoveFileNoReplace(from, to);
    }
    bool RemoveFile(const char* path) override { return inner_.RemoveFile(path); }
    bool FindFirstFileExists(const char* path) override { return inner_.FindFirstFileExists(path); }
    bool MakeDirectory(const char* path) override { return inner_.MakeDirectory(path); }
    bool SameFileName(const char* a, const char* b) override { return inner_.SameFileName(a, b); }
    HeapHandle HeapCreate() override { return inner_.HeapCreate(); }
    void HeapDestroy(HeapHandle heap) override { inner_.HeapDestroy(heap); }
    HeapHandle ProcessHeap() override { return inner_.ProcessHeap(); }
    void* HeapAllocZero(HeapHandle heap, size_t size) override {
        return inner_.HeapAllocZero(heap, size);
    }
    void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) override {
        return inner_.HeapReAllocZero(heap, block, size);
    }
    void HeapFree(HeapHandle heap, void* block) override { inner_.HeapFree(heap, block); }
    void* GlobalAllocZero(size_t size) override { return inner_.GlobalAllocZero(size); }
    void GlobalFree(void* block) override { inner_.GlobalFree(block); }
    uint32_t TickCount() override { return inner_.TickCount(); }
    void SleepMs(uint32_t milliseconds) override { inner_.SleepMs(milliseconds); }
    OsVersion GetVersion() override { return inner_.GetVersion(); }
    uint32_t GetAnsiCodePage() override { return inner_.GetAnsiCodePage(); }
    uint32_t GetOwnModulePath(char* buffer, uint32_t size) override {
        return inner_.GetOwnModulePath(buffer, size);
    }
    uint32_t GetWindowsFolder(char* buffer, uint32_t size) override {
        return inner_.GetWindowsFolder(buffer, size);
    }
    uint32_t GetSystemFolder(char* buffer, uint32_t size) override {
        return inner_.GetSystemFolder(buffer, size);
    }
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
    FontHandle CreateFontFrom(const FontDescription& font) override {
        return inner_.CreateFontFrom(font);
    }
    void DestroyFont(FontHandle font) override { inner_.DestroyFont(font); }
    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override {
        return inner_.OpenRegistryKey(root, subKey, key);
    }
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                            uint32_t* size) override {
        return inner_.QueryRegistryValue(key, valueName, buffer, size);
    }
    void CloseRegistryKey(RegistryKey key) override { inner_.CloseRegistryKey(key); }
    uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue,
                               char* buffer, uint32_t size, const char* iniPath) override {
        return inner_.ReadProfileString(section, key, defaultValue, buffer, size, iniPath);
    }
    bool FindTopLevelWindow(const char* className, const char* windowName) override {
        return inner_.FindTopLevelWindow(className, windowName);
    }
    bool LoadProcessStatus() override { return inner_.LoadProcessStatus(); }
    void UnloadProcessStatus() override { inner_.UnloadProcessStatus(); }
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override {
        return inner_.EnumerateProcesses(ids, size, returned);
    }
    ProcessHandle OpenProcessForQuery(uint32_t processId) override {
        return inner_.OpenProcessForQuery(processId);
    }
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                          uint32_t* needed) override {
        return inner_.EnumerateModules(process, modules, size, needed);
    }
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                           uint32_t size) override {
        return inner_.GetModulePath(process, module, buffer, size);
    }
    void CloseProcess(ProcessHandle process) override { inner_.CloseProcess(process); }
    bool HasToolHelp() override { return inner_.HasToolHelp(); }
    SnapshotHandle CreateProcessSnapshot() override { return inner_.CreateProcessSnapshot(); }
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override {
        return inner_.ProcessFirst(snapshot, entry);
    }
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override {
        return inner_.ProcessNext(snapshot, entry);
    }
    void CloseSnapshot(SnapshotHandle snapshot) override { inner_.CloseSnapshot(snapshot); }

  protected:
    ~ForwardingOs() = default;

    Os& inner_;
};

}  // namespace kzp

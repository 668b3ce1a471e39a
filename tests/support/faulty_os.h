// An Os that forwards to another one and fails chosen calls: the Nth call of
// a kind (or of a group of kinds), every call of a kind, or writes beyond a
// number of bytes as on a full disk. It counts the calls by kind, and can call
// back after each one (to press Cancel at a chosen moment).
//
//   FaultyOs faulty(BaseOs());
//   faulty.FailNth(OsCall::kMove, 2);  // the second move fails
//   ScopedOs use(faulty);              // TheOs() is `faulty` until scope end
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/os.h"

namespace kzp::test {

enum class OsCall : int {
    kOpen,        // CreateFileHandle
    kRead,        // ReadFile
    kWrite,       // WriteFile
    kSeek,        // SetFilePointer
    kFileSize,    // GetFileSize
    kGetTime,     // GetLastWriteTime
    kSetTime,     // SetLastWriteTime
    kClose,       // CloseFile (a failing close still closes)
    kMove,        // MoveFileNoReplace
    kDelete,      // RemoveFile
    kFind,        // FindFirstFileExists (failing: "not found")
    kMakeDirectory,
    kHeapAlloc,   // HeapAllocZero, HeapReAllocZero
    kGlobalAlloc, // GlobalAllocZero
    kCount
};

const char* OsCallName(OsCall kind);

// The calls that touch files and can fail without lying about what exists:
// open, read, write, seek, size, times, move, delete, make directory.
std::vector<OsCall> FileCallKinds();

class FaultyOs : public Os {
  public:
    explicit FaultyOs(Os& base) : base_(base) {}

    // The `n`th call (1-based) of `kind` from now on fails, once.
    void FailNth(OsCall kind, uint64_t n);
    // The `n`th call counted over all of `kinds` from now on fails, once.
    void FailNthOf(const std::vector<OsCall>& kinds, uint64_t n);
    // Every call of `kind` fails until ClearFaults.
    void FailAll(OsCall kind);
    // Writes store at most `bytes` more bytes; the write that reaches the
    // limit stores what fits and fails, as on a full disk.
    void SetDiskSpace(uint64_t bytes);
    void ClearFaults();

    // Whether an injected fault (not the disk space) has been met, and at
    // which kind of call.
    bool Fired() const { return fired_; }
    OsCall FiredKind() const { return firedKind_; }

    uint64_t Count(OsCall kind) const { return counts_[static_cast<int>(kind)]; }
    uint64_t CountOf(const std::vector<OsCall>& kinds) const;
    void ResetCounts();
    // The largest block asked of a heap since ResetCounts.
    size_t LargestAllocation() const { return largestAllocation_; }

    // Called after every call with its kind (not for kinds that were never
    // counted, like GetVersion).
    std::function<void(OsCall)> onCall;
    // Called before every counted call: the system as it stands there is
    // what a crash at that call would leave.
    std::function<void(OsCall)> beforeCall;

    // ---- the seam --------------------------------------------------------
    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInheritAttributes, uint32_t disposition,
                                uint32_t flagsAndAttributes) override;
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override;
    uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) override;
    uint32_t GetFileSize(FileHandle file, uint32_t* high) override;
    bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) override;
    bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) override;
    bool CloseFile(FileHandle file) override;
    bool MoveFileNoReplace(const char* from, const char* to) override;
    bool RemoveFile(const char* path) override;
    bool FindFirstFileExists(const char* path) override;
    bool MakeDirectory(const char* path) override;

    HeapHandle HeapCreate() override { return base_.HeapCreate(); }
    void HeapDestroy(HeapHandle heap) override { base_.HeapDestroy(heap); }
    HeapHandle ProcessHeap() override { return base_.ProcessHeap(); }
    void* HeapAllocZero(HeapHandle heap, size_t size) override;
    void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) override;
    void HeapFree(HeapHandle heap, void* block) override { base_.HeapFree(heap, block); }
    void* GlobalAllocZero(size_t size) override;
    void GlobalFree(void* block) override { base_.GlobalFree(block); }

    uint32_t TickCount() override { return base_.TickCount(); }
    void SleepMs(uint32_t milliseconds) override { base_.SleepMs(milliseconds); }

    OsVersion GetVersion() override { return base_.GetVersion(); }
    uint32_t GetAnsiCodePage() override { return base_.GetAnsiCodePage(); }
    uint32_t GetOwnModulePath(char* buffer, uint32_t size) override {
        return base_.GetOwnModulePath(buffer, size);
    }
    uint32_t GetWindowsFolder(char* buffer, uint32_t size) override {
        return base_.GetWindowsFolder(buffer, size);
    }
    uint32_t GetSystemFolder(char* buffer, uint32_t size) override {
        return base_.GetSystemFolder(buffer, size);
    }
    void GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) override {
        base_.GetSpecialFolder(owner, csidl, buffer260);
    }
    uint32_t VersionInfoSize(const char* file) override { return base_.VersionInfoSize(file); }
    bool VersionInfoBlock(const char* file, uint32_t size, void* block) override {
        return base_.VersionInfoBlock(file, size, block);
    }
    bool QueryRootVersionValue(const void* block, FixedFileInfo* info) override {
        return base_.QueryRootVersionValue(block, info);
    }
    int LoadStringResource(InstanceHandle instance, uint32_t id, char* buffer,
                           int size) override {
        return base_.LoadStringResource(instance, id, buffer, size);
    }
    FontHandle CreateFontFrom(const FontDescription& font) override {
        return base_.CreateFontFrom(font);
    }
    void DestroyFont(FontHandle font) override { base_.DestroyFont(font); }

    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override {
        return base_.OpenRegistryKey(root, subKey, key);
    }
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                            uint32_t* size) override {
        return base_.QueryRegistryValue(key, valueName, buffer, size);
    }
    void CloseRegistryKey(RegistryKey key) override { base_.CloseRegistryKey(key); }
    uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue,
                               char* buffer, uint32_t size, const char* iniPath) override {
        return base_.ReadProfileString(section, key, defaultValue, buffer, size, iniPath);
    }
    bool FindTopLevelWindow(const char* className, const char* windowName) override {
        return base_.FindTopLevelWindow(className, windowName);
    }
    bool LoadProcessStatus() override { return base_.LoadProcessStatus(); }
    void UnloadProcessStatus() override { base_.UnloadProcessStatus(); }
    bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) override {
        return base_.EnumerateProcesses(ids, size, returned);
    }
    ProcessHandle OpenProcessForQuery(uint32_t processId) override {
        return base_.OpenProcessForQuery(processId);
    }
    bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                          uint32_t* needed) override {
        return base_.EnumerateModules(process, modules, size, needed);
    }
    uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                           uint32_t size) override {
        return base_.GetModulePath(process, module, buffer, size);
    }
    void CloseProcess(ProcessHandle process) override { base_.CloseProcess(process); }
    bool HasToolHelp() override { return base_.HasToolHelp(); }
    SnapshotHandle CreateProcessSnapshot() override { return base_.CreateProcessSnapshot(); }
    int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) override {
        return base_.ProcessFirst(snapshot, entry);
    }
    int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) override {
        return base_.ProcessNext(snapshot, entry);
    }
    void CloseSnapshot(SnapshotHandle snapshot) override { base_.CloseSnapshot(snapshot); }

  private:
    // Counts the call; true when it is to fail.
    bool Enter(OsCall kind);
    void Leave(OsCall kind) {
        if (onCall) onCall(kind);
    }

    Os& base_;
    uint64_t counts_[static_cast<int>(OsCall::kCount)] = {};
    // The armed fault: calls of the kinds in `armedMask_` are counted in
    // `armedSeen_` and the `armedAt_`th fails.
    uint32_t armedMask_ = 0;
    uint64_t armedAt_ = 0;
    uint64_t armedSeen_ = 0;
    uint32_t failAllMask_ = 0;
    bool fired_ = false;
    OsCall firedKind_ = OsCall::kCount;
    bool diskLimited_ = false;
    uint64_t diskLeft_ = 0;
    size_t largestAllocation_ = 0;
};

// Installs an Os for the lifetime of the object and puts the previous one
// back.
class ScopedOs {
  public:
    explicit ScopedOs(Os& os);
    ~ScopedOs();
    ScopedOs(const ScopedOs&) = delete;
    ScopedOs& operator=(const ScopedOs&) = delete;

  private:
    Os& previous_;
};

}  // namespace kzp::test

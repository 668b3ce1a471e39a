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

#include "platform/forwarding_os.h"

namespace kzp::test {

enum class OsCall : int {
    kOpen,      // CreateFileHandle
    kRead,      // ReadFile
    kWrite,     // WriteFile
    kSeek,      // SetFilePointer
    kFileSize,  // GetFileSize
    kGetTime,   // GetLastWriteTime
    kSetTime,   // SetLastWriteTime
    kClose,     // CloseFile (a failing close still closes)
    kMove,      // MoveFileNoReplace
    kDelete,    // RemoveFile
    kFind,      // FindFirstFileExists (failing: "not found")
    kMakeDirectory,
    kSetSize,      // SetFileSize
    kHeapAlloc,    // HeapAllocZero, HeapReAllocZero
    kGlobalAlloc,  // GlobalAllocZero
    kCount
};

const char* OsCallName(OsCall kind);

// The calls that touch files and can fail without lying about what exists:
// open, read, write, seek, size, times, move, delete, make directory.
std::vector<OsCall> FileCallKinds();

class FaultyOs : public ForwardingOs {
  public:
    explicit FaultyOs(Os& base) : ForwardingOs(base), base_(base) {}

    // The `n`th call (1-based) of `kind` from now on fails, once.
    void FailNth(OsCall kind, uint64_t n);
    // The `n`th call counted over all of `kinds` from now on fails, once.
    void FailNthOf(const std::vector<OsCall>& kinds, uint64_t n);
    // Every call of `kind` fails until ClearFaults.
    void FailAll(OsCall kind);
    // Files may grow by at most `bytes` more bytes, by writes or by
    // SetFileSize: the write that reaches the limit stores what fits and
    // fails, as on a full disk, and so does a SetFileSize beyond it.
    void SetDiskSpace(uint64_t bytes);
    void ClearFaults();
    // Keeps last-write times as a FAT volume does: to two seconds, rounded
    // up to the next even second.
    void KeepTimesAsFat(bool on) { fatTimes_ = on; }
    // The version the system reports (by default the base's). One of the 9x
    // family (platform id 1) refuses positioned reads, as its ReadFile
    // refuses an offset for disk files.
    void ReportVersion(const OsVersion& version) {
        reported_ = version;
        reportsVersion_ = true;
    }

    // Whether an injected fault (not the disk space) has been met, and at
    // which kind of call.
    bool Fired() const { return fired_; }
    OsCall FiredKind() const { return firedKind_; }

    uint64_t Count(OsCall kind) const { return counts_[static_cast<int>(kind)]; }
    uint64_t CountOf(const std::vector<OsCall>& kinds) const;
    // Of the reads, those asked for at a position (refused ones included).
    uint64_t PositionedReads() const { return positionedReads_; }
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
    // Counted as a read.
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

    void* HeapAllocZero(HeapHandle heap, size_t size) override;
    void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) override;
    void* GlobalAllocZero(size_t size) override;

    OsVersion GetVersion() override { return reportsVersion_ ? reported_ : base_.GetVersion(); }

  private:
    bool fatTimes_ = false;
    // Counts the call; true when it is to fail.
    bool Enter(OsCall kind);
    void Leave(OsCall kind) {
        if (onCall) onCall(kind);
    }

    // How many bytes a write of `size` at the file pointer adds to the file.
    uint64_t GrowthOfWrite(FileHandle file, uint32_t size);
    // The file's size, without counting a call.
    uint64_t LengthOf(FileHandle file);

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
    uint64_t positionedReads_ = 0;
    bool reportsVersion_ = false;
    OsVersion reported_{};
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

#include "tests/support/faulty_os.h"

namespace kzp::test {

namespace {

uint32_t Bit(OsCall kind) {
    return 1u << static_cast<int>(kind);
}

uint32_t MaskOf(const std::vector<OsCall>& kinds) {
    uint32_t mask = 0;
    for (OsCall kind : kinds) mask |= Bit(kind);
    return mask;
}

}  // namespace

const char* OsCallName(OsCall kind) {
    static const char* const kNames[] = {"open",    "read",    "write",   "seek", "size",
                                         "gettime", "settime", "close",   "move", "delete",
                                         "find",    "mkdir",   "setsize", "heap", "global"};
    int index = static_cast<int>(kind);
    return index >= 0 && index < static_cast<int>(OsCall::kCount) ? kNames[index] : "?";
}

std::vector<OsCall> FileCallKinds() {
    return {OsCall::kOpen,     OsCall::kRead,          OsCall::kWrite,   OsCall::kSeek,
            OsCall::kFileSize, OsCall::kGetTime,       OsCall::kSetTime, OsCall::kMove,
            OsCall::kDelete,   OsCall::kMakeDirectory, OsCall::kSetSize};
}

void FaultyOs::FailNth(OsCall kind, uint64_t n) {
    FailNthOf({kind}, n);
}

void FaultyOs::FailNthOf(const std::vector<OsCall>& kinds, uint64_t n) {
    armedMask_ = MaskOf(kinds);
    armedAt_ = n;
    armedSeen_ = 0;
    fired_ = false;
    firedKind_ = OsCall::kCount;
}

void FaultyOs::FailAll(OsCall kind) {
    failAllMask_ |= Bit(kind);
}

void FaultyOs::SetDiskSpace(uint64_t bytes) {
    diskLimited_ = true;
    diskLeft_ = bytes;
}

void FaultyOs::ClearFaults() {
    armedMask_ = 0;
    armedAt_ = 0;
    armedSeen_ = 0;
    failAllMask_ = 0;
    diskLimited_ = false;
}

uint64_t FaultyOs::CountOf(const std::vector<OsCall>& kinds) const {
    uint64_t total = 0;
    for (OsCall kind : kinds) total += Count(kind);
    return total;
}

void FaultyOs::ResetCounts() {
    for (uint64_t& count : counts_) count = 0;
    positionedReads_ = 0;
    largestAllocation_ = 0;
}

bool FaultyOs::Enter(OsCall kind) {
    if (beforeCall) beforeCall(kind);
    ++counts_[static_cast<int>(kind)];
    if (failAllMask_ & Bit(kind)) return true;
    if (armedMask_ & Bit(kind)) {
        if (++armedSeen_ == armedAt_) {
            fired_ = true;
            firedKind_ = kind;
            return true;
        }
    }
    return false;
}

FileHandle FaultyOs::CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                      bool noInheritAttributes, uint32_t disposition,
                                      uint32_t flagsAndAttributes) {
    FileHandle handle = kInvalidFile;
    if (!Enter(OsCall::kOpen)) {
        handle = base_.CreateFileHandle(path, access, shareMode, noInheritAttributes, disposition,
                                        flagsAndAttributes);
    }
    Leave(OsCall::kOpen);
    return handle;
}

bool FaultyOs::ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
    *read = 0;
    bool ok = !Enter(OsCall::kRead) && base_.ReadFile(file, buffer, size, read);
    Leave(OsCall::kRead);
    return ok;
}

bool FaultyOs::ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                          uint32_t* read) {
    *read = 0;
    ++positionedReads_;
    // GetVersion is virtual: a system that derives from this one and
    // describes its own version is judged by it.
    bool ok = !Enter(OsCall::kRead) && GetVersion().platformId != kPlatformWin32Windows &&
              base_.ReadFileAt(file, position, buffer, size, read);
    Leave(OsCall::kRead);
    return ok;
}

bool FaultyOs::WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) {
    *written = 0;
    bool ok = false;
    if (!Enter(OsCall::kWrite)) {
        const uint64_t growth = diskLimited_ ? GrowthOfWrite(file, size) : 0;
        if (growth > diskLeft_) {
            // A full disk takes what fits and refuses the rest.
            uint32_t fits = static_cast<uint32_t>(size - (growth - diskLeft_));
            if (fits > 0) base_.WriteFile(file, buffer, fits, written);
            diskLeft_ = 0;
            ok = false;
        } else {
            ok = base_.WriteFile(file, buffer, size, written);
            diskLeft_ -= growth;
        }
    }
    Leave(OsCall::kWrite);
    return ok;
}

uint64_t FaultyOs::LengthOf(FileHandle file) {
    uint32_t high = 0;
    const uint32_t low = base_.GetFileSize(file, &high);
    return low | static_cast<uint64_t>(high) << 32;
}

uint64_t FaultyOs::GrowthOfWrite(FileHandle file, uint32_t size) {
    const uint64_t length = LengthOf(file);
    const uint64_t end = base_.SetFilePointer(file, 0, kSeekCurrent) + static_cast<uint64_t>(size);
    return end > length ? end - length : 0;
}

bool FaultyOs::SetFileSize(FileHandle file, uint64_t size) {
    bool ok = false;
    if (!Enter(OsCall::kSetSize)) {
        const uint64_t length = LengthOf(file);
        if (!diskLimited_ || size <= length) {
            ok = base_.SetFileSize(file, size);
            if (ok && diskLimited_) diskLeft_ += length - size;
        } else if (size - length <= diskLeft_) {
            ok = base_.SetFileSize(file, size);
            if (ok) diskLeft_ -= size - length;
        }
    }
    Leave(OsCall::kSetSize);
    return ok;
}

uint32_t FaultyOs::SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) {
    uint32_t position = kInvalidFileValue;
    if (!Enter(OsCall::kSeek)) position = base_.SetFilePointer(file, distance, origin);
    Leave(OsCall::kSeek);
    return position;
}

uint32_t FaultyOs::GetFileSize(FileHandle file, uint32_t* high) {
    uint32_t size = kInvalidFileValue;
    if (!Enter(OsCall::kFileSize)) size = base_.GetFileSize(file, high);
    Leave(OsCall::kFileSize);
    return size;
}

bool FaultyOs::GetLastWriteTime(FileHandle file, FileTime* lastWrite) {
    bool ok = !Enter(OsCall::kGetTime) && base_.GetLastWriteTime(file, lastWrite);
    Leave(OsCall::kGetTime);
    return ok;
}

bool FaultyOs::SetLastWriteTime(FileHandle file, const FileTime& lastWrite) {
    FileTime kept = lastWrite;
    if (fatTimes_) {
        constexpr uint64_t kTwoSeconds = 20000000;
        uint64_t ticks = (static_cast<uint64_t>(lastWrite.high) << 32) | lastWrite.low;
        ticks = (ticks + kTwoSeconds - 1) / kTwoSeconds * kTwoSeconds;
        kept = FileTime{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    }
    bool ok = !Enter(OsCall::kSetTime) && base_.SetLastWriteTime(file, kept);
    Leave(OsCall::kSetTime);
    return ok;
}

bool FaultyOs::CloseFile(FileHandle file) {
    bool fail = Enter(OsCall::kClose);
    // The handle is gone either way, as after a failing CloseHandle.
    bool ok = base_.CloseFile(file) && !fail;
    Leave(OsCall::kClose);
    return ok;
}

bool FaultyOs::MoveFileNoReplace(const char* from, const char* to) {
    bool ok = !Enter(OsCall::kMove) && base_.MoveFileNoReplace(from, to);
    Leave(OsCall::kMove);
    return ok;
}

bool FaultyOs::RemoveFile(const char* path) {
    bool ok = !Enter(OsCall::kDelete) && base_.RemoveFile(path);
    Leave(OsCall::kDelete);
    return ok;
}

bool FaultyOs::FindFirstFileExists(const char* path) {
    bool found = !Enter(OsCall::kFind) && base_.FindFirstFileExists(path);
    Leave(OsCall::kFind);
    return found;
}

bool FaultyOs::MakeDirectory(const char* path) {
    bool ok = !Enter(OsCall::kMakeDirectory) && base_.MakeDirectory(path);
    Leave(OsCall::kMakeDirectory);
    return ok;
}

void* FaultyOs::HeapAllocZero(HeapHandle heap, size_t size) {
    if (size > largestAllocation_) largestAllocation_ = size;
    void* block = Enter(OsCall::kHeapAlloc) ? nullptr : base_.HeapAllocZero(heap, size);
    Leave(OsCall::kHeapAlloc);
    return block;
}

void* FaultyOs::HeapReAllocZero(HeapHandle heap, void* block, size_t size) {
    if (size > largestAllocation_) largestAllocation_ = size;
    void* resized = Enter(OsCall::kHeapAlloc) ? nullptr : base_.HeapReAllocZero(heap, block, size);
    Leave(OsCall::kHeapAlloc);
    return resized;
}

void* FaultyOs::GlobalAllocZero(size_t size) {
    if (size > largestAllocation_) largestAllocation_ = size;
    void* block = Enter(OsCall::kGlobalAlloc) ? nullptr : base_.GlobalAllocZero(size);
    Leave(OsCall::kGlobalAlloc);
    return block;
}

ScopedOs::ScopedOs(Os& os) : previous_(TheOs()) {
    SetOs(&os);
}

ScopedOs::~ScopedOs() {
    SetOs(&previous_);
}

}  // namespace kzp::test

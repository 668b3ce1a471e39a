// Owners of what the seam hands out: each closes or frees its handle through
// the seam when it goes out of scope, so that no path of a function has to
// give it back by hand.
#pragma once

#include <stddef.h>

#include "platform/os.h"

namespace kzp {

// One handle of a kind, given back with `Release` unless it is `kNone`.
template <typename Handle, Handle kNone, void (*Release)(Handle)>
class OwnedHandle {
  public:
    explicit OwnedHandle(Handle handle = kNone) : handle_(handle) {}
    ~OwnedHandle() { Close(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    Handle Get() const { return handle_; }
    bool IsOpen() const { return handle_ != kNone; }
    // Gives back what is held and holds `handle` instead.
    void Reset(Handle handle) {
        Close();
        handle_ = handle;
    }
    // Gives back what is held now rather than at the end of the scope.
    void Close() {
        if (handle_ != kNone) Release(handle_);
        handle_ = kNone;
    }

  private:
    Handle handle_;
};

namespace release {
inline void File(FileHandle file) {
    TheOs().CloseFile(file);
}
inline void Heap(HeapHandle heap) {
    TheOs().HeapDestroy(heap);
}
inline void Process(ProcessHandle process) {
    TheOs().CloseProcess(process);
}
inline void Snapshot(SnapshotHandle snapshot) {
    TheOs().CloseSnapshot(snapshot);
}
inline void Key(RegistryKey key) {
    TheOs().CloseRegistryKey(key);
}
}  // namespace release

// An open file (CreateFileHandle); closed with CloseFile.
using OwnedFile = OwnedHandle<FileHandle, kInvalidFile, release::File>;
// A heap of its own (HeapCreate); destroyed with everything in it.
using OwnedHeap = OwnedHandle<HeapHandle, kNoHeap, release::Heap>;
// A process opened for queries (OpenProcessForQuery); closed with CloseProcess.
using OwnedProcess = OwnedHandle<ProcessHandle, kNoProcess, release::Process>;
// A Tool Help snapshot (CreateProcessSnapshot); closed with CloseSnapshot.
using OwnedSnapshot = OwnedHandle<SnapshotHandle, kInvalidSnapshot, release::Snapshot>;
// An open registry key (OpenRegistryKey); closed with CloseRegistryKey.
using OwnedRegistryKey = OwnedHandle<RegistryKey, kNoRegistryKey, release::Key>;

// A zero-filled block of a heap (HeapAllocZero); freed with HeapFree. Null
// when the heap had no room.
class OwnedHeapBlock {
  public:
    OwnedHeapBlock(HeapHandle heap, size_t size)
        : heap_(heap), block_(TheOs().HeapAllocZero(heap, size)) {}
    ~OwnedHeapBlock() {
        if (block_ != nullptr) TheOs().HeapFree(heap_, block_);
    }
    OwnedHeapBlock(const OwnedHeapBlock&) = delete;
    OwnedHeapBlock& operator=(const OwnedHeapBlock&) = delete;

    void* Get() const { return block_; }
    // Hands the block to the caller, who frees it from now on.
    void* Release() {
        void* block = block_;
        block_ = nullptr;
        return block;
    }

  private:
    HeapHandle heap_;
    void* block_;
};

}  // namespace kzp

// Owners of what the seam hands out: each closes or frees its handle through
// the seam when it goes out of scope, so that no path of a function has to
// give it back by hand.
#pragma once

#include <stddef.h>

#include "platform/os.h"

namespace kzp {

// An open file (CreateFileHandle); closed with CloseFile.
class OwnedFile {
  public:
    explicit OwnedFile(FileHandle file = kInvalidFile) : file_(file) {}
    ~OwnedFile() { Close(); }
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    FileHandle Get() const { return file_; }
    bool IsOpen() const { return file_ != kInvalidFile; }
    // Closes what is held and holds `file` instead.
    void Reset(FileHandle file) {
        Close();
        file_ = file;
    }
    void Close() {
        if (file_ != kInvalidFile) TheOs().CloseFile(file_);
        file_ = kInvalidFile;
    }

  private:
    FileHandle file_;
};

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

  private:
    HeapHandle heap_;
    void* block_;
};

}  // namespace kzp

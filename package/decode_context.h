// What the diff decoder and the integrity check need from the run that calls
// them, and nothing more: a heap for their buffers, the cancel flag and a
// place for per-file progress. The apply thread implements it over the shared
// state; tests and tools implement it as they like.
#pragma once

#include <stdint.h>

#include "platform/os.h"

namespace kzp {

class DecodeContext {
  public:
    virtual HeapHandle Heap() = 0;
    // True once the user has asked to stop; polled between records and blocks.
    virtual bool Cancelled() = 0;
    // `done` of the `total` bytes of the current file's stream are through.
    virtual void FileProgress(uint64_t done, uint64_t total) = 0;

  protected:
    ~DecodeContext() = default;
};

}  // namespace kzp

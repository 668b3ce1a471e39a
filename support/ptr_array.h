// A growable array of untyped pointers whose storage comes from the process
// heap. It owns its storage only, never the objects the pointers refer to.
#pragma once

#include <stdint.h>

namespace kzp {

class PtrArray {
  public:
    // Made with ordinary dynamic allocation (the process heap); null when even
    // the object cannot be had. An array whose storage failed reports Count -1.
    static PtrArray* Create(int32_t growStep);
    static void Destroy(PtrArray* array);

    // count, or -1 when the array has no storage
    int32_t Count() const;
    // Index of the stored pointer, or -1 when the storage could not grow.
    int32_t Push(void* item);
    // No range test: callers stay within 0 <= index < Count().
    void* Get(int32_t index) const { return items_[index]; }

    int32_t Capacity() const { return capacity_; }
    int32_t GrowStep() const { return growStep_; }

  private:
    explicit PtrArray(int32_t growStep);
    void Release();

    int32_t growStep_;
    int32_t count_;
    int32_t capacity_;
    void** items_;
};

}  // namespace kzp

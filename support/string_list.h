// A list of owned string copies built on one PtrArray. Each copy is a
// zero-filled GlobalAlloc block of exactly length + 1 bytes.
#pragma once

#include <stdint.h>

#include "support/ptr_array.h"

namespace kzp {

class StringList {
  public:
    static StringList* Create(int32_t growStep);
    // Frees every copy, then the array and the list.
    static void Destroy(StringList* list);

    int32_t Count() const;
    // Index of the copy, or -1 when the copy or the array's storage failed.
    int32_t Add(const char* text);
    const char* Get(int32_t index) const { return static_cast<const char*>(array_->Get(index)); }

  private:
    explicit StringList(PtrArray* array) : array_(array) {}
    PtrArray* array_;
};

}  // namespace kzp

#include "support/ptr_array.h"

#include <new>

#include "platform/os.h"

namespace kzp {

PtrArray::PtrArray(int32_t growStep) : growStep_(growStep), count_(0), capacity_(growStep) {
    Os& os = TheOs();
    items_ = growStep > 0 ? static_cast<void**>(os.HeapAllocZero(
                                os.ProcessHeap(), sizeof(void*) * static_cast<size_t>(growStep)))
                          : nullptr;
    if (items_ == nullptr) capacity_ = 0;
}

PtrArray* PtrArray::Create(int32_t growStep) {
    Os& os = TheOs();
    void* memory = os.HeapAllocZero(os.ProcessHeap(), sizeof(PtrArray));
    if (memory == nullptr) return nullptr;
    return new (memory) PtrArray(growStep);
}

void PtrArray::Destroy(PtrArray* array) {
    if (array == nullptr) return;
    array->Release();
    Os& os = TheOs();
    os.HeapFree(os.ProcessHeap(), array);
}

int32_t PtrArray::Count() const {
    return items_ == nullptr ? -1 : count_;
}

int32_t PtrArray::Push(void* item) {
    // An array whose first storage failed never stores anything: Count stays
    // -1 and every walk over it stays empty.
    if (items_ == nullptr) return -1;
    if (count_ == capacity_) {
        if (capacity_ > INT32_MAX - growStep_) return -1;
        int32_t grown = capacity_ + growStep_;
        Os& os = TheOs();
        void* resized = os.HeapReAllocZero(os.ProcessHeap(), items_,
                                           sizeof(void*) * static_cast<size_t>(grown));
        // On failure the old storage and everything in it stay as they were.
        if (resized == nullptr) return -1;
        items_ = static_cast<void**>(resized);
        capacity_ = grown;
    }
    items_[count_] = item;
    return count_++;
}

void PtrArray::Release() {
    if (items_ != nullptr) {
        Os& os = TheOs();
        os.HeapFree(os.ProcessHeap(), items_);
        items_ = nullptr;
    }
    count_ = 0;
    capacity_ = 0;
}

}  // namespace kzp

#include "support/string_list.h"

#include <new>
#include <string.h>

#include "platform/os.h"
#include "support/text.h"

namespace kzp {

StringList* StringList::Create(int32_t growStep) {
    Os& os = TheOs();
    PtrArray* array = PtrArray::Create(growStep);
    if (array == nullptr) return nullptr;
    void* memory = os.HeapAllocZero(os.ProcessHeap(), sizeof(StringList));
    if (memory == nullptr) {
        PtrArray::Destroy(array);
        return nullptr;
    }
    return new (memory) StringList(array);
}

void StringList::Destroy(StringList* list) {
    if (list == nullptr) return;
    Os& os = TheOs();
    for (int32_t i = 0; i < list->Count(); ++i) os.GlobalFree(list->array_->Get(i));
    PtrArray::Destroy(list->array_);
    os.HeapFree(os.ProcessHeap(), list);
}

int32_t StringList::Count() const {
    return array_->Count();
}

int32_t StringList::Add(const char* text) {
    Os& os = TheOs();
    size_t length = TextLength(text);
    char* copy = static_cast<char*>(os.GlobalAllocZero(length + 1));
    if (copy == nullptr) return -1;
    memcpy(copy, text, length + 1);
    int32_t index = array_->Push(copy);
    // A copy the array could not take would be lost to everyone: free it.
    if (index < 0) os.GlobalFree(copy);
    return index;
}

}  // namespace kzp

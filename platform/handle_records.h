// Handles that a seam hands out itself (the POSIX seam, the kzp command's
// console seam, the tests' simulated system): the address of the record the
// handle stands for, or a small number counted from 1.
#pragma once

#include <stdint.h>

namespace kzp {

template <typename Handle, typename Record>
Handle HandleOf(Record* record) {
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(record));
}

template <typename Record, typename Handle>
Record* RecordOf(Handle handle) {
    return reinterpret_cast<Record*>(static_cast<uintptr_t>(handle));
}

template <typename Handle>
Handle HandleNumber(uintptr_t number) {
    return static_cast<Handle>(number);
}

template <typename Handle>
uintptr_t NumberOf(Handle handle) {
    return static_cast<uintptr_t>(handle);
}

}  // namespace kzp

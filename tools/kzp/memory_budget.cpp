#include "tools/kzp/memory_budget.h"

#include <algorithm>

namespace kzp::tool {

uint64_t MemoryBudget::Take(uint64_t bytes) {
    bytes = std::min(bytes, total_);
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return total_ - used_ >= bytes; });
    used_ += bytes;
    peak_ = std::max(peak_, used_);
    return bytes;
}

void MemoryBudget::Give(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        used_ -= bytes;
    }
    freed_.notify_all();
}

uint64_t MemoryBudget::Peak() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

}  // namespace kzp::tool

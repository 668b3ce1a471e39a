// Memory shared by package builds that run at once (kzp release's jobs).
// Each matching of a file pair takes its share before it starts and gives it
// back when it ends, so that together they stay within the total. What the
// encoder does depends only on the settings' memory limit, never on what is
// free at the moment, so a package comes out the same whatever runs beside it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kzp::tool {

class MemoryBudget {
  public:
    explicit MemoryBudget(uint64_t total) : total_(total) {}

    // Waits until `bytes` are free; a share larger than the total waits for
    // all of it. Returns what was taken, for Give.
    uint64_t Take(uint64_t bytes);
    void Give(uint64_t bytes);

    uint64_t Total() const { return total_; }
    // The most that was taken at once, for the tests.
    uint64_t Peak() const;

  private:
    const uint64_t total_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    uint64_t used_ = 0;
    uint64_t peak_ = 0;
};

// A share held while it lives; no budget, no share.
class MemoryShare {
  public:
    MemoryShare(MemoryBudget* budget, uint64_t bytes)
        : budget_(budget), bytes_(budget != nullptr ? budget->Take(bytes) : 0) {}
    ~MemoryShare() {
        if (budget_ != nullptr) budget_->Give(bytes_);
    }
    MemoryShare(const MemoryShare&) = delete;
    MemoryShare& operator=(const MemoryShare&) = delete;

  private:
    MemoryBudget* budget_;
    uint64_t bytes_;
};

}  // namespace kzp::tool

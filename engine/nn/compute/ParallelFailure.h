#pragma once

#include <atomic>
#include <exception>
#include <mutex>

namespace dravelin {

// An exception must not leave an OpenMP parallel region (the program would
// end). Work inside a region runs through run(), which keeps the first
// exception and skips the work left once anything failed; after the region
// the caller calls rethrow().
class ParallelFailure {
public:
    template <typename Work> void run(Work&& work) noexcept {
        if (failed_.load(std::memory_order_relaxed)) {
            return;
        }
        try {
            work();
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!first_) {
                first_ = std::current_exception();
            }
            failed_.store(true);
        }
    }

    void rethrow() const {
        if (first_) {
            std::rethrow_exception(first_);
        }
    }

private:
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::exception_ptr first_;
};

} // namespace dravelin

#include "nn/compute/Profiler.h"

#include <atomic>
#include <mutex>

namespace dravelin {

namespace {

std::atomic<bool> profiling{false};
std::mutex entriesMutex;
std::map<std::string, Profiler::Entry> recorded;

} // namespace

void Profiler::setEnabled(bool enabled) {
    profiling.store(enabled);
}

bool Profiler::enabled() {
    return profiling.load(std::memory_order_relaxed);
}

void Profiler::reset() {
    std::lock_guard lock(entriesMutex);
    recorded.clear();
}

std::map<std::string, Profiler::Entry> Profiler::entries() {
    std::lock_guard lock(entriesMutex);
    return recorded;
}

void Profiler::record(const std::string& category, double seconds, double flops) {
    std::lock_guard lock(entriesMutex);
    Entry& entry = recorded[category];
    entry.seconds += seconds;
    entry.flops += flops;
    entry.calls += 1;
}

ProfileScope::ProfileScope(const char* category, double flops)
    : category_(category), flops_(flops), active_(Profiler::enabled()) {
    if (active_) {
        start_ = std::chrono::steady_clock::now();
    }
}

ProfileScope::~ProfileScope() {
    if (active_) {
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        Profiler::record(category_, std::chrono::duration<double>(elapsed).count(), flops_);
    }
}

} // namespace dravelin

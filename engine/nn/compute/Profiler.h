#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace dravelin {

// Time and arithmetic spent per kind of layer, for the benchmark. Off unless
// enabled; a scope then costs one flag test.
class Profiler {
public:
    struct Entry {
        double seconds = 0;
        double flops = 0;
        int64_t calls = 0;
    };

    static void setEnabled(bool enabled);
    static bool enabled();
    static void reset();
    static std::map<std::string, Entry> entries();
    static void record(const std::string& category, double seconds, double flops);
};

// Records the time from construction to destruction under a category.
class ProfileScope {
public:
    ProfileScope(const char* category, double flops);
    ~ProfileScope();
    ProfileScope(const ProfileScope&) = delete;
    ProfileScope& operator=(const ProfileScope&) = delete;

private:
    const char* category_;
    double flops_;
    bool active_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace dravelin

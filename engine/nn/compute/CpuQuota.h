#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace dravelin {

// The whole CPUs this process's control group may use, from its CPU quota:
// quota / period rounded up, the smallest along the group and its parents
// (cgroup v2 "cpu.max"; v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us").
// Empty when no quota is set. `membership` is /proc/self/cgroup's text and
// `root` the cgroup mount (/sys/fs/cgroup), so tests can hand in their own.
std::optional<int> cgroupCpuLimit(std::string_view membership, const std::filesystem::path& root);

// The same for this process.
std::optional<int> cgroupCpuLimit();

} // namespace dravelin

#include "nn/compute/CpuQuota.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace dravelin {

namespace {

// Whole CPUs for a quota of `quota` µs per `period` µs; empty for none.
std::optional<int> cpusFor(long long quota, long long period) {
    if (quota <= 0 || period <= 0) {
        return std::nullopt;
    }
    return static_cast<int>(std::clamp<long long>((quota + period - 1) / period, 1, 4096));
}

std::optional<int> tighter(std::optional<int> a, std::optional<int> b) {
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    return std::min(*a, *b);
}

// cpu.max: "max 100000" or "150000 100000".
std::optional<int> readCpuMax(const std::filesystem::path& directory) {
    std::ifstream stream(directory / "cpu.max");
    std::string quota;
    long long period = 0;
    if (!(stream >> quota >> period) || quota == "max") {
        return std::nullopt;
    }
    try {
        return cpusFor(std::stoll(quota), period);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<int> readCfsQuota(const std::filesystem::path& directory) {
    std::ifstream quotaStream(directory / "cpu.cfs_quota_us");
    std::ifstream periodStream(directory / "cpu.cfs_period_us");
    long long quota = 0;
    long long period = 0;
    if (!(quotaStream >> quota) || !(periodStream >> period)) {
        return std::nullopt;
    }
    return cpusFor(quota, period);
}

// Every directory from the group's own up to the mount, each limit applying.
template <typename Read>
std::optional<int> alongParents(const std::filesystem::path& mount, std::string_view group,
                                Read read) {
    std::optional<int> limit;
    std::filesystem::path relative = std::filesystem::path(group).relative_path();
    for (;;) {
        limit = tighter(limit, read(mount / relative));
        if (relative.empty()) {
            break;
        }
        relative = relative.parent_path();
    }
    return limit;
}

} // namespace

std::optional<int> cgroupCpuLimit(std::string_view membership, const std::filesystem::path& root) {
    std::optional<int> limit;
    std::istringstream lines{std::string(membership)};
    std::string line;
    while (std::getline(lines, line)) {
        // "hierarchy:controllers:path"; v2 is "0::path".
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            const std::filesystem::path mount =
                std::filesystem::exists(root / "cgroup.controllers") ? root : root / "unified";
            limit = tighter(limit, alongParents(mount, group, readCpuMax));
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (name == "cpu") {
                // Mounted as "cpu" or jointly as "cpu,cpuacct".
                for (const char* mount : {"cpu", "cpu,cpuacct", "cpuacct,cpu"}) {
                    if (std::filesystem::exists(root / mount)) {
                        limit = tighter(limit, alongParents(root / mount, group, readCfsQuota));
                        break;
                    }
                }
            }
        }
    }
    return limit;
}

std::optional<int> cgroupCpuLimit() {
    std::ifstream stream("/proc/self/cgroup");
    std::ostringstream text;
    text << stream.rdbuf();
    return cgroupCpuLimit(text.str(), "/sys/fs/cgroup");
}

} // namespace dravelin

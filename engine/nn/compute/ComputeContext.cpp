#include "nn/compute/ComputeContext.h"

#include "nn/compute/CpuQuota.h"

#include <omp.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace dravelin {

namespace {

int positiveEnvironmentInteger(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return 0;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && value > 0 && value < 4096) ? static_cast<int>(value) : 0;
}

int readTopologyNumber(int cpu, const char* file) {
    std::ifstream stream("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/" + file);
    int value = -1;
    stream >> value;
    return stream ? value : -1;
}

int physicalCoresAvailable() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    std::set<std::pair<int, int>> cores;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) {
            continue;
        }
        const int package = readTopologyNumber(cpu, "physical_package_id");
        const int core = readTopologyNumber(cpu, "core_id");
        if (package < 0 || core < 0) {
            // No topology to read: count logical processors.
            return std::max(1, CPU_COUNT(&allowed));
        }
        cores.emplace(package, core);
    }
    return cores.empty() ? 1 : static_cast<int>(cores.size());
}

} // namespace

const dnnl::engine& ComputeContext::engine() {
    static const dnnl::engine cpu(dnnl::engine::kind::cpu, 0);
    return cpu;
}

dnnl::stream& ComputeContext::stream() {
    thread_local dnnl::stream perThread(engine());
    return perThread;
}

int ComputeContext::threadCount() {
    static const int count = [] {
        if (const int chosen = positiveEnvironmentInteger("DRAVELIN_THREADS")) {
            return chosen;
        }
        if (const int chosen = positiveEnvironmentInteger("OMP_NUM_THREADS")) {
            return chosen;
        }
        // A CPU quota below the cores we may run on (a container, a systemd
        // slice) would leave threads waiting on each other for time slices.
        const int cores = physicalCoresAvailable();
        const std::optional<int> quota = cgroupCpuLimit();
        return quota ? std::min(cores, *quota) : cores;
    }();
    return count;
}

ComputeThreadsScope::ComputeThreadsScope() : previous_(omp_get_max_threads()) {
    omp_set_num_threads(ComputeContext::threadCount());
}

ComputeThreadsScope::~ComputeThreadsScope() {
    omp_set_num_threads(previous_);
}

} // namespace dravelin

// The options the per-kernel benchmarks share:
//   [--runs N] [--precision float32|bfloat16|both] [--quick] [--cpu-time]
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace dravelin {

struct KernelBenchOptions {
    int runs = 3;
    std::string precisionChoice = "both";
    bool quick = false;
    bool cpuTime = false;
};

// Empty after printing the usage line for anything else.
inline std::optional<KernelBenchOptions> readKernelBenchOptions(int argc, char** argv) {
    KernelBenchOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--precision") == 0 && i + 1 < argc) {
            options.precisionChoice = argv[++i];
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            options.quick = true;
        } else if (std::strcmp(argv[i], "--cpu-time") == 0) {
            options.cpuTime = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--runs N] [--precision float32|bfloat16|both] [--quick] "
                         "[--cpu-time]\n",
                         argv[0]);
            return std::nullopt;
        }
    }
    return options;
}

} // namespace dravelin

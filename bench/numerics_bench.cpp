// Times the per-generation numerics that run beside the networks: seeded
// noise fills and scheduler steps. Each must stay negligible next to one
// denoising-network evaluation (seconds).

#include "schedulers/DPMSolverMultistepScheduler.h"
#include "random/NumPyRandomSource.h"
#include "random/NvRandomSource.h"
#include "schedulers/PNDMScheduler.h"
#include "random/TorchRandomSource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using namespace dravelin;

namespace {

// Median wall time of `runs` calls, in milliseconds.
double medianMs(int runs, const std::function<void()>& body) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

template <typename Source> void benchFill(const char* name, Source source) {
    for (const Shape& shape : {Shape{1, 4, 64, 64}, Shape{1, 4, 128, 128}}) {
        volatile double sink = 0;
        const double ms = medianMs(21, [&] {
            NormalArray noise = source.normalShapedArray(shape);
            sink = sink + noise.values.back();
        });
        std::printf("  %-26s %-16s %8.3f ms\n", name, describe(shape).c_str(), ms);
    }
}

ShapedArray latent(float value) {
    return ShapedArray(Shape{1, 4, 64, 64}, value);
}

} // namespace

int main() {
    std::printf("Noise fill (median of 21):\n");
    benchFill("NumPyRandomSource", NumPyRandomSource(42));
    benchFill("TorchRandomSource", TorchRandomSource(42));
    benchFill("NvRandomSource", NvRandomSource(42));

    std::printf("Scheduler step on [1, 4, 64, 64] (median over a 50-step run):\n");
    const ShapedArray output = latent(0.1f);
    {
        std::vector<double> times;
        PNDMScheduler scheduler(50);
        ShapedArray sample = latent(1.0f);
        for (int t : scheduler.timeSteps()) {
            times.push_back(medianMs(1, [&] { sample = scheduler.step(output, t, sample); }));
        }
        std::sort(times.begin(), times.end());
        std::printf("  %-26s %8.3f ms\n", "PNDMScheduler", times[times.size() / 2]);
    }
    {
        std::vector<double> times;
        DPMSolverMultistepScheduler scheduler(50);
        ShapedArray sample = latent(1.0f);
        for (int t : scheduler.timeSteps()) {
            times.push_back(medianMs(1, [&] { sample = scheduler.step(output, t, sample); }));
        }
        std::sort(times.begin(), times.end());
        std::printf("  %-26s %8.3f ms\n", "DPMSolverMultistepScheduler", times[times.size() / 2]);
    }
    return 0;
}

// Times single layers of the full-size networks, each way this build can run
// it, back to back in one run so that a loaded machine slows both alike:
// every convolution shape of SD 1.5's denoising network and VAE decoder, in
// float32 and bfloat16, through oneDNN's convolution and through the
// per-tap products, beside oneDNN's own rate for the same convolution with
// every layout its own.
//
//   dravelin-bench-layers [--runs N] [--precision float32|bfloat16|both] [--quick]
//                         [--cpu-time]
//
// --quick keeps to the four 3×3 shapes of the denoising network. --cpu-time
// compares the processor time the process spent instead of wall time: on a
// machine others load, that stays near the work done (run it with
// OMP_WAIT_POLICY=passive so that waiting threads do not spin).

#include "KernelBenchOptions.h"
#include "ProcessorTime.h"
#include "OneDnnRates.h"
#include "nn/compute/ComputeContext.h"
#include "nn/compute/FeatureMap.h"
#include "nn/layers/Convolution.h"
#include "nn/layers/GroupNorm.h"
#include "runtime/ComputePrecision.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

ShapedArray randomArray(Shape shape, float scale, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-scale, scale);
    ShapedArray array(std::move(shape));
    for (float& value : array.values()) {
        value = distribution(generator);
    }
    return array;
}

struct Shape2D {
    const char* name;
    int64_t batch, in, out, size;
    int kernel, stride;
    bool normalised, upsampled;
};

std::unique_ptr<Convolution> make(const Shape2D& s, ComputePrecision precision, bool taps) {
    if (taps) {
        setenv("DRAVELIN_CONVOLUTION", "taps", 1);
    } else {
        unsetenv("DRAVELIN_CONVOLUTION");
    }
    const float scale = 1.0f / std::sqrt(static_cast<float>(s.in * s.kernel * s.kernel));
    auto layer = std::make_unique<Convolution>(
        randomArray({s.out, s.in, s.kernel, s.kernel}, scale, 1), randomArray({s.out}, 0.1f, 2),
        s.stride,
        s.stride == 2 ? std::optional<ConvolutionPadding>(ConvolutionPadding{1, 1}) : std::nullopt,
        precision);
    unsetenv("DRAVELIN_CONVOLUTION");
    return layer;
}


} // namespace

int main(int argc, char** argv) {
    const std::optional<KernelBenchOptions> options = readKernelBenchOptions(argc, argv);
    if (!options) {
        return 2;
    }
    const auto [runs, precisionChoice, quick, cpuTime] = *options;
    ComputeThreadsScope threads;
    std::vector<Shape2D> shapes = {
        {"unet 3x3 64x64 320", 2, 320, 320, 64, 3, 1, true, false},
        {"unet 3x3 32x32 640", 2, 640, 640, 32, 3, 1, true, false},
        {"unet 3x3 16x16 1280", 2, 1280, 1280, 16, 3, 1, true, false},
        {"unet 3x3 8x8 1280", 2, 1280, 1280, 8, 3, 1, true, false},
    };
    if (!quick) {
        const std::vector<Shape2D> more = {
            {"unet 3x3 plain 64x64 320", 2, 320, 320, 64, 3, 1, false, false},
            {"unet 1x1 64x64 640→320", 2, 640, 320, 64, 1, 1, false, false},
            {"unet 3x3 upsampled 32→64 640→320", 2, 640, 320, 32, 3, 1, false, true},
            {"unet 3x3 stride 2 64→32 320", 2, 320, 320, 64, 3, 2, false, false},
            {"vae 3x3 64x64 512", 1, 512, 512, 64, 3, 1, true, false},
            {"vae 3x3 256x256 256", 1, 256, 256, 256, 3, 1, true, false},
            {"vae 3x3 upsampled 256→512 256", 1, 256, 256, 256, 3, 1, false, true},
            {"vae 3x3 512x512 128", 1, 128, 128, 512, 3, 1, true, false},
        };
        shapes.insert(shapes.end(), more.begin(), more.end());
    }
    std::vector<ComputePrecision> precisions;
    if (precisionChoice != "bfloat16") {
        precisions.push_back(ComputePrecision::float32);
    }
    if (precisionChoice != "float32") {
        precisions.push_back(ComputePrecision::bfloat16);
    }
    std::printf("%s time; oneDNN alone: wall time\n", cpuTime ? "processor" : "wall");
    std::printf("%-36s %-9s %28s %10s %10s %7s %22s\n", "convolution", "precision",
                "runs oneDNN conv", "oneDNN ms", "taps ms", "ratio", "ours / oneDNN alone (GFLOP/s)");
    for (const ComputePrecision precision : precisions) {
        for (const Shape2D& s : shapes) {
            const ShapedArray planar = randomArray({s.batch, s.in, s.size, s.size}, 1.0f, 3);
            const FeatureMap map = FeatureMap::fromPlanar(planar);
            const GroupNorm norm(std::vector<float>(static_cast<size_t>(s.in), 1.0f),
                                 std::vector<float>(static_cast<size_t>(s.in), 0.0f), 32, 1e-5f);
            const ChannelTransform transform = norm.transform(map, Activation::silu);
            const ConvolutionInput input{map, s.normalised ? &transform : nullptr, s.upsampled};
            const auto primitive = make(s, precision, false);
            const auto taps = make(s, precision, true);
            double best[2] = {1e30, 1e30};
            for (int run = 0; run <= runs; ++run) {
                for (int way = 0; way < 2; ++way) {
                    const auto start = Clock::now();
                    const double startCpu = processorSeconds();
                    const FeatureMap result = (way == 0 ? *primitive : *taps).forward(input);
                    const double seconds =
                        cpuTime ? processorSeconds() - startCpu
                                : std::chrono::duration<double>(Clock::now() - start).count();
                    if (run > 0) {
                        best[way] = std::min(best[way], seconds);
                    }
                }
            }
            const bool bf16 = precision == ComputePrecision::bfloat16;
            const OneDnnRate alone =
                s.kernel == 3 && s.stride == 1
                    ? measureOneDnnConvolution(bf16, s.in, s.upsampled ? 2 * s.size : s.size)
                    : OneDnnRate{};
            const double flops = primitive->flops(input);
            std::printf("%-36s %-9s %28s %10.2f %10.2f %6.2f× %10.0f / %-10.0f\n", s.name,
                        std::string(precisionName(precision)).c_str(),
                        primitive->runsOneDnnKernel() ? "yes" : "no (taps)", best[0] * 1e3,
                        best[1] * 1e3, best[1] / best[0], flops / best[0] / 1e9, alone.gflops);
            std::fflush(stdout);
        }
    }
    return 0;
}

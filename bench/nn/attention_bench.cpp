// Times the scaled dot-product attention at the shapes of the full-size
// networks (SD 1.5's denoising network per evaluation of a batch of two, its
// VAE's mid block, the text encoder, SDXL's two attention levels), in float32
// and bfloat16, and sums what one SD 1.5 denoising evaluation spends on it.
//
//   dravelin-bench-attention [--runs N] [--precision float32|bfloat16|both]
//                            [--cpu-time] [--quick]
//
// --cpu-time compares the processor time the process spent instead of wall
// time (run it with OMP_WAIT_POLICY=passive so that waiting threads do not
// spin); --quick keeps to the denoising network's shapes.

#include "KernelBenchOptions.h"
#include "ProcessorTime.h"
#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"
#include "nn/layers/ScaledDotProductAttention.h"
#include "runtime/ComputePrecision.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

struct AttentionShape {
    const char* name;
    int64_t heads, headDim, queries, keys;
    bool causal, fused;
    int perEvaluation; // calls in one SD 1.5 denoising evaluation (batch 2)
};


} // namespace

int main(int argc, char** argv) {
    const std::optional<KernelBenchOptions> options = readKernelBenchOptions(argc, argv);
    if (!options) {
        return 2;
    }
    const auto [runs, precisionChoice, quick, cpuTime] = *options;
    ComputeThreadsScope threads;
    std::vector<AttentionShape> shapes = {
        {"unet self 64x64 d40", 8, 40, 4096, 4096, false, true, 10},
        {"unet cross 64x64 d40", 8, 40, 4096, 77, false, false, 10},
        {"unet self 32x32 d80", 8, 80, 1024, 1024, false, true, 10},
        {"unet cross 32x32 d80", 8, 80, 1024, 77, false, false, 10},
        {"unet self 16x16 d160", 8, 160, 256, 256, false, true, 10},
        {"unet cross 16x16 d160", 8, 160, 256, 77, false, false, 10},
        {"unet self 8x8 d160", 8, 160, 64, 64, false, true, 2},
        {"unet cross 8x8 d160", 8, 160, 64, 77, false, false, 2},
    };
    if (!quick) {
        const std::vector<AttentionShape> more = {
            {"vae self 64x64 d512", 1, 512, 4096, 4096, false, true, 0},
            {"text causal 77 d64", 12, 64, 77, 77, true, true, 0},
            {"sdxl self 64x64 d64", 10, 64, 4096, 4096, false, true, 0},
            {"sdxl self 32x32 d64", 20, 64, 1024, 1024, false, true, 0},
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
    std::printf("%s time, best of %d\n", cpuTime ? "processor" : "wall", runs);
    std::printf("%-24s %-9s %10s %10s\n", "attention", "precision", "ms", "GFLOP/s");
    for (const ComputePrecision precision : precisions) {
        double evaluationSeconds = 0;
        double evaluationFlops = 0;
        for (const AttentionShape& s : shapes) {
            const int64_t width = s.heads * s.headDim;
            // Self-attention reads one fused [positions, 3·width] projection;
            // cross-attention its queries and a [keys, 2·width] key-value one.
            const int64_t queryStride = s.fused ? 3 * width : width;
            const int64_t keyStride = s.fused ? 3 * width : 2 * width;
            const ScaledDotProductAttention attention(
                s.heads, s.headDim, s.queries, s.keys, s.causal,
                {queryStride, keyStride, keyStride, width}, precision);
            std::mt19937 generator(5);
            std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
            AlignedBuffer queries(static_cast<size_t>(s.queries * queryStride));
            AlignedBuffer keysValues(static_cast<size_t>(s.keys * keyStride));
            for (AlignedBuffer* buffer : {&queries, &keysValues}) {
                for (size_t i = 0; i < buffer->size(); ++i) {
                    buffer->data()[i] = distribution(generator);
                }
            }
            const float* q = queries.data();
            const float* k = s.fused ? q + width : keysValues.data();
            const float* v = k + width;
            AlignedBuffer output(static_cast<size_t>(s.queries * width));
            double best = 1e30;
            for (int run = 0; run <= runs; ++run) {
                const auto start = Clock::now();
                const double startCpu = processorSeconds();
                attention.forward(q, k, v, output.data());
                const double seconds =
                    cpuTime ? processorSeconds() - startCpu
                            : std::chrono::duration<double>(Clock::now() - start).count();
                if (run > 0) {
                    best = std::min(best, seconds);
                }
            }
            evaluationSeconds += s.perEvaluation * best;
            evaluationFlops += s.perEvaluation * attention.flops();
            std::printf("%-24s %-9s %10.3f %10.0f\n", s.name,
                        std::string(precisionName(precision)).c_str(), best * 1e3,
                        attention.flops() / best / 1e9);
            std::fflush(stdout);
        }
        std::printf("%-24s %-9s %10.1f %10.0f\n", "SD 1.5 evaluation",
                    std::string(precisionName(precision)).c_str(), evaluationSeconds * 1e3,
                    evaluationFlops / evaluationSeconds / 1e9);
    }
    return 0;
}

#include "FmaCeiling.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// 12 chains of 8-wide FMAs: more than latency × pipes (4 × 2) on current cores.
__attribute__((target("avx2,fma"))) float runAvx2(long iterations) {
    __m256 chains[12];
    const __m256 scale = _mm256_set1_ps(0.999999f);
    const __m256 offset = _mm256_set1_ps(1e-6f);
    for (int i = 0; i < 12; ++i) {
        chains[i] = _mm256_set1_ps(static_cast<float>(i));
    }
    for (long k = 0; k < iterations; ++k) {
#pragma GCC unroll 12
        for (int i = 0; i < 12; ++i) {
            chains[i] = _mm256_fmadd_ps(chains[i], scale, offset);
        }
    }
    __m256 sum = chains[0];
    for (int i = 1; i < 12; ++i) {
        sum = _mm256_add_ps(sum, chains[i]);
    }
    return _mm256_cvtss_f32(sum);
}

__attribute__((target("avx512f"))) float runAvx512(long iterations) {
    __m512 chains[16];
    const __m512 scale = _mm512_set1_ps(0.999999f);
    const __m512 offset = _mm512_set1_ps(1e-6f);
    for (int i = 0; i < 16; ++i) {
        chains[i] = _mm512_set1_ps(static_cast<float>(i));
    }
    for (long k = 0; k < iterations; ++k) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            chains[i] = _mm512_fmadd_ps(chains[i], scale, offset);
        }
    }
    __m512 sum = chains[0];
    for (int i = 1; i < 16; ++i) {
        sum = _mm512_add_ps(sum, chains[i]);
    }
    float lanes[16];
    _mm512_storeu_ps(lanes, sum);
    return lanes[0];
}

// 16 chains of bfloat16 pair dot products into float32 lanes.
__attribute__((target("avx512f,avx512bf16"))) float runAvx512Bf16(long iterations) {
    __m512 chains[16];
    const __m512bh a = (__m512bh)_mm512_set1_epi16(0x3f80); // 1.0
    const __m512bh b = (__m512bh)_mm512_set1_epi16(0x3380); // 2^-24
    for (int i = 0; i < 16; ++i) {
        chains[i] = _mm512_set1_ps(static_cast<float>(i));
    }
    for (long k = 0; k < iterations; ++k) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            chains[i] = _mm512_dpbf16_ps(chains[i], a, b);
        }
    }
    __m512 sum = chains[0];
    for (int i = 1; i < 16; ++i) {
        sum = _mm512_add_ps(sum, chains[i]);
    }
    float lanes[16];
    _mm512_storeu_ps(lanes, sum);
    return lanes[0];
}

// The best of three runs of `kernel` on `threads` threads at once, in GFLOP/s.
template <typename Kernel>
double measureBest(int threads, double flopsPerIteration, long iterations, Kernel kernel) {
    std::atomic<float> sink{0};
    double best = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = Clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] { sink = sink + kernel(iterations); });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::max(best, flopsPerIteration * static_cast<double>(iterations) * threads /
                                  seconds / 1e9);
    }
    return best;
}

} // namespace

FmaCeiling measureBfloat16Ceiling(int threads) {
    FmaCeiling result;
    result.threads = threads;
    if (!__builtin_cpu_supports("avx512bf16")) {
        result.instructions = "none";
        return result;
    }
    result.instructions = "AVX-512 BF16";
    // Chains × 16 lanes × 2 products × 2 (multiply and add).
    result.total = measureBest(threads, 16.0 * 16 * 2 * 2, 50'000'000, runAvx512Bf16);
    result.perThread = result.total / threads;
    return result;
}

FmaCeiling measureFmaCeiling(int threads) {
    FmaCeiling result;
    result.threads = threads;
    const bool avx512 = __builtin_cpu_supports("avx512f");
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (!avx512 && !avx2) {
        result.instructions = "none";
        return result;
    }
    result.instructions = avx512 ? "AVX-512" : "AVX2+FMA";
    // FLOPs per iteration: chains × lanes × 2.
    const double flopsPerIteration = avx512 ? 16.0 * 16 * 2 : 12.0 * 8 * 2;
    const long iterations = 100'000'000;
    const double best = avx512 ? measureBest(threads, flopsPerIteration, iterations, runAvx512)
                               : measureBest(threads, flopsPerIteration, iterations, runAvx2);
    result.total = best;
    result.perThread = best / threads;
    return result;
}

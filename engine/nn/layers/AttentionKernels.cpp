#include "nn/layers/AttentionKernels.h"

#include "nn/compute/Bfloat16.h"

#include <bit>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define DRAVELIN_WIDE_SOFTMAX 1
#endif

namespace dravelin::kernels {

namespace {

// 2^x for x ≤ 0, clamped below at −126 (a masked score's weight comes out as
// 2^−126, not a NaN): x = k + r with |r| ≤ ½, 2^r by a degree-6 polynomial
// (relative error about 2·10⁻⁷), 2^k by building the exponent bits.
constexpr float kLowest = -126.0f;
constexpr float kExp2[6] = {1.535336188319500e-4f, 1.339887440266574e-3f, 9.618437357674640e-3f,
                            5.550332471162809e-2f, 2.402264791363012e-1f, 6.931472028550421e-1f};

inline float exp2NonPositive(float x) {
    x = x < kLowest ? kLowest : x;
    // Adding and subtracting 1.5·2^23 rounds to the nearest integer.
    const float k = (x + 12582912.0f) - 12582912.0f;
    const float r = x - k;
    float p = kExp2[0];
    for (int i = 1; i < 6; ++i) {
        p = p * r + kExp2[i];
    }
    p = p * r + 1.0f;
    const auto bits = static_cast<uint32_t>(static_cast<int32_t>(k) + 127) << 23;
    return p * std::bit_cast<float>(bits);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DRAVELIN_SOFTMAX_CLONES                                                                    \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define DRAVELIN_SOFTMAX_CLONES
#endif

// The reductions are declared to OpenMP, which lets the compiler keep partial
// maxima and sums per vector lane.
DRAVELIN_SOFTMAX_CLONES
void softmaxRow(float* row, int64_t count, float* maximum, float* sum, float* rescale) {
    float largest = *maximum;
#pragma omp simd reduction(max : largest)
    for (int64_t c = 0; c < count; ++c) {
        largest = row[c] > largest ? row[c] : largest;
    }
    float added = 0.0f;
#pragma omp simd reduction(+ : added)
    for (int64_t c = 0; c < count; ++c) {
        const float weight = exp2NonPositive(row[c] - largest);
        row[c] = weight;
        added += weight;
    }
    const float factor = exp2NonPositive(*maximum - largest);
    *rescale = factor;
    *sum = *sum * factor + added;
    *maximum = largest;
}

#ifdef DRAVELIN_WIDE_SOFTMAX

// GCC 12's AVX-512 intrinsics pass an undefined vector as the unused merge
// operand and then warn about it.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define DRAVELIN_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512bf16")))

// AVX-512 F, BW, VL and BF16, with the operating system saving the vector
// state (XCR0's opmask and upper-register bits besides SSE and AVX).
bool processorHasWideSoftmax() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid(1, eax, ebx, ecx, edx);
    if ((ecx & (1u << 27)) == 0) { // OSXSAVE
        return false;
    }
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0xE6u) != 0xE6u) {
        return false;
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool f = (ebx & (1u << 16)) != 0;
    const bool bw = (ebx & (1u << 30)) != 0;
    const bool vl = (ebx & (1u << 31)) != 0;
    const unsigned subleaves = eax;
    bool bf16 = false;
    if (subleaves >= 1) {
        __cpuid_count(7, 1, eax, ebx, ecx, edx);
        bf16 = (eax & (1u << 5)) != 0;
    }
    return f && bw && vl && bf16;
}

DRAVELIN_WIDE_TARGET
inline __m512 exp2Wide(__m512 x) {
    x = _mm512_max_ps(x, _mm512_set1_ps(kLowest));
    const __m512 k = _mm512_roundscale_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512 r = _mm512_sub_ps(x, k);
    __m512 p = _mm512_set1_ps(kExp2[0]);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExp2[1]));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExp2[2]));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExp2[3]));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExp2[4]));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExp2[5]));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.0f));
    return _mm512_scalef_ps(p, k);
}

// Horizontal reductions, once per row.
DRAVELIN_WIDE_TARGET
inline float largestLane(__m512 v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float largest = lanes[0];
    for (int i = 1; i < 16; ++i) {
        largest = lanes[i] > largest ? lanes[i] : largest;
    }
    return largest;
}

DRAVELIN_WIDE_TARGET
inline float laneSum(__m512 v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float sum = 0.0f;
    for (int i = 0; i < 16; ++i) {
        sum += lanes[i];
    }
    return sum;
}

DRAVELIN_WIDE_TARGET
inline void storeWeights(float* row, uint16_t* row16, int64_t c, __mmask16 mask, __m512 w) {
    if (row16 != nullptr) {
        const __m256bh narrow = _mm512_cvtneps_pbh(w);
        _mm256_mask_storeu_epi16(row16 + c, mask, (__m256i)narrow);
    } else {
        _mm512_mask_storeu_ps(row + c, mask, w);
    }
}

DRAVELIN_WIDE_TARGET
void softmaxWide(const SoftmaxBlock& block) {
    const int64_t count = block.count;
    const int64_t whole = count & ~int64_t{15};
    const auto tail = static_cast<__mmask16>((1u << (count - whole)) - 1u);
    for (int64_t r = 0; r < block.rows; ++r) {
        float* row = block.scores + r * block.stride;
        uint16_t* row16 = block.weights16 != nullptr ? block.weights16 + r * block.stride : nullptr;
        // Four running maxima hide the latency of each.
        __m512 m0 = _mm512_set1_ps(block.maxima[r]);
        __m512 m1 = m0, m2 = m0, m3 = m0;
        int64_t c = 0;
        for (; c + 64 <= whole; c += 64) {
            m0 = _mm512_max_ps(m0, _mm512_loadu_ps(row + c));
            m1 = _mm512_max_ps(m1, _mm512_loadu_ps(row + c + 16));
            m2 = _mm512_max_ps(m2, _mm512_loadu_ps(row + c + 32));
            m3 = _mm512_max_ps(m3, _mm512_loadu_ps(row + c + 48));
        }
        for (; c < whole; c += 16) {
            m0 = _mm512_max_ps(m0, _mm512_loadu_ps(row + c));
        }
        if (tail != 0) {
            m1 = _mm512_mask_max_ps(m1, tail, m1, _mm512_maskz_loadu_ps(tail, row + whole));
        }
        const float largest =
            largestLane(_mm512_max_ps(_mm512_max_ps(m0, m1), _mm512_max_ps(m2, m3)));
        const __m512 shift = _mm512_set1_ps(largest);
        __m512 s0 = _mm512_setzero_ps();
        __m512 s1 = _mm512_setzero_ps();
        c = 0;
        for (; c + 32 <= whole; c += 32) {
            const __m512 w0 = exp2Wide(_mm512_sub_ps(_mm512_loadu_ps(row + c), shift));
            const __m512 w1 = exp2Wide(_mm512_sub_ps(_mm512_loadu_ps(row + c + 16), shift));
            s0 = _mm512_add_ps(s0, w0);
            s1 = _mm512_add_ps(s1, w1);
            storeWeights(row, row16, c, 0xFFFF, w0);
            storeWeights(row, row16, c + 16, 0xFFFF, w1);
        }
        for (; c < whole; c += 16) {
            const __m512 w = exp2Wide(_mm512_sub_ps(_mm512_loadu_ps(row + c), shift));
            s0 = _mm512_add_ps(s0, w);
            storeWeights(row, row16, c, 0xFFFF, w);
        }
        if (tail != 0) {
            const __m512 w = exp2Wide(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, row + whole), shift));
            s1 = _mm512_mask_add_ps(s1, tail, s1, w);
            storeWeights(row, row16, whole, tail, w);
        }
        const float added = laneSum(_mm512_add_ps(s0, s1));
        const float factor = exp2NonPositive(block.maxima[r] - largest);
        block.rescale[r] = factor;
        block.sums[r] = block.sums[r] * factor + added;
        block.maxima[r] = largest;
    }
}

#endif

} // namespace

void runningSoftmaxStepPortable(const SoftmaxBlock& block) {
    for (int64_t r = 0; r < block.rows; ++r) {
        float* row = block.scores + r * block.stride;
        softmaxRow(row, block.count, block.maxima + r, block.sums + r, block.rescale + r);
        if (block.weights16 != nullptr) {
            toBfloat16(row, block.weights16 + r * block.stride, block.count);
        }
    }
}

bool runningSoftmaxStepWide(const SoftmaxBlock& block) {
#ifdef DRAVELIN_WIDE_SOFTMAX
    static const bool available = processorHasWideSoftmax();
    if (available) {
        softmaxWide(block);
        return true;
    }
#endif
    (void)block;
    return false;
}

void runningSoftmaxStep(const SoftmaxBlock& block) {
    if (!runningSoftmaxStepWide(block)) {
        runningSoftmaxStepPortable(block);
    }
}

DRAVELIN_SOFTMAX_CLONES
void scaleValues(float* values, int64_t count, float factor) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] *= factor;
    }
}

} // namespace dravelin::kernels

#include "nn/layers/AttentionKernels.h"

#include "nn/compute/Bfloat16.h"

#include <bit>
#include <stdexcept>

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
bool processorHasWideSoftmax(bool& dq) {
    dq = false;
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
    dq = (ebx & (1u << 17)) != 0;
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

struct WideSupport {
    bool wide = false;
    bool dq = false;
    WideSupport() { wide = processorHasWideSoftmax(dq); }
};

const WideSupport& wideSupport() {
    static const WideSupport support;
    return support;
}

#define DRAVELIN_LAGGING_TARGET                                                                    \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512bf16")))

// 2^x with x = k + r, k = floor(x): 2^r on [0, 1) by a cubic (relative error
// 9·10⁻⁵, well under bfloat16's rounding of the weights), and 2^k by scalef,
// which floors its exponent operand itself and gives 0 far below.
DRAVELIN_LAGGING_TARGET
inline __m512 exp2Cubic(__m512 x) {
    const __m512 r = _mm512_reduce_ps(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512 p = _mm512_set1_ps(0.07706641405820847f);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(0.22764569520950317f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(0.6951166391372681f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.0f));
    return _mm512_scalef_ps(p, x);
}

// One pass over a row: the weights against `shift` (bfloat16, zeros from
// `count` to a whole 32), their lane sums, and the largest score in `seen`.
template <bool Track>
DRAVELIN_LAGGING_TARGET inline __m512 weighRow(const float* row, int64_t count, float shift,
                                               uint16_t* weights, __m512* seen) {
    const __m512 s = _mm512_set1_ps(shift);
    __m512 sum0 = _mm512_setzero_ps(), sum1 = _mm512_setzero_ps();
    __m512 max0 = _mm512_set1_ps(kUnsetMaximum), max1 = max0;
    int64_t c = 0;
    for (; c + 32 <= count; c += 32) {
        const __m512 x0 = _mm512_loadu_ps(row + c);
        const __m512 x1 = _mm512_loadu_ps(row + c + 16);
        if constexpr (Track) {
            max0 = _mm512_max_ps(max0, x0);
            max1 = _mm512_max_ps(max1, x1);
        }
        const __m512 w0 = exp2Cubic(_mm512_sub_ps(x0, s));
        const __m512 w1 = exp2Cubic(_mm512_sub_ps(x1, s));
        sum0 = _mm512_add_ps(sum0, w0);
        sum1 = _mm512_add_ps(sum1, w1);
        _mm512_storeu_si512(weights + c, (__m512i)_mm512_cvtne2ps_pbh(w1, w0));
    }
    if (c < count) {
        const int64_t left = count - c;
        const auto mask0 = static_cast<__mmask16>(left >= 16 ? 0xFFFFu : (1u << left) - 1u);
        const auto mask1 = static_cast<__mmask16>(left <= 16 ? 0u : (1u << (left - 16)) - 1u);
        const __m512 x0 = _mm512_maskz_loadu_ps(mask0, row + c);
        const __m512 x1 = _mm512_maskz_loadu_ps(mask1, row + c + 16);
        if constexpr (Track) {
            max0 = _mm512_mask_max_ps(max0, mask0, max0, x0);
            max1 = _mm512_mask_max_ps(max1, mask1, max1, x1);
        }
        const __m512 w0 = _mm512_maskz_mov_ps(mask0, exp2Cubic(_mm512_sub_ps(x0, s)));
        const __m512 w1 = _mm512_maskz_mov_ps(mask1, exp2Cubic(_mm512_sub_ps(x1, s)));
        sum0 = _mm512_add_ps(sum0, w0);
        sum1 = _mm512_add_ps(sum1, w1);
        _mm512_storeu_si512(weights + c, (__m512i)_mm512_cvtne2ps_pbh(w1, w0));
    }
    if constexpr (Track) {
        *seen = _mm512_max_ps(max0, max1);
    }
    return _mm512_add_ps(sum0, sum1);
}

DRAVELIN_LAGGING_TARGET
float largestOf(const float* row, int64_t count) {
    __m512 m = _mm512_set1_ps(kUnsetMaximum);
    int64_t c = 0;
    for (; c + 16 <= count; c += 16) {
        m = _mm512_max_ps(m, _mm512_loadu_ps(row + c));
    }
    if (c < count) {
        const auto tail = static_cast<__mmask16>((1u << (count - c)) - 1u);
        m = _mm512_mask_max_ps(m, tail, m, _mm512_maskz_loadu_ps(tail, row + c));
    }
    return _mm512_reduce_max_ps(m);
}

DRAVELIN_LAGGING_TARGET
bool laggingSoftmaxWide(const LaggingSoftmaxBlock& block) {
    bool moved = false;
    for (int64_t r = 0; r < block.rows; ++r) {
        const float* row = block.scores + r * block.stride;
        uint16_t* weights = block.weights + r * block.stride;
        float* lanes = block.laneSums + r * 16;
        const float kept = block.maxima[r];
        float maximum = kept;
        if (kept <= kUnsetMaximum) {
            maximum = largestOf(row, block.count);
        }
        __m512 seen;
        __m512 sum = weighRow<true>(row, block.count, maximum, weights, &seen);
        float factor = 1.0f;
        if (_mm512_cmp_ps_mask(seen, _mm512_set1_ps(maximum + kMaximumLag), _CMP_GT_OQ) != 0) {
            // A score passed the lagging maximum by too much: again from the
            // row's own maximum.
            maximum = _mm512_reduce_max_ps(seen);
            sum = weighRow<false>(row, block.count, maximum, weights, nullptr);
        }
        if (maximum != kept) {
            factor = kept <= kUnsetMaximum ? 0.0f : exp2NonPositive(kept - maximum);
            moved = true;
        }
        block.rescale[r] = factor;
        block.maxima[r] = maximum;
        const __m512 earlier = _mm512_mul_ps(_mm512_loadu_ps(lanes), _mm512_set1_ps(factor));
        _mm512_storeu_ps(lanes, _mm512_add_ps(earlier, sum));
    }
    return moved;
}

#endif

} // namespace

bool laggingSoftmaxAvailable() {
#ifdef DRAVELIN_WIDE_SOFTMAX
    return wideSupport().wide && wideSupport().dq;
#else
    return false;
#endif
}

bool laggingSoftmaxStep(const LaggingSoftmaxBlock& block) {
#ifdef DRAVELIN_WIDE_SOFTMAX
    if (laggingSoftmaxAvailable()) {
        return laggingSoftmaxWide(block);
    }
#endif
    (void)block;
    throw std::logic_error("The lagging softmax needs AVX-512 with bfloat16 conversions.");
}

float laneTotal(const float* lanes) {
    float total = 0.0f;
    for (int i = 0; i < 16; ++i) {
        total += lanes[i];
    }
    return total;
}

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
    if (wideSupport().wide) {
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

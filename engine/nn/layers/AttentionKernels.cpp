#include "nn/layers/AttentionKernels.h"

#include "nn/compute/FastExp.h"

namespace dravelin::kernels {

// The softmax is a fifth of an attention's work: besides the baseline and
// AVX2, an AVX-512 clone. The reductions are declared to OpenMP, which lets
// the compiler keep partial maxima and sums per vector lane.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DRAVELIN_SOFTMAX_CLONES                                                                    \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define DRAVELIN_SOFTMAX_CLONES
#endif

DRAVELIN_SOFTMAX_CLONES
void runningSoftmaxStep(float* scores, int64_t rows, int64_t columns, int64_t stride, float* maxima,
                        float* sums, float* rescale) {
    for (int64_t r = 0; r < rows; ++r) {
        float* row = scores + r * stride;
        float largest = maxima[r];
#pragma omp simd reduction(max : largest)
        for (int64_t c = 0; c < columns; ++c) {
            largest = row[c] > largest ? row[c] : largest;
        }
        float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
        for (int64_t c = 0; c < columns; ++c) {
            const float weight = clampedExp(row[c] - largest);
            row[c] = weight;
            sum += weight;
        }
        const float factor = clampedExp(maxima[r] - largest);
        rescale[r] = factor;
        sums[r] = sums[r] * factor + sum;
        maxima[r] = largest;
    }
}

DRAVELIN_SOFTMAX_CLONES
void scaleValues(float* values, int64_t count, float factor) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] *= factor;
    }
}

} // namespace dravelin::kernels

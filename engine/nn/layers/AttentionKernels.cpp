#include "nn/layers/AttentionKernels.h"

#include "nn/compute/FastExp.h"
#include "nn/compute/VectorClones.h"

namespace dravelin::kernels {

DRAVELIN_VECTOR_CLONES
void runningSoftmaxStep(float* scores, int64_t rows, int64_t columns, int64_t stride, float* maxima,
                        float* sums, float* rescale) {
    for (int64_t r = 0; r < rows; ++r) {
        float* row = scores + r * stride;
        float largest = maxima[r];
        for (int64_t c = 0; c < columns; ++c) {
            largest = row[c] > largest ? row[c] : largest;
        }
        float sum = 0.0f;
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

DRAVELIN_VECTOR_CLONES
void scaleValues(float* values, int64_t count, float factor) {
    for (int64_t i = 0; i < count; ++i) {
        values[i] *= factor;
    }
}

} // namespace dravelin::kernels

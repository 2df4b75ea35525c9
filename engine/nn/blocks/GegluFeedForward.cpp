#include "nn/blocks/GegluFeedForward.h"

#include "nn/compute/Profiler.h"

#include "nn/layers/ActivationKernels.h"
#include "nn/compute/AlignedBuffer.h"

namespace dravelin {

GegluFeedForward::GegluFeedForward(const WeightReader& weights, const std::string& prefix,
                                   int64_t dim, int64_t inner, int64_t rows)
    : rows_(rows), inner_(inner),
      projection_(weights, prefix + ".net.0.proj", dim, 2 * inner, true, rows),
      output_(weights, prefix + ".net.2", inner, dim, true, rows,
              LinearOptions{Activation::identity, true}) {}

void GegluFeedForward::declare(WeightList& list, const std::string& prefix, int64_t dim,
                               int64_t inner) {
    Linear::declare(list, prefix + ".net.0.proj", dim, 2 * inner, true);
    Linear::declare(list, prefix + ".net.2", inner, dim, true);
}

void GegluFeedForward::forward(const float* x, float* output) const {
    AlignedBuffer projected(static_cast<size_t>(rows_ * 2 * inner_));
    projection_.forward(x, projected.data());
    AlignedBuffer gated(static_cast<size_t>(rows_ * inner_));
    const int64_t inner = inner_;
    {
        ProfileScope profile("GEGLU gate", 0);
#pragma omp parallel for schedule(static)
        for (int64_t r = 0; r < rows_; ++r) {
            // Each row is [value | gate]; the gate goes through GELU in place.
            float* value = projected.data() + r * 2 * inner;
            float* gate = value + inner;
            kernels::geluErf(gate, inner);
            float* target = gated.data() + r * inner;
            for (int64_t i = 0; i < inner; ++i) {
                target[i] = value[i] * gate[i];
            }
        }
    }
    output_.forward(gated.data(), output);
}

} // namespace dravelin

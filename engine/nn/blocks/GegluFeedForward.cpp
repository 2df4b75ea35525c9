#include "nn/blocks/GegluFeedForward.h"

#include "nn/compute/AlignedBuffer.h"

namespace dravelin {

GegluFeedForward::GegluFeedForward(const WeightReader& weights, const std::string& prefix,
                                   int64_t dim, int64_t inner, int64_t rows)
    : projection_(weights, prefix + ".net.0.proj", dim, inner, rows),
      output_(weights, prefix + ".net.2", inner, dim, true, rows,
              LinearOptions{Activation::identity, true}) {}

void GegluFeedForward::declare(WeightList& list, const std::string& prefix, int64_t dim,
                               int64_t inner) {
    GegluProjection::declare(list, prefix + ".net.0.proj", dim, inner);
    Linear::declare(list, prefix + ".net.2", inner, dim, true);
}

void GegluFeedForward::forward(const float* x, float* output) const {
    AlignedBuffer gated(static_cast<size_t>(projection_.rows() * projection_.inner()));
    projection_.forward(x, gated.data());
    output_.forward(gated.data(), output);
}

} // namespace dravelin

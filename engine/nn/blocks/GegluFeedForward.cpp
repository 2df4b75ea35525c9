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

void GegluFeedForward::forward(ConstValues x, float* output) const {
    const ValueType type = projection_.outputType();
    AlignedBuffer gated(floatsFor(projection_.rows() * projection_.inner(), type));
    projection_.forward(x, Values(gated, type));
    output_.forward(Values(gated, type), output);
}

} // namespace dravelin

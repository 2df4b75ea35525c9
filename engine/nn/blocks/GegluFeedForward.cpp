#include "nn/blocks/GegluFeedForward.h"

#include "nn/compute/AlignedBuffer.h"

namespace dravelin {

GegluFeedForward::GegluFeedForward(const WeightReader& weights, const std::string& prefix,
                                   int64_t dim, int64_t inner, int64_t rows)
    : projection_(weights, prefix + ".net.0.proj", dim, inner, rows),
      output_(weights, prefix + ".net.2", inner, dim, true, projection_.blockRows(),
              LinearOptions{Activation::identity, true}) {}

void GegluFeedForward::declare(WeightList& list, const std::string& prefix, int64_t dim,
                               int64_t inner) {
    GegluProjection::declare(list, prefix + ".net.0.proj", dim, inner);
    Linear::declare(list, prefix + ".net.2", inner, dim, true);
}

void GegluFeedForward::forward(ConstValues x, float* output) const {
    // Block by block, so that the gated values (and the projection's value
    // half) stay in cache for the product that reads them.
    const int64_t block = projection_.blockRows();
    const int64_t dim = output_.outFeatures();
    const ValueType type = projection_.outputType();
    AlignedBuffer gated(floatsFor(block * projection_.inner(), type));
    AlignedBuffer value(static_cast<size_t>(block * projection_.inner()));
    for (int64_t first = 0; first < projection_.rows(); first += block) {
        projection_.forwardBlock(x.at(first * dim), Values(gated, type), value.data());
        output_.forward(Values(gated, type), output + first * dim);
    }
}

} // namespace dravelin

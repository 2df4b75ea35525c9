#include "nn/layers/MultiHeadAttention.h"

#include "nn/compute/AlignedBuffer.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace dravelin {

namespace {

// The three projections stacked into one [3·dim, dim] weight (and bias), so
// the three products run as one.
Linear stackedProjection(const WeightReader& weights, const AttentionWeightNames& names,
                         const MultiHeadAttentionSettings& settings) {
    const int64_t dim = settings.dim;
    ShapedArray weight(Shape{3 * dim, dim});
    std::optional<ShapedArray> bias;
    if (settings.projectionBias) {
        bias.emplace(Shape{3 * dim});
    }
    int64_t part = 0;
    for (const std::string* name : {&names.query, &names.key, &names.value}) {
        const ShapedArray w = weights.read(*name + ".weight", {dim, dim});
        std::copy_n(w.data(), dim * dim, weight.data() + part * dim * dim);
        if (bias) {
            const ShapedArray b = weights.read(*name + ".bias", {dim});
            std::copy_n(b.data(), dim, bias->data() + part * dim);
        }
        ++part;
    }
    return Linear(weight, bias, settings.length,
                  LinearOptions{Activation::identity, false, weights.precision()});
}

int64_t checkedHeadDim(int64_t dim, int64_t heads) {
    if (heads < 1 || dim % heads != 0) {
        throw std::invalid_argument("An attention of width " + std::to_string(dim) +
                                    " cannot split into " + std::to_string(heads) + " heads.");
    }
    return dim / heads;
}

} // namespace

MultiHeadAttention::MultiHeadAttention(const WeightReader& weights,
                                       const AttentionWeightNames& names,
                                       const MultiHeadAttentionSettings& settings)
    : dim_(settings.dim), length_(settings.length),
      queryKeyValue_(stackedProjection(weights, names, settings)),
      attention_(
          settings.heads, checkedHeadDim(settings.dim, settings.heads), settings.length,
          settings.length, settings.causal,
          AttentionLayout{3 * settings.dim, 3 * settings.dim, 3 * settings.dim, settings.dim},
          weights.precision()),
      output_(weights, names.output, settings.dim, settings.dim, true, settings.length,
              LinearOptions{Activation::identity, settings.accumulateOutput}) {}

void MultiHeadAttention::declare(WeightList& list, const AttentionWeightNames& names, int64_t dim,
                                 bool projectionBias) {
    for (const std::string* name : {&names.query, &names.key, &names.value}) {
        Linear::declare(list, *name, dim, dim, projectionBias);
    }
    Linear::declare(list, names.output, dim, dim, true);
}

void MultiHeadAttention::forward(ConstValues x, float* output) const {
    AlignedBuffer projected(static_cast<size_t>(length_ * 3 * dim_));
    queryKeyValue_.forward(x, projected.data());
    AlignedBuffer attended(static_cast<size_t>(length_ * dim_));
    const float* queries = projected.data();
    attention_.forward(queries, queries + dim_, queries + 2 * dim_, attended.data());
    output_.forward(attended.data(), output);
}

} // namespace dravelin

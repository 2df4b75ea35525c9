#include "nn/layers/CrossAttention.h"

#include "nn/compute/AlignedBuffer.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

// The key and value projections stacked into one [2·dim, contextDim] weight,
// so both run as one product.
Linear stackedKeyValue(const WeightReader& weights, const AttentionWeightNames& names,
                       const CrossAttentionSettings& settings) {
    const int64_t dim = settings.dim;
    const int64_t context = settings.contextDim;
    ShapedArray weight(Shape{2 * dim, context});
    int64_t part = 0;
    for (const std::string* name : {&names.key, &names.value}) {
        const ShapedArray w = weights.read(*name + ".weight", {dim, context});
        std::copy_n(w.data(), dim * context, weight.data() + part * dim * context);
        ++part;
    }
    return Linear(weight, std::nullopt, settings.contextLength,
                  LinearOptions{Activation::identity, false, weights.precision()});
}

int64_t headDimOf(const CrossAttentionSettings& settings) {
    if (settings.heads < 1 || settings.dim % settings.heads != 0) {
        throw std::invalid_argument("An attention of width " + std::to_string(settings.dim) +
                                    " cannot split into " + std::to_string(settings.heads) +
                                    " heads.");
    }
    return settings.dim / settings.heads;
}

} // namespace

CrossAttention::CrossAttention(const WeightReader& weights, const AttentionWeightNames& names,
                               const CrossAttentionSettings& settings)
    : dim_(settings.dim), length_(settings.length), contextLength_(settings.contextLength),
      query_(weights, names.query, settings.dim, settings.dim, false, settings.length),
      keyValue_(stackedKeyValue(weights, names, settings)),
      attention_(settings.heads, headDimOf(settings), settings.length, settings.contextLength,
                 false,
                 AttentionLayout{settings.dim, 2 * settings.dim, 2 * settings.dim, settings.dim},
                 weights.precision()),
      output_(weights, names.output, settings.dim, settings.dim, true, settings.length,
              LinearOptions{Activation::identity, true}) {}

void CrossAttention::declare(WeightList& list, const AttentionWeightNames& names, int64_t dim,
                             int64_t contextDim) {
    Linear::declare(list, names.query, dim, dim, false);
    Linear::declare(list, names.key, contextDim, dim, false);
    Linear::declare(list, names.value, contextDim, dim, false);
    Linear::declare(list, names.output, dim, dim, true);
}

void CrossAttention::projectContext(const float* context, float* keysValues) const {
    keyValue_.forward(context, keysValues);
}

void CrossAttention::forward(ConstValues x, const float* keysValues, float* output) const {
    AlignedBuffer queries(static_cast<size_t>(length_ * dim_));
    query_.forward(x, queries.data());
    AlignedBuffer attended(static_cast<size_t>(length_ * dim_));
    attention_.forward(queries.data(), keysValues, keysValues + dim_, attended.data());
    output_.forward(attended.data(), output);
}

} // namespace dravelin

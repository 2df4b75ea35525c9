#include "nn/layers/GegluProjection.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/Bfloat16.h"
#include "nn/compute/Profiler.h"

#include <algorithm>

namespace dravelin {

struct GegluProjection::Halves {
    ShapedArray valueWeight;
    ShapedArray valueBias;
    ShapedArray gateWeight;
    ShapedArray gateBias;
};

namespace {

// Rows [first, first + count) of a row-major array whose rows hold `width`
// values.
ShapedArray rowsOf(const ShapedArray& array, int64_t first, int64_t count, int64_t width) {
    const float* start = array.data() + first * width;
    Shape shape = width == 1 ? Shape{count} : Shape{count, width};
    return ShapedArray(std::vector<float>(start, start + count * width), std::move(shape));
}

// The value half of a block of rows is held in float32 until the gate
// product of the same rows reads it: blocks of up to this many bytes stay in
// cache between the two, where the whole value half (21 MB at a 64×64
// latent) went out to memory and back, in new pages each call.
constexpr int64_t kValueBlockBytes = int64_t{2} << 20;
// Each block reads the whole weights again: below this many rows that
// costs more than it saves (at a 16×16 latent, 32-row blocks ran the
// feed-forward 2.3× slower than one block; at 64×64, 256-row blocks 1.7×
// faster, at 32×32, 128-row ones 1.2× faster).
constexpr int64_t kLeastBlockRows = 128;

int64_t blockRowsFor(int64_t rows, int64_t inner) {
    const int64_t fitting = std::max<int64_t>(1, kValueBlockBytes / (inner * 4));
    for (int64_t block = std::min(rows, fitting); block >= kLeastBlockRows; --block) {
        if (rows % block == 0) {
            return block;
        }
    }
    return rows;
}

} // namespace

GegluProjection::GegluProjection(const WeightReader& weights, const std::string& prefix,
                                 int64_t dim, int64_t inner, int64_t rows)
    : GegluProjection(
          [&] {
              const ShapedArray weight = weights.read(prefix + ".weight", {2 * inner, dim});
              const ShapedArray bias = weights.read(prefix + ".bias", {2 * inner});
              return Halves{rowsOf(weight, 0, inner, dim), rowsOf(bias, 0, inner, 1),
                            rowsOf(weight, inner, inner, dim), rowsOf(bias, inner, inner, 1)};
          }(),
          rows, weights.precision()) {}

GegluProjection::GegluProjection(Halves halves, int64_t rows, ComputePrecision precision)
    : rows_(rows),
      // float32 keeps one block: its products were measured whole.
      value_(halves.valueWeight, halves.valueBias,
             precision == ComputePrecision::bfloat16 ? blockRowsFor(rows, halves.valueBias.count())
                                                     : rows,
             LinearOptions{Activation::identity, false, precision}),
      gate_(halves.gateWeight, halves.gateBias, value_.rows(),
            LinearOptions{Activation::geluErf, false, precision, /*multiplied=*/true,
                          valueTypeFor(precision)}) {}

void GegluProjection::declare(WeightList& list, const std::string& prefix, int64_t dim,
                              int64_t inner) {
    Linear::declare(list, prefix, dim, 2 * inner, true);
}

void GegluProjection::forward(ConstValues x, Values output) const {
    // Both products read the same input: round it once, not in each.
    AlignedBuffer rounded;
    if (x.type == ValueType::float32 && inputType() == ValueType::bfloat16) {
        const int64_t count = rows() * value_.inFeatures();
        rounded = AlignedBuffer(floatsFor(count, ValueType::bfloat16));
        auto* values = reinterpret_cast<uint16_t*>(rounded.data());
        {
            ProfileScope profile("linear", 0);
            constexpr int64_t kBlock = int64_t{1} << 15;
#pragma omp parallel for schedule(static) if (count > kBlock)
            for (int64_t first = 0; first < count; first += kBlock) {
                kernels::toBfloat16(x.floats() + first, values + first,
                                    std::min(kBlock, count - first));
            }
        }
        x = ConstValues(static_cast<const uint16_t*>(values));
    }
    AlignedBuffer value(static_cast<size_t>(blockRows() * inner()));
    for (int64_t first = 0; first < rows_; first += blockRows()) {
        forwardBlock(x.at(first * value_.inFeatures()), output.at(first * inner()), value.data());
    }
}

void GegluProjection::forwardBlock(ConstValues x, Values output, float* value) const {
    value_.forward(x, value);
    gate_.forward(x, output, value);
}

} // namespace dravelin

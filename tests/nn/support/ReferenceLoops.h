#pragma once

// Straightforward loops, in double precision, that the compute core's layers
// are checked against. Planar layouts throughout: images [n, c, h, w],
// matrices row-major.

#include "core/ShapedArray.h"

#include <cstdint>
#include <random>

namespace dravelin::testing {

// Values drawn uniformly from [low, high), repeatably.
ShapedArray randomArray(Shape shape, std::mt19937& generator, float low = -1.0f, float high = 1.0f);

// A convolution with zero padding: `padBefore` rows/columns above and left,
// `padAfter` below and right.
ShapedArray referenceConvolution(const ShapedArray& input, const ShapedArray& weight,
                                 const ShapedArray& bias, int stride, int padBefore, int padAfter);
ShapedArray referenceGroupNorm(const ShapedArray& input, int64_t groups, float epsilon,
                               const ShapedArray& gamma, const ShapedArray& beta);
ShapedArray referenceSilu(const ShapedArray& input);
ShapedArray referenceUpsample(const ShapedArray& input);
// Rows normalised over their columns.
ShapedArray referenceLayerNorm(const ShapedArray& input, float epsilon, const ShapedArray& gamma,
                               const ShapedArray& beta);
// queries [tq, heads·d], keys and values [tk, heads·d].
ShapedArray referenceAttention(const ShapedArray& queries, const ShapedArray& keys,
                               const ShapedArray& values, int64_t heads, bool causal);

} // namespace dravelin::testing

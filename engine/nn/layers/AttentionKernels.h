#pragma once

#include <cstdint>

namespace dravelin::kernels {

// One step of a running softmax over a block of scores, `rows` rows of
// `columns` scores `stride` floats apart: each row's maximum is raised to
// cover the block, the scores become e^(score − maximum) in place, their sum
// is added to the row's sum after the old sum is rescaled, and `rescale`
// receives the factor the row's earlier weighted values must be multiplied by.
void runningSoftmaxStep(float* scores, int64_t rows, int64_t columns, int64_t stride, float* maxima,
                        float* sums, float* rescale);

// values[i] *= factor over `count` values.
void scaleValues(float* values, int64_t count, float factor);

} // namespace dravelin::kernels

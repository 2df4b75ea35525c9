#pragma once

#include <cstdint>

namespace dravelin::kernels {

// One key block of an attention's running softmax. The scores are in base 2
// (the queries carry log2 e / √d), so a weight is 2^(score − row maximum).
// Each row's maximum is raised to cover the block, the weights are written
// (float32 over the scores, or bfloat16 into `weights16`, rows `stride`
// values apart in both),
// their sum is added to the row's sum after the old sum is rescaled, and
// `rescale` receives the factor the row's earlier weighted values must be
// multiplied by.
struct SoftmaxBlock {
    float* scores;
    int64_t rows;
    int64_t count;
    int64_t stride;
    float* maxima;
    float* sums;
    float* rescale;
    uint16_t* weights16; // null: float32 weights in place of the scores
};

// The AVX-512 kernel where the processor has it (with its bfloat16
// conversion for bfloat16 weights), else plain loops.
void runningSoftmaxStep(const SoftmaxBlock& block);
// Each kind on its own, so that both can be checked on one machine. The
// wide one returns false, doing nothing, where the processor lacks it.
void runningSoftmaxStepPortable(const SoftmaxBlock& block);
bool runningSoftmaxStepWide(const SoftmaxBlock& block);

// values[i] *= factor over `count` values.
void scaleValues(float* values, int64_t count, float factor);

} // namespace dravelin::kernels

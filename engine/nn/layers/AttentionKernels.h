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

// The tiles' running softmax, which lets a row's maximum lag behind its
// scores: a block's weights are taken against the running maximum as long
// as no score passes it by more than kMaximumLag (weights of up to 2^8 keep
// the sums and the weighted values far inside float32), so the scores are
// read once and the weighted values are rescaled only when the maximum
// moves on. A row's first block (maximum still kUnsetMaximum or below) sets
// its maximum from its scores. The bfloat16 weights are written up to a
// whole 32 keys, zeros past `count` (the tiles take keys 32 at a time); the
// sums are kept in 16 lanes per row (`laneSums`, added up once at the end).
// `rescale` receives each row's factor for its earlier weighted values; the
// return value says whether any is not 1.
constexpr float kUnsetMaximum = -1e30f;
constexpr float kMaximumLag = 8.0f;
struct LaggingSoftmaxBlock {
    const float* scores;
    int64_t rows;
    int64_t count;
    int64_t stride;
    float* maxima;
    float* laneSums;
    float* rescale;
    uint16_t* weights; // rows `stride` values apart
};
// Whether this processor runs it (AVX-512 F, BW, VL, DQ and BF16).
bool laggingSoftmaxAvailable();
bool laggingSoftmaxStep(const LaggingSoftmaxBlock& block);
// The sum of a row's 16 lanes.
float laneTotal(const float* lanes);

// values[i] *= factor over `count` values.
void scaleValues(float* values, int64_t count, float factor);

} // namespace dravelin::kernels

#pragma once

#include "nn/layers/Linear.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

struct TimestepEmbeddingSettings {
    // Width of the sinusoidal features (the first block's channels).
    int64_t features;
    // Width of the embedding (4 × features in the SD networks).
    int64_t dim;
    bool flipSinToCos;
    double freqShift;
    // Timesteps per run, fixed when the network is built.
    int64_t batch;
};

// diffusers' Timesteps: `count` values → count × width features, frequencies
// 10000^(−i/(width/2 − freqShift)), cosines first when flipped.
std::vector<float> sinusoidalFeatures(const float* values, int64_t count, int64_t width,
                                      bool flipSinToCos, double freqShift);

// diffusers' Timesteps (sinusoidal features of each timestep, frequencies
// 10000^(−i/(half − freq_shift)), cosines first when flipped) followed by its
// TimestepEmbedding: linear_1 → SiLU → linear_2.
class TimestepEmbedding {
public:
    TimestepEmbedding(const WeightReader& weights, const std::string& prefix,
                      const TimestepEmbeddingSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const TimestepEmbeddingSettings& settings);

    // The sinusoidal features alone: batch × features.
    std::vector<float> features(const float* timesteps) const;
    // batch × dim.
    std::vector<float> forward(const float* timesteps) const;

private:
    TimestepEmbeddingSettings settings_;
    Linear first_;
    Linear second_;
};

} // namespace dravelin

#include "nn/blocks/TimestepEmbedding.h"

#include "nn/compute/AlignedBuffer.h"

#include <algorithm>
#include <cmath>

namespace dravelin {

namespace {

// The time embedding is a few rows and steers every block: it stays float32
// in either compute precision.
constexpr ComputePrecision kFloat32 = ComputePrecision::float32;

} // namespace

TimestepEmbedding::TimestepEmbedding(const WeightReader& weights, const std::string& prefix,
                                     const TimestepEmbeddingSettings& settings)
    : settings_(settings),
      first_(weights, prefix + ".linear_1", settings.features, settings.dim, true, settings.batch,
             LinearOptions{Activation::silu, false, kFloat32}),
      second_(weights, prefix + ".linear_2", settings.dim, settings.dim, true, settings.batch,
              LinearOptions{Activation::identity, false, kFloat32}) {}

void TimestepEmbedding::declare(WeightList& list, const std::string& prefix,
                                const TimestepEmbeddingSettings& settings) {
    Linear::declare(list, prefix + ".linear_1", settings.features, settings.dim, true);
    Linear::declare(list, prefix + ".linear_2", settings.dim, settings.dim, true);
}

std::vector<float> sinusoidalFeatures(const float* values, int64_t count, int64_t width,
                                      bool flipSinToCos, double freqShift) {
    const int64_t half = width / 2;
    // In float32 step by step, as the reference computes it: the phases of
    // late timesteps are large, and their rounding shows in the result.
    std::vector<float> frequencies(static_cast<size_t>(half));
    const float logPeriod = static_cast<float>(-std::log(10000.0));
    const float divisor = static_cast<float>(static_cast<double>(half) - freqShift);
    for (int64_t i = 0; i < half; ++i) {
        frequencies[static_cast<size_t>(i)] = std::exp(logPeriod * static_cast<float>(i) / divisor);
    }
    std::vector<float> result(static_cast<size_t>(count * width), 0.0f);
    const int64_t sines = flipSinToCos ? half : 0;
    const int64_t cosines = flipSinToCos ? 0 : half;
    for (int64_t n = 0; n < count; ++n) {
        float* row = result.data() + n * width;
        for (int64_t i = 0; i < half; ++i) {
            const float phase = values[n] * frequencies[static_cast<size_t>(i)];
            row[sines + i] = std::sin(phase);
            row[cosines + i] = std::cos(phase);
        }
        // An odd width leaves the last feature zero.
    }
    return result;
}

std::vector<float> TimestepEmbedding::features(const float* timesteps) const {
    return sinusoidalFeatures(timesteps, settings_.batch, settings_.features,
                              settings_.flipSinToCos, settings_.freqShift);
}

std::vector<float> TimestepEmbedding::forward(const float* timesteps) const {
    const std::vector<float> sinusoids = features(timesteps);
    AlignedBuffer input(sinusoids.size());
    std::copy(sinusoids.begin(), sinusoids.end(), input.data());
    AlignedBuffer hidden(static_cast<size_t>(settings_.batch * settings_.dim));
    first_.forward(input.data(), hidden.data());
    AlignedBuffer output(static_cast<size_t>(settings_.batch * settings_.dim));
    second_.forward(hidden.data(), output.data());
    return std::vector<float>(output.data(), output.data() + output.size());
}

} // namespace dravelin

#include "nn/layers/GroupNorm.h"

#include "nn/compute/ConfigReader.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/ParallelFailure.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/VectorClones.h"

#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

// Per-channel sums of (x − shift) and (x − shift)² over a run of pixels, in
// single precision (the caller adds them into double precision per row).
DRAVELIN_VECTOR_CLONES
void accumulateRow(const float* pixels, int64_t count, int64_t channels, const float* shift,
                   float* sum, float* squares) {
    for (int64_t p = 0; p < count; ++p) {
        const float* values = pixels + p * channels;
        for (int64_t c = 0; c < channels; ++c) {
            const float d = values[c] - shift[c];
            sum[c] += d;
            squares[c] += d * d;
        }
    }
}

} // namespace

GroupNorm::GroupNorm(const WeightReader& weights, const std::string& prefix, int64_t channels,
                     int64_t groups, float epsilon)
    : groups_(groups), epsilon_(epsilon) {
    ShapedArray gamma = weights.read(prefix + ".weight", {channels});
    ShapedArray beta = weights.read(prefix + ".bias", {channels});
    gamma_.assign(gamma.data(), gamma.data() + channels);
    beta_.assign(beta.data(), beta.data() + channels);
    if (groups < 1 || channels % groups != 0) {
        throw ConfigurationError("A group norm of " + std::to_string(channels) +
                                 " channels cannot form " + std::to_string(groups) + " groups.");
    }
}

GroupNorm::GroupNorm(std::vector<float> gamma, std::vector<float> beta, int64_t groups,
                     float epsilon)
    : gamma_(std::move(gamma)), beta_(std::move(beta)), groups_(groups), epsilon_(epsilon) {
    const auto channels = static_cast<int64_t>(gamma_.size());
    if (beta_.size() != gamma_.size() || groups < 1 || channels % groups != 0) {
        throw std::invalid_argument("A group norm needs matching scales and shifts and a group "
                                    "count that divides the channels.");
    }
}

void GroupNorm::declare(WeightList& list, const std::string& prefix, int64_t channels) {
    list.push_back({prefix + ".weight", {channels}});
    list.push_back({prefix + ".bias", {channels}});
}

ChannelTransform GroupNorm::transform(const FeatureMap& input, Activation activation,
                                      const float* offsets) const {
    const int64_t channels = this->channels();
    if (input.channels() != channels) {
        throw std::invalid_argument("A group norm of " + std::to_string(channels) +
                                    " channels got a map of " + std::to_string(input.channels()) +
                                    ".");
    }
    ProfileScope profile("group norm statistics", 0);
    const int64_t height = input.height();
    const int64_t width = input.width();
    const double pixels = static_cast<double>(height * width);
    ChannelTransform result(input.batch(), channels, activation);

    for (int64_t n = 0; n < input.batch(); ++n) {
        // Sums are taken around each channel's first value: with the data
        // shifted near its mean, the variance does not cancel away.
        const std::vector<float> shift(input.pixel(n, 0, 0), input.pixel(n, 0, 0) + channels);
        std::vector<double> sum(channels, 0.0);
        std::vector<double> squares(channels, 0.0);
        ParallelFailure failure;
#pragma omp parallel
        {
            std::vector<double> localSum;
            std::vector<double> localSquares;
            std::vector<float> rowSum;
            std::vector<float> rowSquares;
            failure.run([&] {
                localSum.assign(channels, 0.0);
                localSquares.assign(channels, 0.0);
                rowSum.resize(channels);
                rowSquares.resize(channels);
            });
#pragma omp for schedule(static)
            for (int64_t y = 0; y < height; ++y) {
                failure.run([&] {
                    std::fill(rowSum.begin(), rowSum.end(), 0.0f);
                    std::fill(rowSquares.begin(), rowSquares.end(), 0.0f);
                    accumulateRow(input.pixel(n, y, 0), width, channels, shift.data(),
                                  rowSum.data(), rowSquares.data());
                    for (int64_t c = 0; c < channels; ++c) {
                        localSum[c] += rowSum[c];
                        localSquares[c] += rowSquares[c];
                    }
                });
            }
#pragma omp critical
            for (size_t c = 0; c < localSum.size(); ++c) {
                sum[c] += localSum[c];
                squares[c] += localSquares[c];
            }
        }
        failure.rethrow();

        // An offset moves its channel's mean and leaves its deviations as they are.
        const float* offset = offsets != nullptr ? offsets + n * channels : nullptr;
        finish(shift.data(), sum.data(), squares.data(), pixels, offset, result.scales(n),
               result.shifts(n));
    }
    return result;
}

void GroupNorm::finish(const float* shift, const double* sum, const double* squares,
                       double pixels, const float* offset, float* scales, float* shifts) const {
    const int64_t perGroup = channels() / groups_;
    const auto offsetOf = [&](int64_t c) {
        return offset != nullptr ? static_cast<double>(offset[c]) : 0.0;
    };
    for (int64_t g = 0; g < groups_; ++g) {
        // Channel means and squared deviations, combined into the group's.
        double meanSum = 0.0;
        std::vector<double> means(perGroup);
        double deviations = 0.0;
        for (int64_t i = 0; i < perGroup; ++i) {
            const int64_t c = g * perGroup + i;
            means[i] = shift[c] + offsetOf(c) + sum[c] / pixels;
            deviations += squares[c] - sum[c] * sum[c] / pixels;
            meanSum += means[i];
        }
        const double mean = meanSum / static_cast<double>(perGroup);
        for (int64_t i = 0; i < perGroup; ++i) {
            deviations += pixels * (means[i] - mean) * (means[i] - mean);
        }
        const double variance =
            std::max(0.0, deviations / (pixels * static_cast<double>(perGroup)));
        const double inverse = 1.0 / std::sqrt(variance + epsilon_);
        for (int64_t i = 0; i < perGroup; ++i) {
            const int64_t c = g * perGroup + i;
            const double scale = gamma_[c] * inverse;
            scales[c] = static_cast<float>(scale);
            shifts[c] = static_cast<float>(beta_[c] + (offsetOf(c) - mean) * scale);
        }
    }
}

void GroupNorm::accumulate(Sums& sums, const FeatureMap& part, int64_t first,
                           int64_t count) const {
    const int64_t channels = this->channels();
    if (part.channels() != channels || first < 0 || count < 0 ||
        first + count > part.height()) {
        throw std::invalid_argument("A group norm of " + std::to_string(channels) +
                                    " channels cannot add rows " + std::to_string(first) + " to " +
                                    std::to_string(first + count) + " of a map of " +
                                    std::to_string(part.channels()) + " channels and " +
                                    std::to_string(part.height()) + " rows.");
    }
    if (count == 0) {
        return;
    }
    ProfileScope profile("group norm statistics", 0);
    if (sums.shift.empty()) {
        sums.shift.assign(part.pixel(0, first, 0), part.pixel(0, first, 0) + channels);
        sums.sum.assign(channels, 0.0);
        sums.squares.assign(channels, 0.0);
    }
    const int64_t width = part.width();
    std::vector<float> rowSum(channels);
    std::vector<float> rowSquares(channels);
    // Rows one after another: a band is small, and the order then does not
    // depend on the threads.
    for (int64_t y = first; y < first + count; ++y) {
        std::fill(rowSum.begin(), rowSum.end(), 0.0f);
        std::fill(rowSquares.begin(), rowSquares.end(), 0.0f);
        accumulateRow(part.pixel(0, y, 0), width, channels, sums.shift.data(), rowSum.data(),
                      rowSquares.data());
        for (int64_t c = 0; c < channels; ++c) {
            sums.sum[c] += rowSum[c];
            sums.squares[c] += rowSquares[c];
        }
    }
    sums.pixels += static_cast<double>(count * width);
}

ChannelTransform GroupNorm::transform(const Sums& sums, Activation activation) const {
    if (sums.shift.empty() || sums.pixels <= 0.0) {
        throw std::invalid_argument("A group norm's statistics need at least one row.");
    }
    ChannelTransform result(1, channels(), activation);
    finish(sums.shift.data(), sums.sum.data(), sums.squares.data(), sums.pixels, nullptr,
           result.scales(0), result.shifts(0));
    return result;
}

} // namespace dravelin

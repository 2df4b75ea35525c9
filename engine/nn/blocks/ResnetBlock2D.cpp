#include "nn/blocks/ResnetBlock2D.h"

#include "nn/layers/Linear.h"
#include "nn/compute/Profiler.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

ResnetBlock2D::ResnetBlock2D(const WeightReader& weights, const std::string& prefix,
                             const ResnetBlockSettings& settings)
    : activation_(settings.activation),
      norm1_(weights, prefix + ".norm1", settings.inChannels, settings.groups, settings.epsilon),
      conv1_(weights, prefix + ".conv1", settings.inChannels, settings.outChannels, 3),
      norm2_(weights, prefix + ".norm2", settings.outChannels, settings.groups, settings.epsilon),
      conv2_(weights, prefix + ".conv2", settings.outChannels, settings.outChannels, 3),
      timeChannels_(settings.timeChannels) {
    if (timeChannels_ > 0) {
        timeProjection_.emplace(
            weights, prefix + ".time_emb_proj", timeChannels_, settings.outChannels, true, 1,
            LinearOptions{Activation::identity, false, ComputePrecision::float32});
    }
    if (settings.inChannels != settings.outChannels) {
        shortcut_.emplace(weights, prefix + ".conv_shortcut", settings.inChannels,
                          settings.outChannels, 1);
    }
}

void ResnetBlock2D::declare(WeightList& list, const std::string& prefix,
                            const ResnetBlockSettings& settings) {
    GroupNorm::declare(list, prefix + ".norm1", settings.inChannels);
    Convolution::declare(list, prefix + ".conv1", settings.inChannels, settings.outChannels, 3);
    GroupNorm::declare(list, prefix + ".norm2", settings.outChannels);
    Convolution::declare(list, prefix + ".conv2", settings.outChannels, settings.outChannels, 3);
    if (settings.timeChannels > 0) {
        Linear::declare(list, prefix + ".time_emb_proj", settings.timeChannels,
                        settings.outChannels, true);
    }
    if (settings.inChannels != settings.outChannels) {
        Convolution::declare(list, prefix + ".conv_shortcut", settings.inChannels,
                             settings.outChannels, 1);
    }
}

std::vector<float> ResnetBlock2D::timeOffsets(int64_t batch, const float* timeEmbedding) const {
    ProfileScope profile("time embedding", 0);
    const int64_t channels = timeProjection_->outFeatures();
    std::vector<float> offsets(static_cast<size_t>(batch * channels));
    for (int64_t n = 0; n < batch; ++n) {
        timeProjection_->forward(timeEmbedding + n * timeChannels_, offsets.data() + n * channels);
    }
    return offsets;
}

FeatureMap ResnetBlock2D::forward(FeatureMap input, const float* timeEmbedding) const {
    const ChannelTransform first = norm1_.transform(input, activation_);
    FeatureMap residual;
    if (shortcut_) {
        residual = shortcut_->forward({input});
    }
    FeatureMap hidden = conv1_.forward({input, &first});
    std::vector<float> offsets;
    if (timeChannels_ > 0) {
        if (timeEmbedding == nullptr) {
            throw std::invalid_argument(
                "A ResNet block with a time embedding was run without one.");
        }
        offsets = timeOffsets(hidden.batch(), timeEmbedding);
    }
    if (shortcut_) {
        input = FeatureMap();
    } else {
        residual = std::move(input);
    }
    const ChannelTransform second =
        norm2_.transform(hidden, activation_, offsets.empty() ? nullptr : offsets.data());
    conv2_.accumulate({hidden, &second}, residual);
    return residual;
}

FeatureMap ResnetBlock2D::forwardInBands(const FeatureMap& input, int64_t bandRows) const {
    if (input.batch() != 1 || timeChannels_ > 0 || bandRows < 1) {
        throw std::invalid_argument("A ResNet block runs in bands of rows for one image "
                                    "without a time embedding only.");
    }
    const int64_t height = input.height();
    // The rows [from, to) read for a band starting at `top`: at least `halo`
    // more on each side where the map has them, and as many rows for every
    // band (the window slides inwards at the edges), so each convolution
    // meets one band shape and sets itself up for it once.
    const auto span = [&](int64_t top, int64_t, int64_t halo) {
        const int64_t read = std::min(height, bandRows + 2 * halo);
        const int64_t from = std::clamp<int64_t>(top - halo, 0, height - read);
        return std::pair{from, from + read};
    };
    const ChannelTransform first = norm1_.transform(input, activation_);
    GroupNorm::Sums sums;
    for (int64_t top = 0; top < height; top += bandRows) {
        const int64_t rows = std::min(bandRows, height - top);
        // Two rows of context where one would do: conv1 then meets the same
        // band shape in both passes.
        const auto [from, to] = span(top, rows, 2);
        const FeatureMap hidden = conv1_.forward({input.rows(from, to - from), &first});
        norm2_.accumulate(sums, hidden, top - from, rows);
    }
    const ChannelTransform second = norm2_.transform(sums, activation_);

    FeatureMap output(1, conv2_.outChannels(), height, input.width());
    for (int64_t top = 0; top < height; top += bandRows) {
        const int64_t rows = std::min(bandRows, height - top);
        const auto [from, to] = span(top, rows, 2);
        FeatureMap part = input.rows(from, to - from);
        const FeatureMap hidden = conv1_.forward({part, &first});
        FeatureMap residual = shortcut_ ? shortcut_->forward({part}) : std::move(part);
        conv2_.accumulate({hidden, &second}, residual);
        output.setRows(top, residual, top - from, rows);
    }
    return output;
}

} // namespace dravelin

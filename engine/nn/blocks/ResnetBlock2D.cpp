#include "nn/blocks/ResnetBlock2D.h"

#include "nn/layers/Linear.h"
#include "nn/compute/Profiler.h"

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

} // namespace dravelin

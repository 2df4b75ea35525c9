#include "nn/ResnetBlock2D.h"

namespace dravelin {

ResnetBlock2D::ResnetBlock2D(const WeightReader& weights, const std::string& prefix,
                             const ResnetBlockSettings& settings)
    : activation_(settings.activation),
      norm1_(weights, prefix + ".norm1", settings.inChannels, settings.groups, settings.epsilon),
      conv1_(weights, prefix + ".conv1", settings.inChannels, settings.outChannels, 3),
      norm2_(weights, prefix + ".norm2", settings.outChannels, settings.groups, settings.epsilon),
      conv2_(weights, prefix + ".conv2", settings.outChannels, settings.outChannels, 3) {
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
    if (settings.inChannels != settings.outChannels) {
        Convolution::declare(list, prefix + ".conv_shortcut", settings.inChannels,
                             settings.outChannels, 1);
    }
}

FeatureMap ResnetBlock2D::forward(FeatureMap input) const {
    const ChannelTransform first = norm1_.transform(input, activation_);
    FeatureMap residual;
    if (shortcut_) {
        residual = shortcut_->forward({input});
    }
    FeatureMap hidden = conv1_.forward({input, &first});
    if (shortcut_) {
        input = FeatureMap();
    } else {
        residual = std::move(input);
    }
    const ChannelTransform second = norm2_.transform(hidden, activation_);
    conv2_.accumulate({hidden, &second}, residual);
    return residual;
}

} // namespace dravelin

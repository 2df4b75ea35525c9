#include "nn/blocks/UNetBlock2D.h"

namespace dravelin {

namespace {

std::string resnetName(const std::string& prefix, size_t index) {
    return prefix + ".resnets." + std::to_string(index);
}

std::string transformerName(const std::string& prefix, size_t index) {
    return prefix + ".attentions." + std::to_string(index);
}

std::string downsampleName(const std::string& prefix) {
    return prefix + ".downsamplers.0.conv";
}

std::string upsampleName(const std::string& prefix) {
    return prefix + ".upsamplers.0.conv";
}

void declareLayers(WeightList& list, const std::string& prefix, const UNetBlockSettings& settings) {
    for (size_t j = 0; j < settings.resnets.size(); ++j) {
        ResnetBlock2D::declare(list, resnetName(prefix, j), settings.resnets[j]);
    }
    for (size_t j = 0; j < settings.transformers.size(); ++j) {
        Transformer2D::declare(list, transformerName(prefix, j), settings.transformers[j]);
    }
}

void buildLayers(const WeightReader& weights, const std::string& prefix,
                 const UNetBlockSettings& settings, std::vector<ResnetBlock2D>& resnets,
                 std::vector<Transformer2D>& transformers) {
    for (size_t j = 0; j < settings.resnets.size(); ++j) {
        resnets.emplace_back(weights, resnetName(prefix, j), settings.resnets[j]);
    }
    for (size_t j = 0; j < settings.transformers.size(); ++j) {
        transformers.emplace_back(weights, transformerName(prefix, j), settings.transformers[j]);
    }
}

} // namespace

DownBlock2D::DownBlock2D(const WeightReader& weights, const std::string& prefix,
                         const UNetBlockSettings& settings) {
    buildLayers(weights, prefix, settings, resnets_, transformers_);
    if (settings.resample) {
        const int64_t channels = settings.outChannels();
        downsample_.emplace(weights, downsampleName(prefix), channels, channels, 3, 2);
    }
}

void DownBlock2D::declare(WeightList& list, const std::string& prefix,
                          const UNetBlockSettings& settings) {
    declareLayers(list, prefix, settings);
    if (settings.resample) {
        const int64_t channels = settings.outChannels();
        Convolution::declare(list, downsampleName(prefix), channels, channels, 3);
    }
}

FeatureMap DownBlock2D::forward(FeatureMap hidden, const float* time,
                                const std::vector<Matrix>& contexts,
                                std::vector<FeatureMap>& skips) const {
    for (size_t j = 0; j < resnets_.size(); ++j) {
        hidden = resnets_[j].forward(std::move(hidden), time);
        if (!transformers_.empty()) {
            transformers_[j].forward(hidden, contexts);
        }
        skips.push_back(hidden.clone());
    }
    if (downsample_) {
        hidden = downsample_->forward({hidden});
        skips.push_back(hidden.clone());
    }
    return hidden;
}

UpBlock2D::UpBlock2D(const WeightReader& weights, const std::string& prefix,
                     const UNetBlockSettings& settings) {
    buildLayers(weights, prefix, settings, resnets_, transformers_);
    if (settings.resample) {
        const int64_t channels = settings.outChannels();
        upsample_.emplace(weights, upsampleName(prefix), channels, channels, 3, 1);
    }
}

void UpBlock2D::declare(WeightList& list, const std::string& prefix,
                        const UNetBlockSettings& settings) {
    declareLayers(list, prefix, settings);
    if (settings.resample) {
        const int64_t channels = settings.outChannels();
        Convolution::declare(list, upsampleName(prefix), channels, channels, 3);
    }
}

FeatureMap UpBlock2D::forward(FeatureMap hidden, const float* time,
                              const std::vector<Matrix>& contexts,
                              std::vector<FeatureMap>& skips) const {
    for (size_t j = 0; j < resnets_.size(); ++j) {
        FeatureMap joined = FeatureMap::concatenateChannels(hidden, skips.back());
        skips.pop_back();
        hidden = FeatureMap();
        hidden = resnets_[j].forward(std::move(joined), time);
        if (!transformers_.empty()) {
            transformers_[j].forward(hidden, contexts);
        }
    }
    if (upsample_) {
        hidden = upsample_->forward({hidden, nullptr, true});
    }
    return hidden;
}

MidBlock2DCrossAttn::MidBlock2DCrossAttn(const WeightReader& weights, const std::string& prefix,
                                         const MidBlockCrossAttnSettings& settings)
    : first_(weights, resnetName(prefix, 0), settings.resnet),
      transformer_(weights, transformerName(prefix, 0), settings.transformer),
      second_(weights, resnetName(prefix, 1), settings.resnet) {}

void MidBlock2DCrossAttn::declare(WeightList& list, const std::string& prefix,
                                  const MidBlockCrossAttnSettings& settings) {
    ResnetBlock2D::declare(list, resnetName(prefix, 0), settings.resnet);
    ResnetBlock2D::declare(list, resnetName(prefix, 1), settings.resnet);
    Transformer2D::declare(list, transformerName(prefix, 0), settings.transformer);
}

FeatureMap MidBlock2DCrossAttn::forward(FeatureMap hidden, const float* time,
                                        const std::vector<Matrix>& contexts) const {
    hidden = first_.forward(std::move(hidden), time);
    transformer_.forward(hidden, contexts);
    return second_.forward(std::move(hidden), time);
}

} // namespace dravelin

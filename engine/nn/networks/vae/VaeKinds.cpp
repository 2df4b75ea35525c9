#include "nn/networks/vae/VaeKinds.h"

#include "nn/networks/vae/VaeConfig.h"
#include "nn/networks/vae/VaeDecoder.h"
#include "nn/networks/vae/VaeEncoder.h"

#include <stdexcept>

namespace dravelin {

namespace {

// The [batch, channels, height, width] shape in force for an input, with the
// channel count the configuration fixes.
// Height and width are bounded before any layer is sized by them.
Shape imageShape(const ModelDescription& description, const std::string& input, int64_t channels,
                 int64_t maximumSide) {
    constexpr int64_t kMaximumBatch = 64;
    const std::optional<FeatureDescription> found = description.input(input);
    if (!found || found->shape.size() != 4 || found->shape[1] != channels || found->shape[0] < 1 ||
        found->shape[2] < 1 || found->shape[3] < 1) {
        throw std::invalid_argument("The input \"" + input + "\" must be shaped [batch, " +
                                    std::to_string(channels) + ", height, width].");
    }
    if (found->shape[0] > kMaximumBatch || found->shape[2] > maximumSide ||
        found->shape[3] > maximumSide) {
        throw std::invalid_argument("The input \"" + input + "\" is shaped " +
                                    describe(found->shape) + "; its batch can be at most " +
                                    std::to_string(kMaximumBatch) + " and its sides at most " +
                                    std::to_string(maximumSide) + ".");
    }
    return found->shape;
}

} // namespace

ModelDescription VaeDecoderKind::describe(const nlohmann::json& config) const {
    const VaeConfig vae = VaeConfig::read(config, VaeConfig::Half::decoder);
    return ModelDescription{{{"z", {1, vae.latentChannels, vae.latentHeight(), vae.latentWidth()}}},
                            {"image"}};
}

std::vector<WeightSpec> VaeDecoderKind::expectedWeights(const nlohmann::json& config) const {
    return VaeDecoder::weights(VaeConfig::read(config, VaeConfig::Half::decoder));
}

std::unique_ptr<Network> VaeDecoderKind::build(const nlohmann::json& config,
                                               const ModelDescription& description,
                                               const WeightFiles& weights) const {
    const VaeConfig vae = VaeConfig::read(config, VaeConfig::Half::decoder);
    const Shape shape = imageShape(description, "z", vae.latentChannels,
                                   VaeConfig::kMaximumSampleSize / vae.downscale());
    return std::make_unique<VaeDecoder>(vae, WeightReader(weights), shape[2], shape[3]);
}

ModelDescription VaeEncoderKind::describe(const nlohmann::json& config) const {
    const VaeConfig vae = VaeConfig::read(config, VaeConfig::Half::encoder);
    return ModelDescription{{{"x", {1, vae.inChannels, vae.sampleHeight, vae.sampleWidth}}},
                            {"moments"}};
}

std::vector<WeightSpec> VaeEncoderKind::expectedWeights(const nlohmann::json& config) const {
    return VaeEncoder::weights(VaeConfig::read(config, VaeConfig::Half::encoder));
}

std::unique_ptr<Network> VaeEncoderKind::build(const nlohmann::json& config,
                                               const ModelDescription& description,
                                               const WeightFiles& weights) const {
    const VaeConfig vae = VaeConfig::read(config, VaeConfig::Half::encoder);
    const Shape shape = imageShape(description, "x", vae.inChannels, VaeConfig::kMaximumSampleSize);
    return std::make_unique<VaeEncoder>(vae, WeightReader(weights), shape[2], shape[3]);
}

} // namespace dravelin

#include "nn/networks/taesd/TinyAutoencoderKinds.h"

#include "nn/networks/taesd/TinyAutoencoderConfig.h"
#include "nn/networks/taesd/TinyDecoder.h"
#include "nn/networks/taesd/TinyEncoder.h"

#include <stdexcept>

namespace dravelin {

namespace {

// SD 1.5's 512 × 512 images and their 64 × 64 latents.
constexpr int64_t kDefaultLatentSize = 64;
constexpr int64_t kDefaultImageSize = 512;

Shape shapeInForce(const ModelDescription& description, const std::string& input,
                   int64_t channels) {
    const std::optional<FeatureDescription> found = description.input(input);
    if (!found || found->shape.size() != 4 || found->shape[1] != channels || found->shape[0] < 1 ||
        found->shape[2] < 1 || found->shape[3] < 1) {
        throw std::invalid_argument("The input \"" + input + "\" must be shaped [batch, " +
                                    std::to_string(channels) + ", height, width].");
    }
    return found->shape;
}

} // namespace

ModelDescription TinyDecoderKind::describe(const nlohmann::json& config) const {
    const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
    return ModelDescription{
        {{"z", {1, tiny.latentChannels, kDefaultLatentSize, kDefaultLatentSize}}}, {"image"}};
}

std::vector<WeightSpec> TinyDecoderKind::expectedWeights(const nlohmann::json& config) const {
    return TinyDecoder::weights(TinyAutoencoderConfig::read(config));
}

std::unique_ptr<Network> TinyDecoderKind::build(const nlohmann::json& config,
                                                const ModelDescription& description,
                                                const WeightFiles& weights) const {
    const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
    const Shape shape = shapeInForce(description, "z", tiny.latentChannels);
    return std::make_unique<TinyDecoder>(tiny, WeightReader(weights), shape[2], shape[3]);
}

ModelDescription TinyEncoderKind::describe(const nlohmann::json& config) const {
    const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
    return ModelDescription{{{"x", {1, tiny.inChannels, kDefaultImageSize, kDefaultImageSize}}},
                            {"latents"}};
}

std::vector<WeightSpec> TinyEncoderKind::expectedWeights(const nlohmann::json& config) const {
    return TinyEncoder::weights(TinyAutoencoderConfig::read(config));
}

std::unique_ptr<Network> TinyEncoderKind::build(const nlohmann::json& config,
                                                const ModelDescription& description,
                                                const WeightFiles& weights) const {
    const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
    const Shape shape = shapeInForce(description, "x", tiny.inChannels);
    return std::make_unique<TinyEncoder>(tiny, WeightReader(weights), shape[2], shape[3]);
}

} // namespace dravelin

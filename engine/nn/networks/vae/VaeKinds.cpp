#include "nn/networks/vae/VaeKinds.h"

#include "nn/networks/ConfiguredKind.h"
#include "nn/networks/ImageInputShape.h"
#include "nn/networks/vae/VaeConfig.h"
#include "nn/networks/vae/VaeDecoder.h"
#include "nn/networks/vae/VaeEncoder.h"

namespace dravelin {

std::shared_ptr<NetworkKind> vaeDecoderKind() {
    const auto read = [](const nlohmann::json& config) {
        return VaeConfig::read(config, VaeConfig::Half::decoder);
    };
    return std::make_shared<ConfiguredKind>(
        "AutoencoderKL.decoder",
        [read](const nlohmann::json& config) {
            const VaeConfig vae = read(config);
            return ModelDescription{
                {{"z", {1, vae.latentChannels, vae.latentHeight(), vae.latentWidth()}}},
                {"image"}};
        },
        [read](const nlohmann::json& config) { return VaeDecoder::weights(read(config)); },
        [read](const nlohmann::json& config, const ModelDescription& description,
               const WeightFiles& weights) -> std::unique_ptr<Network> {
            const VaeConfig vae = read(config);
            const Shape shape = imageInputShape(description, "z", vae.latentChannels,
                                                VaeConfig::kMaximumSampleSize / vae.downscale());
            return std::make_unique<VaeDecoder>(vae, WeightReader(weights), shape[2], shape[3]);
        });
}

std::shared_ptr<NetworkKind> vaeEncoderKind() {
    const auto read = [](const nlohmann::json& config) {
        return VaeConfig::read(config, VaeConfig::Half::encoder);
    };
    return std::make_shared<ConfiguredKind>(
        "AutoencoderKL.encoder",
        [read](const nlohmann::json& config) {
            const VaeConfig vae = read(config);
            return ModelDescription{{{"x", {1, vae.inChannels, vae.sampleHeight, vae.sampleWidth}}},
                                    {"moments"}};
        },
        [read](const nlohmann::json& config) { return VaeEncoder::weights(read(config)); },
        [read](const nlohmann::json& config, const ModelDescription& description,
               const WeightFiles& weights) -> std::unique_ptr<Network> {
            const VaeConfig vae = read(config);
            const Shape shape =
                imageInputShape(description, "x", vae.inChannels, VaeConfig::kMaximumSampleSize);
            return std::make_unique<VaeEncoder>(vae, WeightReader(weights), shape[2], shape[3]);
        });
}

} // namespace dravelin

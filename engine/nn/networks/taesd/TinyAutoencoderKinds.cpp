#include "nn/networks/taesd/TinyAutoencoderKinds.h"

#include "nn/networks/ConfiguredKind.h"
#include "nn/networks/ImageInputShape.h"
#include "nn/networks/taesd/TinyAutoencoderConfig.h"
#include "nn/networks/taesd/TinyDecoder.h"
#include "nn/networks/taesd/TinyEncoder.h"

namespace dravelin {

namespace {

// SD 1.5's 512 × 512 images and their 64 × 64 latents.
constexpr int64_t kDefaultLatentSize = 64;
constexpr int64_t kDefaultImageSize = 512;
// The largest image side a generation makes.
constexpr int64_t kMaximumImageSide = 2048;

} // namespace

std::shared_ptr<NetworkKind> tinyDecoderKind() {
    return std::make_shared<ConfiguredKind>(
        "AutoencoderTiny.decoder",
        [](const nlohmann::json& config) {
            const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
            return ModelDescription{
                {{"z", {1, tiny.latentChannels, kDefaultLatentSize, kDefaultLatentSize}}},
                {"image"}};
        },
        [](const nlohmann::json& config) {
            return TinyDecoder::weights(TinyAutoencoderConfig::read(config));
        },
        [](const nlohmann::json& config, const ModelDescription& description,
           const WeightFiles& weights) -> std::unique_ptr<Network> {
            const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
            const Shape shape = imageInputShape(description, "z", tiny.latentChannels,
                                                kMaximumImageSide / tiny.decoderUpscale());
            return std::make_unique<TinyDecoder>(tiny, WeightReader(weights), shape[2], shape[3]);
        });
}

std::shared_ptr<NetworkKind> tinyEncoderKind() {
    return std::make_shared<ConfiguredKind>(
        "AutoencoderTiny.encoder",
        [](const nlohmann::json& config) {
            const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
            return ModelDescription{
                {{"x", {1, tiny.inChannels, kDefaultImageSize, kDefaultImageSize}}}, {"latents"}};
        },
        [](const nlohmann::json& config) {
            return TinyEncoder::weights(TinyAutoencoderConfig::read(config));
        },
        [](const nlohmann::json& config, const ModelDescription& description,
           const WeightFiles& weights) -> std::unique_ptr<Network> {
            const TinyAutoencoderConfig tiny = TinyAutoencoderConfig::read(config);
            const Shape shape =
                imageInputShape(description, "x", tiny.inChannels, kMaximumImageSide);
            return std::make_unique<TinyEncoder>(tiny, WeightReader(weights), shape[2], shape[3]);
        });
}

} // namespace dravelin

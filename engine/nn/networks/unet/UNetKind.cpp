#include "nn/networks/unet/UNetKind.h"

#include "nn/networks/unet/UNet2DCondition.h"
#include "nn/networks/unet/UNetConfig.h"

#include <stdexcept>

namespace dravelin {

namespace {

// The guidance batch: the prompt and the empty prompt.
constexpr int64_t kBatch = 2;
// The text encoder's positions (CLIP's max_position_embeddings).
constexpr int64_t kTextPositions = 77;

Shape inputShape(const ModelDescription& description, const std::string& name, size_t rank) {
    const std::optional<FeatureDescription> found = description.input(name);
    if (!found || found->shape.size() != rank) {
        throw std::invalid_argument("The input \"" + name + "\" must have " + std::to_string(rank) +
                                    " dimensions.");
    }
    for (int64_t size : found->shape) {
        if (size < 1) {
            throw std::invalid_argument("The input \"" + name + "\" has an empty dimension.");
        }
    }
    return found->shape;
}

UNetShape shapeInForce(const UNetConfig& config, const ModelDescription& description) {
    const Shape sample = inputShape(description, "sample", 4);
    const Shape timestep = inputShape(description, "timestep", 1);
    const Shape states = inputShape(description, "encoder_hidden_states", 4);
    const int64_t batch = sample[0];
    if (sample[1] != config.inChannels || timestep[0] != batch || states[0] != batch ||
        states[1] != config.crossAttentionDim || states[2] != 1) {
        throw std::invalid_argument(
            "The denoising network's inputs must be shaped \"sample\" [batch, " +
            std::to_string(config.inChannels) +
            ", height, width], \"timestep\" [batch] and "
            "\"encoder_hidden_states\" [batch, " +
            std::to_string(config.crossAttentionDim) + ", 1, positions].");
    }
    UNetShape shape{batch, sample[2], sample[3], states[3]};
    if (config.hasTextTimeEmbedding()) {
        const std::optional<FeatureDescription> timeIds = description.input("time_ids");
        const std::optional<FeatureDescription> text = description.input("text_embeds");
        // [batch, count], or the rows one after the other.
        const Shape ids = timeIds ? timeIds->shape : Shape{};
        const bool rows = ids.size() == 2 && ids[0] == batch && ids[1] > 0;
        const bool flat = ids.size() == 1 && ids[0] > 0 && ids[0] % batch == 0;
        if (!text || !(rows || flat)) {
            throw std::invalid_argument("The XL denoising network needs the inputs "
                                        "\"text_embeds\" [batch, width] and \"time_ids\" "
                                        "[batch, count].");
        }
        shape.timeIds = rows ? ids[1] : ids[0] / batch;
        if (config.additionInputWidth - shape.timeIds * config.additionTimeEmbedDim < 1) {
            throw std::invalid_argument("The input \"time_ids\" holds " +
                                        std::to_string(shape.timeIds) +
                                        " values per image, whose sinusoids fill all of "
                                        "\"projection_class_embeddings_input_dim\" " +
                                        std::to_string(config.additionInputWidth) +
                                        " and leave no room for the pooled text embedding.");
        }
        const Shape expected{batch, config.additionInputWidth -
                                        shape.timeIds * config.additionTimeEmbedDim};
        if (text->shape != expected) {
            throw std::invalid_argument(
                "With " + std::to_string(shape.timeIds) +
                " time ids the input \"text_embeds\" must be shaped " + describe(expected) +
                " (\"projection_class_embeddings_input_dim\" less the time ids' sinusoids).");
        }
    }
    return shape;
}

} // namespace

ModelDescription UNetKind::describe(const nlohmann::json& config) const {
    const UNetConfig unet = UNetConfig::read(config);
    ModelDescription description{
        {{"sample", {kBatch, unet.inChannels, unet.sampleSize, unet.sampleSize}},
         {"timestep", {kBatch}},
         {"encoder_hidden_states", {kBatch, unet.crossAttentionDim, 1, kTextPositions}}},
        {"noise_pred"}};
    if (unet.hasTextTimeEmbedding()) {
        const int64_t timeIds = unet.defaultTimeIds();
        description.inputs.push_back(
            {"text_embeds",
             {kBatch, unet.additionInputWidth - timeIds * unet.additionTimeEmbedDim}});
        description.inputs.push_back({"time_ids", {kBatch, timeIds}});
    }
    return description;
}

std::vector<WeightSpec> UNetKind::expectedWeights(const nlohmann::json& config) const {
    return UNet2DCondition::weights(UNetConfig::read(config));
}

std::unique_ptr<Network> UNetKind::build(const nlohmann::json& config,
                                         const ModelDescription& description,
                                         const WeightFiles& weights) const {
    const UNetConfig unet = UNetConfig::read(config);
    return std::make_unique<UNet2DCondition>(unet, WeightReader(weights),
                                             shapeInForce(unet, description));
}

} // namespace dravelin

#include "nn/networks/unet/UNetKind.h"

#include "nn/networks/ConfiguredKind.h"
#include "nn/networks/unet/UNet2DCondition.h"
#include "nn/networks/unet/UNetConfig.h"
#include "runtime/FeatureNames.h"

#include <stdexcept>

namespace dravelin {

namespace {

// The guidance batch: the prompt and the empty prompt.
constexpr int64_t kBatch = 2;
// The text encoder's positions (CLIP's max_position_embeddings).
constexpr int64_t kTextPositions = 77;

// How many "time_ids" per image the description in force gives an XL
// network ([batch, count], or the rows one after the other), checked against
// its "text_embeds" and configuration.
int64_t timeIdsInForce(const UNetConfig& config, const ModelDescription& description,
                       int64_t batch) {
    const std::optional<FeatureDescription> timeIds = description.input(feature::timeIds);
    const std::optional<FeatureDescription> text = description.input(feature::textEmbeds);
    const Shape ids = timeIds ? timeIds->shape : Shape{};
    const bool rows = ids.size() == 2 && ids[0] == batch && ids[1] > 0;
    const bool flat = ids.size() == 1 && ids[0] > 0 && ids[0] % batch == 0;
    if (!text || !(rows || flat)) {
        throw std::invalid_argument("The XL denoising network needs the inputs \"" +
                                    std::string(feature::textEmbeds) + "\" [batch, width] and \"" +
                                    feature::timeIds + "\" [batch, count].");
    }
    const int64_t count = rows ? ids[1] : ids[0] / batch;
    const int64_t textWidth = config.additionInputWidth - count * config.additionTimeEmbedDim;
    if (textWidth < 1) {
        throw std::invalid_argument("The input \"" + std::string(feature::timeIds) + "\" holds " +
                                    std::to_string(count) +
                                    " values per image, whose sinusoids fill all of "
                                    "\"projection_class_embeddings_input_dim\" " +
                                    std::to_string(config.additionInputWidth) +
                                    " and leave no room for the pooled text embedding.");
    }
    if (text->shape != Shape{batch, textWidth}) {
        throw std::invalid_argument("With " + std::to_string(count) + " time ids the input \"" +
                                    feature::textEmbeds + "\" must be shaped " +
                                    describe(Shape{batch, textWidth}) +
                                    " (\"projection_class_embeddings_input_dim\" less the time "
                                    "ids' sinusoids).");
    }
    return count;
}

} // namespace

ModelDescription denoisingDescription(const UNetConfig& unet) {
    return ModelDescription{
        {{feature::sample, {kBatch, unet.inChannels, unet.sampleSize, unet.sampleSize}},
         {feature::timestep, {kBatch}},
         {feature::encoderHiddenStates, {kBatch, unet.crossAttentionDim, 1, kTextPositions}}},
        {feature::noisePrediction}};
}

namespace {

ModelDescription describeUNet(const nlohmann::json& config, bool controlled) {
    const UNetConfig unet = UNetConfig::read(config);
    ModelDescription description = denoisingDescription(unet);
    if (unet.hasTextTimeEmbedding()) {
        const int64_t timeIds = unet.defaultTimeIds();
        description.inputs.push_back(
            {feature::textEmbeds,
             {kBatch, unet.additionInputWidth - timeIds * unet.additionTimeEmbedDim}});
        description.inputs.push_back({feature::timeIds, {kBatch, timeIds}});
    }
    if (controlled) {
        const UNetShape shape = {kBatch, unet.sampleSize, unet.sampleSize, kTextPositions};
        for (FeatureDescription& input : UNet2DCondition::residualInputs(unet, shape)) {
            description.inputs.push_back(std::move(input));
        }
    }
    // Guidance at scale 1 runs the prompt's half alone; residuals and the XL
    // conditioning come for the whole guidance batch, so those networks keep it.
    description.takesSmallerBatches = !controlled && !unet.hasTextTimeEmbedding();
    return description;
}

std::vector<WeightSpec> weightsOfUNet(const nlohmann::json& config) {
    return UNet2DCondition::weights(UNetConfig::read(config));
}

std::unique_ptr<Network> buildUNet(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights, bool controlled) {
    const UNetConfig unet = UNetConfig::read(config);
    const UNetShape shape = denoisingShape(description, unet.inChannels, unet.crossAttentionDim,
                                           "The denoising network");
    const int64_t timeIds =
        unet.hasTextTimeEmbedding() ? timeIdsInForce(unet, description, shape.batch) : 0;
    if (controlled) {
        // A bundle that gives the sample another size must give the residuals
        // theirs.
        for (const FeatureDescription& input : UNet2DCondition::residualInputs(unet, shape)) {
            requireInputShape(description, input.name, input.shape, "The denoising network");
        }
    }
    return std::make_unique<UNet2DCondition>(unet, WeightReader(weights), shape, controlled,
                                             timeIds);
}

} // namespace

std::shared_ptr<NetworkKind> unetKind(bool controlled) {
    return std::make_shared<ConfiguredKind>(
        controlled ? kControlledUNetKind : kUNetKind,
        [controlled](const nlohmann::json& config) { return describeUNet(config, controlled); },
        weightsOfUNet,
        [controlled](const nlohmann::json& config, const ModelDescription& description,
                     const WeightFiles& weights) {
            return buildUNet(config, description, weights, controlled);
        });
}

} // namespace dravelin

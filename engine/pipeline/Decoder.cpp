#include "pipeline/Decoder.h"

#include "pipeline/ImageConversion.h"
#include "pipeline/TiledEvaluation.h"
#include "runtime/RuntimeErrors.h"

#include <algorithm>

namespace dravelin {

Decoder::Decoder(const std::filesystem::path& modelURL, const ModelConfiguration& configuration)
    : model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

std::string Decoder::inputName() const {
    return model_->perform([](Model& model) {
        if (model.modelDescription().inputs.empty()) {
            throw PredictionError("The decoder model has no input.");
        }
        return model.modelDescription().inputs.front().name;
    });
}

namespace {

// A quarter of a tile: wide enough that the ramps between tiles hide the
// decoder's border effects.
int64_t tileOverlap(int64_t tileSide) {
    return std::max<int64_t>(1, tileSide / 4);
}

} // namespace

Shape Decoder::inputShape() const {
    return model_->perform([](Model& model) {
        if (model.modelDescription().inputs.empty()) {
            throw PredictionError("The decoder model has no input.");
        }
        return model.modelDescription().inputs.front().shape;
    });
}

std::vector<Image> Decoder::decode(std::span<const ShapedArray> latents, float scaleFactor) {
    const std::string name = inputName();
    const Shape input = inputShape();
    std::vector<FeatureProvider> inputs;
    inputs.reserve(latents.size());
    bool tiled = false;
    for (const ShapedArray& latent : latents) {
        ShapedArray scaled(latent.shape());
        const float* in = latent.data();
        float* out = scaled.data();
        for (int64_t i = 0; i < latent.count(); ++i) {
            out[i] = in[i] / scaleFactor;
        }
        tiled = tiled || (input.size() == 4 && scaled.shape() != input);
        inputs.emplace_back(FeatureValueDictionary{{name, std::move(scaled)}});
    }
    std::vector<Image> images;
    images.reserve(latents.size());
    if (tiled) {
        // Latents larger than the decoder was built for are decoded in
        // overlapping tiles of its own size, one latent at a time.
        const auto decodeTile = [&](const ShapedArray& tile) {
            FeatureProvider result = model_->perform([&](Model& model) {
                return model.prediction(FeatureProvider({{name, tile}}));
            });
            if (result.featureValueDictionary.empty()) {
                throw PredictionError("The decoder model produced no output.");
            }
            return std::move(result.featureValueDictionary.begin()->second);
        };
        for (const FeatureProvider& features : inputs) {
            const ShapedArray& latent = features.featureValue(name);
            images.push_back(imageFromShapedArray(
                latent.shape() == input
                    ? decodeTile(latent)
                    : evaluateInTiles(latent, input[2], input[3], tileOverlap(input[2]),
                                      decodeTile)));
        }
        return images;
    }
    const BatchProvider batch(std::move(inputs));
    const std::vector<FeatureProvider> results =
        model_->perform([&](Model& model) { return model.predictions(batch); });

    for (const FeatureProvider& result : results) {
        if (result.featureValueDictionary.empty()) {
            throw PredictionError("The decoder model produced no output.");
        }
        images.push_back(imageFromShapedArray(result.featureValueDictionary.begin()->second));
    }
    return images;
}

} // namespace dravelin

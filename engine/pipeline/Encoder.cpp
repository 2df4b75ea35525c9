#include "pipeline/Encoder.h"

#include "pipeline/ImageConversion.h"
#include "runtime/RuntimeErrors.h"

#include <algorithm>
#include <cmath>

namespace dravelin {

Encoder::Error::Error(Case errorCase)
    : std::runtime_error("The starting image does not have the size the image encoder takes "
                         "(sampleInputShapeNotCorrect)."),
      case_(errorCase) {}

Encoder::Encoder(const std::filesystem::path& modelURL, const ModelConfiguration& configuration)
    : model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

FeatureDescription Encoder::inputDescription() const {
    return model_->perform([](Model& model) {
        if (model.modelDescription().inputs.empty()) {
            throw PredictionError("The image encoder model has no input.");
        }
        return model.modelDescription().inputs.front();
    });
}

ShapedArray Encoder::encode(const Image& image, float scaleFactor, RandomSource& random) {
    return encode(planarRGBShapedArray(image, -1.0f, 1.0f), scaleFactor, random);
}

ShapedArray Encoder::encode(ShapedArray pixels, float scaleFactor, RandomSource& random) {
    // Read without loading the model: a larger image never needs this size.
    const ModelDescription description = model_->description();
    if (description.inputs.empty()) {
        throw PredictionError("The image encoder model has no input.");
    }
    const FeatureDescription input = description.inputs.front();
    const Shape& expected = input.shape;
    // A larger image goes through a copy of the encoder built for its size,
    // which works in bands of rows where the image is large (see VaeBands):
    // memory stays bounded and the result is the one-pass one, with no seams.
    const bool larger = expected.size() == 4 && pixels.rank() == 4 && pixels.shape() != expected &&
                        pixels.shape()[0] == expected[0] && pixels.shape()[1] == expected[1] &&
                        pixels.shape()[2] >= expected[2] && pixels.shape()[3] >= expected[3];
    if (pixels.shape() != expected && !larger) {
        throw Error(Error::Case::sampleInputShapeNotCorrect);
    }
    const FeatureProvider features({{input.name, std::move(pixels)}});
    const auto encodeWith = [&](ManagedMLModel& model) {
        return model.perform([&](Model& loaded) {
            FeatureProvider result = loaded.prediction(features);
            if (result.featureValueDictionary.empty()) {
                throw PredictionError("The image encoder model produced no output.");
            }
            return std::move(result.featureValueDictionary.begin()->second);
        });
    };
    ShapedArray moments;
    if (larger) {
        const Shape& size = features.featureValue(input.name).shape();
        ModelConfiguration sized = model_->configuration();
        sized.inputSizes[input.name] = {size[2], size[3]};
        ManagedMLModel whole(model_->modelURL(), sized);
        moments = encodeWith(whole);
    } else {
        moments = encodeWith(*model_);
    }

    const Shape& shape = moments.shape();
    if (shape.size() != 4 || shape[0] < 1 || shape[1] % 2 != 0) {
        throw PredictionError("The image encoder returned " + describe(shape) +
                              ", not [1, 2 × channels, h, w].");
    }
    const int64_t half = shape[1] / 2 * shape[2] * shape[3];
    const float* mean = moments.data();
    const float* logVariance = moments.data() + half;
    ShapedArray latent(Shape{1, shape[1] / 2, shape[2], shape[3]});
    float* out = latent.data();
    for (int64_t i = 0; i < half; ++i) {
        const float clamped = std::clamp(logVariance[i], -30.0f, 20.0f);
        const float stdev = std::exp(0.5f * clamped);
        const float drawn = static_cast<float>(
            random.nextNormal(static_cast<double>(mean[i]), static_cast<double>(stdev)));
        out[i] = drawn * scaleFactor;
    }
    return latent;
}

} // namespace dravelin

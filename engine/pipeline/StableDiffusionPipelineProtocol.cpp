#include "pipeline/StableDiffusionPipelineProtocol.h"

#include <stdexcept>

namespace dravelin {

ShapedArray performGuidance(const ShapedArray& prediction, float guidanceScale) {
    Shape shape = prediction.shape();
    if (shape.empty() || shape[0] < 2) {
        throw std::invalid_argument("Guidance needs a batch of at least two predictions, not " +
                                    describe(shape) + ".");
    }
    shape[0] = 1;
    ShapedArray result(shape);
    const int64_t stride = result.count();
    const float* unconditional = prediction.data();
    const float* conditional = prediction.data() + stride;
    float* out = result.data();
    for (int64_t i = 0; i < stride; ++i) {
        const float u = unconditional[i];
        const float difference = conditional[i] - u;
        const float scaled = difference * guidanceScale;
        out[i] = u + scaled;
    }
    return result;
}

std::vector<ShapedArray> performGuidance(std::span<const ShapedArray> predictions,
                                         float guidanceScale) {
    std::vector<ShapedArray> results;
    results.reserve(predictions.size());
    for (const ShapedArray& prediction : predictions) {
        results.push_back(performGuidance(prediction, guidanceScale));
    }
    return results;
}

ShapedArray toHiddenStates(const ShapedArray& embeddings) {
    const Shape& shape = embeddings.shape();
    if (shape.size() != 3) {
        throw std::invalid_argument("Hidden states are made from a [batch, sequence, channels] "
                                    "array, not " +
                                    describe(shape) + ".");
    }
    const int64_t batch = shape[0];
    const int64_t sequence = shape[1];
    const int64_t channels = shape[2];
    ShapedArray result(Shape{batch, channels, 1, sequence});
    const float* in = embeddings.data();
    float* out = result.data();
    for (int64_t b = 0; b < batch; ++b) {
        for (int64_t s = 0; s < sequence; ++s) {
            for (int64_t c = 0; c < channels; ++c) {
                out[(b * channels + c) * sequence + s] = in[(b * sequence + s) * channels + c];
            }
        }
    }
    return result;
}

} // namespace dravelin

#include "pipeline/TextEncoder.h"

#include "pipeline/TokenInput.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

TextEncoder::TextEncoder(std::shared_ptr<const BPETokenizer> tokenizer,
                         const std::filesystem::path& modelURL,
                         const ModelConfiguration& configuration)
    : tokenizer_(std::move(tokenizer)),
      model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

FeatureDescription TextEncoder::inputDescription() const {
    return textEncoderInput(*model_);
}

ShapedArray TextEncoder::encode(const std::string& prompt) {
    return encode(tokenizeToFit(*tokenizer_, prompt, inputShape()));
}

ShapedArray TextEncoder::encode(const std::vector<int>& ids) {
    return encode(ids, 1, std::nullopt);
}

int64_t TextEncoder::tokenWidth() const {
    return tokenEmbedsWidth(*model_);
}

ShapedArray TextEncoder::encode(const std::string& prompt, const PromptReading& reading) {
    if (reading.syntax == PromptSyntax::plain) {
        return encode(tokenizeToFit(*tokenizer_, prompt, inputShape()), reading.clipSkip,
                      std::nullopt);
    }
    const int64_t width = reading.embeddings && !reading.embeddings->empty() ? tokenWidth() : 0;
    std::vector<ShapedArray> parts;
    for (const EncoderChunk& chunk :
         encoderChunks(prompt, reading, *tokenizer_, sequenceLength(inputShape()),
                       TextEncoderRole::first, width)) {
        parts.push_back(emphasized(encode(chunk.ids, reading.clipSkip, chunk.tokenEmbeds),
                                   chunk.weights));
    }
    return parts.size() == 1 ? std::move(parts.front()) : ShapedArray::concatenate(parts, 1);
}

ShapedArray TextEncoder::encode(const std::vector<int>& ids, int clipSkip,
                                const std::optional<ShapedArray>& tokenEmbeds) {
    const FeatureProvider features =
        tokenFeatures(inputDescription(), ids, tokenEmbeds, clipSkip);
    return model_->perform([&](Model& model) {
        FeatureProvider result = model.prediction(features);
        auto found = result.featureValueDictionary.find("last_hidden_state");
        if (found == result.featureValueDictionary.end()) {
            throw PredictionError("The text encoder model has no output \"last_hidden_state\".");
        }
        return std::move(found->second);
    });
}

} // namespace dravelin

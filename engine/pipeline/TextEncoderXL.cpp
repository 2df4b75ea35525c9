#include "pipeline/TextEncoderXL.h"

#include "pipeline/TokenInput.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

TextEncoderXL::TextEncoderXL(std::shared_ptr<const BPETokenizer> tokenizer,
                             const std::filesystem::path& modelURL,
                             const ModelConfiguration& configuration, TextEncoderRole role)
    : tokenizer_(std::move(tokenizer)),
      model_(std::make_shared<ManagedMLModel>(modelURL, configuration)), role_(role) {}

FeatureDescription TextEncoderXL::inputDescription() const {
    return textEncoderInput(*model_);
}

TextEncodings TextEncoderXL::encode(const std::string& prompt) {
    return encode(tokenizeToFit(*tokenizer_, prompt, inputShape()));
}

TextEncodings TextEncoderXL::encode(const std::vector<int>& ids) {
    return encode(ids, std::nullopt);
}

TextEncodings TextEncoderXL::encode(const std::string& prompt, const PromptReading& reading) {
    if (reading.syntax == PromptSyntax::plain) {
        return encode(prompt);
    }
    const int64_t width =
        reading.embeddings && !reading.embeddings->empty() ? tokenEmbedsWidth(*model_) : 0;
    std::vector<ShapedArray> parts;
    ShapedArray pooled;
    for (const EncoderChunk& chunk : encoderChunks(prompt, reading, *tokenizer_,
                                                   sequenceLength(inputShape()), role_, width)) {
        TextEncodings encoded = encode(chunk.ids, chunk.tokenEmbeds);
        if (parts.empty()) {
            pooled = std::move(encoded.pooledOutputs);
        }
        parts.push_back(emphasized(encoded.hiddenEmbeddings, chunk.weights));
    }
    ShapedArray hidden =
        parts.size() == 1 ? std::move(parts.front()) : ShapedArray::concatenate(parts, 1);
    return {std::move(hidden), std::move(pooled)};
}

TextEncodings TextEncoderXL::encode(const std::vector<int>& ids,
                                    const std::optional<ShapedArray>& tokenEmbeds) {
    const FeatureProvider features = tokenFeatures(inputDescription(), ids, tokenEmbeds, 1);
    return model_->perform([&](Model& model) {
        FeatureProvider result = model.prediction(features);
        const auto take = [&](const std::string& name) {
            auto found = result.featureValueDictionary.find(name);
            if (found == result.featureValueDictionary.end()) {
                throw PredictionError("The text encoder model has no output \"" + name +
                                      "\"; the XL pipeline needs it.");
            }
            return std::move(found->second);
        };
        ShapedArray hidden = take("hidden_embeds");
        return TextEncodings{std::move(hidden), take("pooled_outputs")};
    });
}

} // namespace dravelin

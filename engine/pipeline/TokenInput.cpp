#include "pipeline/TokenInput.h"

#include "runtime/RuntimeErrors.h"

#include <iostream>

namespace dravelin {

FeatureDescription textEncoderInput(ManagedMLModel& model) {
    return model.perform([](Model& loaded) {
        const std::vector<FeatureDescription>& inputs = loaded.modelDescription().inputs;
        if (inputs.empty()) {
            throw PredictionError("The text encoder model has no input.");
        }
        return inputs.front();
    });
}

std::vector<int> tokenizeToFit(const BPETokenizer& tokenizer, const std::string& prompt,
                               const Shape& inputShape) {
    if (inputShape.empty() || inputShape.back() < 1) {
        throw PredictionError("The text encoder's input " + describe(inputShape) +
                              " has no sequence length.");
    }
    const int length = static_cast<int>(inputShape.back());
    BPETokenizer::Tokenization tokenization = tokenizer.tokenize(prompt, length);
    if (static_cast<int>(tokenization.tokenIDs.size()) > length) {
        tokenization.tokens.resize(static_cast<size_t>(length));
        tokenization.tokenIDs.resize(static_cast<size_t>(length));
        std::cout << "Needed to truncate input '" << prompt << "' to '"
                  << tokenizer.decode(tokenization.tokens) << "'" << std::endl;
    }
    return tokenization.tokenIDs;
}

FeatureProvider tokenFeatures(const FeatureDescription& input, const std::vector<int>& ids,
                              const std::optional<ShapedArray>& tokenEmbeds, int clipSkip) {
    std::vector<float> values(ids.begin(), ids.end());
    if (elementCount(input.shape) != static_cast<int64_t>(values.size())) {
        throw PredictionError("The text encoder takes " + describe(input.shape) +
                              " token IDs, not " + std::to_string(values.size()) + ".");
    }
    FeatureValueDictionary features{{input.name, ShapedArray(std::move(values), input.shape)}};
    if (tokenEmbeds) {
        features.emplace("token_embeds", *tokenEmbeds);
    }
    if (clipSkip != 1) {
        features.emplace("clip_skip", ShapedArray(Shape{1}, static_cast<float>(clipSkip)));
    }
    return FeatureProvider(std::move(features));
}

int64_t sequenceLength(const Shape& inputShape) {
    if (inputShape.empty() || inputShape.back() < 1) {
        throw PredictionError("The text encoder's input " + describe(inputShape) +
                              " has no sequence length.");
    }
    return inputShape.back();
}

int64_t tokenEmbedsWidth(ManagedMLModel& model) {
    const std::optional<FeatureDescription> input = model.description().input("token_embeds");
    if (!input || input->shape.size() != 3) {
        throw PredictionError("The text encoder \"" + model.modelURL().filename().string() +
                              "\" cannot take textual-inversion embeddings.");
    }
    return input->shape[2];
}

} // namespace dravelin

#include "pipeline/TextEncoderXL.h"

#include "runtime/RuntimeErrors.h"

#include <iostream>

namespace dravelin {

TextEncoderXL::TextEncoderXL(std::shared_ptr<const BPETokenizer> tokenizer,
                             const std::filesystem::path& modelURL,
                             const ModelConfiguration& configuration)
    : tokenizer_(std::move(tokenizer)),
      model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

FeatureDescription TextEncoderXL::inputDescription() const {
    return model_->perform([](Model& model) {
        const std::vector<FeatureDescription>& inputs = model.modelDescription().inputs;
        if (inputs.empty()) {
            throw PredictionError("The text encoder model has no input.");
        }
        return inputs.front();
    });
}

TextEncodings TextEncoderXL::encode(const std::string& prompt) {
    const Shape shape = inputShape();
    if (shape.empty() || shape.back() < 1) {
        throw PredictionError("The text encoder's input " + describe(shape) +
                              " has no sequence length.");
    }
    const int length = static_cast<int>(shape.back());
    BPETokenizer::Tokenization tokenization = tokenizer_->tokenize(prompt, length);
    if (static_cast<int>(tokenization.tokenIDs.size()) > length) {
        tokenization.tokens.resize(static_cast<size_t>(length));
        tokenization.tokenIDs.resize(static_cast<size_t>(length));
        std::cout << "Needed to truncate input '" << prompt << "' to '"
                  << tokenizer_->decode(tokenization.tokens) << "'" << std::endl;
    }
    return encode(tokenization.tokenIDs);
}

TextEncodings TextEncoderXL::encode(const std::vector<int>& ids) {
    const FeatureDescription input = inputDescription();
    std::vector<float> values(ids.begin(), ids.end());
    if (elementCount(input.shape) != static_cast<int64_t>(values.size())) {
        throw PredictionError("The text encoder takes " + describe(input.shape) +
                              " token IDs, not " + std::to_string(values.size()) + ".");
    }
    FeatureProvider features({{input.name, ShapedArray(std::move(values), input.shape)}});
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

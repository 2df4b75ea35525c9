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
    const FeatureProvider features = tokenFeatures(inputDescription(), ids);
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

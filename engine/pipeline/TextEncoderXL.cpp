#include "pipeline/TextEncoderXL.h"

#include "pipeline/TokenInput.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

TextEncoderXL::TextEncoderXL(std::shared_ptr<const BPETokenizer> tokenizer,
                             const std::filesystem::path& modelURL,
                             const ModelConfiguration& configuration)
    : tokenizer_(std::move(tokenizer)),
      model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

FeatureDescription TextEncoderXL::inputDescription() const {
    return textEncoderInput(*model_);
}

TextEncodings TextEncoderXL::encode(const std::string& prompt) {
    return encode(tokenizeToFit(*tokenizer_, prompt, inputShape()));
}

TextEncodings TextEncoderXL::encode(const std::vector<int>& ids) {
    const FeatureProvider features = tokenFeatures(inputDescription(), ids);
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

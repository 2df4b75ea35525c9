#pragma once

#include "core/ShapedArray.h"
#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"
#include "tokenizer/BPETokenizer.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace dravelin {

// The two encodings an XL pipeline takes from each text encoder.
struct TextEncodings {
    // Per token: the hidden states entering the model's last layer, [1, S, C].
    ShapedArray hiddenEmbeddings;
    // The whole prompt in one vector, [1, D].
    ShapedArray pooledOutputs;
};

// What the XL pipeline needs of a text encoder.
class TextEncoderXLModel : public ResourceManaging {
public:
    virtual TextEncodings encode(const std::string& prompt) = 0;
};

// Tokenizes a prompt to the model's sequence length and runs a CLIP text
// model for its "hidden_embeds" and "pooled_outputs".
class TextEncoderXL : public TextEncoderXLModel {
public:
    TextEncoderXL(std::shared_ptr<const BPETokenizer> tokenizer,
                  const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }

    // A prompt longer than the model takes is cut to its length, with a line
    // on standard output saying so.
    TextEncodings encode(const std::string& prompt) override;
    TextEncodings encode(const std::vector<int>& ids);

    // The model's one input; reading it loads the model if needed.
    FeatureDescription inputDescription() const;
    Shape inputShape() const { return inputDescription().shape; }

    const std::shared_ptr<const BPETokenizer>& tokenizer() const { return tokenizer_; }
    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<const BPETokenizer> tokenizer_;
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin

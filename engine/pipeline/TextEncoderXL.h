#pragma once

#include "core/ShapedArray.h"
#include "pipeline/PromptEncoding.h"
#include "runtime/ManagedMLModel.h"
#include "runtime/ResourceManaging.h"
#include "tokenizer/BPETokenizer.h"

#include <filesystem>
#include <memory>
#include <optional>
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
    // The prompt read as `reading` says: hidden embeddings [1, S·k, C] for k
    // chunks, the pooled output of the first. Encoders that know no such
    // reading encode the plain prompt.
    virtual TextEncodings encode(const std::string& prompt, const PromptReading& reading) {
        (void)reading;
        return encode(prompt);
    }
};

// Tokenizes a prompt to the model's sequence length and runs a CLIP text
// model for its "hidden_embeds" and "pooled_outputs".
class TextEncoderXL : public TextEncoderXLModel {
public:
    // `role` picks an SDXL embedding's vectors for this encoder.
    TextEncoderXL(std::shared_ptr<const BPETokenizer> tokenizer,
                  const std::filesystem::path& modelURL, const ModelConfiguration& configuration,
                  TextEncoderRole role = TextEncoderRole::first);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }
    void checkResources() override { model_->checkResources(); }

    // A prompt longer than the model takes is cut to its length, with a line
    // on standard output saying so.
    TextEncodings encode(const std::string& prompt) override;
    TextEncodings encode(const std::vector<int>& ids);
    // Plain: as above. Chunked or with emphasis: each chunk encoded on its
    // own, its hidden embeddings weighted, joined along the sequence; the
    // pooled output is the first chunk's. Clip skip does not apply.
    TextEncodings encode(const std::string& prompt, const PromptReading& reading) override;
    TextEncodings encode(const std::vector<int>& ids,
                         const std::optional<ShapedArray>& tokenEmbeds);

    // The model's one input; reading it loads the model if needed.
    FeatureDescription inputDescription() const;
    Shape inputShape() const { return inputDescription().shape; }

    const std::shared_ptr<const BPETokenizer>& tokenizer() const { return tokenizer_; }
    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<const BPETokenizer> tokenizer_;
    std::shared_ptr<ManagedMLModel> model_;
    TextEncoderRole role_;
};

} // namespace dravelin

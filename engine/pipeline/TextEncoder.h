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

// Anything that turns a prompt into the embedding that conditions the
// denoising network.
class TextEncoderModel : public ResourceManaging {
public:
    virtual ShapedArray encode(const std::string& prompt) = 0;
    // The prompt read as `reading` says, [1, S·k, C] for k chunks. Encoders
    // that know no such reading encode the plain prompt.
    virtual ShapedArray encode(const std::string& prompt, const PromptReading& reading) {
        (void)reading;
        return encode(prompt);
    }
};

// Tokenizes a prompt to the model's sequence length and runs the CLIP text
// model; the result is its "last_hidden_state", [1, S, C].
class TextEncoder : public TextEncoderModel {
public:
    TextEncoder(std::shared_ptr<const BPETokenizer> tokenizer,
                const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }
    void checkResources() override { model_->checkResources(); }

    // A prompt longer than the model takes is cut to its length (the start
    // token and the first words), with a line on standard output saying so.
    ShapedArray encode(const std::string& prompt) override;
    ShapedArray encode(const std::vector<int>& ids);
    // Plain: the prompt cut to the model's length, as above. Chunked or with
    // emphasis: each chunk encoded on its own (one pass of the model each),
    // weighted, and the chunks joined along the sequence. Clip skip applies
    // to either.
    ShapedArray encode(const std::string& prompt, const PromptReading& reading) override;
    // One chunk of ids, with clip skip N and the embeddings' vectors.
    ShapedArray encode(const std::vector<int>& ids, int clipSkip,
                       const std::optional<ShapedArray>& tokenEmbeds);

    // The width of the token embeddings (the model's "token_embeds").
    int64_t tokenWidth() const;

    // The model's one input; reading it loads the model if needed.
    FeatureDescription inputDescription() const;
    Shape inputShape() const { return inputDescription().shape; }

    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<const BPETokenizer> tokenizer_;
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin

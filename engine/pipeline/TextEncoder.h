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

// Anything that turns a prompt into the embedding that conditions the
// denoising network.
class TextEncoderModel : public ResourceManaging {
public:
    virtual ShapedArray encode(const std::string& prompt) = 0;
};

// Tokenizes a prompt to the model's sequence length and runs the CLIP text
// model; the result is its "last_hidden_state", [1, S, C].
class TextEncoder : public TextEncoderModel {
public:
    TextEncoder(std::shared_ptr<const BPETokenizer> tokenizer,
                const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }

    // A prompt longer than the model takes is cut to its length (the start
    // token and the first words), with a line on standard output saying so.
    ShapedArray encode(const std::string& prompt) override;
    ShapedArray encode(const std::vector<int>& ids);

    // The model's one input; reading it loads the model if needed.
    FeatureDescription inputDescription() const;
    Shape inputShape() const { return inputDescription().shape; }

    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<const BPETokenizer> tokenizer_;
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin

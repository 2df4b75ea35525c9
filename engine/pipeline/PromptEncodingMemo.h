#pragma once

#include "core/ShapedArray.h"
#include "pipeline/PromptEncoding.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dravelin {

// Everything a generation's text conditioning depends on. Equal keys give
// equal encodings, so a pipeline can keep the last ones and spare its text
// encoders (and their load) when "Generate" runs again with the same prompt.
struct PromptEncodingKey {
    std::string prompt;
    std::string negativePrompt;
    PromptSyntax syntax = PromptSyntax::plain;
    int clipSkip = 1;
    std::shared_ptr<const EmbeddingLibrary> embeddings;
    // The encoders that made them, held so another encoder put in their
    // place is never taken for them.
    std::vector<std::shared_ptr<const void>> encoders;
    // Which conditioning of the pipeline (an XL refiner's is another).
    int variant = 0;

    bool operator==(const PromptEncodingKey&) const = default;
};

// The encodings of the last prompts a pipeline encoded. Shared by copies of
// a pipeline; safe to use from several threads.
class PromptEncodingMemo {
public:
    // The encodings kept for `key`, if any.
    std::optional<std::vector<ShapedArray>> find(const PromptEncodingKey& key) const;
    // Keeps them in place of the oldest: a few entries, so the base and
    // refiner conditioning of one prompt both stay.
    void keep(PromptEncodingKey key, std::vector<ShapedArray> encodings);
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<PromptEncodingKey, std::vector<ShapedArray>>> entries_;
};

} // namespace dravelin

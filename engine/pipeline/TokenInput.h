#pragma once

#include "runtime/FeatureProvider.h"
#include "runtime/ManagedMLModel.h"
#include "tokenizer/BPETokenizer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// What the text encoders share on their input side: the one input a text
// encoder model takes, a prompt tokenized to its length (a longer prompt is
// cut, and a line on standard output says so), and token IDs as that input.

FeatureDescription textEncoderInput(ManagedMLModel& model);

std::vector<int> tokenizeToFit(const BPETokenizer& tokenizer, const std::string& prompt,
                               const Shape& inputShape);

// With the embeddings' vectors ("token_embeds") when given and clip skip
// ("clip_skip") when not 1; plain ids are all a model without those takes.
FeatureProvider tokenFeatures(const FeatureDescription& input, const std::vector<int>& ids,
                              const std::optional<ShapedArray>& tokenEmbeds = std::nullopt,
                              int clipSkip = 1);

// The sequence length of a text encoder's input [batch, length].
int64_t sequenceLength(const Shape& inputShape);

// The width of the token embeddings a text encoder takes as "token_embeds".
int64_t tokenEmbedsWidth(ManagedMLModel& model);

} // namespace dravelin

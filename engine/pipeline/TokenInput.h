#pragma once

#include "runtime/FeatureProvider.h"
#include "runtime/ManagedMLModel.h"
#include "tokenizer/BPETokenizer.h"

#include <string>
#include <vector>

namespace dravelin {

// What the text encoders share on their input side: the one input a text
// encoder model takes, a prompt tokenized to its length (a longer prompt is
// cut, and a line on standard output says so), and token IDs as that input.

FeatureDescription textEncoderInput(ManagedMLModel& model);

std::vector<int> tokenizeToFit(const BPETokenizer& tokenizer, const std::string& prompt,
                               const Shape& inputShape);

FeatureProvider tokenFeatures(const FeatureDescription& input, const std::vector<int>& ids);

} // namespace dravelin

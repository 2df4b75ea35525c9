#pragma once

#include "runtime/Network.h"

#include <memory>

namespace dravelin {

// "StableDiffusionSafetyChecker": inputs "clip_input" [1, channels,
// image_size, image_size], "images" [1, 512, 512, 3] and "adjustment" [1];
// outputs "has_nsfw_concepts", "concept_scores" and "special_scores".
// A bundle may give "clip_input" a larger batch.
std::shared_ptr<NetworkKind> safetyCheckerKind();

} // namespace dravelin

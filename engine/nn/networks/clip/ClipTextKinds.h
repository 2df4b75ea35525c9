#pragma once

#include "runtime/Network.h"

#include <memory>

namespace dravelin {

// "CLIPTextModel" and, `projected`, "CLIPTextModelWithProjection": input
// "input_ids" [1, max_position_embeddings]; outputs "last_hidden_state",
// "hidden_embeds" and "pooled_outputs" (projected by "text_projection" in the
// second kind).
std::shared_ptr<NetworkKind> clipTextKind(bool projected);

} // namespace dravelin

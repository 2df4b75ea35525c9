#pragma once

#include "nn/networks/clip/ClipEncoderLayer.h"
#include "nn/networks/clip/ClipTextConfig.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/Linear.h"
#include "nn/layers/TokenEmbedding.h"
#include "runtime/Network.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace dravelin {

// transformers' CLIP text model, with or without its text projection. Takes
// "input_ids" [batch, length] (token ids as floats) and gives
// "last_hidden_state" [batch, length, hidden] after the final layer norm,
// "hidden_embeds" (the states entering the last layer, without that norm) and
// "pooled_outputs" [batch, hidden or projection]: the final state at the end
// token, projected when the model has a projection.
//
// Two optional inputs: "token_embeds" [batch, length, hidden] gives the token
// embedding of every position whose id is -1 (a textual-inversion vector;
// the position embedding is still added), and "clip_skip" [1], N from 1 to
// the layer count, makes "last_hidden_state" the final layer norm of the
// N-th hidden state from the end (1 the last, 2 the one entering the last
// layer); the other outputs stay as they are.
class ClipTextModel : public Network {
public:
    ClipTextModel(const ClipTextConfig& config, const WeightReader& weights, int64_t length,
                  bool projected);
    static WeightList weights(const ClipTextConfig& config, bool projected);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;

    // The position whose state is pooled, as transformers picks it: the first
    // end token (position 0 when there is none); with a configuration from
    // before the end token id was recorded (eos_token_id 2), the first
    // highest id, which is the end token 49407 in CLIP's vocabulary (a prompt
    // cut short has none, and then its highest word token is pooled).
    int64_t pooledPosition(const float* ids) const;

private:
    // The embeddings of one row of ids; refuses ids outside the vocabulary.
    // Ids of -1 take their row of `tokenRows` (length × hidden) when given.
    Matrix embed(const float* ids, const float* tokenRows) const;
    // The "clip_skip" input's N, 1 without it.
    int64_t clipSkip(const FeatureProvider& inputs) const;

    ClipTextConfig config_;
    int64_t length_;
    TokenEmbedding embedding_;
    std::vector<ClipEncoderLayer> layers_;
    LayerNorm finalNorm_;
    std::optional<Linear> projection_;
};

} // namespace dravelin

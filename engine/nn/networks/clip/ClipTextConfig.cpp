#include "nn/networks/clip/ClipTextConfig.h"

#include "nn/compute/ConfigReader.h"

namespace dravelin {

ClipTextConfig ClipTextConfig::read(const nlohmann::json& config) {
    const ConfigReader reader(config);
    ClipTextConfig result;
    // Bounds beyond every published text encoder of the family, so that a
    // mistyped or hostile value is refused before the network is sized by it.
    result.vocabSize = reader.integer("vocab_size", result.vocabSize);
    result.hiddenSize = reader.integer("hidden_size", result.hiddenSize, 1, 16384);
    result.intermediateSize =
        reader.integer("intermediate_size", result.intermediateSize, 1, 65536);
    result.projectionDim = reader.integer("projection_dim", result.projectionDim, 1, 16384);
    result.layers = reader.integer("num_hidden_layers", result.layers, 1, 128);
    result.heads = reader.integer("num_attention_heads", result.heads, 1, 256);
    result.maxPositions =
        reader.integer("max_position_embeddings", result.maxPositions, 1, kMaximumPositions);
    result.activation = activationNamed(reader.string("hidden_act", "quick_gelu"), "hidden_act");
    result.layerNormEpsilon =
        static_cast<float>(reader.number("layer_norm_eps", result.layerNormEpsilon, 0, 1));
    // The end token's embedding row is looked up by this ID.
    result.endTokenId = reader.integer("eos_token_id", result.endTokenId, 0, result.vocabSize - 1);
    if (result.hiddenSize % result.heads != 0) {
        throw ConfigurationError(
            ConfigReader::about("num_attention_heads") + " is " + std::to_string(result.heads) +
            ", which does not divide \"hidden_size\" " + std::to_string(result.hiddenSize) + ".");
    }
    if (!(result.layerNormEpsilon > 0.0f)) {
        throw ConfigurationError(ConfigReader::about("layer_norm_eps") + " must be positive.");
    }
    return result;
}

} // namespace dravelin

#include "nn/networks/clip/ClipTextConfig.h"

#include "nn/compute/ConfigReader.h"

namespace dravelin {

ClipTextConfig ClipTextConfig::read(const nlohmann::json& config) {
    const ConfigReader reader(config);
    ClipTextConfig result;
    result.vocabSize = reader.integer("vocab_size", result.vocabSize);
    result.hiddenSize = reader.integer("hidden_size", result.hiddenSize);
    result.intermediateSize = reader.integer("intermediate_size", result.intermediateSize);
    result.projectionDim = reader.integer("projection_dim", result.projectionDim);
    result.layers = reader.integer("num_hidden_layers", result.layers);
    result.heads = reader.integer("num_attention_heads", result.heads);
    result.maxPositions = reader.integer("max_position_embeddings", result.maxPositions);
    result.activation = activationNamed(reader.string("hidden_act", "quick_gelu"), "hidden_act");
    result.layerNormEpsilon =
        static_cast<float>(reader.number("layer_norm_eps", result.layerNormEpsilon));
    result.endTokenId = reader.integer("eos_token_id", result.endTokenId, 0);
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

#include "nn/networks/unet/UNetConfig.h"

#include "nn/compute/ConfigReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace dravelin {

namespace {

// Bounds beyond every published model of the family, so that a mistyped or
// hostile value is refused before the network is sized by it.
constexpr int64_t kMaximumChannels = 8192;
constexpr int64_t kMaximumImageChannels = 256;
constexpr int64_t kMaximumLayersPerBlock = 16;
constexpr int64_t kMaximumTransformerLayers = 64;
constexpr int64_t kMaximumHeads = 1024;
constexpr int64_t kMaximumGroups = 1024;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

[[noreturn]] void unsupported(const std::string& key, const std::string& why) {
    throw ConfigurationError(ConfigReader::about(key) + " " + why);
}

// Block type names of `key`, each one the block factory can build.
std::vector<std::string> blockTypes(const ConfigReader& reader, const std::string& key,
                                    const std::vector<std::string>& fallback,
                                    const std::vector<std::string>& known) {
    const std::vector<std::string> types = reader.strings(key, fallback);
    for (const std::string& type : types) {
        if (std::find(known.begin(), known.end(), type) == known.end()) {
            std::string names;
            for (const std::string& name : known) {
                names += (names.empty() ? "\"" : " and \"") + name + "\"";
            }
            unsupported(key, "names " + ConfigReader::excerpt(type) + "; this runtime implements only " +
                                 names + ".");
        }
    }
    return types;
}

std::vector<bool> withTransformers(const std::vector<std::string>& types) {
    std::vector<bool> result;
    for (const std::string& type : types) {
        result.push_back(UNetBlockFactory::hasTransformers(type));
    }
    return result;
}

// An integer, or a list with one per block.
std::vector<int64_t> perBlock(const nlohmann::json& config, const ConfigReader& reader,
                              const std::string& key, int64_t fallback, size_t blocks,
                              int64_t maximum) {
    if (config.contains(key) && config[key].is_array()) {
        std::vector<int64_t> values = reader.integers(key, {}, 1, maximum);
        if (values.size() != blocks) {
            unsupported(key, "lists " + std::to_string(values.size()) + " values for " +
                                 std::to_string(blocks) + " blocks.");
        }
        return values;
    }
    return std::vector<int64_t>(blocks, reader.integer(key, fallback, 1, maximum));
}

// Keys whose values this runtime does not implement, each with the value
// that means "off" (a missing key or null is off too).
void refuseUnlessOff(const nlohmann::json& config, const std::string& key,
                     const nlohmann::json& off) {
    const auto found = config.find(key);
    if (found == config.end() || found->is_null() || *found == off) {
        return;
    }
    // A per-block list of the "off" value is off too.
    if (found->is_array() && !found->empty() &&
        std::all_of(found->begin(), found->end(),
                    [&](const nlohmann::json& value) { return value == off; })) {
        return;
    }
    unsupported(key, "is " + ConfigReader::excerpt(*found) + "; this runtime implements only " +
                         (off.is_null() ? std::string("its absence") : off.dump()) + ".");
}

} // namespace

UNetConfig UNetConfig::read(const nlohmann::json& config) {
    const ConfigReader reader(config);
    UNetConfig result = readDownPath(config);
    result.outChannels =
        reader.integer("out_channels", result.outChannels, 1, kMaximumImageChannels);
    result.upBlockTypes =
        blockTypes(reader, "up_block_types", result.upBlockTypes, UNetBlockFactory::upBlockTypes());
    result.upCrossAttention = withTransformers(result.upBlockTypes);
    const size_t blocks = result.blockOutChannels.size();
    if (result.upBlockTypes.size() != blocks) {
        unsupported("up_block_types", "lists " + std::to_string(result.upBlockTypes.size()) +
                                          " blocks but \"block_out_channels\" lists " +
                                          std::to_string(blocks) + ".");
    }
    refuseUnlessOff(config, "reverse_transformer_layers_per_block", nullptr);
    refuseUnlessOff(config, "conv_out_kernel", 3);
    return result;
}

UNetConfig UNetConfig::readDownPath(const nlohmann::json& config) {
    const ConfigReader reader(config);
    UNetConfig result;
    result.inChannels = reader.integer("in_channels", result.inChannels, 1, kMaximumImageChannels);
    result.centerInputSample = reader.boolean("center_input_sample", false);
    result.flipSinToCos = reader.boolean("flip_sin_to_cos", true);
    result.freqShift = reader.number("freq_shift", 0, -1000, 1000);
    result.blockOutChannels =
        reader.integers("block_out_channels", result.blockOutChannels, 1, kMaximumChannels);
    const size_t blocks = result.blockOutChannels.size();
    if (blocks < 1 || blocks > 8) {
        unsupported("block_out_channels", "must list one to eight channel counts.");
    }
    result.downBlockTypes = blockTypes(reader, "down_block_types", result.downBlockTypes,
                                       UNetBlockFactory::downBlockTypes());
    result.downCrossAttention = withTransformers(result.downBlockTypes);
    if (result.downBlockTypes.size() != blocks) {
        unsupported("down_block_types", "lists " + std::to_string(result.downBlockTypes.size()) +
                                            " blocks but \"block_out_channels\" lists " +
                                            std::to_string(blocks) + ".");
    }
    result.midBlockType = reader.string("mid_block_type", result.midBlockType);
    const std::vector<std::string>& midTypes = UNetBlockFactory::midBlockTypes();
    if (std::find(midTypes.begin(), midTypes.end(), result.midBlockType) == midTypes.end()) {
        unsupported("mid_block_type", "is " + ConfigReader::excerpt(result.midBlockType) +
                                          "; this runtime implements only "
                                          "\"UNetMidBlock2DCrossAttn\".");
    }
    result.layersPerBlock =
        reader.integer("layers_per_block", result.layersPerBlock, 1, kMaximumLayersPerBlock);
    result.downsamplePadding = reader.integer("downsample_padding", 1, 0, 16);
    if (result.downsamplePadding != 1) {
        unsupported("downsample_padding", "is " + std::to_string(result.downsamplePadding) +
                                              "; this runtime implements only 1.");
    }
    if (reader.number("mid_block_scale_factor", 1.0) != 1.0) {
        unsupported("mid_block_scale_factor", "must be 1 here.");
    }
    if (reader.number("resnet_out_scale_factor", 1.0) != 1.0) {
        unsupported("resnet_out_scale_factor", "must be 1 here.");
    }
    result.activation = activationNamed(lowercase(reader.string("act_fn", "silu")), "act_fn");
    if (result.activation != Activation::silu) {
        // The time embedding and the ResNet blocks share the function; only
        // SiLU has been checked against the reference.
        unsupported("act_fn", "must be \"silu\" here.");
    }
    result.groups = reader.integer("norm_num_groups", result.groups, 1, kMaximumGroups);
    for (int64_t channels : result.blockOutChannels) {
        if (channels % result.groups != 0) {
            unsupported("norm_num_groups", "is " + std::to_string(result.groups) +
                                               ", which does not divide the block width " +
                                               std::to_string(channels) + ".");
        }
    }
    result.epsilon = static_cast<float>(reader.number("norm_eps", 1e-5, 0, 1));
    if (!(result.epsilon > 0.0f)) {
        unsupported("norm_eps", "must be above 0.");
    }
    result.crossAttentionDim =
        reader.integer("cross_attention_dim", result.crossAttentionDim, 1, kMaximumChannels);
    refuseUnlessOff(config, "num_attention_heads", nullptr);
    // diffusers' naming mix-up: with no "num_attention_heads", this is the
    // number of heads, not their width.
    result.heads = perBlock(config, reader, "attention_head_dim", 8, blocks, kMaximumHeads);
    result.transformerLayers = perBlock(config, reader, "transformer_layers_per_block", 1, blocks,
                                        kMaximumTransformerLayers);
    for (size_t i = 0; i < blocks; ++i) {
        if (result.blockOutChannels[i] % result.heads[i] != 0) {
            unsupported("attention_head_dim",
                        "gives " + std::to_string(result.heads[i]) + " heads to a block of " +
                            std::to_string(result.blockOutChannels[i]) + " channels.");
        }
    }
    result.linearProjection = reader.boolean("use_linear_projection", false);
    result.sampleSize = reader.integer("sample_size", result.sampleSize, 1, kMaximumSampleSize);
    if (result.sampleSize % (int64_t{1} << (blocks - 1)) != 0) {
        unsupported("sample_size",
                    "must be a multiple of " + std::to_string(int64_t{1} << (blocks - 1)) + ".");
    }

    refuseUnlessOff(config, "only_cross_attention", false);
    refuseUnlessOff(config, "mid_block_only_cross_attention", false);
    refuseUnlessOff(config, "dual_cross_attention", false);
    refuseUnlessOff(config, "class_embed_type", nullptr);
    refuseUnlessOff(config, "num_class_embeds", nullptr);
    const std::string addition = reader.string("addition_embed_type", "");
    if (addition == "text_time") {
        if (!reader.has("addition_time_embed_dim") ||
            !reader.has("projection_class_embeddings_input_dim")) {
            unsupported("addition_embed_type", "is \"text_time\", which needs "
                                               "\"addition_time_embed_dim\" and "
                                               "\"projection_class_embeddings_input_dim\".");
        }
        result.additionTimeEmbedDim = reader.integer("addition_time_embed_dim", 0);
        result.additionInputWidth = reader.integer("projection_class_embeddings_input_dim", 0);
        if (result.additionInputWidth <= 5 * result.additionTimeEmbedDim) {
            unsupported("projection_class_embeddings_input_dim",
                        "is " + std::to_string(result.additionInputWidth) +
                            ", which leaves no room for the pooled text embedding beside the "
                            "time ids' sinusoids of \"addition_time_embed_dim\" " +
                            std::to_string(result.additionTimeEmbedDim) + ".");
        }
    } else if (!addition.empty()) {
        unsupported("addition_embed_type", "is \"" + addition +
                                               "\"; this runtime implements only \"text_time\" "
                                               "and its absence.");
    }
    refuseUnlessOff(config, "encoder_hid_dim", nullptr);
    refuseUnlessOff(config, "encoder_hid_dim_type", nullptr);
    refuseUnlessOff(config, "resnet_time_scale_shift", "default");
    refuseUnlessOff(config, "resnet_skip_time_act", false);
    refuseUnlessOff(config, "time_embedding_type", "positional");
    refuseUnlessOff(config, "time_embedding_dim", nullptr);
    refuseUnlessOff(config, "time_embedding_act_fn", nullptr);
    refuseUnlessOff(config, "timestep_post_act", nullptr);
    refuseUnlessOff(config, "time_cond_proj_dim", nullptr);
    refuseUnlessOff(config, "conv_in_kernel", 3);
    refuseUnlessOff(config, "attention_type", "default");
    refuseUnlessOff(config, "class_embeddings_concat", false);
    refuseUnlessOff(config, "cross_attention_norm", nullptr);
    // "upcast_attention" only computes the scores in float32, as we always do.
    return result;
}

int64_t UNetConfig::defaultTimeIds() const {
    if (!hasTextTimeEmbedding()) {
        return 0;
    }
    return additionInputWidth - 5 * additionTimeEmbedDim == crossAttentionDim ? 5 : 6;
}

UNetBlockConfig UNetConfig::blockConfig(bool withUpPath) const {
    return {blockOutChannels,
            downBlockTypes,
            midBlockType,
            withUpPath ? upBlockTypes : std::vector<std::string>{},
            layersPerBlock,
            heads,
            transformerLayers,
            groups,
            epsilon,
            activation,
            timeEmbeddingDim(),
            crossAttentionDim,
            linearProjection};
}

} // namespace dravelin

#include "runtime/CheckpointLayout.h"

#include <algorithm>

namespace dravelin {

namespace {

// Sizes no published model comes near; beyond them a file is refused before
// a network is sized by it.
constexpr int64_t kMaximumLevels = 6;
constexpr int64_t kMaximumLayersPerBlock = 8;
constexpr int64_t kMaximumChannels = 8192;
constexpr int64_t kMaximumDepth = 64;
constexpr int64_t kMaximumTextLayers = 128;
constexpr int64_t kMaximumVocabulary = 1 << 20;
constexpr int64_t kMaximumPositions = 1024;
// The fixed rules of the original training code, which a file cannot tell.
constexpr int64_t kTextHeadChannels = 64;
constexpr int64_t kXLHeadChannels = 64;
constexpr int64_t kSD1Heads = 8;

const std::string kUnet = "model.diffusion_model.";
const std::string kSD1Text = "cond_stage_model.transformer.";
const std::string kSD2Text = "cond_stage_model.model.";
const std::string kXLFirstText = "conditioner.embedders.0.transformer.";
const std::string kXLBaseSecondText = "conditioner.embedders.1.model.";
const std::string kXLRefinerText = "conditioner.embedders.0.model.";
const std::string kVae = "first_stage_model.";

class Reader {
public:
    Reader(const SafetensorsFile& file, std::string where) : file_(file), where_(std::move(where)) {}

    bool has(const std::string& name) const { return file_.contains(name); }

    bool hasPrefix(const std::string& prefix) const {
        const auto& tensors = file_.tensors();
        const auto found = tensors.lower_bound(prefix);
        return found != tensors.end() && found->first.compare(0, prefix.size(), prefix) == 0;
    }

    // The tensor's shape, which must have `rank` dimensions, each from 1 to
    // `maximum`.
    Shape shape(const std::string& name, size_t rank, int64_t maximum = kMaximumVocabulary) const {
        const auto& tensors = file_.tensors();
        const auto found = tensors.find(name);
        if (found == tensors.end()) {
            fail("has no tensor \"" + name + "\"; it is incomplete or laid out in a way "
                 "Dravelin does not know");
        }
        const Shape& shape = found->second.shape;
        if (shape.size() != rank) {
            fail("has a tensor \"" + name + "\" of shape " + describe(shape) +
                 ", which no model of its kind has");
        }
        for (int64_t size : shape) {
            if (size < 1 || size > maximum) {
                fail("has a tensor \"" + name + "\" of shape " + describe(shape) +
                     ", which no model of its kind has");
            }
        }
        return shape;
    }

    // The tensor's rank; 0 when absent.
    size_t rank(const std::string& name) const {
        const auto found = file_.tensors().find(name);
        return found == file_.tensors().end() ? 0 : found->second.shape.size();
    }

    // How many of `prefix`0`suffix`, `prefix`1`suffix`, … exist, in a row.
    int64_t count(const std::string& prefix, const std::string& suffix, int64_t maximum) const {
        int64_t n = 0;
        while (n <= maximum && has(prefix + std::to_string(n) + suffix)) {
            ++n;
        }
        if (n > maximum) {
            fail("has more than " + std::to_string(maximum) + " of \"" + prefix + "N" + suffix +
                 "\", more than any model of its kind");
        }
        return n;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw CheckpointError(where_ + " " + what + ".");
    }

    const std::string& where() const { return where_; }

private:
    const SafetensorsFile& file_;
    std::string where_;
};

// Refuses text encoder sizes no CLIP model has: `what` names the encoder in
// the file ("a text encoder"), `which` what it should have been.
void checkTextSizes(const Reader& reader, int64_t layers, int64_t hidden, int64_t positions,
                    const std::string& what, const std::string& which) {
    if (layers == 0 || hidden % kTextHeadChannels != 0 || hidden > kMaximumChannels ||
        positions > kMaximumPositions) {
        reader.fail("has " + what + " of " + std::to_string(layers) + " layers of width " +
                    std::to_string(hidden) + ", which is not " + which);
    }
}

// A text encoder of transformers' kind `kindName`, configured from the sizes
// the tensors give (`embedding` is the token embedding's shape).
CheckpointNetwork textEncoder(const std::string& kindName, const std::string& activation,
                              const std::string& prefix, const Shape& embedding,
                              int64_t positions, int64_t layers, int64_t intermediate,
                              int64_t projection) {
    const int64_t hidden = embedding[1];
    CheckpointNetwork network;
    network.kindName = kindName;
    network.prefix = prefix;
    network.config = {{"architectures", {kindName}},
                      {"hidden_act", activation},
                      {"hidden_size", hidden},
                      {"intermediate_size", intermediate},
                      {"layer_norm_eps", 1e-5},
                      {"max_position_embeddings", positions},
                      {"num_attention_heads", hidden / kTextHeadChannels},
                      {"num_hidden_layers", layers},
                      {"projection_dim", projection},
                      {"bos_token_id", embedding[0] - 2},
                      {"eos_token_id", embedding[0] - 1},
                      {"vocab_size", embedding[0]}};
    return network;
}

// transformers' CLIP names under `prefix`, with or without "text_model.".
CheckpointNetwork clipText(const Reader& reader, const std::string& prefix) {
    const bool nested = reader.has(prefix + "text_model.embeddings.token_embedding.weight");
    const std::string base = prefix + (nested ? "text_model." : "");
    const Shape embedding =
        reader.shape(base + "embeddings.token_embedding.weight", 2, kMaximumVocabulary);
    const int64_t hidden = embedding[1];
    const int64_t positions =
        reader.shape(base + "embeddings.position_embedding.weight", 2, kMaximumVocabulary)[0];
    const int64_t layers =
        reader.count(base + "encoder.layers.", ".self_attn.q_proj.weight", kMaximumTextLayers);
    checkTextSizes(reader, layers, hidden, positions, "a text encoder", "a CLIP text encoder");
    const int64_t intermediate =
        reader.shape(base + "encoder.layers.0.mlp.fc1.weight", 2, 4 * kMaximumChannels)[0];
    CheckpointNetwork network = textEncoder("CLIPTextModel", "quick_gelu", prefix, embedding,
                                            positions, layers, intermediate, hidden);
    network.name = [nested](const std::string& ours) -> std::optional<CheckpointTensorLink> {
        if (nested) {
            return CheckpointTensorLink{ours};
        }
        if (ours.rfind("text_model.", 0) != 0) {
            return std::nullopt;
        }
        return CheckpointTensorLink{ours.substr(11)};
    };
    return network;
}

// OpenCLIP's text encoder under `prefix`, built as transformers'
// CLIPTextModelWithProjection.
CheckpointNetwork openClipText(const Reader& reader, const std::string& prefix) {
    const Shape embedding = reader.shape(prefix + "token_embedding.weight", 2, kMaximumVocabulary);
    const int64_t hidden = embedding[1];
    const int64_t positions = reader.shape(prefix + "positional_embedding", 2)[0];
    const int64_t layers = reader.count(prefix + "transformer.resblocks.", ".attn.in_proj_weight",
                                        kMaximumTextLayers);
    checkTextSizes(reader, layers, hidden, positions, "a second text encoder",
                   "an OpenCLIP text encoder");
    const int64_t intermediate =
        reader.shape(prefix + "transformer.resblocks.0.mlp.c_fc.weight", 2, 4 * kMaximumChannels)[0];
    const Shape projection = reader.shape(prefix + "text_projection", 2, kMaximumChannels);
    if (projection[0] != hidden) {
        reader.fail("has a text projection of shape " + describe(projection) +
                    " for a text encoder of width " + std::to_string(hidden));
    }
    CheckpointNetwork network = textEncoder("CLIPTextModelWithProjection", "gelu", prefix,
                                            embedding, positions, layers, intermediate,
                                            projection[1]);
    network.name = [](const std::string& ours) { return openClipCheckpointName(ours); };
    return network;
}

// The denoising network under "model.diffusion_model.". `pooledWidth` and
// `timeIds` describe an XL network's text-time embedding (0 for SD 1.x).
CheckpointNetwork unet(const Reader& reader, bool xl, int64_t pooledWidth, int64_t timeIds) {
    const std::string& p = kUnet;
    const Shape input = reader.shape(p + "input_blocks.0.0.weight", 4, kMaximumChannels);
    const int64_t modelChannels = input[0];
    // The blocks after the input convolution: per level `perBlock` resnets
    // and, but for the last level, a downsampler.
    int64_t blocks = 0;
    while (blocks <= kMaximumLevels * (kMaximumLayersPerBlock + 1) &&
           reader.hasPrefix(p + "input_blocks." + std::to_string(blocks + 1) + ".")) {
        ++blocks;
    }
    int64_t perBlock = 0;
    while (perBlock < blocks &&
           !reader.has(p + "input_blocks." + std::to_string(perBlock + 1) + ".0.op.weight")) {
        ++perBlock;
    }
    const int64_t levels = perBlock == 0 ? 0 : (blocks + 1) / (perBlock + 1);
    if (perBlock < 1 || perBlock > kMaximumLayersPerBlock || levels < 1 ||
        levels > kMaximumLevels || levels * (perBlock + 1) - 1 != blocks) {
        reader.fail("has a denoising network whose " + std::to_string(blocks) +
                    " input blocks form no known layout");
    }
    const std::string middle = p + "middle_block.1.";
    if (!reader.has(middle + "proj_in.weight")) {
        reader.fail("has a denoising network without attention in its middle block, which "
                    "Dravelin does not run");
    }
    const int64_t midDepth =
        reader.count(middle + "transformer_blocks.", ".attn1.to_q.weight", kMaximumDepth);
    const bool linearProjection = reader.rank(middle + "proj_in.weight") == 2;
    const int64_t crossAttentionDim = reader.shape(
        middle + "transformer_blocks.0.attn2.to_k.weight", 2, kMaximumChannels)[1];

    nlohmann::json channels = nlohmann::json::array();
    nlohmann::json heads = nlohmann::json::array();
    nlohmann::json depths = nlohmann::json::array();
    nlohmann::json downTypes = nlohmann::json::array();
    std::vector<bool> attention;
    for (int64_t level = 0; level < levels; ++level) {
        const std::string block = p + "input_blocks." + std::to_string(1 + level * (perBlock + 1));
        const int64_t width = reader.shape(block + ".0.out_layers.3.weight", 4, kMaximumChannels)[0];
        const bool hasAttention = reader.has(block + ".1.proj_in.weight");
        // A level without transformers takes the middle block's depth, so
        // that the last level's entry (which the middle block reads) is right.
        const int64_t levelDepth =
            hasAttention
                ? reader.count(block + ".1.transformer_blocks.", ".attn1.to_q.weight", kMaximumDepth)
                : midDepth;
        if (hasAttention && xl && width % kXLHeadChannels != 0) {
            reader.fail("has an attention of " + std::to_string(width) +
                        " channels, which heads of 64 channels do not divide");
        }
        if (level == levels - 1 && levelDepth != midDepth) {
            reader.fail("has a middle block of another depth than its deepest level, which "
                        "no model of its kind has");
        }
        channels.push_back(width);
        attention.push_back(hasAttention);
        heads.push_back(xl ? std::max<int64_t>(1, width / kXLHeadChannels) : kSD1Heads);
        depths.push_back(std::max<int64_t>(1, levelDepth));
        downTypes.push_back(hasAttention ? "CrossAttnDownBlock2D" : "DownBlock2D");
    }
    nlohmann::json upTypes = nlohmann::json::array();
    UnetNameLayout names{perBlock, {}};
    for (int64_t block = 0; block < levels; ++block) {
        const bool hasAttention = attention[static_cast<size_t>(levels - 1 - block)];
        upTypes.push_back(hasAttention ? "CrossAttnUpBlock2D" : "UpBlock2D");
        names.upBlockAttention.push_back(hasAttention);
    }
    const Shape time = reader.shape(p + "time_embed.0.weight", 2, 4 * kMaximumChannels);
    if (time[1] != modelChannels || time[0] != 4 * modelChannels) {
        reader.fail("has a time embedding of shape " + describe(time) +
                    ", which no model of its kind has");
    }
    CheckpointNetwork network;
    network.kindName = "UNet2DConditionModel";
    network.prefix = p;
    network.config = {{"_class_name", "UNet2DConditionModel"},
                      {"act_fn", "silu"},
                      {"attention_head_dim", heads},
                      {"block_out_channels", channels},
                      {"center_input_sample", false},
                      {"cross_attention_dim", crossAttentionDim},
                      {"down_block_types", downTypes},
                      {"downsample_padding", 1},
                      {"flip_sin_to_cos", true},
                      {"freq_shift", 0},
                      {"in_channels", input[1]},
                      {"layers_per_block", perBlock},
                      {"mid_block_scale_factor", 1},
                      {"norm_eps", 1e-5},
                      {"norm_num_groups", 32},
                      {"out_channels", reader.shape(p + "out.2.weight", 4, kMaximumChannels)[0]},
                      {"sample_size", xl ? kXLLatentSide : kSD1LatentSide},
                      {"transformer_layers_per_block", depths},
                      {"up_block_types", upTypes},
                      {"use_linear_projection", linearProjection}};
    if (xl) {
        const Shape label = reader.shape(p + "label_emb.0.0.weight", 2, 16 * kMaximumChannels);
        const int64_t timeWidth = label[1] - pooledWidth;
        if (timeWidth <= 0 || timeWidth % timeIds != 0) {
            reader.fail("has a text-time embedding of width " + std::to_string(label[1]) +
                        ", which does not fit its pooled text width " +
                        std::to_string(pooledWidth));
        }
        network.config.update({{"addition_embed_type", "text_time"},
                               {"addition_embed_type_num_heads", 64},
                               {"addition_time_embed_dim", timeWidth / timeIds},
                               {"projection_class_embeddings_input_dim", label[1]}});
    }
    network.name = [names](const std::string& ours) { return unetCheckpointName(ours, names); };
    return network;
}

// The autoencoder under `prefix`, in the original names or in diffusers'.
CheckpointNetwork vae(const Reader& reader, const std::string& prefix, int64_t latentSide,
                      float scale) {
    const bool original = reader.hasPrefix(prefix + "decoder.up.") ||
                          reader.hasPrefix(prefix + "encoder.down.");
    const std::string down = original ? "encoder.down." : "encoder.down_blocks.";
    const std::string up = original ? "decoder.up." : "decoder.up_blocks.";
    const std::string resnets = original ? ".block." : ".resnets.";
    const bool hasDecoder = reader.has(prefix + "decoder.conv_in.weight");
    int64_t levels = 0;
    while (levels <= kMaximumLevels &&
           reader.hasPrefix(prefix + (hasDecoder ? up : down) + std::to_string(levels) + ".")) {
        ++levels;
    }
    if (levels < 1 || levels > kMaximumLevels) {
        reader.fail("has an autoencoder of " + std::to_string(levels) +
                    " levels, which no model of its kind has");
    }
    nlohmann::json channels = nlohmann::json::array();
    int64_t perBlock = 0;
    for (int64_t level = 0; level < levels; ++level) {
        // The decoder's diffusers blocks run from the deepest level.
        const int64_t block = hasDecoder && !original ? levels - 1 - level : level;
        const std::string at = prefix + (hasDecoder ? up : down) + std::to_string(block) + resnets;
        channels.push_back(reader.shape(at + "0.conv1.weight", 4, kMaximumChannels)[0]);
        perBlock = reader.count(at, ".conv1.weight", kMaximumLayersPerBlock + 1) -
                   (hasDecoder ? 1 : 0);
    }
    if (perBlock < 1) {
        reader.fail("has an autoencoder with no layers in a level");
    }
    int64_t latent = 0;
    int64_t inChannels = 3;
    int64_t outChannels = 3;
    if (hasDecoder) {
        latent = reader.shape(prefix + "decoder.conv_in.weight", 4, kMaximumChannels)[1];
        outChannels = reader.shape(prefix + "decoder.conv_out.weight", 4, kMaximumChannels)[0];
    } else {
        latent = reader.shape(prefix + "encoder.conv_out.weight", 4, kMaximumChannels)[0] / 2;
    }
    if (reader.has(prefix + "encoder.conv_in.weight")) {
        inChannels = reader.shape(prefix + "encoder.conv_in.weight", 4, kMaximumChannels)[1];
    }
    nlohmann::json downTypes = nlohmann::json::array();
    nlohmann::json upTypes = nlohmann::json::array();
    for (int64_t level = 0; level < levels; ++level) {
        downTypes.push_back("DownEncoderBlock2D");
        upTypes.push_back("UpDecoderBlock2D");
    }
    CheckpointNetwork network;
    network.kindName = "AutoencoderKL.decoder";
    network.prefix = prefix;
    network.config = {{"_class_name", "AutoencoderKL"},
                      {"act_fn", "silu"},
                      {"block_out_channels", channels},
                      {"down_block_types", downTypes},
                      {"in_channels", inChannels},
                      {"latent_channels", latent},
                      {"layers_per_block", perBlock},
                      {"norm_num_groups", 32},
                      {"out_channels", outChannels},
                      {"sample_size", latentSide << (levels - 1)},
                      {"scaling_factor", scale},
                      {"up_block_types", upTypes}};
    if (original) {
        network.name = [levels](const std::string& ours) { return vaeCheckpointName(ours, levels); };
    } else {
        network.name = [](const std::string& ours) {
            return std::optional<CheckpointTensorLink>(CheckpointTensorLink{ours});
        };
    }
    return network;
}

bool hasVaeAt(const Reader& reader, const std::string& prefix) {
    return reader.has(prefix + "decoder.conv_in.weight") ||
           reader.has(prefix + "encoder.conv_in.weight");
}

} // namespace

CheckpointLayout readCheckpointLayout(const SafetensorsFile& file, const std::string& where) {
    const Reader reader(file, where);
    CheckpointLayout layout;
    if (!reader.has(kUnet + "input_blocks.0.0.weight")) {
        // A VAE alone: the original names, with or without the checkpoint's
        // prefix, or diffusers' names.
        for (const std::string& prefix : {kVae, std::string()}) {
            if (hasVaeAt(reader, prefix)) {
                layout.kind = CheckpointKind::vae;
                layout.vae = vae(reader, prefix, kSD1LatentSide, kSD1LatentScale);
                return layout;
            }
        }
        if (reader.hasPrefix("lora_") || reader.hasPrefix("unet.") ||
            reader.hasPrefix("text_encoder.")) {
            reader.fail("is a LoRA file, not a model; add it as a LoRA instead");
        }
        reader.fail("holds no denoising network or autoencoder in the layout of a "
                    "single-file Stable Diffusion checkpoint");
    }
    if (reader.hasPrefix(kSD2Text)) {
        reader.fail("is an SD 2.x model (OpenCLIP ViT-H text encoder, v-prediction), which "
                    "Dravelin does not run");
    }
    const bool xl = reader.hasPrefix(kUnet + "label_emb.");
    const int64_t inChannels = reader.shape(kUnet + "input_blocks.0.0.weight", 4, kMaximumChannels)[1];
    const std::string family = xl ? "an SDXL" : "an SD 1.x";
    if (inChannels == 9) {
        reader.fail("is " + family + " inpainting model (9 input channels), which Dravelin "
                    "does not run yet");
    }
    if (inChannels != 4) {
        reader.fail("is " + family + " model with " + std::to_string(inChannels) +
                    " input channels, which Dravelin does not run");
    }
    int64_t pooledWidth = 0;
    int64_t timeIds = 0;
    if (xl) {
        if (reader.hasPrefix(kXLFirstText)) {
            if (!reader.hasPrefix(kXLBaseSecondText)) {
                reader.fail("is an SDXL model without its second text encoder "
                            "(conditioner.embedders.1), so it is incomplete");
            }
            layout.kind = CheckpointKind::sdxlBase;
            layout.textEncoder = clipText(reader, kXLFirstText);
            layout.textEncoder2 = openClipText(reader, kXLBaseSecondText);
            timeIds = 6;
        } else if (reader.hasPrefix(kXLRefinerText)) {
            layout.kind = CheckpointKind::sdxlRefiner;
            layout.textEncoder2 = openClipText(reader, kXLRefinerText);
            timeIds = 5;
        } else {
            reader.fail("is an SDXL model without its text encoders, so it is incomplete");
        }
        pooledWidth = layout.textEncoder2->config["projection_dim"].get<int64_t>();
    } else {
        if (!reader.hasPrefix(kSD1Text)) {
            reader.fail("is an SD 1.x model without its text encoder "
                        "(cond_stage_model.transformer), so it is incomplete");
        }
        layout.kind = CheckpointKind::sd1;
        layout.textEncoder = clipText(reader, kSD1Text);
    }
    layout.unet = unet(reader, xl, pooledWidth, timeIds);
    if (hasVaeAt(reader, kVae)) {
        layout.vae = xl ? vae(reader, kVae, kXLLatentSide, kXLLatentScale)
                        : vae(reader, kVae, kSD1LatentSide, kSD1LatentScale);
    }
    return layout;
}

} // namespace dravelin

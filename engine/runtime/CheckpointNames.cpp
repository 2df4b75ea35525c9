#include "runtime/CheckpointNames.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace dravelin {

namespace {

bool startsWith(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

// Reads "<number>." at the front of `rest`, consuming it.
std::optional<int64_t> takeIndex(std::string_view& rest) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc() || end == rest.data() || end == rest.data() + rest.size() ||
        *end != '.') {
        return std::nullopt;
    }
    rest.remove_prefix(static_cast<size_t>(end - rest.data()) + 1);
    return value;
}

// Replaces a leading module name by its other name; the rest is kept.
std::string renamed(std::string_view tail,
                    std::initializer_list<std::pair<std::string_view, std::string_view>> names) {
    for (const auto& [from, to] : names) {
        if (startsWith(tail, from) && tail.size() > from.size() && tail[from.size()] == '.') {
            return std::string(to) + std::string(tail.substr(from.size()));
        }
    }
    return std::string(tail);
}

std::string unetResnet(std::string_view tail) {
    return renamed(tail, {{"norm1", "in_layers.0"},
                          {"conv1", "in_layers.2"},
                          {"time_emb_proj", "emb_layers.1"},
                          {"norm2", "out_layers.0"},
                          {"conv2", "out_layers.3"},
                          {"conv_shortcut", "skip_connection"}});
}

std::string vaeResnet(std::string_view tail) {
    return renamed(tail, {{"conv_shortcut", "nin_shortcut"}});
}

std::string vaeAttention(std::string_view tail) {
    return renamed(tail, {{"group_norm", "norm"},
                          {"to_q", "q"},
                          {"to_k", "k"},
                          {"to_v", "v"},
                          {"to_out.0", "proj_out"},
                          {"query", "q"},
                          {"key", "k"},
                          {"value", "v"},
                          {"proj_attn", "proj_out"}});
}

CheckpointTensorLink whole(std::string name) {
    return {std::move(name)};
}

} // namespace

std::optional<CheckpointTensorLink> unetCheckpointName(const std::string& ours,
                                                       const UnetNameLayout& layout) {
    std::string_view rest = ours;
    const int64_t perBlock = layout.layersPerBlock;
    for (const auto& [from, to] :
         std::array<std::pair<std::string_view, std::string_view>, 7>{{
             {"conv_in.", "input_blocks.0.0."},
             {"time_embedding.linear_1.", "time_embed.0."},
             {"time_embedding.linear_2.", "time_embed.2."},
             {"add_embedding.linear_1.", "label_emb.0.0."},
             {"add_embedding.linear_2.", "label_emb.0.2."},
             {"conv_norm_out.", "out.0."},
             {"conv_out.", "out.2."},
         }}) {
        if (startsWith(rest, from)) {
            return whole(std::string(to) + std::string(rest.substr(from.size())));
        }
    }
    if (startsWith(rest, "mid_block.")) {
        rest.remove_prefix(10);
        const bool resnet = startsWith(rest, "resnets.");
        if (!resnet && !startsWith(rest, "attentions.")) {
            return std::nullopt;
        }
        rest.remove_prefix(resnet ? 8 : 11);
        const auto index = takeIndex(rest);
        if (!index || *index > (resnet ? 1 : 0)) {
            return std::nullopt;
        }
        if (resnet) {
            return whole("middle_block." + std::to_string(*index == 0 ? 0 : 2) + "." +
                         unetResnet(rest));
        }
        return whole("middle_block.1." + std::string(rest));
    }
    const bool down = startsWith(rest, "down_blocks.");
    if (!down && !startsWith(rest, "up_blocks.")) {
        return std::nullopt;
    }
    rest.remove_prefix(down ? 12 : 10);
    const auto block = takeIndex(rest);
    if (!block) {
        return std::nullopt;
    }
    // Down blocks hold `perBlock` resnets and a downsampler, one original
    // block each after the input convolution; up blocks one resnet more, the
    // upsampler riding in the last one.
    const int64_t width = perBlock + 1;
    const int64_t first = down ? 1 + *block * width : *block * width;
    const std::string outer = down ? "input_blocks." : "output_blocks.";
    if (startsWith(rest, "downsamplers.0.conv.") && down) {
        rest.remove_prefix(20);
        return whole(outer + std::to_string(first + perBlock) + ".0.op." + std::string(rest));
    }
    if (startsWith(rest, "upsamplers.0.conv.") && !down) {
        rest.remove_prefix(18);
        if (*block < 0 || static_cast<size_t>(*block) >= layout.upBlockAttention.size()) {
            return std::nullopt;
        }
        const int position = layout.upBlockAttention[static_cast<size_t>(*block)] ? 2 : 1;
        return whole(outer + std::to_string(first + perBlock) + "." + std::to_string(position) +
                     ".conv." + std::string(rest));
    }
    const bool resnet = startsWith(rest, "resnets.");
    if (!resnet && !startsWith(rest, "attentions.")) {
        return std::nullopt;
    }
    rest.remove_prefix(resnet ? 8 : 11);
    const auto layer = takeIndex(rest);
    if (!layer || *layer >= (down ? perBlock : perBlock + 1)) {
        return std::nullopt;
    }
    const std::string original = outer + std::to_string(first + *layer);
    return whole(resnet ? original + ".0." + unetResnet(rest)
                        : original + ".1." + std::string(rest));
}

std::optional<CheckpointTensorLink> vaeCheckpointName(const std::string& ours, int64_t levels) {
    std::string_view rest = ours;
    for (const char* same : {"quant_conv.", "post_quant_conv."}) {
        if (startsWith(rest, same)) {
            return whole(ours);
        }
    }
    const bool encoder = startsWith(rest, "encoder.");
    if (!encoder && !startsWith(rest, "decoder.")) {
        return std::nullopt;
    }
    const std::string side = encoder ? "encoder." : "decoder.";
    rest.remove_prefix(8);
    if (startsWith(rest, "conv_in.") || startsWith(rest, "conv_out.")) {
        return whole(ours);
    }
    if (startsWith(rest, "conv_norm_out.")) {
        return whole(side + "norm_out." + std::string(rest.substr(14)));
    }
    if (startsWith(rest, "mid_block.")) {
        rest.remove_prefix(10);
        if (startsWith(rest, "resnets.")) {
            rest.remove_prefix(8);
            const auto index = takeIndex(rest);
            if (!index || *index > 1) {
                return std::nullopt;
            }
            return whole(side + "mid.block_" + std::to_string(*index + 1) + "." + vaeResnet(rest));
        }
        if (startsWith(rest, "attentions.0.")) {
            return whole(side + "mid.attn_1." + vaeAttention(rest.substr(13)));
        }
        return std::nullopt;
    }
    const std::string_view blocks = encoder ? "down_blocks." : "up_blocks.";
    if (!startsWith(rest, blocks)) {
        return std::nullopt;
    }
    rest.remove_prefix(blocks.size());
    const auto block = takeIndex(rest);
    if (!block || *block >= levels) {
        return std::nullopt;
    }
    // The decoder's up blocks run from the deepest level; the original names
    // number them by level.
    const int64_t level = encoder ? *block : levels - 1 - *block;
    const std::string original = side + (encoder ? "down." : "up.") + std::to_string(level) + ".";
    if (startsWith(rest, "resnets.")) {
        rest.remove_prefix(8);
        const auto layer = takeIndex(rest);
        if (!layer) {
            return std::nullopt;
        }
        return whole(original + "block." + std::to_string(*layer) + "." + vaeResnet(rest));
    }
    if (encoder && startsWith(rest, "downsamplers.0.conv.")) {
        return whole(original + "downsample.conv." + std::string(rest.substr(20)));
    }
    if (!encoder && startsWith(rest, "upsamplers.0.conv.")) {
        return whole(original + "upsample.conv." + std::string(rest.substr(18)));
    }
    return std::nullopt;
}

std::optional<CheckpointTensorLink> openClipCheckpointName(const std::string& ours) {
    std::string_view rest = ours;
    if (ours == "text_projection.weight") {
        return CheckpointTensorLink{"text_projection", 0, 1, true};
    }
    if (!startsWith(rest, "text_model.")) {
        return std::nullopt;
    }
    rest.remove_prefix(11);
    if (rest == "embeddings.token_embedding.weight") {
        return whole("token_embedding.weight");
    }
    if (rest == "embeddings.position_embedding.weight") {
        return whole("positional_embedding");
    }
    if (startsWith(rest, "final_layer_norm.")) {
        return whole("ln_final." + std::string(rest.substr(17)));
    }
    if (!startsWith(rest, "encoder.layers.")) {
        return std::nullopt;
    }
    rest.remove_prefix(15);
    const auto layer = takeIndex(rest);
    if (!layer) {
        return std::nullopt;
    }
    const std::string block = "transformer.resblocks." + std::to_string(*layer) + ".";
    const std::array<std::string_view, 3> fused{"self_attn.q_proj.", "self_attn.k_proj.",
                                                "self_attn.v_proj."};
    for (int i = 0; i < 3; ++i) {
        if (startsWith(rest, fused[static_cast<size_t>(i)])) {
            const std::string_view what = rest.substr(fused[static_cast<size_t>(i)].size());
            if (what != "weight" && what != "bias") {
                return std::nullopt;
            }
            return CheckpointTensorLink{block + "attn.in_proj_" + std::string(what), i, 3, false};
        }
    }
    return whole(block + renamed(rest, {{"self_attn.out_proj", "attn.out_proj"},
                                        {"layer_norm1", "ln_1"},
                                        {"layer_norm2", "ln_2"},
                                        {"mlp.fc1", "mlp.c_fc"},
                                        {"mlp.fc2", "mlp.c_proj"}}));
}

} // namespace dravelin

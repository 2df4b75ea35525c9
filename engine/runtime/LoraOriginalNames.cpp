#include "runtime/LoraOriginalNames.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace dravelin {

namespace {

// Reads "N_" (or a final "N") from the front of `text`.
std::optional<int> takeIndex(std::string_view& text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value < 0) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    if (!text.empty()) {
        if (text.front() != '_') {
            return std::nullopt;
        }
        text.remove_prefix(1);
    }
    return value;
}

bool takePrefix(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

// The layers inside a ResNet block.
std::optional<std::string> resnetLayer(std::string_view rest) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kNames{{
        {"in_layers_0", "norm1"},
        {"in_layers_2", "conv1"},
        {"emb_layers_1", "time_emb_proj"},
        {"out_layers_0", "norm2"},
        {"out_layers_3", "conv2"},
        {"skip_connection", "conv_shortcut"},
    }};
    for (const auto& [original, ours] : kNames) {
        if (rest == original) {
            return std::string(ours);
        }
    }
    return std::nullopt;
}

struct Layout {
    int layersPerBlock = 0;
    std::vector<bool> upBlockHasAttention;
};

Layout layoutOf(const std::vector<WeightSpec>& weights) {
    Layout layout;
    for (const WeightSpec& spec : weights) {
        std::string_view name = spec.name;
        if (takePrefix(name, "down_blocks.0.resnets.")) {
            int index = 0;
            std::from_chars(name.data(), name.data() + name.size(), index);
            layout.layersPerBlock = std::max(layout.layersPerBlock, index + 1);
        } else if (takePrefix(name, "up_blocks.")) {
            int block = 0;
            const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), block);
            if (error == std::errc() && block >= 0 && block < 64) {
                if (layout.upBlockHasAttention.size() <= static_cast<size_t>(block)) {
                    layout.upBlockHasAttention.resize(static_cast<size_t>(block) + 1, false);
                }
                if (std::string_view(end, name.data() + name.size()).starts_with(".attentions.")) {
                    layout.upBlockHasAttention[static_cast<size_t>(block)] = true;
                }
            }
        }
    }
    return layout;
}

// "block_index_inner_innerIndex_rest", built by appending (GCC 12 warns
// wrongly about overlapping copies in chains of string additions).
std::string joined(std::string_view block, int index, std::string_view inner, int innerIndex,
                   std::string_view rest) {
    std::string text(block);
    for (const std::string& part : {std::to_string(index), std::string(inner),
                                    std::to_string(innerIndex), std::string(rest)}) {
        if (!part.empty()) {
            text.append("_").append(part);
        }
    }
    return text;
}

} // namespace

std::optional<std::string> loraLayerFromOriginalName(const std::string& layer,
                                                     const std::vector<WeightSpec>& weights) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kSingle{{
        {"time_embed_0", "time_embedding_linear_1"},
        {"time_embed_2", "time_embedding_linear_2"},
        {"label_emb_0_0", "add_embedding_linear_1"},
        {"label_emb_0_2", "add_embedding_linear_2"},
        {"input_blocks_0_0", "conv_in"},
        {"out_0", "conv_norm_out"},
        {"out_2", "conv_out"},
    }};
    for (const auto& [original, ours] : kSingle) {
        if (layer == original) {
            return std::string(ours);
        }
    }
    std::string_view rest = layer;
    const bool input = takePrefix(rest, "input_blocks_");
    const bool middle = !input && takePrefix(rest, "middle_block_");
    const bool output = !input && !middle && takePrefix(rest, "output_blocks_");
    if (!input && !middle && !output) {
        return std::nullopt;
    }
    const Layout layout = layoutOf(weights);
    const int width = layout.layersPerBlock + 1;
    if (layout.layersPerBlock == 0) {
        return std::nullopt;
    }
    if (middle) {
        const std::optional<int> inner = takeIndex(rest);
        if (inner == 1) {
            return rest.empty() ? std::nullopt
                                : std::optional<std::string>(
                                      std::string("mid_block_attentions_0_").append(rest));
        }
        const std::optional<std::string> resnet = resnetLayer(rest);
        if ((inner != 0 && inner != 2) || !resnet) {
            return std::nullopt;
        }
        return std::string("mid_block_resnets_")
            .append(std::to_string(*inner / 2))
            .append("_")
            .append(*resnet);
    }
    const std::optional<int> outer = takeIndex(rest);
    const std::optional<int> inner = takeIndex(rest);
    if (!outer || !inner || rest.empty()) {
        return std::nullopt;
    }
    if (input) {
        if (*outer == 0) {
            return std::nullopt;
        }
        const int block = (*outer - 1) / width;
        const int index = (*outer - 1) % width;
        if (index == layout.layersPerBlock) {
            return *inner == 0 && rest == "op"
                       ? std::optional<std::string>(
                             joined("down_blocks", block, "downsamplers", 0, "conv"))
                       : std::nullopt;
        }
        if (*inner == 0) {
            const std::optional<std::string> resnet = resnetLayer(rest);
            return resnet ? std::optional<std::string>(joined("down_blocks", block, "resnets", index, *resnet))
                          : std::nullopt;
        }
        return *inner == 1 ? std::optional<std::string>(joined("down_blocks", block, "attentions", index, rest))
                           : std::nullopt;
    }
    const int block = *outer / width;
    const int index = *outer % width;
    const bool attention = static_cast<size_t>(block) < layout.upBlockHasAttention.size() &&
                           layout.upBlockHasAttention[static_cast<size_t>(block)];
    if (*inner == 0) {
        const std::optional<std::string> resnet = resnetLayer(rest);
        return resnet ? std::optional<std::string>(joined("up_blocks", block, "resnets", index, *resnet))
                      : std::nullopt;
    }
    if ((*inner == 1 && !attention) || *inner == 2) {
        return rest == "conv" ? std::optional<std::string>(
                                    joined("up_blocks", block, "upsamplers", 0, "conv"))
                              : std::nullopt;
    }
    return *inner == 1 ? std::optional<std::string>(joined("up_blocks", block, "attentions", index, rest))
                       : std::nullopt;
}

} // namespace dravelin

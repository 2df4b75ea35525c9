#include "nn/blocks/AttentionBlock.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/layers/PixelTokens.h"

#include <stdexcept>
#include <string_view>
#include <utility>

namespace dravelin {

namespace {

AttentionWeightNames projectionNames(const WeightReader& weights, const std::string& prefix) {
    const auto pick = [&](const std::string& current, const std::string& older) {
        const std::string found = weights.firstPresent(
            {prefix + "." + current + ".weight", prefix + "." + older + ".weight"});
        return found.substr(0, found.size() - std::string_view(".weight").size());
    };
    return {pick("to_q", "query"), pick("to_k", "key"), pick("to_v", "value"),
            pick("to_out.0", "proj_attn")};
}

int64_t headsOf(const AttentionBlockSettings& settings) {
    if (settings.headDim < 1 || settings.channels % settings.headDim != 0) {
        throw std::invalid_argument("An attention of " + std::to_string(settings.channels) +
                                    " channels cannot have heads of " +
                                    std::to_string(settings.headDim) + ".");
    }
    return settings.channels / settings.headDim;
}

} // namespace

AttentionBlock::AttentionBlock(const WeightReader& weights, const std::string& prefix,
                               const AttentionBlockSettings& settings)
    : channels_(settings.channels), positions_(settings.height * settings.width),
      norm_(weights, prefix + ".group_norm", settings.channels, settings.groups, settings.epsilon),
      attention_(weights, projectionNames(weights, prefix),
                 {.dim = settings.channels, .heads = headsOf(settings), .length = positions_}) {}

void AttentionBlock::declare(WeightList& list, const std::string& prefix,
                             const AttentionBlockSettings& settings) {
    GroupNorm::declare(list, prefix + ".group_norm", settings.channels);
    // Projections, under today's names or the older ones.
    const int64_t c = settings.channels;
    for (const auto& [current, older] :
         {std::pair{"to_q", "query"}, std::pair{"to_k", "key"}, std::pair{"to_v", "value"},
          std::pair{"to_out.0", "proj_attn"}}) {
        const std::string now = prefix + "." + current;
        const std::string before = prefix + "." + older;
        list.push_back({now + ".weight", {c, c}, {before + ".weight"}});
        list.push_back({now + ".bias", {c}, {before + ".bias"}});
    }
}

void AttentionBlock::forward(FeatureMap& map) const {
    if (map.channels() != channels_ || map.height() * map.width() != positions_) {
        throw std::invalid_argument("An attention block built for " + std::to_string(positions_) +
                                    " pixels got a map of " +
                                    std::to_string(map.height() * map.width()) + ".");
    }
    const ChannelTransform normalize = norm_.transform(map, Activation::identity);
    AlignedBuffer tokens(static_cast<size_t>(positions_ * channels_));
    AlignedBuffer attended(static_cast<size_t>(positions_ * channels_));
    for (int64_t n = 0; n < map.batch(); ++n) {
        const Values pixels(tokens, attention_.inputType());
        PixelTokens::gather(map, n, normalize, pixels);
        attention_.forward(pixels, attended.data());
        PixelTokens::addInto(map, n, attended.data());
    }
}

} // namespace dravelin

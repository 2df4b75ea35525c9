#include "nn/blocks/Transformer2D.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/layers/PixelTokens.h"

#include <stdexcept>

namespace dravelin {

namespace {

constexpr float kNormEpsilon = 1e-6f;

Shape projectionShape(int64_t out, int64_t in, bool linear) {
    return linear ? Shape{out, in} : Shape{out, in, 1, 1};
}

// A projection stored as a linear layer's [out, in] weight or a 1×1
// convolution's [out, in, 1, 1]: the same numbers either way.
Linear projection(const WeightReader& weights, const std::string& prefix, int64_t in, int64_t out,
                  bool linear, int64_t rows) {
    const ShapedArray weight = weights.read(prefix + ".weight", projectionShape(out, in, linear));
    const ShapedArray bias = weights.read(prefix + ".bias", {out});
    return Linear(ShapedArray(std::vector<float>(weight.data(), weight.data() + weight.count()),
                              Shape{out, in}),
                  bias, rows, LinearOptions{Activation::identity, false, weights.precision()});
}

TransformerBlockSettings blockSettings(const Transformer2DSettings& settings) {
    return {settings.channels, settings.heads, settings.height * settings.width,
            settings.contextDim, settings.contextLength};
}

} // namespace

Transformer2D::Transformer2D(const WeightReader& weights, const std::string& prefix,
                             const Transformer2DSettings& settings)
    : channels_(settings.channels), positions_(settings.height * settings.width),
      norm_(weights, prefix + ".norm", settings.channels, settings.groups, kNormEpsilon),
      projectIn_(projection(weights, prefix + ".proj_in", settings.channels, settings.channels,
                            settings.linearProjection, positions_)),
      projectOut_(projection(weights, prefix + ".proj_out", settings.channels, settings.channels,
                             settings.linearProjection, positions_)) {
    blocks_.reserve(static_cast<size_t>(settings.layers));
    for (int64_t i = 0; i < settings.layers; ++i) {
        blocks_.emplace_back(weights, prefix + ".transformer_blocks." + std::to_string(i),
                             blockSettings(settings));
    }
}

void Transformer2D::declare(WeightList& list, const std::string& prefix,
                            const Transformer2DSettings& settings) {
    const int64_t channels = settings.channels;
    GroupNorm::declare(list, prefix + ".norm", channels);
    for (const char* name : {".proj_in", ".proj_out"}) {
        list.push_back({prefix + name + ".weight",
                        projectionShape(channels, channels, settings.linearProjection)});
        list.push_back({prefix + name + ".bias", {channels}});
    }
    for (int64_t i = 0; i < settings.layers; ++i) {
        BasicTransformerBlock::declare(list, prefix + ".transformer_blocks." + std::to_string(i),
                                       blockSettings(settings));
    }
}

void Transformer2D::forward(FeatureMap& map, const std::vector<Matrix>& contexts) const {
    if (map.channels() != channels_ || map.height() * map.width() != positions_ ||
        static_cast<int64_t>(contexts.size()) != map.batch()) {
        throw std::invalid_argument("A transformer built for " + std::to_string(positions_) +
                                    " pixels of " + std::to_string(channels_) +
                                    " channels got another map.");
    }
    const ChannelTransform normalize = norm_.transform(map, Activation::identity);
    AlignedBuffer gathered(static_cast<size_t>(positions_ * channels_));
    AlignedBuffer tokens(static_cast<size_t>(positions_ * channels_));
    for (int64_t n = 0; n < map.batch(); ++n) {
        // The normalised pixels in the type the input projection reads; the
        // same buffer takes the output projection's float32 result later.
        const Values pixels(gathered, projectIn_.inputType());
        PixelTokens::gather(map, n, normalize, pixels);
        projectIn_.forward(pixels, tokens.data());
        const Matrix& context = contexts[static_cast<size_t>(n)];
        for (const BasicTransformerBlock& block : blocks_) {
            const CrossAttention& cross = block.crossAttention();
            Matrix keysValues(cross.contextLength(), 2 * cross.dim());
            cross.projectContext(context.data(), keysValues.data());
            block.forward(tokens.data(), keysValues.data());
        }
        projectOut_.forward(tokens.data(), gathered.data());
        PixelTokens::addInto(map, n, gathered.data());
    }
}

} // namespace dravelin

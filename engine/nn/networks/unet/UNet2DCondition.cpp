#include "nn/networks/unet/UNet2DCondition.h"

#include "nn/compute/ComputeContext.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>

namespace dravelin {

namespace {

// What one block holds, worked out from the configuration: the declaring
// and the building walk the same plan.
struct BlockPlan {
    std::string prefix;
    std::vector<ResnetBlockSettings> resnets;
    // None, or one per ResNet block.
    std::vector<Transformer2DSettings> transformers;
    // The resampling convolution's channels, 0 for none.
    int64_t resampleChannels = 0;
};

struct NetworkPlan {
    std::vector<BlockPlan> down;
    BlockPlan mid;
    std::vector<BlockPlan> up;
};

NetworkPlan plan(const UNetConfig& config, const UNetShape& shape) {
    const auto resnet = [&](int64_t in, int64_t out) {
        return ResnetBlockSettings{
            in, out, config.groups, config.epsilon, config.activation, config.timeEmbeddingDim()};
    };
    const auto transformer = [&](int64_t channels, int64_t heads, int64_t layers, int64_t scale) {
        return Transformer2DSettings{channels,
                                     heads,
                                     layers,
                                     config.groups,
                                     shape.height / scale,
                                     shape.width / scale,
                                     config.crossAttentionDim,
                                     shape.contextLength,
                                     config.linearProjection};
    };
    const int64_t blocks = config.blocks();
    const std::vector<int64_t>& widths = config.blockOutChannels;
    NetworkPlan result;
    int64_t scale = 1;
    int64_t output = widths.front();
    for (int64_t i = 0; i < blocks; ++i) {
        const size_t at = static_cast<size_t>(i);
        BlockPlan block{"down_blocks." + std::to_string(i), {}, {}, 0};
        const int64_t input = output;
        output = widths[at];
        for (int64_t j = 0; j < config.layersPerBlock; ++j) {
            block.resnets.push_back(resnet(j == 0 ? input : output, output));
            if (config.downCrossAttention[at]) {
                block.transformers.push_back(
                    transformer(output, config.heads[at], config.transformerLayers[at], scale));
            }
        }
        if (i + 1 < blocks) {
            block.resampleChannels = output;
            scale *= 2;
        }
        result.down.push_back(std::move(block));
    }
    const int64_t top = widths.back();
    result.mid = {"mid_block",
                  {resnet(top, top), resnet(top, top)},
                  {transformer(top, config.heads.back(), config.transformerLayers.back(), scale)},
                  0};
    output = top;
    for (int64_t i = 0; i < blocks; ++i) {
        // The up path mirrors the down path: its per-block lists reversed.
        const size_t mirrored = static_cast<size_t>(blocks - 1 - i);
        const size_t below = static_cast<size_t>(std::max<int64_t>(blocks - 2 - i, 0));
        BlockPlan block{"up_blocks." + std::to_string(i), {}, {}, 0};
        const int64_t previous = output;
        output = widths[mirrored];
        const int64_t input = widths[below];
        for (int64_t j = 0; j <= config.layersPerBlock; ++j) {
            const int64_t skip = j == config.layersPerBlock ? input : output;
            block.resnets.push_back(resnet((j == 0 ? previous : output) + skip, output));
            if (config.upCrossAttention[static_cast<size_t>(i)]) {
                block.transformers.push_back(transformer(
                    output, config.heads[mirrored], config.transformerLayers[mirrored], scale));
            }
        }
        if (i + 1 < blocks) {
            block.resampleChannels = output;
            scale /= 2;
        }
        result.up.push_back(std::move(block));
    }
    return result;
}

std::string resnetName(const BlockPlan& block, size_t index) {
    return block.prefix + ".resnets." + std::to_string(index);
}

std::string transformerName(const BlockPlan& block, size_t index) {
    return block.prefix + ".attentions." + std::to_string(index);
}

std::string resampleName(const BlockPlan& block, bool down) {
    return block.prefix + (down ? ".downsamplers.0.conv" : ".upsamplers.0.conv");
}

void declareBlock(WeightList& list, const BlockPlan& block, bool down) {
    for (size_t j = 0; j < block.resnets.size(); ++j) {
        ResnetBlock2D::declare(list, resnetName(block, j), block.resnets[j]);
    }
    for (size_t j = 0; j < block.transformers.size(); ++j) {
        Transformer2D::declare(list, transformerName(block, j), block.transformers[j]);
    }
    if (block.resampleChannels > 0) {
        Convolution::declare(list, resampleName(block, down), block.resampleChannels,
                             block.resampleChannels, 3);
    }
}

TimestepEmbeddingSettings timeSettings(const UNetConfig& config, int64_t batch) {
    return {config.blockOutChannels.front(), config.timeEmbeddingDim(), config.flipSinToCos,
            config.freqShift, batch};
}

// Declaring needs no sizes; any will do.
constexpr UNetShape kAnyShape{1, 64, 64, 77};

} // namespace

WeightList UNet2DCondition::weights(const UNetConfig& config) {
    WeightList list;
    TimestepEmbedding::declare(list, "time_embedding", timeSettings(config, 1));
    if (config.hasTextTimeEmbedding()) {
        TextTimeEmbedding::declare(list, "add_embedding", config.additionInputWidth,
                                   config.timeEmbeddingDim());
    }
    const int64_t first = config.blockOutChannels.front();
    Convolution::declare(list, "conv_in", config.inChannels, first, 3);
    const NetworkPlan layout = plan(config, kAnyShape);
    for (const BlockPlan& block : layout.down) {
        declareBlock(list, block, true);
    }
    declareBlock(list, layout.mid, true);
    for (const BlockPlan& block : layout.up) {
        declareBlock(list, block, false);
    }
    GroupNorm::declare(list, "conv_norm_out", first);
    Convolution::declare(list, "conv_out", first, config.outChannels, 3);
    return list;
}

UNet2DCondition::UNet2DCondition(const UNetConfig& config, const WeightReader& weights,
                                 const UNetShape& shape)
    : config_(config), shape_(shape),
      time_(weights, "time_embedding", timeSettings(config, shape.batch)),
      convIn_(weights, "conv_in", config.inChannels, config.blockOutChannels.front(), 3),
      normOut_(weights, "conv_norm_out", config.blockOutChannels.front(), config.groups,
               config.epsilon),
      convOut_(weights, "conv_out", config.blockOutChannels.front(), config.outChannels, 3) {
    const int64_t scale = int64_t{1} << (config.blocks() - 1);
    if (shape.height % scale != 0 || shape.width % scale != 0) {
        throw std::invalid_argument("The denoising network takes samples whose sides are "
                                    "multiples of " +
                                    std::to_string(scale) + ".");
    }
    if (config.hasTextTimeEmbedding()) {
        const int64_t textWidth =
            config.additionInputWidth - shape.timeIds * config.additionTimeEmbedDim;
        if (shape.timeIds < 1 || textWidth < 1) {
            throw std::invalid_argument("The denoising network's \"time_ids\" cannot hold " +
                                        std::to_string(shape.timeIds) +
                                        " values per image: with \"addition_time_embed_dim\" " +
                                        std::to_string(config.additionTimeEmbedDim) +
                                        " that leaves no room for the pooled text embedding.");
        }
        addition_.emplace(weights, "add_embedding",
                          TextTimeEmbeddingSettings{textWidth, shape.timeIds,
                                                    config.additionTimeEmbedDim,
                                                    config.timeEmbeddingDim(), config.flipSinToCos,
                                                    config.freqShift, shape.batch});
    }
    const auto build = [&](const BlockPlan& plan, bool down) {
        Block block;
        for (size_t j = 0; j < plan.resnets.size(); ++j) {
            block.resnets.emplace_back(weights, resnetName(plan, j), plan.resnets[j]);
        }
        for (size_t j = 0; j < plan.transformers.size(); ++j) {
            block.transformers.emplace_back(weights, transformerName(plan, j),
                                            plan.transformers[j]);
        }
        if (plan.resampleChannels > 0) {
            block.resample.emplace(weights, resampleName(plan, down), plan.resampleChannels,
                                   plan.resampleChannels, 3, down ? 2 : 1);
        }
        return block;
    };
    const NetworkPlan layout = plan(config, shape);
    for (const BlockPlan& block : layout.down) {
        down_.push_back(build(block, true));
    }
    mid_ = build(layout.mid, true);
    for (const BlockPlan& block : layout.up) {
        up_.push_back(build(block, false));
    }
}

FeatureMap UNet2DCondition::denoise(FeatureMap sample, const float* timesteps,
                                    const std::vector<Matrix>& contexts,
                                    const std::vector<float>* addition) const {
    if (config_.centerInputSample) {
        for (int64_t n = 0; n < sample.batch(); ++n) {
            for (int64_t y = 0; y < sample.height(); ++y) {
                float* row = sample.pixel(n, y, 0);
                for (int64_t i = 0; i < sample.width() * sample.channels(); ++i) {
                    row[i] = 2.0f * row[i] - 1.0f;
                }
            }
        }
    }
    // Every ResNet block adds a projection of activation(embedding).
    std::vector<float> embedding = time_.forward(timesteps);
    if (addition != nullptr) {
        for (size_t i = 0; i < embedding.size(); ++i) {
            embedding[i] += (*addition)[i];
        }
    }
    applyActivation(config_.activation, embedding.data(), static_cast<int64_t>(embedding.size()));
    const float* time = embedding.data();

    FeatureMap hidden = convIn_.forward({sample});
    sample = FeatureMap();
    std::vector<FeatureMap> skips;
    skips.push_back(hidden.clone());
    for (const Block& block : down_) {
        for (size_t j = 0; j < block.resnets.size(); ++j) {
            hidden = block.resnets[j].forward(std::move(hidden), time);
            if (!block.transformers.empty()) {
                block.transformers[j].forward(hidden, contexts);
            }
            skips.push_back(hidden.clone());
        }
        if (block.resample) {
            hidden = block.resample->forward({hidden});
            skips.push_back(hidden.clone());
        }
    }
    hidden = mid_.resnets[0].forward(std::move(hidden), time);
    mid_.transformers[0].forward(hidden, contexts);
    hidden = mid_.resnets[1].forward(std::move(hidden), time);
    for (const Block& block : up_) {
        for (size_t j = 0; j < block.resnets.size(); ++j) {
            FeatureMap joined = FeatureMap::concatenateChannels(hidden, skips.back());
            skips.pop_back();
            hidden = FeatureMap();
            hidden = block.resnets[j].forward(std::move(joined), time);
            if (!block.transformers.empty()) {
                block.transformers[j].forward(hidden, contexts);
            }
        }
        if (block.resample) {
            hidden = block.resample->forward({hidden, nullptr, true});
        }
    }
    const ChannelTransform normalize = normOut_.transform(hidden, config_.activation);
    return convOut_.forward({hidden, &normalize});
}

FeatureValueDictionary UNet2DCondition::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& sample = inputs.featureValue("sample");
    const ShapedArray& timestep = inputs.featureValue("timestep");
    const ShapedArray& states = inputs.featureValue("encoder_hidden_states");
    const Shape sampleShape{shape_.batch, config_.inChannels, shape_.height, shape_.width};
    const Shape timestepShape{shape_.batch};
    const Shape statesShape{shape_.batch, config_.crossAttentionDim, 1, shape_.contextLength};
    std::vector<std::tuple<std::string, const ShapedArray*, Shape>> checks{
        {"sample", &sample, sampleShape},
        {"timestep", &timestep, timestepShape},
        {"encoder_hidden_states", &states, statesShape}};
    const ShapedArray* textEmbeds = nullptr;
    const ShapedArray* timeIds = nullptr;
    if (addition_) {
        textEmbeds = &inputs.featureValue("text_embeds");
        timeIds = &inputs.featureValue("time_ids");
        const int64_t textWidth =
            config_.additionInputWidth - shape_.timeIds * config_.additionTimeEmbedDim;
        checks.emplace_back("text_embeds", textEmbeds, Shape{shape_.batch, textWidth});
        // The pipelines may hand the rows over flattened.
        checks.emplace_back("time_ids", timeIds,
                            timeIds->rank() == 1 ? Shape{shape_.batch * shape_.timeIds}
                                                 : Shape{shape_.batch, shape_.timeIds});
    }
    for (const auto& [name, array, expected] : checks) {
        if (array->shape() != expected) {
            throw std::invalid_argument("The denoising network takes \"" + name + "\" of shape " +
                                        describe(expected) + ", not " + describe(array->shape()) +
                                        ".");
        }
    }
    // [batch, channels, 1, positions] → one positions × channels matrix per
    // image.
    const int64_t width = config_.crossAttentionDim;
    const int64_t positions = shape_.contextLength;
    std::vector<Matrix> contexts;
    for (int64_t n = 0; n < shape_.batch; ++n) {
        Matrix context(positions, width);
        const float* source = states.data() + n * width * positions;
        for (int64_t c = 0; c < width; ++c) {
            for (int64_t p = 0; p < positions; ++p) {
                context.row(p)[c] = source[c * positions + p];
            }
        }
        contexts.push_back(std::move(context));
    }
    FeatureValueDictionary outputs;
    std::optional<std::vector<float>> added;
    if (addition_) {
        added = addition_->forward(textEmbeds->data(), timeIds->data());
    }
    outputs.emplace("noise_pred", denoise(FeatureMap::fromPlanar(sample), timestep.data(), contexts,
                                          added ? &*added : nullptr)
                                      .toPlanar());
    return outputs;
}

} // namespace dravelin

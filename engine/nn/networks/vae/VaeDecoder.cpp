#include "nn/networks/vae/VaeDecoder.h"

#include "nn/compute/ComputeContext.h"
#include "nn/networks/vae/VaeBlocks.h"

#include <stdexcept>

namespace dravelin {

namespace {

int64_t topChannels(const VaeConfig& config) {
    return config.blockOutChannels.back();
}

} // namespace

WeightList VaeDecoder::weights(const VaeConfig& config) {
    WeightList list;
    const int64_t latent = config.latentChannels;
    if (config.postQuantConv) {
        Convolution::declare(list, "post_quant_conv", latent, latent, 1);
    }
    int64_t channels = topChannels(config);
    Convolution::declare(list, "decoder.conv_in", latent, channels, 3);
    MidBlock2D::declare(list, "decoder.mid_block", vaeResnet(config, channels, channels),
                        vaeMidAttention(config, 1, 1));
    const size_t blocks = config.blockOutChannels.size();
    for (size_t i = 0; i < blocks; ++i) {
        const std::string prefix = "decoder.up_blocks." + std::to_string(i);
        const int64_t out = config.blockOutChannels[blocks - 1 - i];
        for (int64_t j = 0; j <= config.layersPerBlock; ++j) {
            ResnetBlock2D::declare(list, prefix + ".resnets." + std::to_string(j),
                                   vaeResnet(config, j == 0 ? channels : out, out));
        }
        if (i + 1 < blocks) {
            Convolution::declare(list, prefix + ".upsamplers.0.conv", out, out, 3);
        }
        channels = out;
    }
    GroupNorm::declare(list, "decoder.conv_norm_out", channels);
    Convolution::declare(list, "decoder.conv_out", channels, config.outChannels, 3);
    return list;
}

VaeDecoder::VaeDecoder(const VaeConfig& config, const WeightReader& weights, int64_t latentHeight,
                       int64_t latentWidth)
    : config_(config), latentHeight_(latentHeight), latentWidth_(latentWidth),
      convIn_(weights, "decoder.conv_in", config.latentChannels, topChannels(config), 3),
      mid_(weights, "decoder.mid_block",
           vaeResnet(config, topChannels(config), topChannels(config)),
           vaeMidAttention(config, latentHeight, latentWidth)),
      normOut_(weights, "decoder.conv_norm_out", config.blockOutChannels.front(), config.groups,
               kVaeEpsilon),
      convOut_(weights, "decoder.conv_out", config.blockOutChannels.front(), config.outChannels,
               3) {
    if (config.postQuantConv) {
        postQuant_.emplace(weights, "post_quant_conv", config.latentChannels, config.latentChannels,
                           1);
    }
    int64_t channels = topChannels(config);
    const size_t blocks = config.blockOutChannels.size();
    for (size_t i = 0; i < blocks; ++i) {
        const std::string prefix = "decoder.up_blocks." + std::to_string(i);
        const int64_t out = config.blockOutChannels[blocks - 1 - i];
        UpBlock block;
        for (int64_t j = 0; j <= config.layersPerBlock; ++j) {
            block.resnets.emplace_back(weights, prefix + ".resnets." + std::to_string(j),
                                       vaeResnet(config, j == 0 ? channels : out, out));
        }
        if (i + 1 < blocks) {
            block.upsampler.emplace(weights, prefix + ".upsamplers.0.conv", out, out, 3);
        }
        up_.push_back(std::move(block));
        channels = out;
    }
}

FeatureMap VaeDecoder::decode(FeatureMap latent) const {
    return decode(std::move(latent), VaeBands{});
}

FeatureMap VaeDecoder::decode(FeatureMap latent, const VaeBands& bands) const {
    if (bands.rows > 0 && latent.batch() != 1) {
        throw std::invalid_argument("The decoder decodes in bands one image at a time.");
    }
    const int64_t imageRows = latent.height() * (int64_t{1} << (up_.size() - 1));
    FeatureMap hidden = std::move(latent);
    if (postQuant_) {
        hidden = postQuant_->forward({hidden});
    }
    hidden = convIn_.forward({hidden});
    hidden = mid_.forward(std::move(hidden));
    for (const UpBlock& block : up_) {
        for (const ResnetBlock2D& resnet : block.resnets) {
            hidden = bands.run(resnet, std::move(hidden), imageRows);
        }
        if (block.upsampler) {
            hidden = block.upsampler->forward({hidden, nullptr, true});
        }
    }
    const ChannelTransform normalize = normOut_.transform(hidden, Activation::silu);
    return convOut_.forward({hidden, &normalize});
}

FeatureValueDictionary VaeDecoder::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& z = inputs.featureValue("z");
    const Shape expected{z.rank() == 4 ? z.shape()[0] : 1, config_.latentChannels, latentHeight_,
                         latentWidth_};
    if (z.shape() != expected) {
        throw std::invalid_argument("The decoder takes \"z\" of shape " + describe(expected) +
                                    ", not " + describe(z.shape()) + ".");
    }
    const int64_t scale = int64_t{1} << (up_.size() - 1);
    const VaeBands bands =
        VaeBands::forImage(latentHeight_ * scale, latentWidth_ * scale, "DRAVELIN_DECODE");
    FeatureValueDictionary outputs;
    if (bands.rows == 0) {
        outputs.emplace("image", decode(FeatureMap::fromPlanar(z)).toPlanar());
        return outputs;
    }
    outputs.emplace("image", VaeBands::eachImage(z, [&](const ShapedArray& one) {
                        return decode(FeatureMap::fromPlanar(one), bands).toPlanar();
                    }));
    return outputs;
}

} // namespace dravelin

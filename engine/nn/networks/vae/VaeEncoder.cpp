#include "nn/networks/vae/VaeEncoder.h"

#include "nn/compute/ComputeContext.h"
#include "nn/networks/vae/VaeBlocks.h"

#include <stdexcept>

namespace dravelin {

namespace {

// diffusers pads the right and bottom by one before its stride-2 downsampling
// convolution with no padding of its own.
constexpr ConvolutionPadding kDownsamplePadding{0, 1};

// Size after a stride-2 downsampling step.
int64_t downsampled(int64_t size) {
    return (size + kDownsamplePadding.before + kDownsamplePadding.after - 3) / 2 + 1;
}

} // namespace

WeightList VaeEncoder::weights(const VaeConfig& config) {
    WeightList list;
    int64_t channels = config.blockOutChannels.front();
    Convolution::declare(list, "encoder.conv_in", config.inChannels, channels, 3);
    for (size_t i = 0; i < config.blockOutChannels.size(); ++i) {
        const std::string prefix = "encoder.down_blocks." + std::to_string(i);
        const int64_t out = config.blockOutChannels[i];
        for (int64_t j = 0; j < config.layersPerBlock; ++j) {
            ResnetBlock2D::declare(list, prefix + ".resnets." + std::to_string(j),
                                   vaeResnet(config, j == 0 ? channels : out, out));
        }
        if (i + 1 < config.blockOutChannels.size()) {
            Convolution::declare(list, prefix + ".downsamplers.0.conv", out, out, 3);
        }
        channels = out;
    }
    MidBlock2D::declare(list, "encoder.mid_block", vaeResnet(config, channels, channels),
                        vaeMidAttention(config, 1, 1));
    GroupNorm::declare(list, "encoder.conv_norm_out", channels);
    const int64_t moments = 2 * config.latentChannels;
    Convolution::declare(list, "encoder.conv_out", channels, moments, 3);
    if (config.quantConv) {
        Convolution::declare(list, "quant_conv", moments, moments, 1);
    }
    return list;
}

VaeEncoder::VaeEncoder(const VaeConfig& config, const WeightReader& weights, int64_t imageHeight,
                       int64_t imageWidth)
    : config_(config), imageHeight_(imageHeight), imageWidth_(imageWidth),
      convIn_(weights, "encoder.conv_in", config.inChannels, config.blockOutChannels.front(), 3) {
    int64_t channels = config.blockOutChannels.front();
    int64_t height = imageHeight;
    int64_t width = imageWidth;
    for (size_t i = 0; i < config.blockOutChannels.size(); ++i) {
        const std::string prefix = "encoder.down_blocks." + std::to_string(i);
        const int64_t out = config.blockOutChannels[i];
        DownBlock block;
        for (int64_t j = 0; j < config.layersPerBlock; ++j) {
            block.resnets.emplace_back(weights, prefix + ".resnets." + std::to_string(j),
                                       vaeResnet(config, j == 0 ? channels : out, out));
        }
        if (i + 1 < config.blockOutChannels.size()) {
            block.downsampler.emplace(weights, prefix + ".downsamplers.0.conv", out, out, 3, 2,
                                      kDownsamplePadding);
            height = downsampled(height);
            width = downsampled(width);
            if (height < 1 || width < 1) {
                throw std::invalid_argument("An image of " + std::to_string(imageHeight) + "×" +
                                            std::to_string(imageWidth) +
                                            " pixels is too small for this encoder.");
            }
        }
        down_.push_back(std::move(block));
        channels = out;
    }
    mid_.emplace(weights, "encoder.mid_block", vaeResnet(config, channels, channels),
                 vaeMidAttention(config, height, width));
    normOut_.emplace(weights, "encoder.conv_norm_out", channels, config.groups, kVaeEpsilon);
    const int64_t moments = 2 * config.latentChannels;
    convOut_.emplace(weights, "encoder.conv_out", channels, moments, 3);
    if (config.quantConv) {
        quant_.emplace(weights, "quant_conv", moments, moments, 1);
    }
}

FeatureMap VaeEncoder::encode(FeatureMap image) const {
    return encode(std::move(image), VaeBands{});
}

FeatureMap VaeEncoder::encode(FeatureMap image, const VaeBands& bands) const {
    if (bands.rows > 0 && image.batch() != 1) {
        throw std::invalid_argument("The encoder encodes in bands one image at a time.");
    }
    const int64_t imageRows = image.height();
    FeatureMap hidden = convIn_.forward({image});
    image = FeatureMap();
    for (const DownBlock& block : down_) {
        for (const ResnetBlock2D& resnet : block.resnets) {
            hidden = bands.run(resnet, std::move(hidden), imageRows);
        }
        if (block.downsampler) {
            hidden = block.downsampler->forward({hidden});
        }
    }
    hidden = mid_->forward(std::move(hidden));
    const ChannelTransform normalize = normOut_->transform(hidden, Activation::silu);
    hidden = convOut_->forward({hidden, &normalize});
    if (quant_) {
        hidden = quant_->forward({hidden});
    }
    return hidden;
}

FeatureValueDictionary VaeEncoder::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& x = inputs.featureValue("x");
    const Shape expected{x.rank() == 4 ? x.shape()[0] : 1, config_.inChannels, imageHeight_,
                         imageWidth_};
    if (x.shape() != expected) {
        throw std::invalid_argument("The encoder takes \"x\" of shape " + describe(expected) +
                                    ", not " + describe(x.shape()) + ".");
    }
    const VaeBands bands = VaeBands::forImage(imageHeight_, imageWidth_, "DRAVELIN_ENCODE");
    FeatureValueDictionary outputs;
    if (bands.rows == 0) {
        outputs.emplace("moments", encode(FeatureMap::fromPlanar(x)).toPlanar());
        return outputs;
    }
    outputs.emplace("moments", VaeBands::eachImage(x, [&](const ShapedArray& one) {
                        return encode(FeatureMap::fromPlanar(one), bands).toPlanar();
                    }));
    return outputs;
}

} // namespace dravelin

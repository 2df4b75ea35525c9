#include "pipeline/PreviewDecoder.h"

#include "pipeline/ImageConversion.h"
#include "runtime/FeatureProvider.h"
#include "runtime/RuntimeErrors.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <stdexcept>

namespace dravelin {

namespace {

// Latent channels c0..c3 to R, G, B in [−1, 1]: the published least-squares
// fit for SD 1.x's scaled latents.
using Projection = std::array<std::array<float, 4>, 3>;
constexpr Projection kSD1LatentToRGB{{
    {0.298f, 0.187f, -0.158f, -0.184f},
    {0.207f, 0.286f, 0.189f, -0.271f},
    {0.208f, 0.173f, 0.264f, -0.473f},
}};
// The same fit for SDXL's latents (scaled by 0.13025).
constexpr Projection kSDXLLatentToRGB{{
    {0.3920f, -0.2634f, 0.0568f, -0.3112f},
    {0.4054f, -0.0196f, 0.1687f, -0.2359f},
    {0.4549f, 0.0653f, -0.0755f, -0.2076f},
}};

float configuredScalingFactor(const std::filesystem::path& bundle) {
    std::ifstream file(bundle / "config.json");
    const nlohmann::json config = nlohmann::json::parse(file, nullptr, false);
    if (config.is_object() && config.contains("scaling_factor") &&
        config["scaling_factor"].is_number() && config["scaling_factor"].get<double>() > 0.0) {
        return config["scaling_factor"].get<float>();
    }
    return 1.0f;
}

void requireLatentShape(const ShapedArray& latent) {
    if (latent.rank() != 4 || latent.shape()[0] != 1 || latent.shape()[1] != 4 ||
        latent.shape()[2] < 1 || latent.shape()[3] < 1) {
        throw std::invalid_argument("A preview needs latents shaped [1, 4, height, width], not " +
                                    describe(latent.shape()) + ".");
    }
}

// Where output pixel i samples the input when enlarging `scale` times
// (pixel centres aligned, edges clamped): between `low` and `low + 1`
// with weight `fraction` on the latter.
struct Tap {
    int64_t low;
    int64_t high;
    float fraction;
};

std::vector<Tap> enlargingTaps(int64_t inputSize, int scale) {
    std::vector<Tap> taps(static_cast<size_t>(inputSize * scale));
    for (size_t i = 0; i < taps.size(); ++i) {
        const float source =
            std::max(0.0f, (static_cast<float>(i) + 0.5f) / static_cast<float>(scale) - 0.5f);
        const auto low = std::min(static_cast<int64_t>(source), inputSize - 1);
        taps[i] = {low, std::min(low + 1, inputSize - 1), source - static_cast<float>(low)};
    }
    return taps;
}

} // namespace

PreviewDecoder::PreviewDecoder(const std::filesystem::path& bundle,
                               const ModelConfiguration& configuration, LatentSpace space)
    : space_(space) {
    std::error_code error;
    if (std::filesystem::is_directory(bundle, error)) {
        model_ = std::make_shared<ManagedMLModel>(bundle, configuration);
        scalingFactor_ = configuredScalingFactor(bundle);
    }
}

void PreviewDecoder::loadResources() {
    if (model_ && !*unusable_) {
        try {
            model_->loadResources();
        } catch (const ModelLoadError&) {
            // Previews fall back to the projection; generation goes on.
            *unusable_ = true;
        }
    }
}

void PreviewDecoder::unloadResources() noexcept {
    if (model_) {
        model_->unloadResources();
    }
}

Image PreviewDecoder::project(const ShapedArray& latent, int upscale, LatentSpace space) {
    requireLatentShape(latent);
    const Projection& latentToRGB = space == LatentSpace::sdxl ? kSDXLLatentToRGB : kSD1LatentToRGB;
    const int64_t height = latent.shape()[2];
    const int64_t width = latent.shape()[3];
    const int64_t plane = height * width;
    const float* channels = latent.data();

    // Colours at latent resolution, interleaved, already mapped to [0, 255].
    std::vector<float> small(static_cast<size_t>(plane * 3));
    for (int64_t p = 0; p < plane; ++p) {
        for (size_t colour = 0; colour < 3; ++colour) {
            float value = 0.0f;
            for (size_t c = 0; c < 4; ++c) {
                value += latentToRGB[colour][c] * channels[static_cast<int64_t>(c) * plane + p];
            }
            small[static_cast<size_t>(p * 3) + colour] = (value + 1.0f) * 127.5f;
        }
    }

    // Bilinear enlargement, rows first, then between pairs of those rows.
    const std::vector<Tap> across = enlargingTaps(width, upscale);
    const std::vector<Tap> down = enlargingTaps(height, upscale);
    const auto outWidth = static_cast<int64_t>(across.size());
    std::vector<float> wide(static_cast<size_t>(height * outWidth * 3));
    for (int64_t y = 0; y < height; ++y) {
        const float* row = small.data() + y * width * 3;
        float* target = wide.data() + y * outWidth * 3;
        for (int64_t x = 0; x < outWidth; ++x) {
            const Tap& tap = across[static_cast<size_t>(x)];
            for (int64_t colour = 0; colour < 3; ++colour) {
                const float a = row[tap.low * 3 + colour];
                const float b = row[tap.high * 3 + colour];
                target[x * 3 + colour] = a + (b - a) * tap.fraction;
            }
        }
    }
    std::vector<uint8_t> pixels(static_cast<size_t>(down.size()) * across.size() * 3);
    const int64_t rowFloats = outWidth * 3;
    for (size_t y = 0; y < down.size(); ++y) {
        const float* upper = wide.data() + down[y].low * rowFloats;
        const float* lower = wide.data() + down[y].high * rowFloats;
        const float fraction = down[y].fraction;
        uint8_t* target = pixels.data() + static_cast<int64_t>(y) * rowFloats;
        for (int64_t i = 0; i < rowFloats; ++i) {
            const float value = upper[i] + (lower[i] - upper[i]) * fraction;
            // Written so that a value that is not a number becomes 0.
            target[i] =
                static_cast<uint8_t>((value > 0.0f ? std::min(value, 255.0f) : 0.0f) + 0.5f);
        }
    }
    return Image(static_cast<int>(outWidth), static_cast<int>(down.size()), 3, AlphaKind::none,
                 std::move(pixels));
}

std::vector<Image> PreviewDecoder::decodeWithTinyAutoencoder(std::span<const ShapedArray> latents) {
    std::vector<FeatureProvider> inputs;
    for (const ShapedArray& latent : latents) {
        ShapedArray scaled(latent.shape());
        const float* in = latent.data();
        float* out = scaled.data();
        for (int64_t i = 0; i < latent.count(); ++i) {
            out[i] = in[i] / scalingFactor_;
        }
        inputs.emplace_back(FeatureValueDictionary{{"z", std::move(scaled)}});
    }
    const BatchProvider batch(std::move(inputs));
    const std::vector<FeatureProvider> results =
        model_->perform([&](Model& model) { return model.predictions(batch); });
    std::vector<Image> images;
    for (const FeatureProvider& result : results) {
        images.push_back(imageFromShapedArray(result.featureValue("image")));
    }
    return images;
}

std::vector<Image> PreviewDecoder::decode(std::span<const ShapedArray> latents) {
    for (const ShapedArray& latent : latents) {
        requireLatentShape(latent);
    }
    if (model_ && !*unusable_) {
        try {
            return decodeWithTinyAutoencoder(latents);
        } catch (const ModelLoadError&) {
            // A bundle that does not load, or does not fit these latents
            // (another image size), is given up on; the projection still
            // works. Other failures (latents that are not numbers) pass on.
            *unusable_ = true;
        } catch (const PredictionError&) {
            *unusable_ = true;
        }
    }
    std::vector<Image> images;
    for (const ShapedArray& latent : latents) {
        images.push_back(project(latent, kUpscale, space_));
    }
    return images;
}

} // namespace dravelin

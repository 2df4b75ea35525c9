// Times one live preview at 512 × 512 (64 × 64 latents), both ways the
// pipeline makes one: the tiny autoencoder's decoder (a model directory's
// PreviewDecoder.model, or madebyollin/taesd's shapes with random weights)
// and the linear latent-to-RGB projection.
//   dravelin-bench-preview [--model DIR] [--runs N]

#include "pipeline/PreviewDecoder.h"
#include "runtime/BundleWriter.h"
#include "runtime/NetworkRegistry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// madebyollin/taesd's decoder with weights scaled by their fan-in.
std::filesystem::path writeRandomTaesd(const std::filesystem::path& directory) {
    const nlohmann::json config{{"_class_name", "AutoencoderTiny"},
                                {"act_fn", "relu"},
                                {"decoder_block_out_channels", {64, 64, 64, 64}},
                                {"encoder_block_out_channels", {64, 64, 64, 64}},
                                {"num_decoder_blocks", {3, 3, 3, 1}},
                                {"num_encoder_blocks", {1, 3, 3, 3}},
                                {"scaling_factor", 1.0}};
    std::mt19937 random(1);
    std::vector<TensorToWrite> tensors;
    for (const WeightSpec& spec :
         NetworkRegistry::shared().find("AutoencoderTiny.decoder")->expectedWeights(config)) {
        ShapedArray values(spec.shape);
        const float scale =
            spec.shape.size() > 1
                ? std::sqrt(3.0f / static_cast<float>(values.count() / spec.shape[0]))
                : 0.0f;
        std::uniform_real_distribution<float> uniform(-scale, scale);
        for (float& value : values.values()) {
            value = uniform(random);
        }
        tensors.push_back(TensorToWrite::fromFloats(spec.name, values));
    }
    const auto bundle = directory / "PreviewDecoder.model";
    writeBundle(bundle, config, tensors);
    return bundle;
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path model;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--model") {
            model = argv[i + 1];
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    std::filesystem::path bundle = model / "PreviewDecoder.model";
    std::filesystem::path scratch;
    if (model.empty() || !std::filesystem::exists(bundle)) {
        scratch = std::filesystem::temp_directory_path() /
                  ("dravelin-preview-bench-" + std::to_string(::getpid()));
        bundle = writeRandomTaesd(scratch);
    }

    std::mt19937 random(2);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    ShapedArray latent(Shape{1, 4, 64, 64});
    for (float& value : latent.values()) {
        value = normal(random);
    }
    const std::vector<ShapedArray> latents{latent};

    std::vector<double> projection;
    for (int i = 0; i < std::max(runs, 20); ++i) {
        const auto start = Clock::now();
        const Image image = PreviewDecoder::project(latent, PreviewDecoder::kUpscale);
        projection.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (image.width() != 512) {
            std::fprintf(stderr, "unexpected projection size\n");
            return 1;
        }
    }
    std::printf("projection to 512x512: median %.2f ms of %zu\n", median(projection) * 1e3,
                projection.size());

    PreviewDecoder decoder(bundle, {});
    auto start = Clock::now();
    decoder.loadResources();
    std::printf("tiny autoencoder load: %.3f s\n",
                std::chrono::duration<double>(Clock::now() - start).count());
    std::vector<double> tiny;
    for (int i = 0; i < runs + 1; ++i) {
        start = Clock::now();
        const std::vector<Image> images = decoder.decode(latents);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (i > 0) { // the first run warms up oneDNN
            tiny.push_back(seconds);
        }
        if (images.size() != 1 || images[0].width() != 512) {
            std::fprintf(stderr, "the tiny autoencoder did not decode a 512x512 image\n");
            return 1;
        }
    }
    // 3×3 convolutions of 64 channels: 9 at 64², 10 at 128², 10 at 256², 4
    // at 512², plus the thin first and last ones.
    const double flops =
        2.0 * 9 * 64 * 64 *
            (9.0 * 64 * 64 + 10.0 * 128 * 128 + 10.0 * 256 * 256 + 4.0 * 512 * 512) +
        2.0 * 9 * 64 * (4.0 * 64 * 64 + 3.0 * 512 * 512);
    const double seconds = median(tiny);
    std::printf("tiny autoencoder decode to 512x512: median %.3f s of %zu (%.0f GFLOP, %.1f "
                "GFLOP/s)\n",
                seconds, tiny.size(), flops / 1e9, flops / seconds / 1e9);
    if (!scratch.empty()) {
        std::filesystem::remove_all(scratch);
    }
    return 0;
}

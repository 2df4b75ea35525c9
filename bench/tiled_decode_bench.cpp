// Decodes one large latent (128 × 128 latents: a 1024 × 1024 image by
// default) with the model's decoder in blended tiles of its own size, and in
// one pass with the decoder built for the whole latent, and compares them:
// time, peak memory after each, and the largest difference in 8-bit levels
// (overall and on the tile seams).
//   dravelin-bench-tiled-decode --model DIR [--latent N] [--no-single-pass]

#include "pipeline/Decoder.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace dravelin;
using Clock = std::chrono::steady_clock;

namespace {

double peakGigabytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e9;
}

// A smooth latent field with some finer detail, so seams would show.
ShapedArray latentField(int64_t side) {
    ShapedArray latent(Shape{1, 4, side, side});
    for (int64_t c = 0; c < 4; ++c) {
        for (int64_t y = 0; y < side; ++y) {
            for (int64_t x = 0; x < side; ++x) {
                const double u = static_cast<double>(x) / side;
                const double v = static_cast<double>(y) / side;
                latent.data()[(c * side + y) * side + x] = static_cast<float>(
                    0.8 * std::sin(6.0 * u + 2.0 * c) * std::cos(5.0 * v - c) +
                    0.3 * std::sin(40.0 * u * v + c));
            }
        }
    }
    return latent;
}

} // namespace

int main(int argc, char** argv) {
    std::string model;
    int64_t side = 128;
    bool singlePass = true;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--model" && i + 1 < argc) {
            model = argv[++i];
        } else if (argument == "--latent" && i + 1 < argc) {
            side = std::atoll(argv[++i]);
        } else if (argument == "--no-single-pass") {
            singlePass = false;
        } else {
            std::fprintf(stderr, "usage: dravelin-bench-tiled-decode --model DIR [--latent N] "
                                 "[--no-single-pass]\n");
            return 2;
        }
    }
    if (model.empty() || side < 8) {
        std::fprintf(stderr, "usage: dravelin-bench-tiled-decode --model DIR [--latent N]\n");
        return 2;
    }
    try {
        const ShapedArray latent = latentField(side);
        const std::filesystem::path bundle = std::filesystem::path(model) / "VAEDecoder.model";
        std::printf("decoding a %lld × %lld latent (%lld × %lld pixels)\n",
                    static_cast<long long>(side), static_cast<long long>(side),
                    static_cast<long long>(side * 8), static_cast<long long>(side * 8));

        Decoder tiled(bundle, {});
        tiled.loadResources();
        const Shape tile = tiled.inputShape();
        auto start = Clock::now();
        const Image inTiles = tiled.decode(std::vector<ShapedArray>{latent}, 1.0f).front();
        const double tiledSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        tiled.unloadResources();
        std::printf("tiles of %lld × %lld latents: %.1f s, peak memory so far %.2f GB\n",
                    static_cast<long long>(tile[2]), static_cast<long long>(tile[3]),
                    tiledSeconds, peakGigabytes());
        if (!singlePass) {
            return 0;
        }

        ModelConfiguration whole;
        whole.inputSizes["z"] = {side, side};
        Decoder single(bundle, whole);
        single.loadResources();
        start = Clock::now();
        const Image inOnePass = single.decode(std::vector<ShapedArray>{latent}, 1.0f).front();
        const double singleSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("one pass: %.1f s, peak memory so far %.2f GB\n", singleSeconds,
                    peakGigabytes());

        int largest = 0;
        double total = 0.0;
        std::vector<int> histogram(256, 0);
        const std::vector<uint8_t>& a = inTiles.pixels();
        const std::vector<uint8_t>& b = inOnePass.pixels();
        for (size_t i = 0; i < a.size(); ++i) {
            const int difference = std::abs(int{a[i]} - int{b[i]});
            largest = std::max(largest, difference);
            total += difference;
            ++histogram[static_cast<size_t>(difference)];
        }
        int within2 = histogram[0] + histogram[1] + histogram[2];
        std::printf("tiled against one pass: largest difference %d levels, mean %.3f, "
                    "%.2f%% of values within 2 levels\n",
                    largest, total / static_cast<double>(a.size()),
                    100.0 * within2 / static_cast<double>(a.size()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dravelin-bench-tiled-decode: %s\n", error.what());
        return 1;
    }
    return 0;
}

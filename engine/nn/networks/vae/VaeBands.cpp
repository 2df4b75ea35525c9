#include "nn/networks/vae/VaeBands.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace dravelin {

int64_t VaeBands::bandRows(int64_t height, int64_t width) {
    constexpr int64_t kBandPixels = 64 * 1024;
    if (height * width <= kWholeUpTo || width < 1) {
        return 0;
    }
    return std::max<int64_t>(8, kBandPixels / width);
}

VaeBands VaeBands::forImage(int64_t height, int64_t width, const char* override) {
    VaeBands bands{bandRows(height, width), kWholeUpTo};
    if (const char* choice = std::getenv(override)) {
        if (std::string_view(choice) == "whole") {
            bands.rows = 0;
        } else if (std::string_view(choice) == "bands" && bands.rows == 0) {
            bands = {std::max<int64_t>(8, height / 4), 0};
        }
    }
    return bands;
}

FeatureMap VaeBands::run(const ResnetBlock2D& resnet, FeatureMap hidden,
                         int64_t imageHeight) const {
    // A map at a lower resolution takes proportionally fewer rows per band.
    const int64_t mapRows = rows * hidden.height() / imageHeight;
    const bool banded = rows > 0 && mapRows < hidden.height() &&
                        hidden.height() * hidden.width() > wholeUpTo;
    return banded ? resnet.forwardInBands(hidden, std::max<int64_t>(1, mapRows))
                  : resnet.forward(std::move(hidden));
}

ShapedArray VaeBands::eachImage(const ShapedArray& batch,
                                const std::function<ShapedArray(const ShapedArray&)>& one) {
    Shape single = batch.shape();
    const int64_t images = single[0];
    single[0] = 1;
    const int64_t perImage = batch.count() / images;
    ShapedArray result;
    for (int64_t n = 0; n < images; ++n) {
        ShapedArray input(single);
        std::copy_n(batch.data() + n * perImage, perImage, input.data());
        const ShapedArray output = one(input);
        if (n == 0) {
            Shape shape = output.shape();
            shape[0] = images;
            result = ShapedArray(shape);
        }
        std::copy_n(output.data(), output.count(), result.data() + n * output.count());
    }
    return result;
}

} // namespace dravelin

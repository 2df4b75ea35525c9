#include "pipeline/ImageSize.h"

#include "runtime/FeatureNames.h"

#include <stdexcept>

namespace dravelin {

void checkImageSide(const std::string& what, int64_t side) {
    if (side < kSmallestImageSide || side > kLargestImageSide || side % kLatentCell != 0) {
        throw std::invalid_argument("The " + what + " must be a multiple of " +
                                    std::to_string(kLatentCell) + " from " +
                                    std::to_string(kSmallestImageSide) + " to " +
                                    std::to_string(kLargestImageSide) + " pixels, not " +
                                    std::to_string(side) + ".");
    }
}

ModelConfiguration sizedForImages(ModelConfiguration configuration, int64_t width, int64_t height) {
    checkImageSide("width", width);
    checkImageSide("height", height);
    const std::pair latent{height / kLatentCell, width / kLatentCell};
    const std::pair image{height, width};
    configuration.inputSizes[feature::sample] = latent;
    configuration.inputSizes["z"] = latent;
    configuration.inputSizes["x"] = image;
    configuration.inputSizes[feature::controlNetCondition] = image;
    return configuration;
}

} // namespace dravelin

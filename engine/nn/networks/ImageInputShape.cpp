#include "nn/networks/ImageInputShape.h"

#include <stdexcept>

namespace dravelin {

Shape imageInputShape(const ModelDescription& description, const std::string& input,
                      int64_t channels, int64_t maximumSide) {
    constexpr int64_t kMaximumBatch = 64;
    const std::optional<FeatureDescription> found = description.input(input);
    if (!found || found->shape.size() != 4 || found->shape[1] != channels || found->shape[0] < 1 ||
        found->shape[2] < 1 || found->shape[3] < 1) {
        throw std::invalid_argument("The input \"" + input + "\" must be shaped [batch, " +
                                    std::to_string(channels) + ", height, width].");
    }
    if (found->shape[0] > kMaximumBatch || found->shape[2] > maximumSide ||
        found->shape[3] > maximumSide) {
        throw std::invalid_argument("The input \"" + input + "\" is shaped " +
                                    describe(found->shape) + "; its batch can be at most " +
                                    std::to_string(kMaximumBatch) + " and its sides at most " +
                                    std::to_string(maximumSide) + ".");
    }
    return found->shape;
}

} // namespace dravelin

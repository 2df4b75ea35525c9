#include "nn/layers/TokenEmbedding.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

TokenEmbedding::TokenEmbedding(ShapedArray tokens, ShapedArray positions)
    : tokens_(std::move(tokens)), positions_(std::move(positions)) {
    if (tokens_.rank() != 2 || positions_.rank() != 2 ||
        tokens_.shape()[1] != positions_.shape()[1]) {
        throw std::invalid_argument("A token embedding takes a token table and a position table "
                                    "of the same width, not " +
                                    describe(tokens_.shape()) + " and " +
                                    describe(positions_.shape()) + ".");
    }
}

void TokenEmbedding::forward(const float* ids, int64_t length, const float* givenRows,
                             float* output, const char* inputName) const {
    if (length > positions_.shape()[0]) {
        throw std::invalid_argument(std::string("The input \"") + inputName + "\" holds " +
                                    std::to_string(length) + " tokens; at most " +
                                    std::to_string(positions_.shape()[0]) + " have a position.");
    }
    const int64_t width = this->width();
    for (int64_t t = 0; t < length; ++t) {
        const float id = ids[t];
        const bool given = givenRows != nullptr && id == -1.0f;
        if (!given &&
            (!(id >= 0.0f && id < static_cast<float>(vocabulary())) || std::floor(id) != id)) {
            throw std::invalid_argument(std::string("The input \"") + inputName + "\" holds " +
                                        std::to_string(id) +
                                        ", which is not a token id of this vocabulary (0 to " +
                                        std::to_string(vocabulary() - 1) + ").");
        }
        const float* token =
            given ? givenRows + t * width : tokens_.data() + static_cast<int64_t>(id) * width;
        const float* position = positions_.data() + t * width;
        float* row = output + t * width;
        for (int64_t i = 0; i < width; ++i) {
            row[i] = token[i] + position[i];
        }
    }
}

} // namespace dravelin

#include "core/Shape.h"

#include <limits>
#include <stdexcept>

namespace dravelin {

int64_t elementCount(const Shape& shape) {
    int64_t count = 1;
    for (int64_t dimension : shape) {
        if (dimension < 0) {
            throw std::invalid_argument("Shape " + describe(shape) + " has a negative dimension.");
        }
    }
    for (int64_t dimension : shape) {
        if (dimension == 0) {
            return 0;
        }
        if (count > std::numeric_limits<int64_t>::max() / dimension) {
            throw std::overflow_error("Shape " + describe(shape) +
                                      " has more elements than can be counted.");
        }
        count *= dimension;
    }
    return count;
}

std::string describe(const Shape& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

} // namespace dravelin

#include "core/ImageSizeLimit.h"

#include "core/ImageFileError.h"

#include <string>

namespace dravelin {

void checkImageSize(uint64_t width, uint64_t height, std::string_view description) {
    const std::string where(description);
    if (width == 0 || height == 0) {
        throw ImageFileError(where + " has no pixels (" + std::to_string(width) + " × " +
                             std::to_string(height) + ").");
    }
    // Either side alone past the cap also keeps the product below 2^64.
    if (width > maximumImagePixels || height > maximumImagePixels ||
        width * height > maximumImagePixels) {
        throw ImageFileError(where + " is " + std::to_string(width) + " × " +
                             std::to_string(height) + " pixels; images up to " +
                             std::to_string(maximumImagePixels / 1'000'000) +
                             " megapixels are read.");
    }
}

} // namespace dravelin

#pragma once

#include <stdexcept>

namespace dravelin {

// An image file that cannot be read: missing, not an image, damaged, or
// larger than images are read. The message is a full sentence naming the file.
class ImageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace dravelin

// Image files as a user drops or names them: input is the file's bytes, read
// as the tools and the window read a PNG (size bounded before decoding).
#include "core/ImageFileError.h"
#include "core/PngReading.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dravelin;
    try {
        readPngContents(std::string_view(reinterpret_cast<const char*>(data), size), "The image");
    } catch (const ImageFileError&) {
    }
    return 0;
}

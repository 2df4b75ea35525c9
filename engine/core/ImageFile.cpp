#include "core/ImageFile.h"

#include "core/BoundedFile.h"
#include "core/ImageFileError.h"
#include "core/PngReading.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace dravelin {

ImageFileFormat imageFileFormat(std::string_view bytes) {
    const auto startsWith = [&](std::string_view prefix) {
        return bytes.substr(0, prefix.size()) == prefix;
    };
    if (startsWith("\x89PNG\r\n\x1a\n")) {
        return ImageFileFormat::png;
    }
    if (startsWith("\xff\xd8\xff")) {
        return ImageFileFormat::jpeg;
    }
    if (startsWith("RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WEBP") {
        return ImageFileFormat::webp;
    }
    if (startsWith("GIF87a") || startsWith("GIF89a")) {
        return ImageFileFormat::gif;
    }
    if (startsWith("BM")) {
        return ImageFileFormat::bmp;
    }
    if (startsWith(std::string_view("II*\0", 4)) || startsWith(std::string_view("MM\0*", 4))) {
        return ImageFileFormat::tiff;
    }
    return ImageFileFormat::unknown;
}

const char* imageFileFormatName(ImageFileFormat format) {
    switch (format) {
    case ImageFileFormat::png:
        return "a PNG";
    case ImageFileFormat::jpeg:
        return "a JPEG";
    case ImageFileFormat::webp:
        return "a WebP";
    case ImageFileFormat::gif:
        return "a GIF";
    case ImageFileFormat::bmp:
        return "a BMP";
    case ImageFileFormat::tiff:
        return "a TIFF";
    case ImageFileFormat::unknown:
        break;
    }
    return "an unknown";
}

ImageFileFormat imageFileFormat(const std::filesystem::path& path, std::string_view description) {
    int fd = -1;
    try {
        fd = openRegularFile(path, description);
    } catch (const BoundedFileError& error) {
        throw ImageFileError(error.what());
    }
    std::string start(12, '\0');
    size_t used = 0;
    while (used < start.size()) {
        const ssize_t got = ::read(fd, start.data() + used, start.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        used += static_cast<size_t>(got);
    }
    ::close(fd);
    start.resize(used);
    return imageFileFormat(start);
}

Image readImageFile(const std::filesystem::path& path) {
    const std::string description = "The image \"" + path.string() + "\"";
    const ImageFileFormat format = imageFileFormat(path, description);
    if (format == ImageFileFormat::png) {
        return readPng(path);
    }
    if (format == ImageFileFormat::unknown) {
        throw ImageFileError(description + " is not an image file this program reads; save it "
                                           "as PNG.");
    }
    throw ImageFileError(description + " is " + imageFileFormatName(format) +
                         " image; only PNG images are read here.");
}

} // namespace dravelin

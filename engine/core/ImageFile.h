#pragma once

#include "core/Image.h"

#include <filesystem>
#include <string_view>

namespace dravelin {

// Image file formats told apart by their first bytes.
enum class ImageFileFormat { png, jpeg, webp, gif, bmp, tiff, unknown };

// The format the bytes at the start of a file announce (8 bytes suffice).
ImageFileFormat imageFileFormat(std::string_view firstBytes);

// The format of a file, from its first bytes: a file that is not a regular
// one is refused first (a named pipe is never waited on). `description`
// starts the messages. Throws ImageFileError.
ImageFileFormat imageFileFormat(const std::filesystem::path& path, std::string_view description);

// "a JPEG", "a WebP" …, for messages.
const char* imageFileFormatName(ImageFileFormat format);

// Reads an image file the engine decodes itself (PNG), bounded as readPng is.
// Any other format is refused with its name ("… is a JPEG image; only PNG
// images are read here."). Throws ImageFileError.
Image readImageFile(const std::filesystem::path& path);

} // namespace dravelin

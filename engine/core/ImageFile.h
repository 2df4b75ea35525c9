#pragma once

#include "core/Image.h"

#include <filesystem>
#include <string_view>

namespace dravelin {

// Image file formats told apart by their first bytes.
enum class ImageFileFormat { png, jpeg, webp, gif, bmp, tiff, unknown };

// The format the bytes at the start of a file announce (8 bytes suffice).
ImageFileFormat imageFileFormat(std::string_view firstBytes);

// "a JPEG", "a WebP" …, for messages.
const char* imageFileFormatName(ImageFileFormat format);

// Reads an image file the engine decodes itself (PNG), bounded as readPng is.
// Any other format is refused with its name ("… is a JPEG image; only PNG
// images are read here."). Throws ImageFileError.
Image readImageFile(const std::filesystem::path& path);

} // namespace dravelin

#pragma once

#include "core/Image.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dravelin {

// Writes an image as an 8-bit PNG with optional text chunks (keyword, text).
// The file appears whole or not at all: it is written beside its destination
// and renamed into place. Throws std::runtime_error naming the file.
void writePng(const std::filesystem::path& path, const Image& image,
              const std::vector<std::pair<std::string, std::string>>& text = {});

// Reads an 8-bit RGB or RGBA PNG (other layouts are converted); throws
// std::runtime_error naming the file when it cannot be read.
Image readPng(const std::filesystem::path& path);

// The text chunk (tEXt, zTXt or iTXt) called `keyword` among the chunks
// before the pixels, absent when there is none. Throws std::runtime_error
// naming the file when it is not a readable PNG.
std::optional<std::string> readPngText(const std::filesystem::path& path,
                                       const std::string& keyword);

} // namespace dravelin

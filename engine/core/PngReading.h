#pragma once

#include "core/Image.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravelin {

// A PNG file's pixels and its text chunks (keyword, text; tEXt, zTXt and
// iTXt alike, in file order), e.g. the "parameters" a generation wrote.
struct PngContents {
    Image image;
    std::vector<std::pair<std::string, std::string>> text;
};

// Reads a PNG of any colour type and depth as 8-bit RGB, or RGBA when it has
// transparency. The header's size is checked against maximumImagePixels before
// any pixel memory is taken, decoding stops at that size, and compressed text
// chunks inflate to at most a few megabytes. Throws ImageFileError with a
// sentence naming the file and the reason (libpng's, for a damaged file).
PngContents readPngContents(const std::filesystem::path& path);
Image readPng(const std::filesystem::path& path);

// The same from bytes in memory; `description` starts every message, as in
// "The dropped image".
PngContents readPngContents(std::string_view bytes, std::string_view description);

// The first text chunk called `keyword`, absent when there is none. Reads the
// file as readPngContents does and throws ImageFileError the same way.
std::optional<std::string> readPngText(const std::filesystem::path& path,
                                       std::string_view keyword);

} // namespace dravelin

#include "cli/PngFile.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace dravelin {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// libpng reports errors by longjmp, so this part holds no C++ objects that a
// jump could skip.
bool encodePng(FILE* file, const Image& image, png_text* chunks, int chunkCount) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    const int colourType = image.channels() == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width()),
                 static_cast<png_uint_32>(image.height()), 8, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (chunkCount > 0) {
        png_set_text(png, info, chunks, chunkCount);
    }
    png_write_info(png, info);
    const uint8_t* pixels = image.pixels().data();
    const size_t stride = static_cast<size_t>(image.width()) * image.channels();
    for (int y = 0; y < image.height(); ++y) {
        png_write_row(png, pixels + static_cast<size_t>(y) * stride);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Reads the chunks before the pixels and copies the first text chunk called
// `keyword`; false when libpng gives up on the file.
bool readTextChunk(FILE* file, const std::string& keyword, std::string* text, bool* found) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_textp chunks = nullptr;
    int count = 0;
    png_get_text(png, info, &chunks, &count);
    for (int i = 0; i < count && !*found; ++i) {
        if (keyword == chunks[i].key) {
            const size_t length = chunks[i].compression >= PNG_ITXT_COMPRESSION_NONE
                                      ? chunks[i].itxt_length
                                      : chunks[i].text_length;
            text->assign(chunks[i].text, length);
            *found = true;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

} // namespace

std::optional<std::string> readPngText(const std::filesystem::path& path,
                                       const std::string& keyword) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw std::runtime_error("Cannot open the PNG file \"" + path.string() + "\".");
    }
    std::string text;
    bool found = false;
    if (!readTextChunk(file.get(), keyword, &text, &found)) {
        throw std::runtime_error("Cannot read the PNG file \"" + path.string() +
                                 "\": it is not a PNG or is damaged.");
    }
    return found ? std::optional<std::string>(std::move(text)) : std::nullopt;
}

void writePng(const std::filesystem::path& path, const Image& image,
              const std::vector<std::pair<std::string, std::string>>& text) {
    const std::filesystem::path temporary = path.string() + ".partial";
    File file(std::fopen(temporary.c_str(), "wb"));
    if (!file) {
        throw std::runtime_error("Cannot write \"" + path.string() +
                                 "\": the folder is missing or not writable.");
    }
    std::vector<png_text> chunks(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // Plain ASCII goes in a tEXt chunk, which every tool reads; anything
        // else in an international (UTF-8) chunk.
        const bool ascii = std::all_of(text[i].second.begin(), text[i].second.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        chunks[i].compression = ascii ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<char*>(text[i].first.c_str());
        chunks[i].text = const_cast<char*>(text[i].second.c_str());
        chunks[i].text_length = ascii ? text[i].second.size() : 0;
        chunks[i].itxt_length = ascii ? 0 : text[i].second.size();
        chunks[i].lang = nullptr;
        chunks[i].lang_key = nullptr;
    }
    const bool failed =
        !encodePng(file.get(), image, chunks.data(), static_cast<int>(chunks.size()));
    const bool closed = std::fclose(file.release()) == 0;
    std::error_code error;
    if (failed || !closed) {
        std::filesystem::remove(temporary, error);
        throw std::runtime_error("Cannot write \"" + path.string() + "\"; is the disk full?");
    }
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        throw std::runtime_error("Cannot move \"" + path.string() + "\" into place.");
    }
}

Image readPng(const std::filesystem::path& path) {
    png_image reader{};
    reader.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&reader, path.c_str())) {
        throw std::runtime_error("Cannot read the PNG file \"" + path.string() + "\".");
    }
    const bool alpha = (reader.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    reader.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(reader));
    if (!png_image_finish_read(&reader, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&reader);
        throw std::runtime_error("Cannot read the PNG file \"" + path.string() + "\".");
    }
    return Image(static_cast<int>(reader.width), static_cast<int>(reader.height), alpha ? 4 : 3,
                 alpha ? AlphaKind::straight : AlphaKind::none, std::move(pixels));
}

} // namespace dravelin

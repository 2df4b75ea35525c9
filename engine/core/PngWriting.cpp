#include "core/PngWriting.h"

#include <png.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

// Why a file cannot be created, in words a user can act on.
std::string creationFailure(const std::filesystem::path& path, int error) {
    const std::string name = "\"" + path.string() + "\"";
    switch (error) {
    case ENAMETOOLONG:
        return "Cannot write " + name +
               ": the name is too long for the file system (at most 255 bytes for a file "
               "name and 4096 for a whole path).";
    case ENOENT:
    case ENOTDIR:
        return "Cannot write " + name + ": the folder does not exist.";
    case EACCES:
    case EPERM:
        return "Cannot write " + name + ": the folder is not writable.";
    case EROFS:
        return "Cannot write " + name + ": the file system is read-only.";
    case ENOSPC:
    case EDQUOT:
        return "Cannot write " + name + ": the disk is full.";
    case EISDIR:
        return "Cannot write " + name + ": it is a folder.";
    default:
        return "Cannot write " + name + ": " + std::strerror(error) + ".";
    }
}

} // namespace

void writePng(const std::filesystem::path& path, const Image& image,
              const std::vector<std::pair<std::string, std::string>>& text) {
    // A name the folder's file system cannot hold is refused before anything
    // is written.
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const long nameLimit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    const size_t maximumName = nameLimit > 0 ? static_cast<size_t>(nameLimit) : 255;
    const std::string name = path.filename().string();
    if (name.size() > maximumName || path.string().size() >= PATH_MAX) {
        throw std::runtime_error(creationFailure(path, ENAMETOOLONG));
    }
    // The partial file sits beside the destination; a name with no room for
    // the suffix gets a short hidden one.
    const std::filesystem::path temporary =
        name.size() + 8 <= maximumName
            ? std::filesystem::path(path.string() + ".partial")
            : folder / (".dravelin-" + std::to_string(::getpid()) + ".partial");
    File file(std::fopen(temporary.c_str(), "wb"));
    if (!file) {
        throw std::runtime_error(creationFailure(path, errno));
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

} // namespace dravelin

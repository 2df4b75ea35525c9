#include "core/PngReading.h"

#include "core/BoundedFile.h"
#include "core/ImageFileError.h"
#include "core/ImageSizeLimit.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <optional>

namespace dravelin {

namespace {

// Compressed text and profile chunks inflate to at most this; the parameters
// of a generation are a few kilobytes, colour profiles rarely past one MB.
constexpr png_alloc_size_t maximumChunkBytes = 8'000'000;

// Where libpng takes the file's bytes from: a descriptor or a memory span,
// whose total size is known.
struct ByteSource {
    int fd = -1;
    const char* bytes = nullptr;
    size_t size = 0;
    size_t offset = 0;
    // The chunks as they go by: libpng allocates a text chunk's whole length
    // before reading it, so each length is checked against what the file
    // still holds and, but for image data, against maximumChunkBytes first.
    uint64_t chunkLeft = 0; // data and checksum bytes of the current chunk
    unsigned char header[8] = {};
    unsigned headerUsed = 0;
};
// What one decoding hands back. It lives in the caller's frame, because
// libpng reports errors by longjmp and a jump must skip no destructor.
struct Decoding {
    ByteSource source;
    std::string description;
    char error[256] = {};
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<std::pair<std::string, std::string>> text;
};

// Follows the chunk structure through bytes just read (after the signature).
void followChunks(png_structp png, ByteSource& source, const unsigned char* bytes, size_t count) {
    while (count > 0) {
        if (source.chunkLeft > 0) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(source.chunkLeft, count));
            source.chunkLeft -= step;
            bytes += step;
            count -= step;
            continue;
        }
        source.header[source.headerUsed++] = *bytes++;
        --count;
        if (source.headerUsed < 8) {
            continue;
        }
        source.headerUsed = 0;
        const uint64_t length = (uint64_t{source.header[0]} << 24) |
                                (uint64_t{source.header[1]} << 16) |
                                (uint64_t{source.header[2]} << 8) | source.header[3];
        const bool imageData = std::memcmp(source.header + 4, "IDAT", 4) == 0;
        if (!imageData && length > maximumChunkBytes) {
            png_error(png, "a chunk other than image data is larger than 8 MB");
        }
        if (length + 4 > source.size - source.offset + count) {
            png_error(png, "the file ends before the image does");
        }
        source.chunkLeft = length + 4;
    }
}

void readBytes(png_structp png, png_bytep into, png_size_t wanted) {
    auto& source = *static_cast<ByteSource*>(png_get_io_ptr(png));
    const png_bytep start = into;
    const png_size_t total = wanted;
    if (source.fd < 0) {
        if (source.size - source.offset < wanted) {
            png_error(png, "the file ends before the image does");
        }
        std::memcpy(into, source.bytes + source.offset, wanted);
        source.offset += wanted;
        followChunks(png, source, start, total);
        return;
    }
    while (wanted > 0) {
        const ssize_t got = ::read(source.fd, into, wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            png_error(png, "the file cannot be read");
        }
        if (got == 0) {
            png_error(png, "the file ends before the image does");
        }
        into += got;
        wanted -= static_cast<png_size_t>(got);
    }
    source.offset += total;
    followChunks(png, source, start, total);
}

[[noreturn]] void keepError(png_structp png, png_const_charp message) {
    auto& decoding = *static_cast<Decoding*>(png_get_error_ptr(png));
    std::snprintf(decoding.error, sizeof decoding.error, "%s", message);
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

// Returns false with decoding.error set when libpng finds the file damaged;
// throws ImageFileError for an image past the size limit. Holds no object
// with a destructor, so libpng's longjmp skips nothing.
bool decode(png_structp png, png_infop info, Decoding& decoding) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_read_fn(png, &decoding.source, readBytes);
    // Our own check below gives the message; these are libpng's backstop.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_chunk_malloc_max(png, maximumChunkBytes);
    png_set_chunk_cache_max(png, 1000);
    png_read_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    checkImageSize(width, height, decoding.description);

    const int colourType = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
    }
    if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && depth < 8) {
        png_set_expand_gray_1_2_4_to_8(png);
    }
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) {
        png_set_tRNS_to_alpha(png);
    }
    if (depth == 16) {
        png_set_scale_16(png);
    }
    if ((colourType & PNG_COLOR_MASK_COLOR) == 0) {
        png_set_gray_to_rgb(png);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const int channels = png_get_channels(png, info);
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    if ((channels != 3 && channels != 4) || png_get_rowbytes(png, info) != rowBytes) {
        png_error(png, "its colour layout cannot be converted to RGB");
    }
    decoding.pixels.assign(rowBytes * height, 0);
    // Row by row into the image itself: no table of row pointers, and
    // interlaced passes fill in the rows they share.
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, decoding.pixels.data() + y * rowBytes, nullptr);
        }
    }
    png_read_end(png, info);

    png_textp chunks = nullptr;
    int count = 0;
    png_get_text(png, info, &chunks, &count);
    for (int i = 0; i < count; ++i) {
        const size_t length = chunks[i].compression > 0 ? chunks[i].itxt_length
                                                         : chunks[i].text_length;
        decoding.text.emplace_back(chunks[i].key,
                                   std::string(chunks[i].text != nullptr ? chunks[i].text : "",
                                               chunks[i].text != nullptr ? length : 0));
    }
    decoding.width = static_cast<int>(width);
    decoding.height = static_cast<int>(height);
    decoding.channels = channels;
    return true;
}

PngContents readPngFrom(const ByteSource& source, std::string_view description) {
    Decoding decoding;
    decoding.source = source;
    decoding.description = description;

    png_byte signature[8] = {};
    size_t signatureBytes = 0;
    if (source.fd < 0) {
        signatureBytes = std::min<size_t>(source.size, 8);
        std::memcpy(signature, source.bytes, signatureBytes);
        decoding.source.offset = signatureBytes;
    } else {
        for (;;) {
            const ssize_t got = ::read(source.fd, signature + signatureBytes, 8 - signatureBytes);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            signatureBytes += static_cast<size_t>(got);
            decoding.source.offset = signatureBytes;
            if (signatureBytes == 8) {
                break;
            }
        }
    }
    if (signatureBytes < 8 || png_sig_cmp(signature, 0, 8) != 0) {
        throw ImageFileError(decoding.description + " is not a PNG file.");
    }

    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &decoding, keepError,
                                             ignoreWarning);
    if (png == nullptr) {
        throw ImageFileError(decoding.description + " cannot be read: out of memory.");
    }
    png_infop info = png_create_info_struct(png);
    struct Reader {
        png_structp png;
        png_infop info;
        ~Reader() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
    } reader{png, info};
    if (info == nullptr) {
        throw ImageFileError(decoding.description + " cannot be read: out of memory.");
    }
    png_set_sig_bytes(png, 8);
    if (!decode(png, info, decoding)) {
        throw ImageFileError(decoding.description + " is damaged: " + decoding.error + ".");
    }
    const AlphaKind alpha = decoding.channels == 4 ? AlphaKind::straight : AlphaKind::none;
    return PngContents{Image(decoding.width, decoding.height, decoding.channels, alpha,
                             std::move(decoding.pixels)),
                       std::move(decoding.text)};
}

} // namespace

PngContents readPngContents(const std::filesystem::path& path) {
    const std::string description = "The image \"" + path.string() + "\"";
    int fd = -1;
    try {
        fd = openRegularFile(path, description);
    } catch (const BoundedFileError& error) {
        throw ImageFileError(error.what());
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        throw ImageFileError(description + " cannot be examined.");
    }
    ByteSource source;
    source.fd = fd;
    source.size = static_cast<size_t>(info.st_size);
    return readPngFrom(source, description);
}

Image readPng(const std::filesystem::path& path) {
    return readPngContents(path).image;
}

PngContents readPngContents(std::string_view bytes, std::string_view description) {
    ByteSource source;
    source.bytes = bytes.data();
    source.size = bytes.size();
    return readPngFrom(source, description);
}

std::optional<std::string> readPngText(const std::filesystem::path& path,
                                       std::string_view keyword) {
    PngContents contents = readPngContents(path);
    for (auto& [key, text] : contents.text) {
        if (key == keyword) {
            return std::move(text);
        }
    }
    return std::nullopt;
}

} // namespace dravelin

#include "state/PngText.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace dravelin {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// libpng reports errors by longjmp, so this part holds no C++ objects that a
// jump could skip.
bool readChunk(FILE* file, const char* keyword, std::string* text, bool* found) {
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
        if (std::strcmp(chunks[i].key, keyword) == 0) {
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

std::optional<QString> readPngText(const QString& path, const char* keyword) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.toLocal8Bit().constData(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    bool found = false;
    if (!readChunk(file.get(), keyword, &text, &found) || !found) {
        return std::nullopt;
    }
    return QString::fromUtf8(text);
}

QByteArray withPngText(const QByteArray& png, const char* keyword, const QString& text) {
    // Signature (8) and the header chunk: length 13, "IHDR", data, CRC.
    constexpr qsizetype kHeaderEnd = 8 + 4 + 4 + 13 + 4;
    if (png.size() < kHeaderEnd || !png.startsWith("\x89PNG\r\n\x1a\n") ||
        png.mid(12, 4) != "IHDR") {
        return png;
    }
    const QByteArray utf8 = text.toUtf8();
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    QByteArray chunk = ascii ? QByteArray("tEXt") : QByteArray("iTXt");
    chunk.append(keyword).append('\0');
    if (!ascii) {
        // Not compressed, no language, no translated keyword.
        chunk.append('\0').append('\0').append('\0').append('\0');
    }
    chunk.append(utf8);
    const auto bigEndian = [](quint32 value) {
        QByteArray bytes(4, '\0');
        for (int i = 0; i < 4; ++i) {
            bytes[i] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
        }
        return bytes;
    };
    const quint32 crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(chunk.constData()), static_cast<uInt>(chunk.size())));
    QByteArray result = png.left(kHeaderEnd);
    result.append(bigEndian(static_cast<quint32>(chunk.size() - 4)));
    result.append(chunk);
    result.append(bigEndian(crc));
    result.append(png.mid(kHeaderEnd));
    return result;
}

} // namespace dravelin

#include "state/PngText.h"

#include "core/PngReading.h"

#include <QFile>

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace dravelin {

std::optional<QString> readPngText(const QString& path, const char* keyword) {
    try {
        // The bounded reader: the size is checked before any pixel memory
        // is taken and compressed text inflates only so far.
        const std::optional<std::string> text = dravelin::readPngText(
            std::filesystem::path(QFile::encodeName(path).toStdString()), keyword);
        if (!text) {
            return std::nullopt;
        }
        return QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
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

#include "state/QtImageConversion.h"

#include <cstring>

namespace dravelin {

QImage toQImage(const Image& image) {
    const bool alpha = image.channels() == 4;
    const QImage::Format format =
        !alpha ? QImage::Format_RGB888
               : (image.alpha() == AlphaKind::premultiplied ? QImage::Format_RGBA8888_Premultiplied
                                                            : QImage::Format_RGBA8888);
    QImage result(image.width(), image.height(), format);
    const size_t rowBytes = static_cast<size_t>(image.width()) * image.channels();
    for (int y = 0; y < image.height(); ++y) {
        std::memcpy(result.scanLine(y), image.pixels().data() + static_cast<size_t>(y) * rowBytes,
                    rowBytes);
    }
    return result;
}

Image fromQImage(const QImage& image) {
    const bool alpha = image.hasAlphaChannel();
    const QImage converted =
        image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const int channels = alpha ? 4 : 3;
    const size_t rowBytes = static_cast<size_t>(converted.width()) * channels;
    std::vector<uint8_t> pixels(rowBytes * static_cast<size_t>(converted.height()));
    for (int y = 0; y < converted.height(); ++y) {
        std::memcpy(pixels.data() + static_cast<size_t>(y) * rowBytes, converted.constScanLine(y),
                    rowBytes);
    }
    return Image(converted.width(), converted.height(), channels,
                 alpha ? AlphaKind::straight : AlphaKind::none, std::move(pixels));
}

} // namespace dravelin

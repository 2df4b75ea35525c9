#include "state/ImageFileLoading.h"

#include "core/ImageFile.h"
#include "core/ImageFileError.h"
#include "core/ImageSizeLimit.h"
#include "core/PngReading.h"
#include "state/QtImageConversion.h"

#include <QImageReader>

#include <string>

namespace dravelin {

Image loadImageFile(const QString& path) {
    const std::string file = path.toStdString();
    const std::string description = "The image \"" + file + "\"";
    if (imageFileFormat(std::filesystem::path(file), description) == ImageFileFormat::png) {
        return readPngContents(std::filesystem::path(file)).image;
    }

    QImageReader reader(path);
    reader.setAutoTransform(true);
    // 8-bit RGBA at the pixel cap, in megabytes, with room to spare: Qt's own
    // stop for a decoder that allocates before it says how large it is.
    reader.setAllocationLimit(static_cast<int>(maximumImagePixels * 4 / (1024 * 1024)) + 1);
    const QSize size = reader.size();
    if (!size.isValid()) {
        // Qt's reasons here are rarely more than "Unknown error".
        throw ImageFileError(description +
                             " cannot be read: it is damaged, larger than its format allows, "
                             "or not a kind of image this program reads.");
    }
    checkImageSize(static_cast<uint64_t>(size.width()), static_cast<uint64_t>(size.height()),
                   description);
    const QImage image = reader.read();
    if (image.isNull()) {
        throw ImageFileError(description + " cannot be read: " +
                             reader.errorString().toStdString() + ".");
    }
    return fromQImage(image);
}

} // namespace dravelin

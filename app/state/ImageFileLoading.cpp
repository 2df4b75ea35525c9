#include "state/ImageFileLoading.h"

#include "core/BoundedFile.h"
#include "core/ImageFile.h"
#include "core/ImageFileError.h"
#include "core/ImageSizeLimit.h"
#include "core/PngReading.h"
#include "state/QtImageConversion.h"

#include <QImageReader>

#include <unistd.h>

#include <cerrno>
#include <string>

namespace dravelin {

namespace {

// The first bytes, from a file refused first if it is not a regular one
// (Qt would wait on a named pipe).
std::string fileStart(const std::string& path, const std::string& description) {
    int fd = -1;
    try {
        fd = openRegularFile(path, description);
    } catch (const BoundedFileError& error) {
        throw ImageFileError(error.what());
    }
    std::string start(12, '\0');
    size_t used = 0;
    while (used < start.size()) {
        const ssize_t got = ::read(fd, start.data() + used, start.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        used += static_cast<size_t>(got);
    }
    ::close(fd);
    start.resize(used);
    return start;
}

} // namespace

Image loadImageFile(const QString& path) {
    const std::string file = path.toStdString();
    const std::string description = "The image \"" + file + "\"";
    if (imageFileFormat(fileStart(file, description)) == ImageFileFormat::png) {
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

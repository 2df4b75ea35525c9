#include "core/ImageFileError.h"
#include "core/ImageSizeLimit.h"
#include "state/ImageFileLoading.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace dravelin;

namespace {

QByteArray jpegBytes(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(200, 100, 50));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

// Rewrites the frame header's height and width (SOF0: FF C0, length, depth,
// then the two 16-bit sizes) so the file claims another size.
QByteArray claimingSize(QByteArray jpeg, int width, int height) {
    const qsizetype frame = jpeg.indexOf(QByteArray("\xff\xc0", 2));
    EXPECT_GT(frame, 0);
    jpeg[frame + 5] = static_cast<char>(height >> 8);
    jpeg[frame + 6] = static_cast<char>(height & 0xff);
    jpeg[frame + 7] = static_cast<char>(width >> 8);
    jpeg[frame + 8] = static_cast<char>(width & 0xff);
    return jpeg;
}

QString write(const QTemporaryDir& directory, const QString& name, const QByteArray& bytes) {
    const QString path = directory.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

} // namespace

TEST(ImageFileLoading, PhotosAreReadAndHugeOnesRefusedBeforeDecoding) {
    if (!QImageReader::supportedImageFormats().contains("jpeg")) {
        GTEST_SKIP() << "Qt has no JPEG plugin here";
    }
    QTemporaryDir directory;
    const Image photo = loadImageFile(write(directory, "photo.jpg", jpegBytes(40, 24)));
    EXPECT_EQ(photo.width(), 40);
    EXPECT_EQ(photo.height(), 24);
    EXPECT_EQ(photo.channels(), 3);
    EXPECT_NEAR(photo.pixels()[0], 200, 8);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    // 65500 × 65500 is the most libjpeg takes: 4.3 gigapixels.
    for (const int side : {9000, 30000, 65500}) {
        const QString path = write(directory, "huge.jpg", claimingSize(jpegBytes(16, 16), side, side));
        try {
            loadImageFile(path);
            ADD_FAILURE() << side << " was read";
        } catch (const ImageFileError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "The image \"" + path.toStdString() + "\" is " + std::to_string(side) +
                          " × " + std::to_string(side) +
                          " pixels; images up to 64 megapixels are read.");
        }
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
}

TEST(ImageFileLoading, WhatIsNoImageIsNamed) {
    QTemporaryDir directory;
    EXPECT_THROW(loadImageFile(write(directory, "notes.jpg", "just some words")), ImageFileError);
    EXPECT_THROW(loadImageFile(directory.filePath("missing.webp")), ImageFileError);
    EXPECT_THROW(loadImageFile(directory.path()), ImageFileError);
}

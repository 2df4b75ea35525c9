// The input image state without a window: reading files, painting and
// undoing the mask, what a generation receives, and image-to-image and
// inpainting through the generator.

#include "app/QtTestApplication.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "state/Generator.h"
#include "state/ImageInput.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <string>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

QImage gradient(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixelColor(x, y, QColor(x * 255 / width, y * 255 / height, 90));
        }
    }
    return image;
}

uint32_t crc32Of(const QByteArray& bytes) {
    uint32_t crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= static_cast<uint8_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// A real small image whose header then claims side × side pixels: the PNG's
// IHDR rewritten with its checksum, the JPEG's frame header (FF C0).
QByteArray claimingSide(const char* format, int side) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    gradient(16, 16).save(&buffer, format);
    const auto put16 = [&](qsizetype at, int value) {
        bytes[at] = static_cast<char>(value >> 8);
        bytes[at + 1] = static_cast<char>(value & 0xff);
    };
    if (QByteArray(format) == "PNG") {
        put16(18, side); // width's low half (bytes 16–19, big-endian)
        put16(22, side);
        const uint32_t crc = crc32Of(bytes.mid(12, 17));
        for (int i = 0; i < 4; ++i) {
            bytes[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        }
    } else {
        const qsizetype frame = bytes.indexOf(QByteArray("\xff\xc0", 2));
        EXPECT_GT(frame, 0);
        put16(frame + 5, side);
        put16(frame + 7, side);
    }
    return bytes;
}

int paintedPixels(const QImage& mask) {
    int count = 0;
    for (int y = 0; y < mask.height(); ++y) {
        for (int x = 0; x < mask.width(); ++x) {
            count += qGray(mask.pixel(x, y)) >= 128 ? 1 : 0;
        }
    }
    return count;
}

} // namespace

TEST(ImageInputState, OpensFilesAndReportsWhatItCannotRead) {
    qtApplication();
    TemporaryDirectory directory;
    ImageInput input;
    const QString path = QString::fromStdString((directory.path() / "in.png").string());
    ASSERT_TRUE(gradient(40, 30).save(path));
    EXPECT_TRUE(input.openFile(path));
    EXPECT_EQ(input.image().size(), QSize(40, 30));
    EXPECT_EQ(input.mask().size(), QSize(40, 30));
    EXPECT_FALSE(input.hasMask());

    // A failed open keeps the image and says why, naming the file.
    const QString none = QString::fromStdString((directory.path() / "none.png").string());
    EXPECT_FALSE(input.openFile(none));
    EXPECT_TRUE(input.errorMessage().contains(none)) << input.errorMessage().toStdString();
    EXPECT_EQ(input.image().size(), QSize(40, 30));
    const QString text = QString::fromStdString((directory.path() / "text.png").string());
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    EXPECT_FALSE(input.openFile(text));
    EXPECT_TRUE(input.hasImage());
    input.setImage(gradient(8, 8));
    EXPECT_TRUE(input.errorMessage().isEmpty());
}

// The window's "open an input image" and a dropped image go through the
// bounded reader: a header claiming 30000 × 30000 pixels ends in its
// sentence, with nothing allocated for the pixels, and the input is kept.
TEST(ImageInputState, HugeClaimedSizesAreRefusedBeforeAllocating) {
    qtApplication();
    TemporaryDirectory directory;
    ImageInput input;
    input.setImage(gradient(8, 8));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    for (const char* format : {"PNG", "JPEG"}) {
        if (!QImageReader::supportedImageFormats().contains(QByteArray(format).toLower())) {
            continue;
        }
        const QString path = QString::fromStdString(
            (directory.path() / (std::string("huge.") + format)).string());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(claimingSide(format, 30000));
        file.close();
        EXPECT_FALSE(input.openFile(path)) << format;
        EXPECT_EQ(input.errorMessage(),
                  QStringLiteral("The image \"%1\" is 30000 × 30000 pixels; images up to 64 "
                                 "megapixels are read.")
                      .arg(path))
            << format;
        EXPECT_EQ(input.image().size(), QSize(8, 8));
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
}

TEST(ImageInputState, BrushPaintsErasesAndUndoesWholeStrokes) {
    qtApplication();
    ImageInput input;
    input.beginStroke({5, 5}); // no image: nothing to paint on
    EXPECT_FALSE(input.canUndo());
    input.setImage(gradient(100, 80));
    input.setBrushSize(10);
    input.beginStroke({10, 40});
    input.continueStroke({90, 40});
    input.endStroke();
    EXPECT_TRUE(input.hasMask());
    const int stroke = paintedPixels(input.mask());
    // A 10-wide line 80 long with round ends: about 880 pixels.
    EXPECT_GT(stroke, 800);
    EXPECT_LT(stroke, 1000);
    EXPECT_GE(qGray(input.mask().pixel(50, 40)), 128);
    EXPECT_LT(qGray(input.mask().pixel(50, 10)), 128);

    input.setErasing(true);
    input.beginStroke({50, 40});
    input.endStroke();
    EXPECT_LT(qGray(input.mask().pixel(50, 40)), 128);
    EXPECT_LT(paintedPixels(input.mask()), stroke);
    input.undoStroke();
    EXPECT_EQ(paintedPixels(input.mask()), stroke);
    input.clearMask();
    EXPECT_FALSE(input.hasMask());
    input.undoStroke(); // clearing is undone like a stroke
    EXPECT_EQ(paintedPixels(input.mask()), stroke);
    input.undoStroke();
    EXPECT_FALSE(input.hasMask());
    EXPECT_FALSE(input.canUndo());

    // A new image starts with a clean mask and no history.
    input.setErasing(false);
    input.beginStroke({20, 20});
    input.setImage(gradient(30, 30));
    EXPECT_FALSE(input.hasMask());
    EXPECT_FALSE(input.canUndo());
    input.setBrushSize(100000);
    EXPECT_EQ(input.brushSize(), ImageInput::kLargestBrush);
}

TEST(ImageInputState, RequestCarriesImageMaskStrengthAndHires) {
    qtApplication();
    ImageInput input;
    EXPECT_FALSE(input.request().image.has_value());
    input.setHiresEnabled(true);
    input.setHiresScale(1.5);
    ASSERT_TRUE(input.request().hires.has_value());
    EXPECT_FLOAT_EQ(input.request().hires->scale, 1.5f);

    input.setImage(gradient(20, 10));
    input.setStrength(1.0);
    ImageInputRequest request = input.request();
    ASSERT_TRUE(request.image.has_value());
    EXPECT_EQ(request.image->width(), 20);
    EXPECT_FALSE(request.mask.has_value());
    // Image-to-image at full strength would ignore the image.
    EXPECT_LT(request.strength, 1.0f);
    input.beginStroke({5, 5});
    input.endStroke();
    request = input.request();
    ASSERT_TRUE(request.mask.has_value());
    EXPECT_EQ(request.strength, 1.0f); // inpainting may start from noise
    input.setStrength(0.0);
    EXPECT_GT(input.strength(), 0.0);
}

// Through the generator: the input image reaches the pipeline fitted to the
// encoder's size, a painted mask keeps the unpainted part, and a model
// without an image encoder gives a message.
TEST(ImageInputState, GeneratorRunsImageToImageAndInpainting) {
    qtApplication();
    PipelineKinds kinds;
    TemporaryDirectory directory;
    writeTinyModel(directory.path() / "model", {.encoder = true});
    auto pipeline = std::make_shared<StableDiffusionPipeline>(
        directory.path() / "model", std::vector<std::string>{}, ModelConfiguration{}, true, false);
    Generator generator;
    generator.setPrompt(QStringLiteral("a cat"));
    generator.setSteps(3);
    const auto run = [&](uint32_t seed) {
        generator.setSeedText(QString::number(seed));
        generator.generate(pipeline);
        QElapsedTimer timer;
        timer.start();
        while (generator.isGenerating() && timer.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        return generator.results().isEmpty() ? QImage() : generator.results().front().image;
    };
    ImageInput& input = *generator.imageInput();
    input.setImage(gradient(48, 24)); // fitted to the 16 × 16 the encoder takes
    input.setStrength(0.5);
    const QImage changed = run(1);
    ASSERT_FALSE(changed.isNull()) << generator.errorMessage().toStdString();
    EXPECT_EQ(changed.size(), QSize(16, 16));

    // Paint the top third: the bottom rows stay what the image gives them.
    input.setBrushSize(12);
    input.beginStroke({0, 0});
    input.continueStroke({48, 0});
    input.endStroke();
    const QImage first = run(1);
    const QImage second = run(2);
    ASSERT_FALSE(first.isNull());
    EXPECT_NE(first.copy(0, 0, 16, 3), second.copy(0, 0, 16, 3));
    EXPECT_EQ(first.copy(0, 10, 16, 6), second.copy(0, 10, 16, 6));

    std::filesystem::remove_all(directory.path() / "model" / "VAEEncoder.model");
    auto withoutEncoder = std::make_shared<StableDiffusionPipeline>(
        directory.path() / "model", std::vector<std::string>{}, ModelConfiguration{}, true, false);
    pipeline = withoutEncoder;
    run(3);
    EXPECT_TRUE(generator.errorMessage().contains(QStringLiteral("image encoder")))
        << generator.errorMessage().toStdString();
}

#include "core/ImageFile.h"
#include "core/ImageFileError.h"
#include "core/PngReading.h"
#include "core/PngWriting.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <fstream>
#include <string>

using namespace dravelin;
using dravelin::testing::TemporaryDirectory;

namespace {

// A PNG written by libpng's own encoder: any colour type, depth, interlacing.
std::string encode(int width, int height, int colourType, int depth, bool interlaced,
                   const std::vector<uint8_t>& rows, const std::vector<png_color>& palette = {},
                   const std::vector<png_byte>& transparency = {}) {
    std::string bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        ADD_FAILURE() << "libpng could not write the test image";
        return {};
    }
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep data, png_size_t size) {
            static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data),
                                                                 size);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, depth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) {
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    }
    if (!transparency.empty()) {
        png_set_tRNS(png, info, transparency.data(), static_cast<int>(transparency.size()),
                     nullptr);
    }
    png_write_info(png, info);
    const size_t stride = rows.size() / height;
    std::vector<png_bytep> pointers;
    for (int y = 0; y < height; ++y) {
        pointers.push_back(const_cast<png_bytep>(rows.data() + y * stride));
    }
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

void appendChunk(std::string& png, const char* type, const std::string& data) {
    const auto be32 = [&](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            png.push_back(static_cast<char>((v >> shift) & 0xff));
        }
    };
    be32(static_cast<uint32_t>(data.size()));
    const std::string body = type + data;
    png += body;
    be32(static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// Only a signature and a valid header: what a hostile file needs to claim a
// size, 69 bytes with an empty data and end chunk.
std::string headerOnly(uint32_t width, uint32_t height, int depth = 8, int colourType = 2) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    for (uint32_t v : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            header.push_back(static_cast<char>((v >> shift) & 0xff));
        }
    }
    header += {static_cast<char>(depth), static_cast<char>(colourType), 0, 0, 0};
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
    appendChunk(png, "IEND", "");
    return png;
}

long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

TEST(PngReading, HugeHeadersAreRefusedBeforeTheirPixelsAreAllocated) {
    const long before = peakResidentKilobytes();
    for (const auto& [width, height] : std::vector<std::pair<uint32_t, uint32_t>>{
             {20000, 20000}, {30000, 30000}, {65536, 65536}, {0x7fffffff, 0x7fffffff},
             {1, 70'000'000}}) {
        try {
            readPngContents(headerOnly(width, height), "The dropped image");
            ADD_FAILURE() << width << " x " << height << " was read";
        } catch (const ImageFileError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "The dropped image is " + std::to_string(width) + " × " +
                          std::to_string(height) +
                          " pixels; images up to 64 megapixels are read.");
        }
    }
    // A 1-bit image is a few kilobytes of zlib for a huge size: the same refusal.
    EXPECT_THROW(readPngContents(headerOnly(30000, 30000, 1, 0), "A bitmap"), ImageFileError);
    EXPECT_LT(peakResidentKilobytes() - before, 64 * 1024);
}

TEST(PngReading, EveryColourLayoutBecomesRgbOrRgba) {
    // 1-bit grey, 16-bit grey, palette with a transparent entry, interlaced
    // RGBA: each read back as 8-bit RGB(A) with the values it holds.
    const Image grey = readPngContents(encode(8, 2, PNG_COLOR_TYPE_GRAY, 1, false, {0xf0, 0x0f}),
                                       "grey")
                           .image;
    ASSERT_EQ(grey.channels(), 3);
    EXPECT_EQ(grey.pixels()[0], 255);
    EXPECT_EQ(grey.pixels()[3 * 4], 0);
    EXPECT_EQ(grey.pixels()[3 * 8], 0);
    EXPECT_EQ(grey.pixels()[3 * 12], 255);

    const Image deep =
        readPngContents(encode(1, 1, PNG_COLOR_TYPE_GRAY, 16, false, {0x80, 0x00}), "deep").image;
    EXPECT_EQ(deep.pixels(), (std::vector<uint8_t>{128, 128, 128}));

    const Image indexed =
        readPngContents(encode(2, 1, PNG_COLOR_TYPE_PALETTE, 8, false, {0, 1},
                               {{10, 20, 30}, {40, 50, 60}}, {0}),
                        "indexed")
            .image;
    ASSERT_EQ(indexed.channels(), 4);
    EXPECT_EQ(indexed.alpha(), AlphaKind::straight);
    EXPECT_EQ(indexed.pixels(), (std::vector<uint8_t>{10, 20, 30, 0, 40, 50, 60, 255}));

    std::vector<uint8_t> rgba(13 * 11 * 4);
    for (size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<uint8_t>(i * 7);
    }
    const Image interlaced =
        readPngContents(encode(13, 11, PNG_COLOR_TYPE_RGBA, 8, true, rgba), "interlaced").image;
    EXPECT_EQ(interlaced.width(), 13);
    EXPECT_EQ(interlaced.pixels(), rgba);
}

TEST(PngReading, DamageIsReportedWithLibpngsReason) {
    std::string png = encode(4, 4, PNG_COLOR_TYPE_RGB, 8, false, std::vector<uint8_t>(48, 9));
    std::string corrupt = png;
    corrupt[20] ^= 1; // inside the header: its checksum no longer matches
    try {
        readPngContents(corrupt, "The image \"a.png\"");
        FAIL() << "a damaged header was read";
    } catch (const ImageFileError& error) {
        EXPECT_EQ(std::string(error.what()), "The image \"a.png\" is damaged: IHDR: CRC error.");
    }
    try {
        readPngContents(png.substr(0, png.size() - 30), "Cut");
        FAIL() << "a truncated file was read";
    } catch (const ImageFileError& error) {
        EXPECT_NE(std::string(error.what()).find("ends before the image does"), std::string::npos)
            << error.what();
    }
    EXPECT_THROW(readPngContents(std::string("\xff\xd8\xff\xe0"), "J"), ImageFileError);
}

TEST(PngReading, ChunkLengthsAreCheckedBeforeLibpngAllocatesThem) {
    // libpng allocates a text chunk's stated length before reading it: a
    // 100-byte file claiming a 2 GB chunk (a fuzzer's find) and a real 9 MB
    // one are refused first.
    const std::string png = encode(4, 3, PNG_COLOR_TYPE_RGB, 8, false, std::vector<uint8_t>(36, 1));
    const size_t afterHeader = 8 + 25;
    std::string claiming = png.substr(0, afterHeader) + std::string("\x76\x00\x00\x13iTXt", 8) +
                           "Title" + std::string(5, '\0') + "caf\xc3\xa9";
    const long before = peakResidentKilobytes();
    try {
        readPngContents(claiming, "The image");
        FAIL() << "a 2 GB chunk in a short file was read";
    } catch (const ImageFileError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The image is damaged: a chunk other than image data is larger than 8 MB.");
    }
    claiming[afterHeader] = 0; // 1 MB: within the limit, past the file's end
    claiming[afterHeader + 1] = 0x10;
    try {
        readPngContents(claiming, "The image");
        FAIL() << "a 1 MB chunk in a short file was read";
    } catch (const ImageFileError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The image is damaged: the file ends before the image does.");
    }
    std::string large = png.substr(0, afterHeader);
    appendChunk(large, "tEXt", "Comment" + std::string(1, '\0') + std::string(9'000'000, 'x'));
    large += png.substr(afterHeader);
    try {
        readPngContents(large, "The image");
        FAIL() << "a 9 MB text chunk was read";
    } catch (const ImageFileError& error) {
        EXPECT_NE(std::string(error.what()).find("larger than 8 MB"), std::string::npos)
            << error.what();
    }
    EXPECT_LT(peakResidentKilobytes() - before, 64 * 1024);
}

TEST(ImageFiles, WrittenPixelsAndTextReadBack) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "out.png";
    const Image image(3, 2, 4, AlphaKind::straight,
                      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                       22, 23, 24});
    writePng(path, image, {{"parameters", "a cat\nSteps: 20, Seed: 1"}, {"Title", "café ☕"}});
    const PngContents read = readPngContents(path);
    EXPECT_EQ(read.image, image);
    ASSERT_EQ(read.text.size(), 2u);
    EXPECT_EQ(read.text[0].second, "a cat\nSteps: 20, Seed: 1");
    EXPECT_EQ(read.text[1].second, "café ☕");
    EXPECT_EQ(readImageFile(path), image);
}

TEST(ImageFiles, WhatIsNotAReadablePngIsNamed) {
    TemporaryDirectory directory;
    const auto expectMessage = [](const std::filesystem::path& path, const std::string& ending) {
        try {
            readImageFile(path);
            ADD_FAILURE() << path << " was read";
        } catch (const ImageFileError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.substr(message.size() - std::min(message.size(), ending.size())),
                      ending);
        }
    };
    std::ofstream(directory.path() / "photo.png") << "\xff\xd8\xff\xe0 not really";
    expectMessage(directory.path() / "photo.png", "is a JPEG image; only PNG images are read here.");
    std::ofstream(directory.path() / "notes.png") << "hello";
    expectMessage(directory.path() / "notes.png", "is not an image file this program reads; save it as PNG.");
    expectMessage(directory.path() / "missing.png", "cannot be opened: it does not exist.");
    ASSERT_EQ(::mkfifo((directory.path() / "pipe.png").c_str(), 0600), 0);
    expectMessage(directory.path() / "pipe.png", "is a named pipe, not a file.");
}

TEST(ImageFiles, NamesTooLongForTheFileSystemAreSaidSo) {
    TemporaryDirectory directory;
    const Image image(1, 1, 3, AlphaKind::none, {1, 2, 3});
    // 250 bytes fit a file name but leave no room for a suffix on the
    // partial file written first.
    const auto fits = directory.path() / (std::string(246, 'a') + ".png");
    writePng(fits, image);
    EXPECT_EQ(readPng(fits), image);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()),
                            std::filesystem::directory_iterator()),
              1);
    try {
        writePng(directory.path() / (std::string(300, 'b') + ".png"), image);
        FAIL() << "a 304-byte name was written";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("the name is too long for the file system"),
                  std::string::npos)
            << error.what();
    }
}

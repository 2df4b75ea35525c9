#include "pipeline/ImageConversion.h"
#include "pipeline/ImageResize.h"
#include "pipeline/ShapedArrayError.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dravelin;

TEST(ImageFromShapedArray, MapsMinusOneToBlackAndOneToWhiteAndSaturates) {
    ShapedArray tensor(Shape{2, 3, 1, 3});
    const float row[3] = {-1.0f, 1.0f, 7.0f};
    for (int c = 0; c < 3; ++c) {
        for (int x = 0; x < 3; ++x) {
            tensor.set({0, c, 0, x}, row[x]);
            tensor.set({1, c, 0, x}, 0.0f); // batch entry 1 is never read
        }
    }
    tensor.set({0, 1, 0, 0}, 0.0f); // green of the first pixel: mid-grey, 127.5 → 128
    const Image image = imageFromShapedArray(tensor);
    EXPECT_EQ(image.width(), 3);
    EXPECT_EQ(image.height(), 1);
    EXPECT_EQ(image.channels(), 3);
    EXPECT_EQ(image.pixels(), (std::vector<uint8_t>{0, 128, 0, 255, 255, 255, 255, 255, 255}));
}

TEST(ImageFromShapedArray, RefusesWrongChannelsAndNotANumber) {
    try {
        imageFromShapedArray(ShapedArray(Shape{1, 4, 2, 2}));
        ADD_FAILURE();
    } catch (const ShapedArrayError& error) {
        EXPECT_EQ(error.rawValue(), "wrongNumberOfChannels");
    }
    EXPECT_THROW(imageFromShapedArray(ShapedArray(Shape{3, 2, 2})), ShapedArrayError);
    ShapedArray broken(Shape{1, 3, 2, 2});
    broken.set({0, 2, 1, 1}, NAN);
    EXPECT_THROW(imageFromShapedArray(broken), std::domain_error);
}

TEST(PlanarRGB, RangesAndTransparentPixels) {
    // Opaque white, fully transparent red, half-transparent premultiplied grey.
    const Image rgba(3, 1, 4, AlphaKind::straight, {255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 1});
    const ShapedArray unit = planarRGBShapedArray(rgba, 0.0f, 1.0f);
    EXPECT_EQ(unit.shape(), (Shape{1, 3, 1, 3}));
    EXPECT_EQ(unit.at({0, 0, 0, 0}), 1.0f);
    EXPECT_EQ(unit.at({0, 2, 0, 0}), 1.0f);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(unit.at({0, c, 0, 1}), -1.0f) << c; // transparent
    }
    const Image rgb(2, 1, 3, AlphaKind::none, {0, 0, 0, 255, 255, 255});
    const ShapedArray symmetric = planarRGBShapedArray(rgb, -1.0f, 1.0f);
    EXPECT_EQ(symmetric.at({0, 1, 0, 0}), -1.0f);
    EXPECT_EQ(symmetric.at({0, 1, 0, 1}), 1.0f);

    // Premultiplied colours are divided by alpha first.
    const Image premultiplied(1, 1, 4, AlphaKind::premultiplied, {64, 64, 64, 128});
    EXPECT_NEAR(planarRGBShapedArray(premultiplied, 0.0f, 1.0f).at({0, 0, 0, 0}), 128.0f / 255.0f,
                1e-6f);
}

TEST(ToRGB, IsPremultipliedInAFixedRange) {
    const Image red(1, 1, 4, AlphaKind::straight, {255, 0, 0, 255});
    const ShapedArray opaque = toRGBShapedArray(red, 5.0f, 9.0f);
    EXPECT_EQ(opaque.at({0, 0, 0, 0}), 1.0f);
    EXPECT_EQ(opaque.at({0, 1, 0, 0}), -1.0f);
    EXPECT_EQ(opaque.at({0, 2, 0, 0}), -1.0f);
    const Image clear(1, 1, 4, AlphaKind::straight, {255, 255, 255, 0});
    EXPECT_EQ(toRGBShapedArray(clear, 0.25f, 1.0f).at({0, 1, 0, 0}), 0.25f);
}

TEST(ResizeToRGBA, StretchesToTheExactSizeAndAveragesWhenShrinking) {
    std::vector<uint8_t> stripes;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 8; ++x) {
            const uint8_t v = x % 2 == 0 ? 0 : 200;
            stripes.insert(stripes.end(), {v, v, v});
        }
    }
    const Image source(8, 4, 3, AlphaKind::none, stripes);
    const Image small = resizeToRGBA(source, 2, 3);
    EXPECT_EQ(small.width(), 2);
    EXPECT_EQ(small.height(), 3);
    EXPECT_EQ(small.channels(), 4);
    for (size_t i = 0; i < small.pixels().size(); i += 4) {
        EXPECT_NEAR(small.pixels()[i], 100, 15) << i; // stripes average out
        EXPECT_EQ(small.pixels()[i + 3], 255);
    }
    const Image large = resizeToRGBA(Image(1, 1, 3, AlphaKind::none, {9, 8, 7}), 5, 4);
    EXPECT_EQ(large.pixels()[0], 9);
    EXPECT_EQ(large.pixels()[large.pixels().size() - 2], 7);
    EXPECT_THROW(resizeToRGBA(source, 0, 3), std::invalid_argument);
}

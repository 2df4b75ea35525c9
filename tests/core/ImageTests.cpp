#include "core/Image.h"

#include <gtest/gtest.h>

#include <stdexcept>

using dravelin::AlphaKind;
using dravelin::Image;

TEST(Image, RefusesInconsistentGeometry) {
    EXPECT_NO_THROW(Image(2, 1, 3, AlphaKind::none, std::vector<uint8_t>(6)));
    EXPECT_THROW(Image(2, 1, 3, AlphaKind::none, std::vector<uint8_t>(5)), std::invalid_argument);
    EXPECT_THROW(Image(0, 1, 3, AlphaKind::none, {}), std::invalid_argument);
    EXPECT_THROW(Image(1, 1, 2, AlphaKind::none, std::vector<uint8_t>(2)), std::invalid_argument);
    EXPECT_THROW(Image(1, 1, 3, AlphaKind::straight, std::vector<uint8_t>(3)),
                 std::invalid_argument);
    EXPECT_THROW(Image(1, 1, 4, AlphaKind::none, std::vector<uint8_t>(4)), std::invalid_argument);
}

TEST(Image, EqualityLooksAtPixels) {
    const Image a(1, 1, 3, AlphaKind::none, {1, 2, 3});
    const Image b(1, 1, 3, AlphaKind::none, {1, 2, 3});
    const Image c(1, 1, 3, AlphaKind::none, {1, 2, 4});
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a, Image(a));
}

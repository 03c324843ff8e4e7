#include "ostrel/image.h"

#include <gtest/gtest.h>

#include <array>

namespace {

template <typename T>
class ImageContainer : public ::testing::Test {};
using ElementTypes = ::testing::Types<unsigned char, unsigned short, unsigned int, float>;
TYPED_TEST_SUITE(ImageContainer, ElementTypes);

TYPED_TEST(ImageContainer, NewImageIsZeroEverywhere) {
    ostrel::image<TypeParam> img(7, 5, 3);
    ASSERT_NE(img.data, nullptr);
    ASSERT_EQ(img.ElementCount(), 105u);
    for (size_t i = 0; i < img.ElementCount(); ++i) EXPECT_EQ(img.data[i], TypeParam(0)) << i;
}

TYPED_TEST(ImageContainer, ZeroDimensionMeansNoStorage) {
    for (auto dims : {std::array<uint32_t, 3>{0, 4, 3}, {4, 0, 3}, {4, 4, 0}}) {
        ostrel::image<TypeParam> img(dims[0], dims[1], dims[2]);
        EXPECT_EQ(img.data, nullptr);
        EXPECT_EQ(img.Pixel(0, 0), nullptr);
        ostrel::image<TypeParam> copy(img);
        EXPECT_EQ(copy.data, nullptr);
        EXPECT_EQ(copy.width, dims[0]);
        EXPECT_EQ(copy.height, dims[1]);
        EXPECT_EQ(copy.channels, dims[2]);
    }
}

TYPED_TEST(ImageContainer, CopyOwnsItsOwnSamples) {
    ostrel::image<TypeParam> source(3, 2, 2);
    for (size_t i = 0; i < source.ElementCount(); ++i) source.data[i] = TypeParam(i + 1);
    ostrel::image<TypeParam> copy(source);
    ASSERT_NE(copy.data, source.data);
    for (size_t i = 0; i < source.ElementCount(); ++i) EXPECT_EQ(copy.data[i], TypeParam(i + 1));
    copy.data[4] = TypeParam(99);
    EXPECT_EQ(source.data[4], TypeParam(5));
}

TEST(ImageContainer, PixelAddressesRowMajorInterleaved) {
    Image16 img(4, 3, 3);
    EXPECT_EQ(img.Pixel(1, 2) - img.data, 27);
    EXPECT_EQ(img.Pixel(3, 2) - img.data, 33);  // last pixel
    const Image16& view = img;
    EXPECT_EQ(view.Pixel(0, 1), img.data + 12);
}

}  // namespace

namespace {

TEST(Reflect, FoldsPositionsBackWithoutRepeatingTheEdge) {
    const struct {
        int64_t v;
        uint32_t n, expected;
    } cases[] = {{-1, 5, 1}, {-2, 5, 2}, {5, 5, 3}, {6, 5, 2}, {3, 5, 3},
                 {9, 5, 1}, {-100, 5, 4}, {201, 2, 1}, {-7, 1, 0}, {12345, 1, 0}};
    for (const auto& c : cases) EXPECT_EQ(ostrel::Reflect(c.v, c.n), c.expected) << c.v << " in " << c.n;
}

}  // namespace

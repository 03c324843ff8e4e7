#include "io/image_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "io/image_io.h"
#include "support.h"

namespace {

using quen_merge::ImageData;

ImageData MakeRecord() {
    Image16* img = new Image16(2, 2, 3);
    const unsigned short samples[12] = {0, 1024, 1025, 65535, 32767, 32768, 7, 8, 9, 10, 11, 12};
    for (int i = 0; i < 12; ++i) img->data[i] = samples[i];
    return ImageData("frame.tif", img, 0.0);
}

TEST(ImageData, QueriesOutsideTheImageGiveNothing) {
    const ImageData record = MakeRecord();
    EXPECT_EQ(record.GetValue(2, 0, 0), 0);
    EXPECT_EQ(record.GetValue(0, 2, 0), 0);
    EXPECT_EQ(record.GetValue(0, 0, 3), 0);
    EXPECT_EQ(record.GetDoubleValue(0, 0, 3), 0.0);
    EXPECT_EQ(record.ClassifyPixel(2, 0, 0), 3);
    EXPECT_EQ(record.ClassifyPixel(0, 0, 3), 3);

    const ImageData empty("none", nullptr, 0.0);
    EXPECT_EQ(empty.GetValue(0, 0, 0), 0);
    EXPECT_EQ(empty.GetDoubleValue(0, 0, 0), 0.0);
    EXPECT_EQ(empty.ClassifyPixel(0, 0, 0), 3);
}

TEST(ImageData, QueriesInsideReadTheRightSample) {
    const ImageData record = MakeRecord();
    EXPECT_EQ(record.GetValue(1, 0, 0), 65535);  // pixel (1,0) starts at element 3
    EXPECT_EQ(record.GetValue(0, 1, 2), 9);      // pixel (0,1) starts at element 6
    EXPECT_EQ(record.GetDoubleValue(1, 0, 0), 65535.0 / 65536.0);
    EXPECT_EQ(record.ClassifyPixel(0, 0, 1), 1);  // 1024 is dark
    EXPECT_EQ(record.ClassifyPixel(0, 0, 2), 0);  // 1025 is not
    EXPECT_EQ(ImageData::ClassifyValue(1024), 1);
    EXPECT_EQ(ImageData::ClassifyValue(1025), 0);
}

TEST(ImageData, WeightFallsOffTowardsBlackAndWhite) {
    const ImageData record = MakeRecord();
    const double extreme = 1 - std::pow(0.5 / 0.98, 2);
    const double softened = 1 - 0.49 * 0.49;
    EXPECT_DOUBLE_EQ(record.GetWeight(0, 0, 0, 0), extreme);   // sample 0
    EXPECT_DOUBLE_EQ(record.GetWeight(0, 0, 0, 1), softened);  // lower half flagged
    EXPECT_DOUBLE_EQ(record.GetWeight(0, 0, 0, 2), extreme);   // only upper flagged
    EXPECT_DOUBLE_EQ(record.GetWeight(1, 0, 0, 2), softened);  // 65535, upper flagged
    EXPECT_DOUBLE_EQ(record.GetWeight(1, 0, 0, 1), extreme);
    EXPECT_EQ(record.GetWeight(0, 0, 0, 4), 1.0);
    EXPECT_EQ(record.GetWeight(1, 0, 0, 7), 1.0);
    // 32767 / 65535 is exactly 0.5 minus half a step: the lower half, near 1.
    EXPECT_NEAR(record.GetWeight(1, 0, 1, 0), 1.0, 1e-9);
}

TEST(ImageData, MultiplierIsTwoToTheExposureValue) {
    EXPECT_EQ(ImageData("a", nullptr, 0.0).Multiplier(), 1.0);
    EXPECT_DOUBLE_EQ(ImageData("a", nullptr, 3.0).Multiplier(), 8.0);
    EXPECT_DOUBLE_EQ(ImageData("a", nullptr, -1.0).Multiplier(), 0.5);
}

TEST(ImageData, ExposureValueComesFromTheExifTags) {
    test_support::TempDir dir;
    const std::string with_exif = dir / "exif.jpg";
    test_support::WriteJpegWithExposure(with_exif, 1, 100, 28, 10, 400);
    ImageData* frame = quen_merge::LoadImageData(with_exif.c_str());
    ASSERT_NE(frame, nullptr);
    EXPECT_NEAR(frame->EV(), std::log2(7.84 / 4.0), 1e-12);
    EXPECT_NEAR(frame->Multiplier(), 1.96, 1e-12);
    delete frame;

    // A zero denominator gives no exposure time: the tag counts as absent.
    const std::string zero = dir / "zero.jpg";
    test_support::WriteJpegWithExposure(zero, 1, 0, 28, 10, 400);
    frame = quen_merge::LoadImageData(zero.c_str());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->EV(), 0.0);
    EXPECT_EQ(frame->Multiplier(), 1.0);
    delete frame;

    const std::string plain = dir / "plain.tif";
    test_support::WriteRgb16(plain, test_support::MakeRgb16(4, 4, 100));
    frame = quen_merge::LoadImageData(plain.c_str());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->EV(), 0.0);
    EXPECT_EQ(frame->Multiplier(), 1.0);
    delete frame;
}

}  // namespace

#include "stack/merge_utils.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using quen_merge::Average;
using quen_merge::Lighten;

// A 2 x 1 frame with the given six samples.
Image16 Frame(std::vector<unsigned short> samples, unsigned width = 2) {
    Image16 frame(width, unsigned(samples.size() / 3 / width), 3);
    for (size_t i = 0; i < samples.size(); ++i) frame.data[i] = samples[i];
    return frame;
}

float Converted(unsigned short v) { return float(v) * (1.0f / 65536.0f); }

TEST(Average, OneFrameIsTheConvertedFrame) {
    Average merge;
    const Image16 frame = Frame({0, 1, 2, 65535, 32768, 7});
    ASSERT_TRUE(merge.AddFrame(&frame));
    merge.PostProcess();
    const FloatImage* out = merge.Accumulator();
    ASSERT_EQ(out->channels, 3u);
    EXPECT_EQ(out->data[3], 0.9999847412109375f);
    EXPECT_EQ(out->data[4], 0.5f);
    EXPECT_EQ(out->data[1], Converted(1));
}

TEST(Average, MeanUsesSinglePrecisionSumAndCount) {
    Average merge;
    const Image16 a = Frame({0, 65535, 1, 2, 3, 4});
    const Image16 b = Frame({65535, 65535, 2, 2, 3, 5});
    const Image16 c = Frame({1, 1, 1, 1, 1, 1});
    ASSERT_TRUE(merge.AddFrame(&a));
    ASSERT_TRUE(merge.AddFrame(&b));
    ASSERT_TRUE(merge.AddFrame(&c));
    merge.PostProcess();
    const float* out = merge.Accumulator()->data;
    for (int i = 0; i < 6; ++i) {
        const float sum = (Converted(c.data[i]) + (Converted(b.data[i]) + Converted(a.data[i])));
        EXPECT_EQ(out[i], sum / 3.0f) << i;
    }
    Average pair;
    pair.AddFrame(&a);
    pair.AddFrame(&b);
    pair.PostProcess();
    EXPECT_EQ(pair.Accumulator()->data[0], 0.49999237060546875f);
}

TEST(Merge, FrameOfAnotherSizeIsRejectedAndNotCounted) {
    const Image16 a = Frame({100, 100, 100, 100, 100, 100});
    const Image16 wide = Frame({0, 0, 0, 0, 0, 0, 0, 0, 0}, 3);
    const Image16 tall = Frame({9000, 9000, 9000, 9000, 9000, 9000}, 1);
    Average mean;
    Lighten max;
    for (quen_merge::Merge* merge : {static_cast<quen_merge::Merge*>(&mean), static_cast<quen_merge::Merge*>(&max)}) {
        ASSERT_TRUE(merge->AddFrame(&a));
        EXPECT_FALSE(merge->AddFrame(&wide));
        EXPECT_FALSE(merge->AddFrame(&tall));
        EXPECT_FALSE(merge->AddFrame(nullptr));
        ASSERT_TRUE(merge->AddFrame(&a));
        merge->PostProcess();
        EXPECT_EQ(merge->Accumulator()->width, 2u);
        EXPECT_EQ(merge->Accumulator()->data[0], Converted(100));  // the divisor is 2
    }
}

TEST(Average, DarkOfTheFrameSizeIsSubtractedWithoutClamping) {
    FloatImage dark(2, 1, 3);
    for (int i = 0; i < 6; ++i) dark.data[i] = Converted(200);
    const Image16 a = Frame({100, 300, 1000, 0, 0, 65535});
    Average merge(&dark);
    merge.AddFrame(&a);
    merge.AddFrame(&a);
    merge.PostProcess();
    const float* out = merge.Accumulator()->data;
    EXPECT_LT(out[0], 0.0f);
    for (int i = 0; i < 6; ++i) {
        const float v = Converted(a.data[i]) - dark.data[i];
        EXPECT_EQ(out[i], (v + v) / 2.0f) << i;
    }
    FloatImage other_size(1, 1, 3);
    Average ignored(&other_size);
    ignored.AddFrame(&a);
    EXPECT_EQ(ignored.Accumulator()->data[0], Converted(100));
}

TEST(Lighten, KeepsTheBrightestSampleOfEachChannel) {
    Lighten merge;
    const Image16 a = Frame({10, 500, 30, 0, 9, 65535});
    const Image16 b = Frame({20, 400, 40, 1, 8, 0});
    ASSERT_TRUE(merge.AddFrame(&a));
    ASSERT_TRUE(merge.AddFrame(&b));
    merge.PostProcess();
    const unsigned short expected[] = {20, 500, 40, 1, 9, 65535};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(merge.Accumulator()->data[i], Converted(expected[i]));
}

TEST(Lighten, SubtractsTheDark) {
    FloatImage dark(2, 1, 3);
    dark.data[0] = Converted(50);
    Lighten merge(&dark);
    const Image16 a = Frame({10, 0, 0, 0, 0, 0});
    ASSERT_TRUE(merge.AddFrame(&a));
    EXPECT_EQ(merge.Accumulator()->data[0], Converted(10) - Converted(50));
}

TEST(Merge, SetImageRestartsAndRefusesNull) {
    Average merge;
    const Image16 a = Frame({1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(merge.SetImage(nullptr));
    EXPECT_EQ(merge.Accumulator(), nullptr);
    ASSERT_TRUE(merge.SetImage(&a));
    EXPECT_EQ(merge.Accumulator()->data[5], Converted(6));
}

}  // namespace

namespace {

using quen_merge::AverageAlign;

Image16 Uniform(unsigned w, unsigned h, unsigned short v) {
    Image16 frame(w, h, 3);
    for (size_t i = 0; i < frame.ElementCount(); ++i) frame.data[i] = v;
    return frame;
}

float WeightAt(const AverageAlign& merge, unsigned x, unsigned y) {
    return merge.Weight()->Pixel(x, y)[0];
}

class AlignedAccumulator : public ::testing::Test {
protected:
    // Runs f with standard output captured and returns what it printed.
    template <typename F>
    std::string Quietly(F f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(AlignedAccumulator, IdentityAveragesReferenceAndFrame) {
    Image16 ref(8, 6, 3), frame(8, 6, 3);
    for (size_t i = 0; i < ref.ElementCount(); ++i) {
        ref.data[i] = (unsigned short)(i * 500);
        frame.data[i] = (unsigned short)(60000 - i * 300);
    }
    AverageAlign merge(nullptr, &ref);
    Quietly([&] { merge.AddFrame(&frame, 0, 0, 0); });
    for (unsigned y = 0; y < 6; ++y)
        for (unsigned x = 0; x < 8; ++x) EXPECT_EQ(WeightAt(merge, x, y), 2.0f);
    merge.PostProcess();
    for (size_t i = 0; i < ref.ElementCount(); ++i)
        EXPECT_NEAR(merge.Accumulator()->data[i], (Converted(ref.data[i]) + Converted(frame.data[i])) / 2,
                    1e-6) << i;
    EXPECT_EQ(WeightAt(merge, 3, 3), 1.0f);
}

TEST_F(AlignedAccumulator, CountsOnlyThePixelsAFrameCovers) {
    const Image16 ref = Uniform(100, 4, 1000), frame = Uniform(100, 4, 3000);
    AverageAlign shifted(nullptr, &ref);
    Quietly([&] { shifted.AddFrame(&frame, 0, 10.5, 0); });
    for (unsigned x = 0; x < 100; ++x) EXPECT_EQ(WeightAt(shifted, x, 1), x <= 10 ? 1.0f : 2.0f) << x;
    shifted.PostProcess();
    EXPECT_EQ(shifted.Accumulator()->Pixel(5, 1)[0], Converted(1000));
    EXPECT_NEAR(shifted.Accumulator()->Pixel(50, 1)[0], Converted(2000), 1e-6);

    AverageAlign turned(nullptr, &ref);
    Quietly([&] { turned.AddFrame(&frame, 90, 0, 0); });
    for (unsigned y = 0; y < 4; ++y)
        for (unsigned x = 1; x < 100; ++x) ASSERT_EQ(WeightAt(turned, x, y), 1.0f) << x << "," << y;
}

TEST_F(AlignedAccumulator, SmallerFrameCountsOnlyWhereItHasPixels) {
    const Image16 ref = Uniform(20, 10, 1000), small = Uniform(10, 6, 3000);
    AverageAlign merge(nullptr, &ref);
    Quietly([&] { merge.AddFrame(&small, 0, 0, 0); });
    for (unsigned y = 0; y < 10; ++y)
        for (unsigned x = 0; x < 20; ++x)
            EXPECT_EQ(WeightAt(merge, x, y), x < 10 && y < 6 ? 2.0f : 1.0f) << x << "," << y;
    const Image16 large = Uniform(40, 30, 3000);
    AverageAlign wide(nullptr, &ref);
    Quietly([&] { wide.AddFrame(&large, 0, -15, -12); });  // reference sits inside the frame
    for (unsigned y = 0; y < 10; ++y)
        for (unsigned x = 0; x < 20; ++x) EXPECT_EQ(WeightAt(wide, x, y), 2.0f) << x << "," << y;
}

TEST_F(AlignedAccumulator, ReportsProgressEvery200Rows) {
    const Image16 ref = Uniform(2, 450, 0);
    AverageAlign merge(nullptr, &ref);
    EXPECT_EQ(Quietly([&] { merge.AddFrame(&ref, 0, 0, 0); }),
              "Remapping image 0.000000 percent complete\n"
              "Remapping image 44.444443 percent complete\n"
              "Remapping image 88.888885 percent complete\n");
}

TEST_F(AlignedAccumulator, ReferenceKeepsNegativesWhileResampledFramesClampThem) {
    FloatImage dark(4, 4, 3);
    for (size_t i = 0; i < dark.ElementCount(); ++i) dark.data[i] = Converted(2000);
    const Image16 ref = Uniform(4, 4, 1000), frame = Uniform(4, 4, 1500);
    AverageAlign merge(&dark, &ref);
    Quietly([&] { merge.AddFrame(&frame, 0, 0, 0); });
    merge.PostProcess();
    EXPECT_NEAR(merge.Accumulator()->data[0], (Converted(1000) - Converted(2000)) / 2, 1e-7);

    AverageAlign alone(&dark, &ref);
    alone.PostProcess();
    alone.PostProcess();
    EXPECT_EQ(alone.Accumulator()->data[5], Converted(1000) - Converted(2000));
    Quietly([&] { alone.AddFrame(nullptr, 0, 0, 0); });
    EXPECT_EQ(WeightAt(alone, 0, 0), 1.0f);
}

}  // namespace

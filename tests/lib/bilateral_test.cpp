#include "lib/bilateral_internal.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

using Grey = ostrel::image<unsigned char>;
using quen_merge::BilateralFilter;

Grey Uniform(unsigned w, unsigned h, unsigned c, unsigned char v) {
    Grey img(w, h, c);
    for (size_t i = 0; i < img.ElementCount(); ++i) img.data[i] = v;
    return img;
}

std::unique_ptr<Grey> Filter(unsigned radius, unsigned range, unsigned tile, bool linear, Grey& img,
                             std::string* printed = nullptr) {
    testing::internal::CaptureStdout();
    std::unique_ptr<Grey> out(BilateralFilter(radius, range, tile, linear, &img));
    const std::string text = testing::internal::GetCapturedStdout();
    if (printed) *printed = text;
    return out;
}

TEST(Bilateral, UniformImagesBecomeTheirBinCentre) {
    for (auto [value, expected] : {std::pair{100, 102}, {0, 2}, {255, 254}}) {
        Grey img = Uniform(20, 17, 1, (unsigned char)value);
        const auto out = Filter(1, 20, 16, true, img);
        ASSERT_TRUE(out);
        for (size_t i = 0; i < out->ElementCount(); ++i) ASSERT_EQ(out->data[i], expected) << value;
    }
}

TEST(Bilateral, RadiusZeroGivesBinCentresAndRangeZeroGivesZero) {
    Grey img(16, 16, 1);
    for (size_t i = 0; i < img.ElementCount(); ++i) img.data[i] = (unsigned char)i;
    const Grey original(img);
    const auto centres = Filter(0, 8, 5, false, img);
    const auto nothing = Filter(2, 0, 8, true, img);
    _filter_context ctx;
    initialise_filter_context(8, true, ctx);
    for (size_t i = 0; i < img.ElementCount(); ++i) {
        // The own bin enters both walks, with the weights of its two bands;
        // their single-precision mean can fall just short of the centre and
        // truncate to one below it.
        const unsigned p = img.data[i], r = p % 4;
        const float centre = float(4 * (p / 4) + 2);
        const float up = ctx.range_weight[4 - r], down = ctx.range_weight[r];
        const float num = (up * centre) + (down * centre), den = up + down;
        EXPECT_EQ(centres->data[i], (unsigned char)(num / den)) << p;
        EXPECT_LE(centre - centres->data[i], 1.0f) << p;
        EXPECT_EQ(nothing->data[i], 0);
        EXPECT_EQ(img.data[i], original.data[i]);  // the input stays as it was
    }
}

TEST(Bilateral, RangeWeightsOfBothKernels) {
    _filter_context linear, quadratic;
    initialise_filter_context(20, false, linear);
    initialise_filter_context(20, true, quadratic);
    EXPECT_FLOAT_EQ(linear.range_weight[0], 0.0140625f);
    EXPECT_NEAR(linear.range_weight[16], 0.0015625f, 1e-8);  // 0.0015624985 after cancellation
    EXPECT_NEAR(linear.range_weight[17], 0.00087891f, 1e-8);
    EXPECT_EQ(linear.range_weight[20], 0.0f);
    EXPECT_EQ(linear.range_weight[21], -1.0f);
    EXPECT_NEAR(quadratic.range_weight[0], 0.0154167f, 1e-7);
    EXPECT_NEAR(quadratic.range_weight[16], 0.0029167f, 1e-7);
    EXPECT_EQ(quadratic.range_weight[255], -1.0f);
    EXPECT_EQ(linear.bin_index[255], 63);
    EXPECT_EQ(linear.bin_offset[255], 3);
    EXPECT_EQ(linear.bin_centre[63], 254.0f);
}

TEST(Bilateral, ReportsChannelsAndTiles) {
    Grey img = Uniform(10, 7, 3, 50);
    std::string printed;
    Filter(2, 20, 8, true, img, &printed);
    const std::string tiles =
        "Processing tile (0,0) to (8,8)\nProcessing tile (4,0) to (12,8)\nProcessing tile (8,0) to (14,8)\n"
        "Processing tile (0,4) to (8,11)\nProcessing tile (4,4) to (12,11)\nProcessing tile (8,4) to (14,11)\n";
    EXPECT_EQ(printed, "crunching channel 0\n" + tiles + "crunching channel 1\n" + tiles +
                           "crunching channel 2\n" + tiles);
}

TEST(Bilateral, RefusesWhatWouldNeverFinish) {
    Grey img = Uniform(10, 7, 1, 50);
    std::string printed;
    EXPECT_FALSE(Filter(2, 20, 4, true, img, &printed));  // step 0
    EXPECT_FALSE(Filter(3, 20, 4, true, img, &printed));  // step would wrap
    EXPECT_EQ(printed, "");
    EXPECT_EQ(BilateralFilter(1, 20, 8, true, nullptr), nullptr);
}

// The filter from its definition: per bin, the number of window pixels
// (mirror-padded input) in it, weighted by the tabulated range weight of
// its distance band, first upward then downward from the centre's bin.
unsigned char Reference(const Grey& img, unsigned x, unsigned y, unsigned c, unsigned radius,
                        const _filter_context& ctx) {
    auto mirror = [](int s, int n) {
        if (n == 1) return 0;
        s = std::abs(s);
        while (s > n - 1) s = std::abs(2 * (n - 1) - s);
        return s;
    };
    unsigned counts[64] = {};
    for (int j = -int(radius); j <= int(radius); ++j)
        for (int i = -int(radius); i <= int(radius); ++i)
            ++counts[img.Pixel(mirror(int(x) + i, int(img.width)), mirror(int(y) + j, int(img.height)))[c] >> 2];
    const unsigned char p = img.Pixel(x, y)[c];
    const int kb = p / 4, r = p % 4;
    float num = 0, den = 0;
    for (int k = kb; k < 64 && 4 * (k - kb + 1) - r <= 255 && ctx.range_weight[4 * (k - kb + 1) - r] >= 0; ++k) {
        const float cw = float(counts[k]) * ctx.range_weight[4 * (k - kb + 1) - r];
        den += cw;
        num += cw * float(4 * k + 2);
    }
    for (int k = kb; k >= 0 && ctx.range_weight[r + 4 * (kb - k)] >= 0; --k) {
        const float cw = float(counts[k]) * ctx.range_weight[r + 4 * (kb - k)];
        den += cw;
        num += cw * float(4 * k + 2);
    }
    return den > 0 ? (unsigned char)std::min(255.0f, num / den) : 0;
}

TEST(Bilateral, TiledFilterAgreesWithTheDefinition) {
    std::mt19937 rng(4);
    struct Case {
        unsigned w, h, channels, radius, range, tile;
        bool linear;
    };
    for (const Case& k : {Case{23, 17, 1, 1, 30, 7, true}, Case{31, 9, 3, 3, 60, 10, false},
                          Case{5, 40, 2, 2, 255, 64, true}, Case{1, 12, 1, 2, 40, 9, false},
                          Case{16, 16, 1, 4, 100, 12, true}}) {
        Grey img(k.w, k.h, k.channels);
        // Smooth areas with edges and noise, so that both walks end early and late.
        for (unsigned y = 0; y < k.h; ++y)
            for (unsigned x = 0; x < k.w; ++x)
                for (unsigned c = 0; c < k.channels; ++c)
                    img.Pixel(x, y)[c] = (unsigned char)((x < k.w / 2 ? 60 : 190) + rng() % 40);
        _filter_context ctx;
        initialise_filter_context(k.range, !k.linear, ctx);
        const auto out = Filter(k.radius, k.range, k.tile, k.linear, img);
        ASSERT_TRUE(out);
        for (unsigned y = 0; y < k.h; ++y)
            for (unsigned x = 0; x < k.w; ++x)
                for (unsigned c = 0; c < k.channels; ++c)
                    ASSERT_EQ(out->Pixel(x, y)[c], Reference(img, x, y, c, k.radius, ctx))
                        << k.w << "x" << k.h << " r=" << k.radius << " tile " << k.tile << " at " << x << ","
                        << y << "/" << c;
    }
}

}  // namespace

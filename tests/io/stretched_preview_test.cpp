#include "io/stretched_preview.h"

#include <FreeImage.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support.h"
#include "portable_random.h"

namespace {

TEST(StretchedPreview, MidtonesKeepTheEndsAndMoveTheBalanceToHalf) {
    for (const float m : {0.01f, 0.2f, 0.5f, 0.9f}) {
        EXPECT_EQ(quen_merge::Midtones(m, 0), 0);
        EXPECT_EQ(quen_merge::Midtones(m, 1), 1);
        EXPECT_NEAR(quen_merge::Midtones(m, m), 0.5f, 1e-6) << m;
    }
}

// One stretch for all channels: a sky of a different level in each channel
// comes out grey (each median at a quarter), black the same distance below
// each sky, set by the noisiest channel that shows its noise; a channel the
// camera clipped to black (nearly all its values nil) is grey too and lends
// no noise level.
TEST(StretchedPreview, MakesTheSkyNeutralWithOneStretch) {
    FloatImage sky(300, 200, 3);
    portable_random::Engine rng(5);
    const double level[3] = {0.002, 0.004, -0.001}, noise[3] = {0.0002, 0.0001, 0.0005};
    for (size_t p = 0; p < size_t(300) * 200; ++p)
        for (int c = 0; c < 3; ++c)
            sky.data[3 * p + c] = std::max(0.0f, float(portable_random::Normal(level[c], noise[c])(rng)));
    const quen_merge::SkyStretch s = quen_merge::AutoStretch(sky);
    const double sky_level[3] = {level[0], level[1], 0};  // the clipped channel's median is its floor
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(sky_level[c] - s.black[c], 2.8 * noise[0], 0.1 * noise[0]) << c;
        const float x = (float(sky_level[c]) - s.black[c]) / s.range;
        EXPECT_NEAR(quen_merge::Midtones(s.midtone, x), 0.25f, 0.01f) << c;
    }
}

// Through the program: the preview is 8-bit, no longer than asked on its long
// side, its sky grey and its stars bright; the 16-bit result is unchanged.
TEST(StretchedPreview, IsWrittenBesideTheResult) {
    test_support::TempDir dir;
    test_support::RunStarfield({"-n", "2", "-W", "400", "-H", "300", "-S", "150", "-s", "3", dir / "f%d.tif"});
    const std::vector<std::string> frames{dir / "f0.tif", dir / "f1.tif"};
    ASSERT_EQ(test_support::RunTarnic({"-o", dir / "plain.ppm", frames[0], frames[1]}).status, 0);
    for (const auto& [name, size, format] : {std::tuple{"p.png", "100", FIF_PNG}, {"p.jpg", "2000", FIF_JPEG}}) {
        const test_support::CommandResult r =
            test_support::RunTarnic({"-o", dir / "o.ppm", "-p", dir / name, "-P", size, frames[0], frames[1]});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test_support::ReadFile(dir / "o.ppm"), test_support::ReadFile(dir / "plain.ppm"));
        FIBITMAP* preview = FreeImage_Load(FreeImage_GetFileType((dir / name).c_str(), 0), (dir / name).c_str(), 0);
        ASSERT_NE(preview, nullptr) << name;
        EXPECT_EQ(FreeImage_GetFileType((dir / name).c_str(), 0), format);
        EXPECT_EQ(FreeImage_GetBPP(preview), 24u);
        const unsigned long_side = std::string(size) == "100" ? 100 : 400;
        EXPECT_EQ(FreeImage_GetWidth(preview), long_side) << name;
        EXPECT_EQ(FreeImage_GetHeight(preview), long_side * 3 / 4) << name;
        std::vector<int> greens;
        for (unsigned y = 0; y < FreeImage_GetHeight(preview); ++y)
            for (unsigned x = 0; x < FreeImage_GetWidth(preview); ++x)
                greens.push_back(FreeImage_GetScanLine(preview, y)[3 * x + FI_RGBA_GREEN]);
        FreeImage_Unload(preview);
        std::sort(greens.begin(), greens.end());
        EXPECT_NEAR(greens[greens.size() / 2], 64, 12) << name;  // the sky at a quarter
        EXPECT_GT(greens.back(), 200) << name;                    // the brightest star near white
    }
    const test_support::CommandResult bad = test_support::RunTarnic({"-p", dir / "p.png", "-P", "0", frames[0]});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "-P needs a whole number of pixels from 1 to 65535, not \"0\"\n");
}

// Camera JPEGs whose green black the camera clipped (two thirds of its sky
// at 0): the preview's sky is grey, almost nothing goes to black in any
// channel, and the stars show.
TEST(StretchedPreview, IsNeutralOnCameraJpegsWithAClippedBlack) {
    test_support::TempDir dir;
    test_support::RunStarfield({"-n", "6", "-W", "600", "-H", "400", "-S", "200", "-k", "4000", "-e", "64", "-O",
                                "1500,5200,2000", "-F", "rgb8", dir / "f%d.jpg"});
    std::vector<std::string> args{"-o", dir / "o.tif", "-p", dir / "p.png"};
    for (int k = 0; k < 6; ++k) args.push_back(dir / ("f" + std::to_string(k) + ".jpg"));
    const test_support::CommandResult r = test_support::RunTarnic(args);
    ASSERT_EQ(r.status, 0) << r.err;
    FIBITMAP* preview = FreeImage_Load(FIF_PNG, (dir / "p.png").c_str(), 0);
    ASSERT_NE(preview, nullptr);
    std::vector<int> values[3];
    for (unsigned y = 0; y < FreeImage_GetHeight(preview); ++y)
        for (unsigned x = 0; x < FreeImage_GetWidth(preview); ++x)
            for (int c = 0; c < 3; ++c) values[c].push_back(FreeImage_GetScanLine(preview, y)[3 * x + c]);
    FreeImage_Unload(preview);
    int medians[3];
    for (int c = 0; c < 3; ++c) {
        std::sort(values[c].begin(), values[c].end());
        medians[c] = values[c][values[c].size() / 2];
        const size_t black = size_t(std::upper_bound(values[c].begin(), values[c].end(), 0) - values[c].begin());
        EXPECT_LT(black, values[c].size() / 200) << c;  // under 0.5 %
        EXPECT_GT(values[c].back(), 200) << c;
    }
    EXPECT_LE(*std::max_element(medians, medians + 3) - *std::min_element(medians, medians + 3), 10);
}

}  // namespace

// Finding the ground from what changes between frames, and joining it to the
// sky along a seam that never doubles the skyline.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stack/ground_mask.h"
#include "support.h"

namespace {

using quen_merge::FeatherSeam;
using quen_merge::GroundFromEvidence;

constexpr uint32_t kWidth = 160, kHeight = 120;

// A skyline that wanders between rows 70 and 86, and a tree up to row 40.
double Skyline(uint32_t x) {
    const double hills = 78 + 8 * std::sin(x / 13.0);
    return x >= 100 && x < 112 ? 40 : hills;
}

struct Night {
    std::vector<float> ground_evidence, sky_evidence, brightness;
};

// Noise of one everywhere; the ground changes when aligned on the sky, the
// stars when held still, but only a few sky pixels hold a star; the ground
// is darker than the sky. A hot pixel in the sky changes as the ground does.
Night MakeNight() {
    Night n;
    const size_t pixels = size_t(kWidth) * kHeight;
    n.ground_evidence.assign(pixels, 1.0f);
    n.sky_evidence.assign(pixels, 1.0f);
    n.brightness.assign(pixels, 3.0f);
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            const size_t i = size_t(y) * kWidth + x;
            // Deterministic scatter: stars on one pixel in 23, texture on one in 2.
            const unsigned hash = (x * 7919u + y * 104729u) % 23u;
            if (y >= Skyline(x)) {
                n.brightness[i] = 1.0f + 0.5f * float(hash % 3);
                if (hash % 2 == 0) n.ground_evidence[i] = 30.0f;
            } else if (hash == 0) {
                n.sky_evidence[i] = 400.0f;
            }
        }
    n.ground_evidence[size_t(20) * kWidth + 30] = 5000.0f;
    return n;
}

TEST(GroundMask, FindsTheGroundToThePixelAlongTheSkylineAndNoSpeckInTheSky) {
    const Night n = MakeNight();
    const auto mask = GroundFromEvidence(n.ground_evidence, n.sky_evidence, n.brightness, kWidth, kHeight);
    size_t wrong = 0;
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
            wrong += (mask->data[size_t(y) * kWidth + x] > 0.5f) != (y >= Skyline(x));
    EXPECT_LT(double(wrong) / double(kWidth * kHeight), 0.01);
    EXPECT_EQ(mask->data[size_t(20) * kWidth + 30], 0.0f) << "a hot pixel is not a landscape";
}

TEST(GroundMask, SeamKeepsTheGroundWholeAndFadesOnTheSkysSide) {
    // Ground below row 50, one column's profile across the seam.
    FloatImage mask(40, 100, 1);
    for (uint32_t y = 50; y < 100; ++y)
        for (uint32_t x = 0; x < 40; ++x) mask.data[size_t(y) * 40 + x] = 1.0f;
    FeatherSeam(mask);
    auto at = [&](uint32_t y) { return mask.data[size_t(y) * 40 + 20]; };
    EXPECT_FLOAT_EQ(at(50), 1.0f) << "the skyline comes whole from the ground's stack";
    EXPECT_GT(at(47), 0.0f);
    EXPECT_LT(at(47), 1.0f);
    EXPECT_FLOAT_EQ(at(41), 0.0f) << "the seam is a few pixels wide";
    for (uint32_t y = 41; y < 50; ++y) EXPECT_LE(at(y), at(y + 1));
}

TEST(GroundMask, RefusesAMaskThatIsNotTheStacksSize) {
    test_support::TempDir dir;
    test_support::WriteRgb16(dir / "mask.png", test_support::MakeRgb16(8, 6, 65535));
    std::string why;
    EXPECT_FALSE(quen_merge::ReadGroundMask(dir / "mask.png", 8, 7, why));
    EXPECT_EQ(why, "is 8 x 6, the stack 8 x 7");
    const auto mask = quen_merge::ReadGroundMask(dir / "mask.png", 8, 6, why);
    ASSERT_TRUE(mask);
    EXPECT_DOUBLE_EQ(quen_merge::GroundShare(*mask), 1.0);
}

}  // namespace

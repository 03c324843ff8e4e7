#include "stars/star_shape.h"

#include <gtest/gtest.h>

#include <cmath>

#include "io/image_data.h"
#include "stars/star_detect.h"
#include "support.h"

namespace {

using quen_merge::StarShape;

// A star of widths sx, sy (px, Gaussian sigmas along x and y) on a flat sky,
// each pixel its share of the light.
Image16 EllipticalStar(double sx, double sy) {
    Image16 frame(64, 64, 3);
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            const double dx = x - 32.3, dy = y - 31.8;
            const double v = 2000 + 30000 * std::exp(-dx * dx / (2 * sx * sx) - dy * dy / (2 * sy * sy));
            for (unsigned c = 0; c < 3; ++c) frame.Pixel(x, y)[c] = (unsigned short)std::lround(v);
        }
    return frame;
}

TEST(StarShape, MeasuresTheWidthAndRoundnessOfAGaussian) {
    const struct {
        double sx, sy;
    } cases[] = {{1.5, 1.5}, {3.0, 3.0}, {3.0, 1.5}, {1.2, 2.4}};
    for (const auto& c : cases) {
        StarShape shape;
        ASSERT_TRUE(quen_merge::MeasureStarShape(EllipticalStar(c.sx, c.sy), {}, 32.3, 31.8, shape)) << c.sx;
        EXPECT_NEAR(shape.fwhm, 2.3548 * std::sqrt(c.sx * c.sy), 0.02 * shape.fwhm) << c.sx << " x " << c.sy;
        EXPECT_NEAR(shape.roundness, std::min(c.sx, c.sy) / std::max(c.sx, c.sy), 0.02) << c.sx << " x " << c.sy;
    }
    StarShape shape;
    EXPECT_FALSE(quen_merge::MeasureStarShape(EllipticalStar(2, 2), {}, 5, 5, shape));  // too near the edge
}

// Through the detector on generated noisy frames: the field's median width
// is the generator's PSF (a pixel-integrated Gaussian), and the stars round.
TEST(StarShape, FindsTheGeneratorsSeeingInANoisyField) {
    test_support::TempDir dir;
    for (const double sigma : {1.5, 2.5}) {
        const std::string name = dir / ("f" + std::to_string(int(sigma * 10)) + "_%d.tif");
        test_support::RunStarfield({"-n", "1", "-W", "600", "-H", "400", "-S", "120", "-f", std::to_string(sigma),
                                    name});
        const auto frame = test_support::LoadQuietly(dir / ("f" + std::to_string(int(sigma * 10)) + "_0.tif"));
        ASSERT_TRUE(frame && frame->Image());
        std::vector<quen_merge::StarRef> stars;
        quen_merge::DetectStars(frame->Image(), quen_merge::Calibration(), stars);
        const quen_merge::FieldShape field = quen_merge::MeasureFieldShape(*frame->Image(), {}, stars);
        EXPECT_GT(field.measured, 30u);
        const double truth = 2.3548 * std::sqrt(sigma * sigma + 1.0 / 12);  // the pixel adds its own width
        EXPECT_NEAR(field.median.fwhm, truth, 0.05 * truth) << sigma;
        EXPECT_GT(field.median.roundness, 0.9) << sigma;
    }
}

}  // namespace

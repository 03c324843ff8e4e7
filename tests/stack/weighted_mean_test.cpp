// -w through the program: frames whose sky noise differs from 1x to 3x are
// weighted so that the stack's noise is the least a mean can have.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support.h"

namespace {

// One green pixel's noise, from the median absolute difference of
// neighbouring pixels: the stars and the sky's shape leave it.
double PixelNoise(const test_support::Rgb16& picture) {
    std::vector<double> steps;
    for (unsigned y = 0; y < picture.height; ++y)
        for (unsigned x = 0; x + 1 < picture.width; x += 2)
            steps.push_back(std::fabs(double(picture.at(x, y, 1)) - picture.at(x + 1, y, 1)));
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return 1.4826 * steps[steps.size() / 2] / std::sqrt(2.0);
}

TEST(WeightedMean, ReachesTheLeastNoiseOfFramesOfUnequalNoise) {
    test_support::TempDir dir;
    // The same field; the first three frames quiet, the last three with 3x
    // the noise (9x the gain), drawn from other draws of the generator.
    const std::vector<std::string> field{"-n", "6", "-W", "400", "-H", "300", "-S", "60", "-k", "3000"};
    auto make = [&](const char* gain, const std::string& pattern) {
        std::vector<std::string> args = field;
        args.insert(args.end(), {"-e", gain, dir / pattern});
        test_support::RunStarfield(args);
    };
    make("1", "quiet%d.ppm");
    make("9", "noisy%d.ppm");
    const std::vector<std::string> frames{dir / "quiet0.ppm", dir / "quiet1.ppm", dir / "quiet2.ppm",
                                          dir / "noisy3.ppm", dir / "noisy4.ppm", dir / "noisy5.ppm"};
    double inverse = 0;
    for (const std::string& f : frames) inverse += 1 / std::pow(PixelNoise(test_support::ReadRgb16(f)), 2);
    const double optimal = 1 / std::sqrt(inverse);
    std::vector<std::string> plain{"-o", dir / "plain.ppm"}, weighted{"-w", "-o", dir / "weighted.ppm"};
    plain.insert(plain.end(), frames.begin(), frames.end());
    weighted.insert(weighted.end(), frames.begin(), frames.end());
    ASSERT_EQ(test_support::RunTarnic(plain).status, 0);
    const test_support::CommandResult w = test_support::RunTarnic(weighted);
    ASSERT_EQ(w.status, 0) << w.err;
    const double equal = PixelNoise(test_support::ReadRgb16(dir / "plain.ppm"));
    const double least = PixelNoise(test_support::ReadRgb16(dir / "weighted.ppm"));
    EXPECT_NEAR(least, optimal, 0.03 * optimal);
    EXPECT_LT(least, 0.85 * equal);
    // Weights do not move the sky's level: each channel is weighed on its own.
    EXPECT_NEAR(test_support::ReadRgb16(dir / "weighted.ppm").at(200, 150, 1),
                test_support::ReadRgb16(dir / "plain.ppm").at(200, 150, 1), 6 * equal);
}

}  // namespace

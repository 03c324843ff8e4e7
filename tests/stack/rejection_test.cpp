// Outlier rejection (-r) end to end: trails and hits left out, clean frames
// kept, the option refused where it has no meaning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "star_measure.h"
#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;

// Ten frames of one field, clean and with two satellite trails, an aircraft
// and cosmic-ray hits (otherwise the same frames); still and moved; made once
// for every test program of the run.
class Rejection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data = test_support::SharedData("rejection", [](const std::string& folder) {
            const std::vector<std::string> field{"-n", "10", "-W", "400", "-H", "300", "-S", "200", "-s", "13"};
            const std::vector<std::string> transients{"-Z", "2,6", "-A", "4", "-c", "30"};
            const std::vector<std::string> moved{"-b", "4000,60000", "-S", "400", "-r", "1", "-x", "20"};
            auto generate = [&folder](std::vector<std::string> args, const std::vector<std::string>& extra,
                                      const std::string& pattern) {
                args.insert(args.end(), extra.begin(), extra.end());
                args.push_back(folder + "/" + pattern);
                test_support::RunStarfield(args);
            };
            generate(field, {}, "clean%d.ppm");
            generate(field, transients, "trail%d.ppm");
            std::vector<std::string> moved_field = field;
            moved_field.insert(moved_field.end(), moved.begin(), moved.end());
            generate(moved_field, {}, "mclean%d.ppm");
            generate(moved_field, transients, "mtrail%d.ppm");
        });
    }

    static std::vector<std::string> Frames(const std::string& stem) {
        std::vector<std::string> files;
        for (int k = 0; k < 10; ++k) files.push_back(data + "/" + stem + std::to_string(k) + ".ppm");
        return files;
    }
    // The stack of stem's frames with the options; fails the test on error.
    Rgb16 Stacked(std::vector<std::string> options, const std::string& stem, std::string* out = nullptr) {
        const std::string path = dir / "stack.ppm";
        options.insert(options.end(), {"-o", path});
        const auto files = Frames(stem);
        options.insert(options.end(), files.begin(), files.end());
        const CommandResult r = RunTarnic(options);
        EXPECT_EQ(r.status, 0) << r.err;
        if (out) *out = r.out;
        return ReadRgb16(path);
    }
    static std::string data;  // the shared frames, read only
    test_support::TempDir dir;  // this test's results
};
std::string Rejection::data;

std::vector<double> Green(const Rgb16& img) {
    std::vector<double> v;
    for (unsigned y = 0; y < img.height; ++y)
        for (unsigned x = 0; x < img.width; ++x) v.push_back(img.at(x, y, 1));
    return v;
}

// The largest difference between a clipped stack of trail frames and the mean
// of the clean frames, over the sky away from stars and from a margin of the
// edges (where moved frames leave fewer values), in units of the clean
// stack's noise.
double WorstSkyDifference(const Rgb16& clipped, const Rgb16& clean, unsigned margin = 8) {
    const std::vector<double> sky = Green(clean);
    const double noise = star_measure::RobustSpread(sky), level = star_measure::Median(sky);
    double worst = 0;
    for (unsigned y = margin; y + margin < clean.height; ++y)
        for (unsigned x = margin; x + margin < clean.width; ++x) {
            if (clean.at(x, y, 1) > level + 4 * noise) continue;  // a star
            for (unsigned c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(double(clipped.at(x, y, c)) - clean.at(x, y, c)) / noise);
        }
    return worst;
}

// The standard deviation of the green sky, stars left out: finer than a
// median's spread, which moves in whole steps of 1.48 ADU.
double SkySpread(const Rgb16& img) {
    const std::vector<double> green = Green(img);
    const double level = star_measure::Median(green), rough = star_measure::RobustSpread(green);
    double sum = 0, squares = 0, n = 0;
    for (double v : green) {
        if (std::fabs(v - level) > 4 * rough) continue;
        sum += v;
        squares += v * v;
        n += 1;
    }
    return std::sqrt(squares / n - (sum / n) * (sum / n));
}

TEST_F(Rejection, KeepsTrailsAndHitsOutOfTheMean) {
    const Rgb16 clean = Stacked({}, "clean");
    std::string printed;
    const Rgb16 clipped = Stacked({"-r", "3"}, "trail", &printed);
    EXPECT_NE(printed.find("Rejected "), std::string::npos);
    EXPECT_LT(WorstSkyDifference(clipped, clean), 3.0);
    EXPECT_GT(WorstSkyDifference(Stacked({}, "trail"), clean), 30.0);  // the plain mean keeps them
}

TEST_F(Rejection, KeepsTrailsOutOfAnAlignedMean) {
    const Rgb16 clean = Stacked({"-t", "a"}, "mclean");
    const Rgb16 clipped = Stacked({"-t", "a", "-r", "3"}, "mtrail");
    EXPECT_LT(WorstSkyDifference(clipped, clean, 30), 3.0);  // frames moved by up to 20 px and 1 degree
    const Rgb16 star_clean = Stacked({"-t", "s"}, "mclean");
    const Rgb16 star_clipped = Stacked({"-t", "s", "-r", "3"}, "mtrail");
    EXPECT_LT(WorstSkyDifference(star_clipped, star_clean, 30), 3.0);
}

TEST_F(Rejection, CostsLittleNoiseAndNoStarlightOnCleanFrames) {
    const Rgb16 plain = Stacked({}, "clean"), clipped = Stacked({"-r", "3"}, "clean");
    // The spread comes from the noise model, not from each sample's nine
    // others: clipping at 3 sigma costs little noise.
    EXPECT_LT(SkySpread(clipped), 1.03 * SkySpread(plain));
    const double sky = star_measure::Median(Green(plain));
    auto green = [](const Rgb16& img) { return [&img](int x, int y) { return double(img.at(x, y, 1)); }; };
    double plain_flux = 0, clipped_flux = 0;
    for (const auto& [x, y] : star_measure::BrightPeaks(green(plain), 400, 300, sky + 3000, 8))
        for (int j = -3; j <= 3; ++j)
            for (int i = -3; i <= 3; ++i) {
                plain_flux += plain.at(x + i, y + j, 1) - sky;
                clipped_flux += clipped.at(x + i, y + j, 1) - sky;
            }
    ASSERT_GT(plain_flux, 0);
    EXPECT_NEAR(clipped_flux / plain_flux, 1.0, 0.01);
}

TEST_F(Rejection, RefusesAKappaThatIsNoPositiveNumber) {
    for (const char* kappa : {"0", "-2", "x", "3x", "", "nan", "inf"}) {
        const CommandResult r = RunTarnic({"-r", kappa, "-o", dir / "never.ppm", Frames("clean")[0]});
        EXPECT_EQ(r.status, 1) << kappa;
        EXPECT_EQ(r.out, "") << kappa;  // nothing was read
        EXPECT_NE(r.err.find("-r needs a positive number"), std::string::npos) << kappa << ": " << r.err;
        EXPECT_FALSE(test_support::FileExists(dir / "never.ppm"));
    }
}

TEST_F(Rejection, DoesNotApplyToStarTrailsButToTheirDarks) {
    const auto frames = Frames("trail");
    const CommandResult r = RunTarnic({"-t", "t", "-r", "3", "-o", dir / "t.ppm", frames[0], frames[2]});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("-r does not apply to star trails (-t t)"), std::string::npos) << r.err;
    ASSERT_EQ(RunTarnic({"-t", "t", "-o", dir / "plain.ppm", frames[0], frames[2]}).status, 0);
    EXPECT_EQ(test_support::ReadFile(dir / "t.ppm"), test_support::ReadFile(dir / "plain.ppm"));
    // Three darks, one of them crossed by a trail: the master dark leaves it out.
    const CommandResult d = RunTarnic({"-r", "3", "-d", frames[2], "-d", frames[0], "-d", frames[1],
                                       "-d", frames[3], "-o", dir / "d.ppm", frames[5]});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(test_support::CountOf(d.out, "Rejected "), 2u) << d.out;
}

}  // namespace

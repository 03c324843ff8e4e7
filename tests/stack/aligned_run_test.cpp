// Aligned stacks end to end (-t a and -t s) on generated frames of known motion
// and on the real CCD sequence.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "star_measure.h"
#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;
using test_support::TempDir;

// An aligned stack of generated frames with known motion, made once for
// every test program of the run: the frames, the truth, the stack and what
// the run printed.
class AlignedRun : public ::testing::Test {
protected:
    static constexpr int kFrames = 8;
    static void SetUpTestSuite() {
        dir = test_support::SharedData("aligned-run", [](const std::string& folder) {
            test_support::RunStarfield({"-n", std::to_string(kFrames), "-W", "800", "-H", "600", "-S", "2000",
                                        "-b", "4000,60000", "-r", "3", "-x", "100", "-s", "31",
                                        "-T", folder + "/truth.txt", folder + "/f%d.tif"});
            std::vector<std::string> args{"-t", "a", "-o", folder + "/stack.tif"};
            for (int k = 0; k < kFrames; ++k) args.push_back(folder + "/f" + std::to_string(k) + ".tif");
            const CommandResult made = RunTarnic(args);
            test_support::WriteFile(folder + "/status", std::to_string(made.status));
            test_support::WriteFile(folder + "/out", made.out);
            test_support::WriteFile(folder + "/err", made.err);
            test_support::WriteFile(folder + "/made_in", folder);
        });
        run.status = std::atoi(test_support::ReadFile(dir + "/status").c_str());
        run.out = test_support::ReadFile(dir + "/out");
        run.err = test_support::ReadFile(dir + "/err");
    }
    static std::string Path(const std::string& name) { return dir + "/" + name; }
    static std::string dir;
    static CommandResult run;
};
std::string AlignedRun::dir;
CommandResult AlignedRun::run;

// The transforms a run printed, in frame order.
std::vector<std::array<double, 3>> PrintedTransforms(const std::string& out) {
    std::vector<std::array<double, 3>> found;
    size_t at = 0;
    while ((at = out.find("Rotate ", at)) != std::string::npos) {
        std::array<double, 3> t;
        if (std::sscanf(out.c_str() + at, "Rotate %lf degrees around (0,0), Translate (%lf, %lf)", &t[0], &t[1], &t[2]) == 3)
            found.push_back(t);
        ++at;
    }
    return found;
}


// Where a transform takes reference position (x, y) back into the frame.
std::array<double, 2> IntoFrame(const std::array<double, 3>& t, double x, double y) {
    const double a = t[0] * std::acos(-1.0) / 180, c = std::cos(a), s = std::sin(a);
    return {c * (x - t[1]) + s * (y - t[2]), -s * (x - t[1]) + c * (y - t[2])};
}

TEST_F(AlignedRun, PrintsEveryFramesTransformToWithinAThirdOfAPixel) {
    ASSERT_EQ(run.status, 0) << run.err;
    const auto printed = PrintedTransforms(run.out);
    const auto truth = test_support::ReadTransforms(Path("truth.txt"));
    ASSERT_EQ(printed.size(), size_t(kFrames - 1));
    for (int k = 1; k < kFrames; ++k) {
        // The two rigid maps differ most at a corner of the frame.
        for (auto [x, y] : {std::pair{0.0, 0.0}, {799.0, 0.0}, {0.0, 599.0}, {799.0, 599.0}}) {
            const auto a = IntoFrame(printed[k - 1], x, y), b = IntoFrame(truth[k], x, y);
            EXPECT_LT(std::hypot(a[0] - b[0], a[1] - b[1]), 0.3) << "frame " << k << " at " << x << "," << y;
        }
    }
}

// Robust spread of the green samples of the central region: stars are outliers.
double BackgroundNoise(const Rgb16& img) {
    std::vector<double> v;
    for (unsigned y = 150; y < 450; ++y)
        for (unsigned x = 200; x < 600; ++x) v.push_back(img.at(x, y, 1));
    return star_measure::RobustSpread(v);
}

// Stars are found while frames load, yet each frame's lines come in the
// order of a one-frame-at-a-time run: what loading said, the frame's name,
// then the star search, then the fit.
TEST_F(AlignedRun, PrintsEachFramesLinesInTheirOrder) {
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);)
        if (line.rfind("Remapping", 0) != 0) lines.push_back(line);
    size_t at = 0;
    for (int k = 0; k < kFrames; ++k) {
        // The names as given to the run, in the folder it was made in.
        const std::string name = test_support::ReadFile(Path("made_in")) + "/f" + std::to_string(k) + ".tif";
        ASSERT_LT(at + 4, lines.size());
        EXPECT_EQ(lines[at++].rfind("image_type = ", 0), 0u) << k;
        EXPECT_EQ(lines[at++], "Image " + std::to_string(k) + " - \"" + name + "\"");
        EXPECT_EQ(lines[at++], "Blur");
        EXPECT_EQ(lines[at++], "Scan for stars");
        EXPECT_EQ(lines[at].rfind(k == 0 ? "Found " : "Fitting ", 0), 0u) << lines[at];
        while (at < lines.size() && lines[at].rfind("image_type = ", 0) != 0 && lines[at] != "Post processing") ++at;
    }
    ASSERT_LT(at, lines.size());
    EXPECT_EQ(lines[at], "Post processing");
}

TEST_F(AlignedRun, StackedStarsStayWhereTheReferenceHasThemAndStaySharp) {
    ASSERT_EQ(run.status, 0) << run.err;
    const Rgb16 stack = ReadRgb16(Path("stack.tif")), single = ReadRgb16(Path("f0.tif"));
    ASSERT_EQ(stack.width, 800u);
    auto green = [](const Rgb16& img) { return [&img](int x, int y) { return double(img.at(x, y, 1)); }; };
    std::vector<double> stack_fwhm, single_fwhm;
    // Bright stars of the reference: their peaks stand far above the sky.
    for (const auto& [x, y] : star_measure::BrightPeaks(green(single), 800, 600, 20000, 60)) {
        const auto ref = star_measure::MeasureStar(green(single), x, y);
        const auto got = star_measure::MeasureStar(green(stack), x, y);
        EXPECT_LT(std::hypot(got.x - ref.x, got.y - ref.y), 0.2) << "star at " << x << "," << y;
        single_fwhm.push_back(ref.fwhm);
        stack_fwhm.push_back(got.fwhm);
    }
    ASSERT_GT(single_fwhm.size(), 20u);
    EXPECT_LT(star_measure::Median(stack_fwhm), 1.15 * star_measure::Median(single_fwhm));
    EXPECT_LT(BackgroundNoise(stack), 1.2 / std::sqrt(double(kFrames)) * BackgroundNoise(single));
}

// The grid RMS, over a w x h frame, of the distance between where two
// transforms (degrees, tx, ty) take a frame position.
double GridRms(const std::array<double, 3>& a, const std::array<double, 3>& b, double w, double h) {
    const double k = 57.2957795131, ca = std::cos(a[0] / k), sa = std::sin(a[0] / k);
    const double cb = std::cos(b[0] / k), sb = std::sin(b[0] / k);
    double squares = 0;
    int n = 0;
    for (double y = 0; y <= h; y += h / 20)
        for (double x = 0; x <= w; x += w / 20) {
            const double dx = (ca * x - sa * y + a[1]) - (cb * x - sb * y + b[1]);
            const double dy = (sa * x + ca * y + a[2]) - (sb * x + cb * y + b[2]);
            squares += dx * dx + dy * dy;
            ++n;
        }
    return std::sqrt(squares / n);
}

// Frames of one field, turned by up to 180 degrees about their centres and
// shifted, 30 % of their stars replaced, with hot pixels.
class StarAligned : public ::testing::Test {
protected:
    std::vector<std::string> Generate(const std::string& stem, std::vector<std::string> light, int frames = 6,
                                      const std::string& extension = ".tif") {
        std::vector<std::string> args{"-n", std::to_string(frames), "-W", "1000", "-H", "800", "-S", "1500",
                                      "-a", "180", "-x", "100", "-X", "0.3", "-p", "60", "-s", "41",
                                      "-T", dir / (stem + ".txt")};
        args.insert(args.end(), light.begin(), light.end());
        args.push_back(dir / (stem + "%d" + extension));
        test_support::RunStarfield(args);
        std::vector<std::string> files;
        for (int k = 0; k < frames; ++k) files.push_back(dir / (stem + std::to_string(k) + extension));
        return files;
    }
    // The frames stacked with -t s into s.ppm.
    CommandResult StackOnEveryStar(const std::vector<std::string>& files) {
        std::vector<std::string> args{"-t", "s", "-o", dir / "s.ppm"};
        args.insert(args.end(), files.begin(), files.end());
        return RunTarnic(args);
    }
    TempDir dir;
};

TEST_F(StarAligned, FitsEveryFrameAtAnyAngleToAFiftiethOfAPixel) {
    for (const auto& [stem, light] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"linear", {"-k", "300", "-b", "250,3000"}}, {"bright", {"-k", "2000", "-b", "2000,60000", "-F", "rgb8"}},
             // A tracking mount: the whole field drifts by less than a pixel, hot pixels hold still.
             {"tracked", {"-a", "0", "-x", "0.8", "-p", "300"}}}) {
        const CommandResult r = StackOnEveryStar(Generate(stem, light));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("left out"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("6 of 6 frames stacked\n"), std::string::npos) << stem;
        const auto printed = PrintedTransforms(r.out);
        const auto truth = test_support::ReadTransforms(dir / (stem + ".txt"));
        ASSERT_EQ(printed.size(), 5u) << stem;
        for (size_t k = 1; k < truth.size(); ++k)
            EXPECT_LT(GridRms(printed[k - 1], truth[k], 1000, 800), 0.02) << stem << " frame " << k;
        EXPECT_EQ(test_support::CountOf(r.out, "Matched "), 5u);
    }
}

TEST_F(StarAligned, FitsRawCameraFrames) {
    // 12-bit frames behind an RGGB filter, as DNG: decoded, their hundreds of
    // hot pixels become coloured blobs that are found among the stars.
    const CommandResult r = StackOnEveryStar(Generate("raw", {"-e", "20", "-p", "700"}, 5, ".dng"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("5 of 5 frames stacked\n"), std::string::npos) << r.err;
    const auto printed = PrintedTransforms(r.out);
    const auto truth = test_support::ReadTransforms(dir / "raw.txt");
    ASSERT_EQ(printed.size(), 4u);
    for (size_t k = 1; k < truth.size(); ++k) EXPECT_LT(GridRms(printed[k - 1], truth[k], 1000, 800), 0.05) << k;
}

TEST_F(StarAligned, LinearFramesThatThePatternMatcherCannotUse) {
    // -t a finds too few stars in faint linear data and stacks the first frame alone.
    const auto files = Generate("linear", {"-k", "300", "-b", "250,3000"}, 3);
    std::vector<std::string> args{"-t", "a", "-o", dir / "a.ppm"};
    args.insert(args.end(), files.begin(), files.end());
    const CommandResult r = RunTarnic(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1 of 3 frames stacked\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Stacked 1 of 3 frames: 2 could not be aligned (try -t s)\n"), std::string::npos)
        << r.err;
}

TEST_F(StarAligned, LeavesOutAnUnrelatedFieldAndFramesBeforeTheReference) {
    const auto field = Generate("field", {"-b", "1000,40000"}, 4);
    // Another part of the sky, and a starless frame first.
    test_support::RunStarfield({"-n", "1", "-W", "1000", "-H", "800", "-S", "1500", "-b", "1000,40000", "-s", "99",
                                dir / "other%d.tif"});
    test_support::RunStarfield({"-n", "1", "-W", "1000", "-H", "800", "-S", "0", "-s", "5", dir / "clouds%d.tif"});
    std::vector<std::string> args{"-t", "s", "-o", dir / "s.ppm", dir / "clouds0.tif", field[0], field[1],
                                  dir / "other0.tif", field[2], field[3]};
    const CommandResult r = RunTarnic(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Found 0 stars, too few to align on: frame left out\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Image 3 - \"" + dir / "other0.tif" + "\"\nFitting "), std::string::npos);
    EXPECT_EQ(test_support::CountOf(r.out, "Unable to align the frame: "), 1u) << r.out;
    EXPECT_EQ(test_support::CountOf(r.out, "Matched "), 3u);
    EXPECT_NE(r.out.find("4 of 6 frames stacked\n"), std::string::npos);
    EXPECT_NE(r.err.find("Stacked 4 of 6 frames: 2 could not be aligned\n"), std::string::npos) << r.err;
    // The reference is the grid of the result: the first field frame's size.
    EXPECT_EQ(ReadRgb16(dir / "s.ppm").width, 1000u);
}

// The real CCD frames: every later frame fitted, close to astroalign's
// transforms (which hold a scale of 1.0002 to 1.0009 besides).
TEST_F(StarAligned, FitsEveryFrameOfTheRealCcdSequence) {
    const std::string set = test_support::RealDataDir("iraf-stargate");
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    const CommandResult r = StackOnEveryStar(test_support::ListFiles(set, ".png"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("10 of 10 frames stacked\n"), std::string::npos) << r.out;
    const auto printed = PrintedTransforms(r.out);
    ASSERT_EQ(printed.size(), 9u);
    // Lines "file rot_deg tx ty scale matches rms secs" below '#' comments.
    std::vector<std::array<double, 3>> astroalign;
    std::istringstream table(test_support::ReadFile(set + "/astroalign_transforms.txt"));
    std::string line, file;
    while (std::getline(table, line)) {
        std::array<double, 3> t;
        std::istringstream fields(line);
        if (line[0] != '#' && fields >> file >> t[0] >> t[1] >> t[2]) astroalign.push_back(t);
    }
    ASSERT_EQ(astroalign.size(), 9u);
    for (size_t k = 0; k < 9; ++k) EXPECT_LT(GridRms(printed[k], astroalign[k], 752, 581), 0.6) << "frame " << k + 2;
}

}  // namespace

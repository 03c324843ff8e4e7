#include "stack/merge.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "io/image_io.h"
#include "support.h"
#include "portable_random.h"

namespace {

using quen_merge::MergeNoAlign;
using test_support::TempDir;

float Converted16(unsigned short v) { return float(v) / 65536.0f; }

class UnalignedStack : public ::testing::Test {
protected:
    // Writes a w x h frame of one value and returns its path.
    std::string Frame(const std::string& name, uint16_t value, unsigned w = 4, unsigned h = 3) {
        const std::string path = dir / name;
        test_support::WriteRgb16(path, test_support::MakeRgb16(w, h, value));
        return path;
    }
    TempDir dir;
};

TEST_F(UnalignedStack, EmptyListGivesNothingAndPrintsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(MergeNoAlign({}, nullptr, quen_merge::MergeAverage), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(UnalignedStack, ReportsEveryFrameAndSkipsTheUnusable) {
    const std::string a = Frame("a.tif", 100), b = Frame("b.tif", 300);
    const std::string wide = Frame("wide.tif", 9999, 5, 3);
    const std::string missing = dir / "missing.tif";
    testing::internal::CaptureStdout();
    std::unique_ptr<FloatImage> out(
        MergeNoAlign({a, missing, wide, b}, nullptr, quen_merge::MergeAverage));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "image_type = 9\nFrame \"" + a + "\" added.\n" +
                           "Unable to load Frame \"" + missing + "\".\n" +
                           "image_type = 9\nFrame \"" + wide + "\" rejected.\n" +
                           "image_type = 9\nFrame \"" + b + "\" added.\n" + "Post processing\n");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width, 4u);
    EXPECT_EQ(out->data[0], 200.0f / 65536.0f);  // the rejected frame is not counted
}

TEST_F(UnalignedStack, NoUsableFrameGivesNull) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(MergeNoAlign({dir / "x.tif", dir / "y.tif"}, nullptr, quen_merge::MergeLighten),
              nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unable to load Frame \"" + dir / "x.tif" + "\".\nUnable to load Frame \"" +
                  dir / "y.tif" + "\".\nPost processing\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "file " + dir / "x.tif" + " does not exist\nfile " + dir / "y.tif" +
                  " does not exist\n");
}

TEST_F(UnalignedStack, AnyTypeButAverageIsLighten) {
    const std::string a = Frame("a.ppm", 100), b = Frame("b.ppm", 300);
    testing::internal::CaptureStdout();
    std::unique_ptr<FloatImage> out(MergeNoAlign({b, a}, nullptr, quen_merge::MergeType(7)));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data[0], 300.0f / 65536.0f);
}

}  // namespace

namespace {

using quen_merge::MergeAlignStars;

// Frames whose stars are 4 x 3 blocks (12 pixels) on black, at random places
// spread over a 300 x 200 frame.
class AlignedStack : public ::testing::Test {
protected:
    AlignedStack() {
        portable_random::Engine rng(17);
        portable_random::UniformInt ux(20, 270), uy(20, 170);
        while (stars.size() < 30) {
            const std::pair<int, int> p{ux(rng), uy(rng)};
            bool crowded = false;
            for (const auto& q : stars) crowded |= std::abs(q.first - p.first) < 12 && std::abs(q.second - p.second) < 12;
            if (!crowded) stars.push_back(p);
        }
    }
    // The first `count` stars moved by (dx, dy), of the given value; returns the path.
    std::string Frame(const std::string& name, size_t count, int dx = 0, int dy = 0,
                      uint16_t value = 50000) {
        test_support::Rgb16 picture = test_support::MakeRgb16(300, 200, 0);
        for (size_t s = 0; s < count; ++s)
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x)
                    for (int c = 0; c < 3; ++c)
                        picture.at(stars[s].first + dx + x, stars[s].second + dy + y, c) = value;
        const std::string path = dir / name;
        test_support::WriteRgb16(path, picture);
        return path;
    }
    std::string Stack(const std::vector<std::string>& files, std::unique_ptr<FloatImage>& out) {
        testing::internal::CaptureStdout();
        out.reset(MergeAlignStars(files, nullptr, quen_merge::kMeanRule.make(0)));
        return testing::internal::GetCapturedStdout();
    }
    std::vector<std::pair<int, int>> stars;
    TempDir dir;
};

const std::string kFound = "image_type = 9\nBlur\nScan for stars\n";

TEST_F(AlignedStack, EmptyListOrNothingLoadableGivesNull) {
    std::unique_ptr<FloatImage> out;
    EXPECT_EQ(Stack({}, out), "");
    EXPECT_FALSE(out);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Stack({dir / "a.tif", dir / "b.tif"}, out),
              "Unable to load Frame \"" + dir / "a.tif" + "\".\nUnable to load Frame \"" + dir / "b.tif" +
                  "\".\nPost processing\n");
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(out);
}

TEST_F(AlignedStack, OneFrameIsItsOwnReferenceAndTheResult) {
    const std::string a = Frame("a.tif", 30);
    std::unique_ptr<FloatImage> out;
    EXPECT_EQ(Stack({a}, out), "image_type = 9\nImage 0 - \"" + a + "\"\nBlur\nScan for stars\n" +
                                   "Found 30 stars in reference image\nPost processing\n1 of 1 frames stacked\n");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width, 300u);
    EXPECT_EQ(out->Pixel(stars[0].first, stars[0].second)[1], Converted16(50000));
}

TEST_F(AlignedStack, LaterFramesAreFittedAndAveragedOnTheFirstGrid) {
    const std::string a = Frame("a.tif", 30), b = Frame("b.tif", 30, 3, -2, 30000);
    const std::string few = Frame("few.tif", 4, 1, 1), missing = dir / "missing.tif";
    std::unique_ptr<FloatImage> out;
    testing::internal::CaptureStderr();
    const std::string printed = Stack({missing, a, few, b}, out);
    const std::string err = testing::internal::GetCapturedStderr();
    // The 4-star frame is left out, and the stack says so.
    EXPECT_NE(printed.find("Post processing\n2 of 3 frames stacked\n"), std::string::npos) << printed;
    EXPECT_NE(err.find("Stacked 2 of 4 frames: 1 could not be read, 1 could not be aligned (try -t s)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(printed.rfind("Unable to load Frame \"" + missing + "\".\nimage_type = 9\nImage 1 - \"" + a + "\"\n", 0), 0u)
        << printed;
    // The 4-star frame prints its lines and nothing else.
    EXPECT_NE(printed.find("Image 2 - \"" + few + "\"\nBlur\nScan for stars\nimage_type = 9\nImage 3"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("Fitting 30 stars to reference image\nAttempting to fit transform to 30 matches\nFitted 30 points\nRotate "),
              std::string::npos) << printed;
    ASSERT_TRUE(out);
    // A mean, not a maximum: the stars line up, and their values 50000 and
    // 30000 average to 40000.
    const float* centre = out->Pixel(stars[5].first + 1, stars[5].second + 1);
    EXPECT_NEAR(centre[0], Converted16(40000), 0.01);
}

TEST_F(AlignedStack, FirstFrameWithTooFewStarsStaysTheGrid) {
    const std::string dim = Frame("dim.tif", 3), a = Frame("a.tif", 30), b = Frame("b.tif", 30, 2, 1);
    std::unique_ptr<FloatImage> out;
    const std::string printed = Stack({dim, a, b}, out);
    EXPECT_NE(printed.find("Image 1 - \"" + a + "\"\nBlur\nScan for stars\nFound 30 stars in reference image\n"),
              std::string::npos) << printed;
    ASSERT_TRUE(out);
    // The second frame is only the star reference: star 10 appears from the
    // third frame alone (weight 2 with the first frame, which lacks it).
    const float* p = out->Pixel(stars[10].first + 1, stars[10].second + 1);
    EXPECT_NEAR(p[0], Converted16(50000) / 2, 0.02);
}

}  // namespace

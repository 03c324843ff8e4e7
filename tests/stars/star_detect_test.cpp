#include "stars/star_detect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "stars/align.h"
#include "io/image_io.h"
#include "support.h"

namespace {

using quen_merge::StarRef;

using Truth = test_support::CatalogueStar;

// One generated frame with the generator's options, its catalogue and the
// stars DetectStars finds in it.
struct Detected {
    std::vector<Truth> truth;
    std::unique_ptr<quen_merge::ImageData> frame;
    std::vector<StarRef> found;
};

Detected DetectInGenerated(const test_support::TempDir& dir, std::vector<std::string> options) {
    options.insert(options.end(), {"-n", "1", "-C", dir / "stars.txt", dir / "f%d.tif"});
    test_support::RunStarfield(options);
    Detected d{test_support::ReadCatalogue(dir / "stars.txt"), test_support::LoadQuietly(dir / "f0.tif"), {}};
    if (d.frame) quen_merge::DetectStars(d.frame->Image(), nullptr, d.found);
    return d;
}

using test_support::LoadQuietly;


// Faint stars on a low sky, as linear data from a CCD or a raw file: the
// 8-bit detector finds almost none, this one nearly all, where they are.
TEST(DetectStars, FindsFaintStarsOfLinearDataWhereTheyAre) {
    test_support::TempDir dir;
    const Detected d = DetectInGenerated(
        dir, {"-W", "500", "-H", "400", "-S", "150", "-m", "12", "-k", "300", "-b", "250,3000", "-s", "8"});
    ASSERT_TRUE(d.frame);
    const std::vector<Truth>& truth = d.truth;
    const std::vector<StarRef>& found = d.found;
    std::vector<StarRef> bytes;
    testing::internal::CaptureStdout();
    quen_merge::FindStars(d.frame->Image(), bytes);
    testing::internal::GetCapturedStdout();
    EXPECT_LT(bytes.size(), 5u);
    size_t inside = 0;
    for (const Truth& t : truth)
        if (t.x > 5 && t.y > 5 && t.x < 494 && t.y < 394 && t.peak > 600) ++inside;
    EXPECT_GT(found.size(), inside * 9 / 10) << inside << " bright enough";
    double squares = 0;
    for (const StarRef& s : found) {
        const double miss = test_support::NearestStar(truth, s.x, s.y);
        EXPECT_LT(miss, 0.5) << s.x << "," << s.y;
        squares += miss * miss;
    }
    EXPECT_LT(std::sqrt(squares / double(found.size())), 0.1);
    for (size_t i = 1; i < found.size(); ++i) EXPECT_GE(found[i - 1].brightness, found[i].brightness);
}

TEST(DetectStars, LeavesOutHotPixelsAndTakesOffTheDark) {
    test_support::TempDir dir;
    // Stars and 200 hot pixels.
    const Detected d = DetectInGenerated(
        dir, {"-W", "400", "-H", "300", "-S", "60", "-m", "15", "-p", "200", "-b", "2000,30000", "-s", "9"});
    ASSERT_GT(d.found.size(), 20u);
    for (const StarRef& s : d.found)
        EXPECT_LT(test_support::NearestStar(d.truth, s.x, s.y), 1.0) << s.x << "," << s.y;
    // A dark holding a bright blob: subtracted, it takes the frame's star
    // there away; without the dark, the blob itself is found.
    Image16 blob(400, 300, 3);
    FloatImage dark(400, 300, 3);
    for (int y = -3; y <= 3; ++y)
        for (int x = -3; x <= 3; ++x)
            for (int c = 0; c < 3; ++c) {
                const float v = 20000.0f * std::exp(-float(x * x + y * y) / 4.0f);
                blob.Pixel(200 + x, 150 + y)[c] = (unsigned short)(1000 + v);
                dark.Pixel(200 + x, 150 + y)[c] = v / 65536.0f;
            }
    for (size_t i = 0; i < blob.ElementCount(); ++i) blob.data[i] = std::max<unsigned short>(blob.data[i], 1000);
    std::vector<StarRef> with_dark, without;
    quen_merge::DetectStars(&blob, &dark, with_dark);
    quen_merge::DetectStars(&blob, nullptr, without);
    EXPECT_TRUE(with_dark.empty());
    ASSERT_EQ(without.size(), 1u);
    EXPECT_NEAR(without[0].x, 200, 0.01);
    EXPECT_NEAR(without[0].y, 150, 0.01);
}

TEST(DetectStars, EmptyAndFlatFramesHaveNoStars) {
    std::vector<StarRef> stars;
    quen_merge::DetectStars(nullptr, nullptr, stars);
    const Image16 empty(0, 4, 3), flat(50, 40, 3);
    quen_merge::DetectStars(&empty, nullptr, stars);
    quen_merge::DetectStars(&flat, nullptr, stars);
    EXPECT_TRUE(stars.empty());
}

}  // namespace

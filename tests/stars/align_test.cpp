#include "stars/align_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "io/image_io.h"
#include "base/rigid_transform.h"
#include "support.h"

namespace {

using Grey = ostrel::image<unsigned char>;
using quen_merge::StarPoint;
using quen_merge::StarRef;

std::unique_ptr<Grey> Row(std::vector<unsigned char> values) {
    auto img = std::make_unique<Grey>(unsigned(values.size()), 1, 1);
    std::copy(values.begin(), values.end(), img->data);
    return img;
}

std::vector<unsigned char> Samples(const Grey& img) {
    return std::vector<unsigned char>(img.data, img.data + img.ElementCount());
}

// The box mean straight from its definition, with the mirror written as the
// reflection loop.
unsigned char DirectBox(const Grey& src, int x, int y, int radius, bool horizontal) {
    const int n = horizontal ? int(src.width) : int(src.height);
    unsigned sum = 0;
    for (int o = -radius; o <= radius; ++o) {
        int v = (horizontal ? x : y) + o;
        if (n == 1) {
            v = 0;
        } else {
            v = std::abs(v);
            while (v > n - 1) v = std::abs(2 * (n - 1) - v);
        }
        sum += horizontal ? src.data[y * src.width + v] : src.data[v * src.width + x];
    }
    return (unsigned char)(sum / (2 * radius + 1));
}

TEST(BoxBlur, WorkedRows) {
    auto src = Row({30, 60, 90});
    Grey dst(3, 1, 1);
    BlurHorizontal(src.get(), &dst, 1);
    EXPECT_EQ(Samples(dst), (std::vector<unsigned char>{50, 60, 70}));
    auto ones = Row({1, 1, 0});
    BlurHorizontal(ones.get(), &dst, 1);
    EXPECT_EQ(Samples(dst), (std::vector<unsigned char>{1, 0, 0}));
    // One pixel high: the vertical window sees the same pixel 2R + 1 times.
    BlurVertical(src.get(), &dst, 4);
    EXPECT_EQ(Samples(dst), (std::vector<unsigned char>{30, 60, 90}));
}

TEST(BoxBlur, AgreesWithTheDefinitionForAnyRadius) {
    std::mt19937 rng(5);
    for (auto [w, h] : {std::pair{1u, 7u}, {2u, 9u}, {13u, 4u}, {64u, 33u}, {250u, 3u}}) {
        Grey src(w, h, 1);
        for (size_t i = 0; i < src.ElementCount(); ++i) src.data[i] = (unsigned char)rng();
        for (unsigned radius : {0u, 1u, 3u, 6u, 40u, 100u}) {
            Grey across(w, h, 1), down(w, h, 1);
            BlurHorizontal(&src, &across, radius);
            BlurVertical(&src, &down, radius);
            for (unsigned y = 0; y < h; ++y)
                for (unsigned x = 0; x < w; ++x) {
                    ASSERT_EQ(across.data[y * w + x], DirectBox(src, x, y, radius, true))
                        << w << "x" << h << " r=" << radius << " at " << x << "," << y;
                    ASSERT_EQ(down.data[y * w + x], DirectBox(src, x, y, radius, false))
                        << w << "x" << h << " r=" << radius << " at " << x << "," << y;
                }
        }
    }
}

TEST(BoxBlur, BlurImageRunsHorizontalThenVerticalPasses) {
    std::mt19937 rng(8);
    Grey src(20, 15, 1);
    for (size_t i = 0; i < src.ElementCount(); ++i) src.data[i] = (unsigned char)rng();
    std::unique_ptr<Grey> copy(BlurImage(&src, 3, 0));
    EXPECT_EQ(Samples(*copy), Samples(src));
    std::unique_ptr<Grey> twice(BlurImage(&src, 2, 2));
    Grey a(20, 15, 1), b(20, 15, 1);
    BlurHorizontal(&src, &a, 2);
    BlurHorizontal(&a, &b, 2);
    BlurVertical(&b, &a, 2);
    BlurVertical(&a, &b, 2);
    EXPECT_EQ(Samples(*twice), Samples(b));
}

// In place, strip by strip, the passes give BlurImage's values, also where
// a strip of columns ends and where the last strip is narrow.
TEST(BoxBlur, InPlaceMatchesBlurImage) {
    std::mt19937 rng(9);
    for (auto [w, h] : {std::pair{1u, 5u}, {63u, 7u}, {64u, 3u}, {65u, 9u}, {200u, 6u}}) {
        Grey src(w, h, 1);
        for (size_t i = 0; i < src.ElementCount(); ++i) src.data[i] = (unsigned char)rng();
        for (unsigned long passes : {0ul, 1ul, 2ul}) {
            std::unique_ptr<Grey> expected(BlurImage(&src, 3, passes));
            Grey image(src);
            BlurInPlace(&image, 3, passes);
            ASSERT_EQ(Samples(image), Samples(*expected)) << w << "x" << h << " passes " << passes;
        }
    }
}

TEST(Regions, WalkFourConnectedPixelsOfSixteenOrMore) {
    Grey img(6, 4, 1);
    // A diagonal pair, and an L joined through a 16 but stopped by a 15.
    const unsigned char layout[4][6] = {{40, 0, 0, 50, 16, 15},
                                        {0, 40, 0, 0, 100, 0},
                                        {0, 0, 0, 0, 0, 0},
                                        {20, 20, 0, 0, 0, 0}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) img.data[y * 6 + x] = layout[y][x];
    double cx, cy, total;
    unsigned long count;
    CollectAndZeroRegion(&img, 0, 0, cx, cy, total, count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(img.data[7], 40);  // the diagonal neighbour is another region
    CollectAndZeroRegion(&img, 3, 0, cx, cy, total, count);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 166.0);
    EXPECT_DOUBLE_EQ(cx, (3 * 50 + 4 * 16 + 4 * 100) / 166.0);
    EXPECT_DOUBLE_EQ(cy, 100 / 166.0);
    EXPECT_EQ(img.data[5], 15);  // below the floor: not part of it
    EXPECT_EQ(img.data[3], 0);
    CollectAndZeroRegion(nullptr, 0, 0, cx, cy, total, count);
    EXPECT_EQ(count, 0u);
    double sx = 1, sy = 1, sw = 1;
    unsigned long n = 1;
    _CollectAndZeroRegion(&img, 0, 3, false, sx, sy, sw, n);  // adds, unweighted
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(sw, 3.0);
    EXPECT_EQ(sx, 2.0);
    EXPECT_EQ(sy, 7.0);
}

// A 300 x 300 frame, black but for the given square blocks of one grey value.
struct Block {
    unsigned x, y, w, h;
    unsigned short grey;
};

Image16 FrameWithBlocks(const std::vector<Block>& blocks) {
    Image16 frame(300, 300, 3);
    for (const Block& b : blocks)
        for (unsigned y = b.y; y < b.y + b.h; ++y)
            for (unsigned x = b.x; x < b.x + b.w; ++x)
                for (int c = 0; c < 3; ++c) frame.Pixel(x, y)[c] = (unsigned short)(b.grey * 256);
    return frame;
}

TEST(FindStars, KeepsRegionsOfElevenTo399Pixels) {
    // 10, 11, 399 (21 x 19) and 400 (20 x 20) pixels, far apart.
    const Image16 frame = FrameWithBlocks({{10, 10, 5, 2, 200}, {100, 10, 11, 1, 200},
                                           {10, 150, 21, 19, 200}, {150, 150, 20, 20, 200}});
    std::vector<StarRef> stars;
    testing::internal::CaptureStdout();
    quen_merge::FindStars(&frame, stars);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Blur\nScan for stars\n");
    ASSERT_EQ(stars.size(), 2u);
    EXPECT_EQ(stars[0].pixel_count, 11u);
    EXPECT_DOUBLE_EQ(stars[0].x, 105.0);
    EXPECT_DOUBLE_EQ(stars[0].y, 10.0);
    EXPECT_EQ(stars[1].pixel_count, 399u);
    EXPECT_DOUBLE_EQ(stars[1].x, 20.0);
    EXPECT_DOUBLE_EQ(stars[1].y, 159.0);
}

TEST(FindStars, IgnoresFaintAreasAndDarkFrames) {
    std::vector<StarRef> stars;
    testing::internal::CaptureStdout();
    // Values 16 to 30 only: never a start, left alone.
    const Image16 faint = FrameWithBlocks({{50, 50, 6, 6, 28}});
    quen_merge::FindStars(&faint, stars);
    Image16 dim(50, 50, 3);
    for (size_t i = 0; i < dim.ElementCount(); ++i) dim.data[i] = 255;  // sum < 768
    quen_merge::FindStars(&dim, stars);
    const Image16 empty(0, 5, 3);
    quen_merge::FindStars(&empty, stars);
    quen_merge::FindStars(nullptr, stars);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Blur\nScan for stars\nBlur\nScan for stars\n");
    EXPECT_TRUE(stars.empty());
}

using Truth = test_support::CatalogueStar;
using test_support::ReadCatalogue;


TEST(FindStars, FindsEveryGeneratedStarWhereItWasPlaced) {
    test_support::TempDir dir;
    // Noise free, isolated stars with peaks well above the thresholds.
    test_support::RunStarfield({"-N", "-n", "1", "-W", "400", "-H", "300", "-S", "60", "-m", "25",
                                "-b", "12000,60000", "-s", "3", "-C", dir / "stars.txt",
                                dir / "f%d.tif"});
    const std::vector<Truth> truth = ReadCatalogue(dir / "stars.txt");
    const std::vector<StarRef> found = test_support::StarsOfFile(dir / "f0.tif");
    size_t inside = 0;
    for (const Truth& t : truth) {
        if (t.x < 6 || t.y < 6 || t.x > 393 || t.y > 293) continue;  // cut by the border
        ++inside;
        double best = 1e300;
        for (const StarRef& s : found) best = std::min(best, std::hypot(s.x - t.x, s.y - t.y));
        EXPECT_LT(best, 0.3) << "star at " << t.x << "," << t.y;
    }
    EXPECT_GT(inside, 20u);
    for (const StarRef& s : found) EXPECT_LT(test_support::NearestStar(truth, s.x, s.y), 1.0) << s.x << "," << s.y;
}

TEST(FindStars, HotPixelsAndNoiseAreNotStars) {
    test_support::TempDir dir;
    test_support::RunStarfield({"-n", "1", "-W", "400", "-H", "300", "-S", "80", "-p", "300",
                                "-s", "4", "-C", dir / "stars.txt", dir / "f%d.tif"});
    const std::vector<Truth> truth = ReadCatalogue(dir / "stars.txt");
    const std::vector<StarRef> found = test_support::StarsOfFile(dir / "f0.tif");
    EXPECT_GT(found.size(), 3u);
    for (const StarRef& s : found) EXPECT_LT(test_support::NearestStar(truth, s.x, s.y), 1.0) << s.x << "," << s.y;
}

// Pattern descriptors.

quen_merge::PatternNode DescriptorOfFirst(const std::vector<StarPoint>& points) {
    const quen_merge::StarTree tree(points);
    return quen_merge::GeneratePatternNode(points, &tree, 0);
}

TEST(Patterns, WorkedExample) {
    const double pi = std::acos(-1.0);
    const auto d = DescriptorOfFirst({{{0, 0}}, {{1, 0}}, {{0, 2}}, {{-3, 0}}, {{0, -4}}});
    const double expected[6] = {pi / 2, pi, pi / 2, pi / 2, pi, pi / 2};
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(d[c], expected[c], 1e-12) << c;
    // Swapping the two nearest neighbours exchanges components 1 and 3, 2 and 4.
    const auto s = DescriptorOfFirst({{{0, 0}}, {{2, 0}}, {{0, 1}}, {{-3, 0}}, {{0, -4}}});
    EXPECT_NEAR(s[1], d[3], 1e-12);
    EXPECT_NEAR(s[3], d[1], 1e-12);
    EXPECT_NEAR(s[2], d[4], 1e-12);
    EXPECT_NEAR(s[4], d[2], 1e-12);
}

TEST(Patterns, DoNotChangeWhenTheFieldIsRotatedShiftedOrScaled) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 500);
    std::vector<StarPoint> field(60);
    for (StarPoint& p : field) p = {{u(rng), u(rng)}};
    const double a = 0.7, c = std::cos(a), s = std::sin(a), scale = 1.9;
    std::vector<StarPoint> moved;
    for (const StarPoint& p : field)
        moved.push_back({{scale * (c * p[0] - s * p[1]) + 33.5, scale * (s * p[0] + c * p[1]) - 71.25}});
    std::vector<quen_merge::PatternNode> before, after;
    const quen_merge::StarTree t1(field), t2(moved);
    quen_merge::GeneratePatternNodes(field, &t1, before);
    quen_merge::GeneratePatternNodes(moved, &t2, after);
    ASSERT_EQ(before.size(), 60u);
    ASSERT_EQ(after.size(), 60u);
    for (size_t i = 0; i < 60; ++i)
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(before[i][k], after[i][k], 1e-7) << i << "/" << k;
}

TEST(Patterns, TooFewStarsOrNoTreeGiveZeros) {
    const std::vector<StarPoint> four{{{0, 0}}, {{1, 0}}, {{0, 1}}, {{5, 5}}};
    const quen_merge::StarTree tree(four);
    std::vector<quen_merge::PatternNode> out(1);
    out[0][0] = 42;
    quen_merge::GeneratePatternNodes(four, &tree, out);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0][0], 42);  // appended behind what was there
    for (size_t i = 1; i < 5; ++i)
        for (int k = 0; k < 6; ++k) EXPECT_EQ(out[i][k], 0.0);
    quen_merge::GeneratePatternNodes(four, nullptr, out);
    EXPECT_EQ(out.size(), 5u);
    const auto none = quen_merge::GeneratePatternNode(four, nullptr, 0);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(none[k], 0.0);
}

TEST(Patterns, TreeOfStarsIsIndexedByListPosition) {
    const std::vector<StarRef> stars{{5, 1, 1, 11}, {0, 0, 1, 11}, {9, 9, 1, 11}};
    std::unique_ptr<quen_merge::StarTree> tree(quen_merge::CreateKDTree(stars));
    ASSERT_EQ(tree->size(), 3u);
    unsigned long index;
    double distance;
    ASSERT_TRUE(tree->FindNearest(StarPoint{{8, 8}}, index, distance));
    EXPECT_EQ(index, 2u);
    std::unique_ptr<quen_merge::StarTree> empty(quen_merge::CreateKDTree({}));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->empty());
}

}  // namespace


// The star reference of -t a: matching a frame's stars by their pattern
// descriptors, the RANSAC fit of the rotation and translation, and the rigid
// maps both ways.
#include "stars/align_internal.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "base/rigid_transform.h"
#include "support.h"
#include "portable_random.h"

namespace {

using quen_merge::StarPoint;
using quen_merge::StarRef;

// The -t a stars of a file, as positions.
std::vector<StarPoint> StarsAt(const std::string& path) {
    return quen_merge::StarPositions(test_support::StarsOfFile(path));
}
// Star matching and the transform fit.

using Reference = quen_merge::StarReference;

std::vector<StarPoint> RandomField(size_t n, unsigned seed) {
    portable_random::Engine rng(seed);
    portable_random::Uniform u(0, 800);
    std::vector<StarPoint> field(n);
    for (StarPoint& p : field) p = {{u(rng), u(rng)}};
    return field;
}

// Where a transform (degrees, tx, ty) takes a reference position back into the frame.
StarPoint Inverse(const double* t, const StarPoint& ref) {
    const double a = t[0] / 57.2957795131, c = std::cos(a), s = std::sin(a);
    const double dx = ref[0] - t[1], dy = ref[1] - t[2];
    return {{c * dx + s * dy, -s * dx + c * dy}};
}

// The largest distance, over the reference stars, between where the two
// transforms take them back into the frame.
double LargestMiss(const double* fitted, const double* truth, const std::vector<StarPoint>& stars) {
    double worst = 0;
    for (const StarPoint& q : stars) {
        const StarPoint a = Inverse(fitted, q), b = Inverse(truth, q);
        worst = std::max(worst, std::hypot(a[0] - b[0], a[1] - b[1]));
    }
    return worst;
}

TEST(RansacError, MeanSquaredDistanceAfterTheMove) {
    const std::vector<quen_merge::StarMatch> matches{{{{1, 0}}, {{0, 1}}}, {{{1, 0}}, {{1, 0}}}};
    const double quarter_turn[3] = {90, 0, 0};
    const size_t first = 0, second = 1, both[2] = {0, 1};
    // The literal divisor leaves the angle 4.8e-13 short of pi/2.
    EXPECT_NEAR(RansacError(&matches, &first, 1, quarter_turn, 3), 2.4e-25, 0.2e-25);
    EXPECT_NEAR(RansacError(&matches, &second, 1, quarter_turn, 3), 2.0, 1e-12);
    EXPECT_NEAR(RansacError(&matches, both, 2, quarter_turn, 3), 1.0, 1e-12);
    const double shift[3] = {0, 1, 1};
    EXPECT_DOUBLE_EQ(RansacError(&matches, &second, 1, shift, 3), 2.0);
    EXPECT_EQ(RansacError(nullptr, &first, 1, shift, 3), 0.0);
    EXPECT_EQ(RansacError(&matches, &first, 1, nullptr, 3), 0.0);
}

TEST(FitStars, TooFewMatchesFail) {
    for (size_t n : {6u, 7u}) {
        const Reference ref(RandomField(n, 2));
        double params[3] = {1, 2, 3};
        testing::internal::CaptureStdout();
        EXPECT_FALSE(ref.Fit(ref.Stars(), params));
        const std::string printed = testing::internal::GetCapturedStdout();
        if (n == 6) {
            EXPECT_EQ(printed, "");  // 6 matches: silently, the first guess left in place
            EXPECT_EQ(params[0], 0.0);
            EXPECT_EQ(params[1], 0.0);
        } else {
            EXPECT_EQ(printed, "Attempting to fit transform to 7 matches\nUnable to fit image\n");
        }
    }
    const Reference ref(RandomField(20, 2));
    double params[3] = {1, 2, 3};
    EXPECT_FALSE(ref.Fit({}, params));
    EXPECT_FALSE(quen_merge::FitStars(nullptr, ref.Patterns(), &ref.Tree(), ref.Stars(), ref.Stars(), params));
    EXPECT_FALSE(ref.Fit(ref.Stars(), nullptr));
    EXPECT_EQ(params[0], 1.0);  // untouched by invalid calls
}

TEST(FitStars, RecoversIdentityAndAShift) {
    const Reference ref(RandomField(40, 3));
    double params[3];
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ref.Fit(ref.Stars(), params));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Attempting to fit transform to 40 matches\nFitted 40 points\n");
    const double identity[3] = {0, 0, 0};
    EXPECT_LT(LargestMiss(params, identity, ref.Stars()), 0.3);

    std::vector<StarPoint> shifted = ref.Stars();
    for (StarPoint& p : shifted) p = {{p[0] - 5, p[1] - 3}};
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ref.Fit(shifted, params));
    testing::internal::GetCapturedStdout();
    const double shift[3] = {0, 5, 3};
    EXPECT_LT(LargestMiss(params, shift, ref.Stars()), 0.3);
    EXPECT_NEAR(params[1], 5, 0.5);
    EXPECT_NEAR(params[2], 3, 0.5);
}

TEST(FitStars, SameDrawsGiveTheSameTransform) {
    const Reference ref(RandomField(60, 4));
    std::vector<StarPoint> moved;
    const double c = std::cos(0.01), s = std::sin(0.01);
    for (size_t i = 0; i < ref.Stars().size(); ++i) {
        const StarPoint& p = ref.Stars()[i];
        moved.push_back(i % 5 == 0 ? StarPoint{{p[1], p[0]}}  // some stars out of place
                                   : StarPoint{{c * p[0] - s * p[1] + 2.5, s * p[0] + c * p[1] - 1.5}});
    }
    double a[3], b[3];
    testing::internal::CaptureStdout();
    std::srand(99);
    ASSERT_TRUE(ref.Fit(moved, a));
    std::srand(99);
    ASSERT_TRUE(ref.Fit(moved, b));
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], b[i]) << i;
}


TEST(FitStars, RecoversGeneratedMotionWithStarsMissingAndAdded) {
    test_support::TempDir dir;
    // 30 % of the stars of every later frame are missing and replaced.
    test_support::RunStarfield({"-n", "5", "-W", "900", "-H", "700", "-S", "2000", "-b", "6000,60000",
                                "-r", "3", "-x", "100", "-X", "0.3", "-p", "50", "-s", "21",
                                "-T", dir / "truth.txt", dir / "f%d.tif"});
    const auto truth = test_support::ReadTransforms(dir / "truth.txt");
    ASSERT_EQ(truth.size(), 5u);
    const Reference ref(StarsAt(dir / "f0.tif"));
    for (size_t k = 1; k < truth.size(); ++k) {
        const std::vector<StarPoint> frame = StarsAt(dir / ("f" + std::to_string(k) + ".tif"));
        double params[3];
        testing::internal::CaptureStdout();
        const bool fitted = ref.Fit(frame, params);
        const std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(fitted) << "frame " << k << ": " << printed;
        EXPECT_LT(LargestMiss(params, truth[k].data(), ref.Stars()), 0.3) << "frame " << k;
    }
    EXPECT_GT(ref.Stars().size(), 300u);
}

}  // namespace

namespace {

// n random stars, at least 8 px apart, in a 120-pixel square at (x0, y0).
std::vector<StarPoint> Cluster(size_t n, double x0, double y0, unsigned seed) {
    portable_random::Engine rng(seed);
    portable_random::Uniform u(0, 120);
    std::vector<StarPoint> cluster;
    while (cluster.size() < n) {
        const StarPoint p{{x0 + u(rng), y0 + u(rng)}};
        bool crowded = false;
        for (const StarPoint& q : cluster) crowded |= std::hypot(p[0] - q[0], p[1] - q[1]) < 8;
        if (!crowded) cluster.push_back(p);
    }
    return cluster;
}

// A reference of two far-apart clusters, 9 and `second` stars, and a frame
// that shows the first shifted by (5, 3) and the second turned a quarter
// about its corner and moved elsewhere. Every frame star finds its partner by
// descriptor, but only the first cluster's agree on one transform.
std::string FitTwoClusters(size_t second, bool& fitted) {
    const std::vector<StarPoint> p = Cluster(9, 100, 100, 41), q = Cluster(second, 600, 600, 42);
    std::vector<StarPoint> reference = p, frame;
    reference.insert(reference.end(), q.begin(), q.end());
    for (const StarPoint& s : p) frame.push_back({{s[0] - 5, s[1] - 3}});
    for (const StarPoint& s : q) frame.push_back({{700 - (s[1] - 600), 100 + (s[0] - 600)}});
    const Reference ref(reference);
    double params[3];
    testing::internal::CaptureStdout();
    fitted = ref.Fit(frame, params);
    return testing::internal::GetCapturedStdout();
}

TEST(FitStars, NeedsAStrictMajorityOfTheMatches) {
    bool fitted = true;
    EXPECT_EQ(FitTwoClusters(9, fitted), "Attempting to fit transform to 18 matches\nUnable to fit image\n");
    EXPECT_FALSE(fitted);
    EXPECT_EQ(FitTwoClusters(8, fitted), "Attempting to fit transform to 17 matches\nFitted 9 points\n");
    EXPECT_TRUE(fitted);
}

TEST(FitStars, PairsStarsByTheirPatternNotTheirPlaceInTheList) {
    const Reference ref(RandomField(80, 9));
    const double truth[3] = {2.0, -14.5, 22.25};
    std::vector<StarPoint> frame;
    for (const StarPoint& q : ref.Stars()) frame.push_back(Inverse(truth, q));
    std::shuffle(frame.begin(), frame.end(), std::mt19937(3));
    double params[3];
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ref.Fit(frame, params));
    testing::internal::GetCapturedStdout();
    EXPECT_LT(LargestMiss(params, truth, ref.Stars()), 0.3);
}

TEST(RigidTransform, InverseUndoesForwardMap) {
    portable_random::Engine rng(12);
    portable_random::Uniform angle(-180, 180), shift(-500, 500), place(0, 6000);
    for (int i = 0; i < 1000; ++i) {
        const quen_merge::Rotation r = quen_merge::RotationOf(angle(rng));
        const double tx = shift(rng), ty = shift(rng), x = place(rng), y = place(rng);
        const quen_merge::Position ref = quen_merge::ToReference(r, tx, ty, x, y);
        const quen_merge::Position back = quen_merge::ToFrame(r, tx, ty, ref.x, ref.y);
        EXPECT_NEAR(back.x, x, 1e-9);
        EXPECT_NEAR(back.y, y, 1e-9);
    }
    // A quarter turn takes the x axis onto the y axis (rows grow downwards).
    const quen_merge::Position turned = quen_merge::ToReference(quen_merge::RotationOf(90), 0, 0, 1, 0);
    EXPECT_NEAR(turned.x, 0, 1e-12);
    EXPECT_NEAR(turned.y, 1, 1e-12);
}

}  // namespace

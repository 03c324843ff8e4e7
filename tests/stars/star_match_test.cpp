#include "stars/star_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "base/rigid_transform.h"
#include "portable_random.h"

namespace {

using quen_merge::StarFit;
using quen_merge::StarPoint;
using quen_merge::StarRef;
using quen_merge::TriangleMatcher;

// n stars spread over a 2000 x 1500 frame, brightest first.
std::vector<StarRef> Field(size_t n, unsigned seed) {
    portable_random::Engine rng(seed);
    portable_random::Uniform ux(0, 2000), uy(0, 1500), flux(1e3, 1e6);
    std::vector<StarRef> stars(n);
    for (StarRef& s : stars) s = {ux(rng), uy(rng), flux(rng), 20};
    std::sort(stars.begin(), stars.end(), [](const StarRef& a, const StarRef& b) { return a.brightness > b.brightness; });
    return stars;
}

// The field seen through the transform (ref = R frame + t): every star moved
// back into the frame, a share replaced by others, and centroid noise.
std::vector<StarRef> Seen(const std::vector<StarRef>& field, double angle, double tx, double ty, double replaced,
                          double noise, unsigned seed) {
    portable_random::Engine rng(seed);
    portable_random::Uniform unit(0, 1), ux(0, 2000), uy(0, 1500);
    portable_random::Normal jitter(0, noise);
    const quen_merge::Rotation r = quen_merge::RotationOf(angle);
    std::vector<StarRef> frame;
    for (const StarRef& s : field) {
        if (unit(rng) < replaced) {
            frame.push_back({ux(rng), uy(rng), s.brightness, 20});
            continue;
        }
        const quen_merge::Position p = quen_merge::ToFrame(r, tx, ty, s.x, s.y);
        frame.push_back({p.x + (noise > 0 ? jitter(rng) : 0), p.y + (noise > 0 ? jitter(rng) : 0), s.brightness, 20});
    }
    return frame;
}

// The largest distance over a 2000 x 1500 frame between where two transforms
// take a frame position.
double LargestMiss(const StarFit& fit, double angle, double tx, double ty) {
    const quen_merge::Rotation a = quen_merge::RotationOf(fit.angle), b = quen_merge::RotationOf(angle);
    double worst = 0;
    for (double x : {0.0, 2000.0})
        for (double y : {0.0, 1500.0}) {
            const quen_merge::Position p = quen_merge::ToReference(a, fit.tx, fit.ty, x, y);
            const quen_merge::Position q = quen_merge::ToReference(b, tx, ty, x, y);
            worst = std::max(worst, std::hypot(p.x - q.x, p.y - q.y));
        }
    return worst;
}

TEST(FitRigid, RecoversAKnownTransformFromShuffledPairsExactly) {
    const std::vector<StarRef> field = Field(50, 1);
    std::vector<StarPoint> frame, reference;
    const quen_merge::Rotation r = quen_merge::RotationOf(-123.4);
    for (const StarRef& s : field) {
        const quen_merge::Position p = quen_merge::ToFrame(r, 333.25, -71.5, s.x, s.y);
        frame.push_back({{p.x, p.y}});
        reference.push_back({{s.x, s.y}});
    }
    const StarFit fit = quen_merge::FitRigid(frame, reference);
    EXPECT_NEAR(fit.angle, -123.4, 1e-10);
    EXPECT_NEAR(fit.tx, 333.25, 1e-9);
    EXPECT_NEAR(fit.ty, -71.5, 1e-9);
    EXPECT_LT(fit.rms, 1e-9);
    EXPECT_EQ(fit.inliers, 50u);
}

TEST(TriangleMatcher, MatchesAnyAngleWithStarsReplacedAndNoisy) {
    const std::vector<StarRef> field = Field(300, 2);
    const TriangleMatcher matcher(field);
    quen_merge::SkyHistory history(4000, 4000);
    for (double angle : {0.0, 0.5, -37.0, 90.0, 179.9, 180.0, -150.0}) {
        const std::vector<StarRef> frame = Seen(field, angle, 1000 - 1000 * std::cos(angle / 57.3), 150, 0.3, 0.05, 3);
        StarFit fit;
        std::string why;
        ASSERT_TRUE(matcher.Match(frame, history, fit, why)) << angle << ": " << why;
        EXPECT_LT(LargestMiss(fit, angle, 1000 - 1000 * std::cos(angle / 57.3), 150), 0.05) << angle;
        EXPECT_GT(fit.inliers, 150u);
        EXPECT_LT(fit.rms, 0.1);
    }
}

// Raw frames: 50 stars among 750 detections of noise in each frame. A
// fifth of the 800 could never agree, but 50 stars agreeing to a fraction
// of a pixel are no chance, which would give about one.
TEST(TriangleMatcher, AcceptsAFewStarsAmongManyNoiseDetectionsOnTheirEvidence) {
    auto with_noise = [](std::vector<StarRef> stars, unsigned seed) {
        for (StarRef s : Field(750, seed)) stars.push_back({s.x, s.y, s.brightness / 1e4, 20});  // all fainter
        return stars;
    };
    const std::vector<StarRef> sky = Field(50, 7);
    const TriangleMatcher matcher(with_noise(sky, 8));
    quen_merge::SkyHistory history(4000, 4000);
    StarFit fit;
    std::string why;
    ASSERT_TRUE(matcher.Match(with_noise(Seen(sky, 12.0, 40, -30, 0, 0.05, 9), 10), history, fit, why)) << why;
    EXPECT_LT(LargestMiss(fit, 12.0, 40, -30), 0.1);
}

TEST(TriangleMatcher, LeavesAnUnrelatedFieldUnmatched) {
    const TriangleMatcher matcher(Field(300, 4));
    quen_merge::SkyHistory history(4000, 4000);
    StarFit fit;
    std::string why;
    EXPECT_FALSE(matcher.Match(Field(300, 5), history, fit, why));
    EXPECT_FALSE(why.empty());
    const TriangleMatcher crowded(Field(800, 11));  // wrong transforms land more stars by chance
    EXPECT_FALSE(crowded.Match(Field(800, 12), history, fit, why));
    EXPECT_FALSE(matcher.Match(Field(8, 6), history, fit, why));
    EXPECT_EQ(why, "too few stars: 8, 12 needed");
}

TEST(TriangleMatcher, IgnoresHotPixelsWhenTheSkyMoved) {
    // 40 fixed points (hot pixels, the foreground) in both frames, the sky
    // shifted by 25 px and turned.
    std::vector<StarRef> reference = Field(200, 7), fixed = Field(40, 8);
    for (StarRef& f : fixed) f.brightness *= 2;  // brighter than most stars
    std::vector<StarRef> frame = Seen(reference, 0.8, 25, -4, 0.1, 0.02, 9);
    reference.insert(reference.end(), fixed.begin(), fixed.end());
    frame.insert(frame.end(), fixed.begin(), fixed.end());
    auto brightest = [](const StarRef& a, const StarRef& b) { return a.brightness > b.brightness; };
    std::stable_sort(reference.begin(), reference.end(), brightest);
    std::stable_sort(frame.begin(), frame.end(), brightest);
    const TriangleMatcher matcher(reference);
    quen_merge::SkyHistory history(4000, 4000);
    StarFit fit;
    std::string why;
    ASSERT_TRUE(matcher.Match(frame, history, fit, why)) << why;
    EXPECT_LT(LargestMiss(fit, 0.8, 25, -4), 0.05);
}

TEST(TriangleMatcher, AlignsAFrameThatBarelyMovedInARunWhoseSkyTurns) {
    // After a frame whose sky turned, one that moved by half a pixel: all its
    // stars hold still to the pixel, and none of them is fixed to the camera.
    const std::vector<StarRef> field = Field(250, 20);
    const TriangleMatcher matcher(field);
    quen_merge::SkyHistory history(4000, 4000);
    StarFit fit;
    std::string why;
    ASSERT_TRUE(matcher.Match(Seen(field, 0.8, 25, -4, 0.1, 0.05, 21), history, fit, why)) << why;
    ASSERT_TRUE(matcher.Match(Seen(field, 0.02, 0.5, -0.3, 0.1, 0.05, 22), history, fit, why)) << why;
    EXPECT_LT(LargestMiss(fit, 0.02, 0.5, -0.3), 0.05);
}

TEST(TriangleMatcher, TheSameStarsGiveTheSameFit) {
    const std::vector<StarRef> field = Field(250, 10);
    const TriangleMatcher matcher(field);
    quen_merge::SkyHistory history(4000, 4000);
    const std::vector<StarRef> frame = Seen(field, 12, 40, 60, 0.2, 0.1, 11);
    StarFit a, b;
    std::string why;
    ASSERT_TRUE(matcher.Match(frame, history, a, why));
    ASSERT_TRUE(matcher.Match(frame, history, b, why));
    EXPECT_EQ(a.angle, b.angle);
    EXPECT_EQ(a.tx, b.tx);
    EXPECT_EQ(a.ty, b.ty);
    EXPECT_EQ(a.inliers, b.inliers);
}

}  // namespace

// The mappings beyond rigid: each kind recovered from its own stars, and the
// choice of the simplest kind that the stars justify.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "stars/mapping_fit.h"
#include "portable_random.h"

namespace {

using quen_merge::FrameMapping;
using quen_merge::MappingKind;
using quen_merge::Position;
using quen_merge::StarPairs;
using quen_merge::StarPoint;

using TrueMap = std::function<Position(double, double)>;

// 300 stars over a 1200 x 800 field and where the map takes them, with
// centroid noise of sigma px.
StarPairs PairsOf(const TrueMap& map, double sigma) {
    portable_random::Engine rng(5);
    portable_random::Uniform x(0, 1200), y(0, 800);
    portable_random::Normal noise(0, sigma);
    StarPairs pairs;
    for (int i = 0; i < 300; ++i) {
        const double fx = x(rng), fy = y(rng);
        const Position to = map(fx, fy);
        pairs.from.push_back(StarPoint{{fx, fy}});
        pairs.to.push_back(StarPoint{{to.x + (sigma > 0 ? noise(rng) : 0), to.y + (sigma > 0 ? noise(rng) : 0)}});
        pairs.weights.push_back(1);
    }
    return pairs;
}

// The largest distance between the mapping and the truth over the field,
// corners included, both ways.
double LargestError(const FrameMapping& m, const TrueMap& map) {
    double largest = 0;
    for (double fx = 0; fx <= 1200; fx += 100)
        for (double fy = 0; fy <= 800; fy += 100) {
            const Position want = map(fx, fy), got = m.ToReference(fx, fy);
            largest = std::max(largest, std::hypot(got.x - want.x, got.y - want.y));
            const Position back = m.ToFrame(want.x, want.y);
            largest = std::max(largest, std::hypot(back.x - fx, back.y - fy));
        }
    return largest;
}

const TrueMap kRigid = [](double x, double y) {
    const double c = std::cos(0.01), s = std::sin(0.01);
    return Position{c * x - s * y + 12, s * x + c * y - 7};
};
// A camera turning about its centre: a homography with perspective terms.
const TrueMap kProjective = [](double x, double y) {
    const double w = 1 + 2e-5 * x - 1.5e-5 * y;
    return Position{(1.01 * x + 0.02 * y + 15) / w, (-0.015 * x + 0.995 * y - 9) / w};
};
// A few minutes of a turning sky through a lens with barrel distortion
// about the centre.
const TrueMap kDistorted = [](double x, double y) {
    auto distort = [](double px, double py) {
        const double u = (px - 600) / 1000, v = (py - 400) / 1000, f = 1 - 0.05 * (u * u + v * v);
        return Position{600 + 1000 * u * f, 400 + 1000 * v * f};
    };
    Position undistorted{x, y};
    for (int i = 0; i < 50; ++i) {
        const Position d = distort(undistorted.x, undistorted.y);
        undistorted = {undistorted.x + x - d.x, undistorted.y + y - d.y};
    }
    const double c = std::cos(0.005), s = std::sin(0.005), w = 1 + 4e-6 * undistorted.x - 3e-6 * undistorted.y;
    const Position turned{(c * undistorted.x - s * undistorted.y + 20) / w, (s * undistorted.x + c * undistorted.y - 8) / w};
    return distort(turned.x, turned.y);
};

TEST(MappingFit, RecoversEachKindAndChoosesTheSimplestThatHolds) {
    const struct {
        const char* name;
        const TrueMap& map;
        MappingKind chosen;
        double tolerance;  // px over the field, with 0.05 px centroid noise
    } cases[] = {
        {"rigid", kRigid, MappingKind::kRigid, 0.05},
        {"projective", kProjective, MappingKind::kProjective, 0.05},
        {"distorted", kDistorted, MappingKind::kCubic, 0.1},
    };
    for (const auto& c : cases) {
        StarPairs pairs = PairsOf(c.map, 0.05);
        quen_merge::BalanceAcrossField(pairs);
        const FrameMapping chosen = quen_merge::ChooseMapping(pairs, quen_merge::FitRigidMapping(pairs));
        EXPECT_EQ(int(chosen.kind), int(c.chosen)) << c.name;
        EXPECT_LT(LargestError(chosen, c.map), c.tolerance) << c.name;
    }
    // Without noise each fit is exact where its kind holds.
    FrameMapping projective, cubic;
    ASSERT_TRUE(quen_merge::FitProjective(PairsOf(kProjective, 0), projective));
    EXPECT_LT(LargestError(projective, kProjective), 1e-6);
    ASSERT_TRUE(quen_merge::FitCubic(PairsOf(kDistorted, 0), cubic));
    EXPECT_LT(LargestError(cubic, kDistorted), 0.05);
}

// The lens is the same in every frame: frames of a turning sky through it
// give back its distortion, and the projective mapping through it is then
// the simplest that holds.
TEST(MappingFit, FramesOfOneLensGiveBackItsDistortion) {
    quen_merge::LensEstimate estimate(1201, 801);
    StarPairs pairs = PairsOf(kDistorted, 0.05);
    for (int frame = 0; frame < 3; ++frame) estimate.Add(pairs);
    ASSERT_NE(estimate.Lens(), nullptr);
    // k1 -0.05 in units of 1000 px is -0.05 (721.8 / 1000)^2 in the half diagonal's.
    EXPECT_NEAR(estimate.Lens()->k1, -0.05 * std::pow(std::hypot(1201.0, 801.0) / 2000, 2), 0.002);
    const FrameMapping chosen = quen_merge::ChooseMapping(pairs, quen_merge::FitRigidMapping(pairs), estimate.Lens());
    EXPECT_EQ(int(chosen.kind), int(MappingKind::kLensProjective));
    EXPECT_LT(LargestError(chosen, kDistorted), 0.05);
}

// Many bright stars in one corner must not bend the fit away from the few
// elsewhere: after balancing, no ninth of the field outweighs the mean one.
TEST(MappingFit, ACrowdedCornerWeighsNoMoreThanTheMeanCell) {
    StarPairs pairs;
    for (int i = 0; i < 90; ++i) pairs.to.push_back(StarPoint{{double(i % 10), double(i / 10)}});
    for (int cell = 1; cell < 9; ++cell) pairs.to.push_back(StarPoint{{150.0 + 300 * (cell % 3), 150.0 + 300 * (cell / 3)}});
    pairs.to.push_back(StarPoint{{900, 900}});  // the far corner sets the field's extent
    pairs.from = pairs.to;
    pairs.weights.assign(pairs.to.size(), 1.0);
    quen_merge::BalanceAcrossField(pairs);
    double corner = 0;
    for (size_t i = 0; i < 90; ++i) corner += pairs.weights[i];
    EXPECT_NEAR(corner, 99.0 / 9, 1e-9);
    EXPECT_DOUBLE_EQ(pairs.weights[95], 1.0);
}

}  // namespace

// The fit of one sky motion to a whole run's star pairs, against pairs drawn
// from a known motion through known lenses; and the row reading that
// resampling uses, against the exact mapping.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "base/frame_mapping.h"
#include "stars/sky_motion_fit.h"

namespace {

using quen_merge::Direction;
using quen_merge::FrameMapping;
using quen_merge::Position;
using quen_merge::SkyLens;
using quen_merge::SkyMotion;
using quen_merge::StarPairs;
using quen_merge::StarPoint;

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180;

Direction Unit(double x, double y, double z) {
    const double n = std::sqrt(x * x + y * y + z * z);
    return {x / n, y / n, z / n};
}

// Pairs of stars scattered over the frame (within reach of the centre),
// each frame position carried onto the reference by the mapping, the
// reference side blurred by centroid noise of sigma px.
StarPairs DrawPairs(const FrameMapping& truth, double width, double height, double reach, double sigma,
                    std::mt19937& rng) {
    std::uniform_real_distribution<double> x(0, width - 1), y(0, height - 1);
    std::normal_distribution<double> noise(0, sigma);
    StarPairs pairs;
    while (pairs.from.size() < 400) {
        const double px = x(rng), py = y(rng);
        if (std::hypot(px - width / 2, py - height / 2) > reach) continue;
        const Position to = truth.ToReference(px, py);
        pairs.from.push_back(StarPoint{{px, py}});
        pairs.to.push_back(StarPoint{{to.x + noise(rng), to.y + noise(rng)}});
    }
    return pairs;
}

// The largest distance between two mappings over a grid within reach.
double LargestGap(const FrameMapping& a, const FrameMapping& b, double width, double height, double reach) {
    double largest = 0;
    for (double x = 0; x < width; x += width / 16)
        for (double y = 0; y < height; y += height / 16) {
            if (std::hypot(x - width / 2, y - height / 2) > reach) continue;
            const Position p = a.ToReference(x, y), q = b.ToReference(x, y);
            largest = std::max(largest, std::hypot(p.x - q.x, p.y - q.y));
        }
    return largest;
}

// A wide pinhole lens with barrel distortion and an equidistant fisheye
// whose disc sits off the frame's centre, frames turned by 0.04 to 2
// degrees: every frame's mapping comes within 0.05 px of the truth over
// the field, the frames that barely moved too.
TEST(SkyMotionFit, MapsEveryFrameOfAFixedCamera) {
    const struct {
        const char* name;
        SkyLens lens;
        Direction pole;
        double width, height, reach;
    } cameras[] = {
        {"18 mm", {431.5, 287.5, 697.7, 1, -0.05}, Unit(0, -0.5, 0.866), 864, 576, 1e9},
        {"fisheye", {515, 380, 300, 0, 0.01}, Unit(0.05, -0.77, 0.64), 1024, 768, 420},
    };
    for (const auto& camera : cameras) {
        std::mt19937 rng(7);
        std::vector<StarPairs> frames;
        std::vector<FrameMapping> truths;
        for (const double degrees : {0.04, 0.2, 0.5, 1.0, 2.0}) {
            FrameMapping truth;
            truth.kind = quen_merge::MappingKind::kSkyTurn;
            truth.sky.Set(camera.lens, camera.pole, degrees * kRadiansPerDegree);
            truths.push_back(truth);
            frames.push_back(DrawPairs(truth, camera.width, camera.height, camera.reach, 0.1, rng));
        }
        SkyMotion motion;
        ASSERT_TRUE(FitSkyMotion(frames, std::vector<double>(frames.size(), 0.14), unsigned(camera.width),
                                 unsigned(camera.height), motion))
            << camera.name;
        for (size_t k = 0; k < frames.size(); ++k) {
            EXPECT_TRUE(motion.holds[k]) << camera.name << " frame " << k;
            EXPECT_LT(LargestGap(motion.Mapping(k), truths[k], camera.width, camera.height, camera.reach), 0.05)
                << camera.name << " frame " << k;
        }
    }
}

// Frames turned about points all over the field, as a handheld or a
// rotator's run: no one motion of the sky holds them.
TEST(SkyMotionFit, RefusesFramesThatTurnAboutDifferentPoints) {
    std::mt19937 rng(3);
    std::vector<StarPairs> frames;
    for (const auto& [degrees, tx, ty] : {std::array<double, 3>{1.0, 30, -12}, {-0.6, -8, 25}, {0.3, 14, 9}})
        frames.push_back(DrawPairs(FrameMapping::Rigid(degrees, tx, ty), 1500, 1000, 1e9, 0.1, rng));
    SkyMotion motion;
    EXPECT_FALSE(FitSkyMotion(frames, std::vector<double>(frames.size(), 0.14), 1500, 1000, motion));
}

// Resampling reads a sky turn's rows between knots: within a thousandth of
// a pixel of the exact positions, on a fisheye out to its frame's corners.
TEST(SkyMotionFit, RowsReadBetweenKnotsKeepTheExactPositions) {
    FrameMapping m;
    m.kind = quen_merge::MappingKind::kSkyTurn;
    m.sky.Set({511.5, 383.5, 300, 0, 0.02}, Unit(0, -0.77, 0.64), 1.5 * kRadiansPerDegree);
    std::vector<Position> row(1024);
    double largest = 0;
    for (const double y : {0.0, 100.0, 383.0, 767.0}) {
        m.RowToFrame(y, 1024, row.data());
        for (uint32_t x = 0; x < 1024; ++x) {
            const Position exact = m.ToFrame(x, y);
            largest = std::max(largest, std::hypot(row[x].x - exact.x, row[x].y - exact.y));
        }
    }
    EXPECT_LT(largest, 1e-3);
}

}  // namespace

// How an aligned frame lies on the reference grid: a rigid transform, a
// projective one (a camera turning about its centre, as under a turning sky),
// the same through the radial distortion of the lens, or a smooth third-order
// polynomial (a fisheye, or a lens no simple model describes), or one turn of
// the sky about the pole seen through a fixed camera's lens (fitted over the
// whole run). Each maps both ways: star matching moves frame stars onto the
// reference, resampling walks the reference grid into the frame.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/rigid_transform.h"
#include "base/sky_turn.h"

namespace quen_merge {

enum class MappingKind { kRigid, kProjective, kLensProjective, kCubic, kSkyTurn };

// The ten terms of a cubic in (u, v): 1, u, v, u^2, uv, v^2, u^3, u^2 v, u v^2, v^3.
constexpr int kCubicTerms = 10;
using CubicTerms = std::array<double, kCubicTerms>;

inline CubicTerms CubicTermsOf(double u, double v) {
    return {1, u, v, u * u, u * v, v * v, u * u * u, u * u * v, u * v * v, v * v * v};
}

// One polynomial pair (x', y') = (sum a_i t_i(u, v), sum b_i t_i(u, v)), its
// argument taken about a centre and in units of a scale so that its terms
// stay near 1: u = (x - cx) / scale, v = (y - cy) / scale.
struct CubicMap {
    double cx = 0, cy = 0, scale = 1;
    CubicTerms a{}, b{};

    Position Apply(double x, double y) const {
        const CubicTerms t = CubicTermsOf((x - cx) / scale, (y - cy) / scale);
        double px = 0, py = 0;
        for (int i = 0; i < kCubicTerms; ++i) {
            px += a[size_t(i)] * t[size_t(i)];
            py += b[size_t(i)] * t[size_t(i)];
        }
        return {px, py};
    }
};

// Radial distortion about a centre: the lens shows at c + (p - c)(1 + k1 r^2)
// what a pinhole would show at p, r = |p - c| / scale.
struct RadialDistortion {
    double cx = 0, cy = 0, scale = 1, k1 = 0;

    Position Distort(double x, double y) const {
        const double u = (x - cx) / scale, v = (y - cy) / scale, f = 1 + k1 * (u * u + v * v);
        return {cx + (x - cx) * f, cy + (y - cy) * f};
    }
    // The inverse: the distorted radius d = r (1 + k1 r^2) solved for r by
    // Newton's steps from r = d, each doubling the digits right for any lens
    // a rectilinear model fits, and the position moved along its radius.
    Position Undistort(double x, double y) const {
        const double u = (x - cx) / scale, v = (y - cy) / scale;
        const double distorted = std::sqrt(u * u + v * v);
        if (!(distorted > 0)) return {x, y};
        double r = distorted;
        for (int i = 0; i < kUndistortSteps; ++i)
            r -= (r * (1 + k1 * r * r) - distorted) / (1 + 3 * k1 * r * r);
        const double shrink = r / distorted;
        return {cx + (x - cx) * shrink, cy + (y - cy) * shrink};
    }
    static constexpr int kUndistortSteps = 4;
};

// A 3 x 3 matrix acting on (x, y, 1), row by row.
using Homography = std::array<double, 9>;

inline Position ApplyHomography(const Homography& h, double x, double y) {
    const double w = h[6] * x + h[7] * y + h[8];
    return {(h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w};
}

struct FrameMapping {
    MappingKind kind = MappingKind::kRigid;
    // Rigid: ref = R(angle) * frame + (tx, ty), angle in degrees.
    double angle = 0, tx = 0, ty = 0;
    Rotation rotation{1, 0};
    // Projective: ref = H frame, and its inverse; through the lens (the
    // same for every frame): ref = D(H(D^-1(frame))).
    Homography to_reference{}, to_frame{};
    RadialDistortion lens;
    // Cubic: each way fitted on its own, as a polynomial has no closed inverse.
    CubicMap cubic_to_reference, cubic_to_frame;
    // Sky turn: the run's lens and pole, the frame's angle.
    SkyTurn sky;

    static FrameMapping Rigid(double angle, double tx, double ty) {
        FrameMapping m;
        m.angle = angle;
        m.tx = tx;
        m.ty = ty;
        m.rotation = RotationOf(angle);
        return m;
    }

    // Frame position (x, y) on the reference grid.
    Position ToReference(double x, double y) const {
        switch (kind) {
            case MappingKind::kProjective: return ApplyHomography(to_reference, x, y);
            case MappingKind::kLensProjective: return ThroughLens(to_reference, x, y);
            case MappingKind::kCubic: return cubic_to_reference.Apply(x, y);
            case MappingKind::kSkyTurn: return sky.ToReference(x, y);
            case MappingKind::kRigid: break;
        }
        return quen_merge::ToReference(rotation, tx, ty, x, y);
    }
    // Reference position (x, y) in the frame.
    Position ToFrame(double x, double y) const {
        switch (kind) {
            case MappingKind::kProjective: return ApplyHomography(to_frame, x, y);
            case MappingKind::kLensProjective: return ThroughLens(to_frame, x, y);
            case MappingKind::kCubic: return cubic_to_frame.Apply(x, y);
            case MappingKind::kSkyTurn: return sky.ToFrame(x, y);
            case MappingKind::kRigid: break;
        }
        return quen_merge::ToFrame(rotation, tx, ty, x, y);
    }

    // The reference row y's positions in the frame, x = 0 .. width - 1. A sky
    // turn, dear per position, is worked out every kKnotStep pixels and read
    // between them by Catmull-Rom interpolation: its motion is smooth over
    // hundreds of pixels, so the step costs far below a thousandth of one.
    void RowToFrame(double y, uint32_t width, Position* out) const {
        if (kind != MappingKind::kSkyTurn || width < 2 * kKnotStep) {
            for (uint32_t x = 0; x < width; ++x) out[x] = ToFrame(x, y);
            return;
        }
        // Knots from one step before the row to two steps past its end.
        const uint32_t spans = (width - 1) / kKnotStep + 1;
        std::vector<Position> knots(spans + 3);
        for (size_t k = 0; k < knots.size(); ++k) knots[k] = ToFrame((double(k) - 1) * kKnotStep, y);
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t span = x / kKnotStep;
            const Position* p = &knots[span];  // p[1] is the span's start
            if (p[0].x == SkyTurn::kNowhere || p[1].x == SkyTurn::kNowhere || p[2].x == SkyTurn::kNowhere ||
                p[3].x == SkyTurn::kNowhere) {
                out[x] = ToFrame(x, y);
                continue;
            }
            const double t = double(x - span * kKnotStep) / kKnotStep;
            out[x] = {CatmullRom(p[0].x, p[1].x, p[2].x, p[3].x, t), CatmullRom(p[0].y, p[1].y, p[2].y, p[3].y, t)};
        }
    }
    static constexpr uint32_t kKnotStep = 8;

private:
    static double CatmullRom(double p0, double p1, double p2, double p3, double t) {
        return p1 + 0.5 * t * ((p2 - p0) + t * ((2 * p0 - 5 * p1 + 4 * p2 - p3) + t * (3 * (p1 - p2) + p3 - p0)));
    }
    Position ThroughLens(const Homography& h, double x, double y) const {
        const Position ideal = lens.Undistort(x, y);
        const Position moved = ApplyHomography(h, ideal.x, ideal.y);
        return lens.Distort(moved.x, moved.y);
    }
};

}  // namespace quen_merge

// How an aligned frame lies on the reference grid: a rigid transform, a
// projective one (a camera turning about its centre, as under a turning sky),
// the same through the radial distortion of the lens, or a smooth third-order
// polynomial (a fisheye, or a lens no simple model describes). Each maps both ways: star matching moves frame stars
// onto the reference, resampling walks the reference grid into the frame.
#pragma once

#include <array>
#include <cmath>

#include "base/rigid_transform.h"

namespace quen_merge {

enum class MappingKind { kRigid, kProjective, kLensProjective, kCubic };

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
            case MappingKind::kRigid: break;
        }
        return quen_merge::ToFrame(rotation, tx, ty, x, y);
    }

private:
    Position ThroughLens(const Homography& h, double x, double y) const {
        const Position ideal = lens.Undistort(x, y);
        const Position moved = ApplyHomography(h, ideal.x, ideal.y);
        return lens.Distort(moved.x, moved.y);
    }
};

}  // namespace quen_merge

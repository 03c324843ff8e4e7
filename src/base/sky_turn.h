// A camera fixed to the ground under the turning sky: every frame shows the
// sky through the same lens, and between two frames the sky turns by one
// angle about the celestial pole. A frame position is carried onto the
// reference through the direction it shows, so one mapping holds over the
// whole field of any lens from a long focal length to a fisheye's disc.
#pragma once

#include <array>
#include <cmath>

#include "base/rigid_transform.h"

namespace quen_merge {

// A direction in the camera's axes: x along the rows, y down the columns, z
// out along the lens's axis; unit length.
using Direction = std::array<double, 3>;

// The lens: a ray at angle theta from the axis lands focal * g (1 + k1 g^2)
// from the centre. The shape s gives g: tan(s theta) / s for s > 0 (1: a
// pinhole), theta at 0 (an equidistant fisheye), sin(-s theta) / -s below 0
// (-0.5: equisolid); so one family holds the lenses a sky camera uses.
struct SkyLens {
    double cx = 0, cy = 0, focal = 1, shape = 0, k1 = 0;

    // Below this the shape is taken as 0: tan(s t) / s and t agree to 1e-16.
    static constexpr double kFlat = 1e-8;
    static constexpr double kHalfPi = 1.57079632679489661923;

    // The ray's projection g before distortion; false beyond the fold (or
    // the pinhole's infinity).
    bool Projection(double theta, double& g) const {
        if (shape > kFlat) {
            if (shape * theta >= kHalfPi) return false;
            g = std::tan(shape * theta) / shape;
        } else if (shape < -kFlat) {
            if (-shape * theta > kHalfPi) return false;
            g = std::sin(-shape * theta) / -shape;
        } else {
            g = theta;
        }
        return true;
    }
    bool AngleOf(double g, double& theta) const {
        if (shape > kFlat) {
            theta = std::atan(shape * g) / shape;
        } else if (shape < -kFlat) {
            if (-shape * g > 1) return false;
            theta = std::asin(-shape * g) / -shape;
        } else {
            theta = g;
        }
        return true;
    }

    bool Project(const Direction& d, Position& p) const {
        const double across = std::hypot(d[0], d[1]);
        double g;
        if (!Projection(std::atan2(across, d[2]), g)) return false;
        const double r = focal * g * (1 + k1 * g * g);
        if (!(across > 0)) {
            p = {cx, cy};
            return true;
        }
        p = {cx + r * d[0] / across, cy + r * d[1] / across};
        return true;
    }
    // The distorted radius solved for g by Newton's steps from g = radius:
    // the distortion is a small share of the radius.
    bool Unproject(double x, double y, Direction& d) const {
        const double dx = x - cx, dy = y - cy, across = std::hypot(dx, dy);
        if (!(across > 0)) {
            d = {0, 0, 1};
            return true;
        }
        const double radius = across / focal;
        double g = radius;
        for (int i = 0; i < kUndistortSteps; ++i) {
            const double slope = 1 + 3 * k1 * g * g;
            if (!(slope > 0)) return false;
            g -= (g * (1 + k1 * g * g) - radius) / slope;
        }
        double theta;
        if (!AngleOf(g, theta)) return false;
        const double s = std::sin(theta) / across;
        d = {dx * s, dy * s, std::cos(theta)};
        return true;
    }
    static constexpr int kUndistortSteps = 5;
};

// Rotation of directions by an angle about a unit axis (Rodrigues).
struct AxisTurn {
    Direction axis{0, 0, 1};
    double c = 1, s = 0;

    AxisTurn() = default;
    AxisTurn(const Direction& axis, double radians) : axis(axis), c(std::cos(radians)), s(std::sin(radians)) {}

    Direction Apply(const Direction& v) const {
        const double along = (axis[0] * v[0] + axis[1] * v[1] + axis[2] * v[2]) * (1 - c);
        return {v[0] * c + (axis[1] * v[2] - axis[2] * v[1]) * s + axis[0] * along,
                v[1] * c + (axis[2] * v[0] - axis[0] * v[2]) * s + axis[1] * along,
                v[2] * c + (axis[0] * v[1] - axis[1] * v[0]) * s + axis[2] * along};
    }
};

// One frame of a fixed camera's run: the run's lens and pole, the frame's
// angle (radians) from the reference.
struct SkyTurn {
    SkyLens lens;
    Direction pole{0, 0, 1};
    double angle = 0;

    // Where a position falls that no direction carries onto the other
    // frame (past a pinhole's horizon): outside every frame.
    static constexpr double kNowhere = -1e9;

    void Set(const SkyLens& l, const Direction& p, double radians) {
        lens = l;
        pole = p;
        angle = radians;
        forward = AxisTurn(p, radians);
        backward = AxisTurn(p, -radians);
    }
    Position ToReference(double x, double y) const { return Through(forward, x, y); }
    Position ToFrame(double x, double y) const { return Through(backward, x, y); }

private:
    Position Through(const AxisTurn& turn, double x, double y) const {
        Direction d;
        Position p;
        if (!lens.Unproject(x, y, d) || !lens.Project(turn.Apply(d), p)) return {kNowhere, kNowhere};
        return p;
    }
    AxisTurn forward, backward;
};

}  // namespace quen_merge

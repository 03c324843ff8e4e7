// The rigid transform of an aligned frame: a rotation by an angle in degrees
// about pixel (0, 0), then a translation (tx, ty) in pixels. It carries a frame
// position onto the reference grid: ref = R(angle) * frame + (tx, ty). Star
// matching fits it with the forward map; resampling walks the reference grid
// with the inverse one.
#pragma once

#include <cmath>

// Degrees become radians by division by this literal (not 180 / pi): star
// matching and resampling must turn the same angle alike.
constexpr double kDegreesPerRadian = 57.2957795131;

namespace quen_merge {

struct Rotation {
    double c, s;  // cosine and sine of the angle
};

struct Position {
    double x, y;  // column, row in pixels
};

inline Rotation RotationOf(double degrees) {
    const double radians = degrees / kDegreesPerRadian;
    return {std::cos(radians), std::sin(radians)};
}

// Frame position (x, y) on the reference grid.
inline Position ToReference(const Rotation& r, double tx, double ty, double x, double y) {
    return {(r.c * x - r.s * y) + tx, (r.c * y + r.s * x) + ty};
}

// Reference position (x, y) in the frame: the inverse of ToReference.
inline Position ToFrame(const Rotation& r, double tx, double ty, double x, double y) {
    const double dx = x - tx, dy = y - ty;
    return {r.c * dx + r.s * dy, -r.s * dx + r.c * dy};
}

}  // namespace quen_merge

// The rigid transforms of an aligned stack: an angle in degrees about pixel
// (0, 0), then a translation in pixels; ref = R(angle) * frame + (tx, ty).
#pragma once

// Degrees become radians by division by this literal (not 180 / pi): star
// matching and resampling must turn the same angle alike.
constexpr double kDegreesPerRadian = 57.2957795131;

// How sharp and how round a frame's stars are: what tells a frame shot
// through the wind, out of focus or under poor seeing from a good one.
#pragma once

#include <cstddef>
#include <vector>

#include "base/frame_calibration.h"
#include "ostrel/image.h"
#include "stars/star_types.h"

namespace quen_merge {

struct StarShape {
    double fwhm = 0;       // px, the geometric mean of the major and minor axes' full widths at half maximum
    double roundness = 0;  // minor over major axis, 1 for a round star
};

// The shape of the star at (x, y) in a 3-channel frame (calibrated by
// calibration), from adaptive Gaussian-weighted second moments of its light
// above the local background (the median of a ring around it): exact for a
// Gaussian star, and little moved by the noise far from its core. False for
// a star too near the edge, saturated, or whose moments do not settle.
bool MeasureStarShape(const Image16& frame, const SampleCalibration& calibration, double x, double y,
                      StarShape& shape);

// The frame's stars as a whole: how many were found, and the median shape
// of the brightest that can be measured (at most kShapeStars of them).
struct FieldShape {
    size_t stars = 0;
    size_t measured = 0;
    StarShape median;
};
constexpr size_t kShapeStars = 100;
FieldShape MeasureFieldShape(const Image16& frame, const SampleCalibration& calibration,
                             const std::vector<StarRef>& stars);

}  // namespace quen_merge

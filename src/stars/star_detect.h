// Star detection that adapts to the data: on the 16-bit samples, calibrated, against a measured background and noise. Linear data from
// astronomy and raw cameras hold most of their stars a few noise levels above
// a bright sky, where a fixed 8-bit threshold sees only the brightest.
#pragma once

#include <vector>

#include "base/frame_calibration.h"
#include "stars/star_types.h"
#include "ostrel/image.h"

namespace quen_merge {

// Memory one pixel costs while its stars are found: the float grey image and
// the region marks.
constexpr unsigned kDetectionBytesPerPixel = sizeof(float) + 1;

// Appends to stars the brightest stars of a 3-channel frame (calibrated by
// the masters of its size), brightest first:
// regions that rise kDetectionSigma noise levels above the local background
// at their peak, with windowed centroids (x, y in pixels), flux in 16-bit
// units above the background (brightness) and pixel count. Hot pixels, one
// or two pixels with no spread, are left out. Prints nothing.
void DetectStars(const Image16* frame, const Calibration& calibration, std::vector<StarRef>& stars);

}  // namespace quen_merge

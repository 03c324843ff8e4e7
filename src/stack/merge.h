// The stacking drivers: read the named frames one at a time and combine them.
#pragma once

#include <string>
#include <vector>

#include "io/stack_history.h"
#include "stack/merge_utils.h"
#include "ostrel/image.h"

namespace quen_merge {

// Mean (MergeAverage) or per-sample maximum (any other type) of the frames,
// each calibrated by the masters of its size (a master dark alone, or none). Returns a
// new image owned by the caller, or null when no frame could be used. When
// history is given, it receives the number of frames in the result and what
// their files said alike (the merge type is left to the caller). A kappa
// above 0 makes the mean a kappa-sigma-clipped one (a maximum is never
// clipped).
FloatImage* MergeNoAlign(const std::vector<std::string>& files, const Calibration& calibration,
                         MergeType type, StackHistory* history = nullptr, double kappa = 0);

// Mean of the frames after aligning each on the stars of the first frame that
// has enough of them, on the grid of the first frame that loads. type is not
// used. Returns a new image owned by the caller, or null; history and kappa
// as above.
FloatImage* MergeAlignStars(const std::vector<std::string>& files, const Calibration& calibration,
                            MergeType type, StackHistory* history = nullptr, double kappa = 0);

// Mean of the frames after aligning each on all its stars (-t s): stars found
// against the measured background and noise of the 16-bit data
// (calibrated), matched by triangles under any rotation and shift, the transform
// refined over every matched star. The first frame with enough stars is the
// reference and the grid of the result; frames before it, and frames that do
// not match it, are left out and reported. Returns a new image owned by the
// caller, or null; history and kappa as above.
FloatImage* MergeAlignEveryStar(const std::vector<std::string>& files, const Calibration& calibration,
                                StackHistory* history = nullptr, double kappa = 0);

}  // namespace quen_merge

// Star trails without gaps (-t c): the maximum of the frames, as -t t, with
// the gap between each two frames' arcs drawn from the earlier frame moved
// along the sky's motion between them (found from their stars), over the
// sky only: the ground stays as the frames show it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/frame_calibration.h"
#include "io/stack_history.h"
#include "ostrel/image.h"
#include "stack/frame_scores.h"

namespace quen_merge {

struct TrailPlan {
    double keep = 1;          // the trails so far fade by this before each frame (-C); 1: no fading
    std::string ground_mask;  // where the ground is (white), as the user drew it; empty: found
};

// The trails of the frames, each calibrated; null in result when no frame
// could be used. False after saying why the user's mask cannot be used.
// history and scores as for the other drivers.
bool MergeTrailsWithoutGaps(const std::vector<std::string>& files, const Calibration& calibration,
                            const TrailPlan& plan, std::unique_ptr<FloatImage>& result, StackHistory* history,
                            FrameScores* scores);

}  // namespace quen_merge

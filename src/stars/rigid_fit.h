// The rigid transform that best carries matched frame stars onto reference
// stars, the first fit of every alignment and the base of the richer mappings.
#pragma once

#include <vector>

#include "base/frame_mapping.h"
#include "stars/star_types.h"

namespace quen_merge {

// A rigid transform fitted to matched stars: ref = R(angle) * frame + (tx, ty)
// (see rigid_transform.h), the mapping chosen from it (the same transform, or
// a richer one that the stars justify), and how well the mapping holds.
struct StarFit {
    double angle = 0;   // degrees
    double tx = 0, ty = 0;
    FrameMapping mapping;
    size_t inliers = 0;  // star pairs within the match radius
    double rms = 0;      // their residual, px
    StarPairs pairs;     // the pairs the mapping was fitted to
};

// A frame star's position carried onto the reference by mapping.
StarPoint Moved(const FrameMapping& mapping, const StarPoint& p);

// The rotation and translation that carry frame[i] onto reference[i] with the
// least sum of squared distances, each weighted by weights[i] (all 1 when
// weights is empty), in closed form; with the pairs' RMS residual.
StarFit FitRigid(const std::vector<StarPoint>& frame, const std::vector<StarPoint>& reference,
                 const std::vector<double>& weights = {});

}  // namespace quen_merge

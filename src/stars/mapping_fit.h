// Fits of the mappings beyond a rigid transform to matched star pairs, and the
// choice of the simplest mapping the stars justify.
#pragma once

#include <vector>

#include "base/frame_mapping.h"
#include "stars/star_types.h"

namespace quen_merge {

// Matched stars: frame positions, their reference positions, each pair's weight.
struct StarPairs {
    std::vector<StarPoint> from, to;
    std::vector<double> weights;
};

// Least squares over the weighted pairs; false (mapping untouched) when the
// pairs do not determine the mapping.
FrameMapping FitRigidMapping(const StarPairs& pairs);
bool FitProjective(const StarPairs& pairs, FrameMapping& mapping);
bool FitCubic(const StarPairs& pairs, FrameMapping& mapping);

// The pairs' RMS distance, px, after the mapping moved the frame stars.
double RmsResidual(const FrameMapping& mapping, const StarPairs& pairs);

// Scales down the weights of the pairs in crowded parts of the field (3 x 3
// cells over the pairs' extent) so that no cell weighs more than the mean
// cell: the bright stars of one corner must not decide a mapping that also
// bends the others.
void BalanceAcrossField(StarPairs& pairs);

// The simplest kind of mapping the pairs justify, fitted to all of them:
// rigid (given), then projective, then cubic, each taken only when it lowers
// the residual of stars left out of its fit (five-fold cross-validation) by
// a clear margin and enough pairs hold it.
FrameMapping ChooseMapping(const StarPairs& pairs, const FrameMapping& rigid);

}  // namespace quen_merge

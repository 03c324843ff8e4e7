// Fits of the mappings beyond a rigid transform to matched star pairs, and the
// choice of the simplest mapping the stars justify.
#pragma once

#include <vector>

#include "base/frame_mapping.h"
#include "stars/star_types.h"

namespace quen_merge {

// Least squares over the weighted pairs; false (mapping untouched) when the
// pairs do not determine the mapping.
FrameMapping FitRigidMapping(const StarPairs& pairs);
bool FitProjective(const StarPairs& pairs, FrameMapping& mapping);
bool FitCubic(const StarPairs& pairs, FrameMapping& mapping);
// The projective fit between the pairs' positions as a pinhole would show
// them through lens.
bool FitLensProjective(const StarPairs& pairs, const RadialDistortion& lens, FrameMapping& mapping);

// The pairs' RMS distance, px, after the mapping moved the frame stars.
double RmsResidual(const FrameMapping& mapping, const StarPairs& pairs);

// Scales down the weights of the pairs in crowded parts of the field (3 x 3
// cells over the pairs' extent) so that no cell weighs more than the mean
// cell: the bright stars of one corner must not decide a mapping that also
// bends the others.
void BalanceAcrossField(StarPairs& pairs);

// The simplest kind of mapping the pairs justify, fitted to all of them:
// rigid (given), then projective, then projective through lens (when
// given), then cubic, each taken only when it lowers the residual of stars
// left out of its fit (five-fold cross-validation) by a clear margin and
// enough pairs hold it.
FrameMapping ChooseMapping(const StarPairs& pairs, const FrameMapping& rigid,
                           const RadialDistortion* lens = nullptr);

// The lens's radial distortion as the frames of a run show it. The lens is
// the same in every frame, so each frame's pairs add their evidence: for
// every trial k1, the squared residuals of the projective fit through that
// distortion. The estimate is the k1 of the least sum, refined between the
// trials on the latest frames' pairs; about the frames' centre, r in units
// of their half diagonal.
class LensEstimate {
public:
    LensEstimate(unsigned width, unsigned height);

    void Add(const StarPairs& pairs);
    // Null until some frame added its pairs.
    const RadialDistortion* Lens() const { return frames ? &lens : nullptr; }

private:
    // The squared residuals of the kept frames' pairs through k1.
    double EvidenceSquares(double k1) const;

    RadialDistortion lens;
    std::vector<double> squares;     // by trial k1, over every frame
    std::vector<StarPairs> evidence;  // the latest frames' pairs
    size_t frames = 0;
};

}  // namespace quen_merge

// The mean of each sample's values, the stack that lowers the noise; with
// -r, the kappa-sigma-clipped mean.
#pragma once

#include <memory>

#include "stack/combiner.h"
#include "stack/sigma_clip.h"

namespace quen_merge {

// The mean of light frames; clipped, with a kappa above 0, with the frames
// normalised by their sky.
extern const CombineRule kMeanRule;

// The mean; clipped, with a kappa above 0, with the frames normalised as
// normalisation says: calibration frames of each kind differ in their own way.
std::unique_ptr<Combiner> MakeMean(double kappa, Normalisation normalisation);

}  // namespace quen_merge

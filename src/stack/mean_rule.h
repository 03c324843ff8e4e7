// The mean of each sample's values, the stack that lowers the noise; with
// -r, the kappa-sigma-clipped mean.
#pragma once

#include "stack/combiner.h"

namespace quen_merge {

extern const CombineRule kMeanRule;

}  // namespace quen_merge

// The mean with each frame weighted by its sky's noise (-w): a frame under a
// bright, noisy sky counts for less, so the stack's noise is the least a
// mean of these frames can have.
#pragma once

#include <memory>

#include "stack/combiner.h"

namespace quen_merge {

// A new combiner of each sample's values, each channel of each frame
// weighted by the inverse of its sky's variance (one pixel's noise, from
// neighbouring pixels, as the rejection measures it).
std::unique_ptr<Combiner> MakeWeightedMean();

}  // namespace quen_merge

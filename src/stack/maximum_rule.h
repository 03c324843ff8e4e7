// The largest of each sample's values ("lighten"): the stars' motion across
// a fixed camera drawn as trails.
#pragma once

#include <cmath>
#include <memory>

#include "stack/combiner.h"

namespace quen_merge {

extern const CombineRule kMaximumRule;

// The maximum with the frames so far faded by keep (0 < keep < 1) before
// each new frame: comet-like trails, their oldest end the faintest.
std::unique_ptr<Combiner> MakeFadingMaximum(double keep);

// keep for trails that fade to half over frames frames.
inline double FadeKeep(double frames) { return std::pow(0.5, 1.0 / frames); }

}  // namespace quen_merge

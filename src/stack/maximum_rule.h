// The largest of each sample's values ("lighten"): the stars' motion across
// a fixed camera drawn as trails.
#pragma once

#include "stack/combiner.h"

namespace quen_merge {

extern const CombineRule kMaximumRule;

}  // namespace quen_merge

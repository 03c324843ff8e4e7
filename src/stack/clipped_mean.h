// The mean after kappa-sigma clipping against a noise model: satellite and
// aircraft trails, meteors and cosmic-ray hits left out (the mean rule's
// combiner under -r).
#pragma once

#include <memory>

#include "stack/combiner.h"
#include "stack/sigma_clip.h"

namespace quen_merge {

// A new combiner that clips beyond kappa (above 0) standard deviations,
// comparing frames normalised as normalisation says (lights: by location).
std::unique_ptr<Combiner> MakeClippedMean(double kappa, Normalisation normalisation = Normalisation::kLocation);

}  // namespace quen_merge

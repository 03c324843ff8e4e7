// A fixed camera's run as one motion of the sky: the lens and the celestial
// pole fitted once from every frame's star pairs, and one angle per frame.
// Frames that barely moved, and the rim of a fisheye's disc where few stars
// are paired, then take the mapping the whole run determines.
#pragma once

#include <vector>

#include "base/frame_mapping.h"
#include "stars/mapping_fit.h"
#include "stars/rigid_fit.h"

namespace quen_merge {

struct SkyMotion {
    SkyLens lens;
    Direction pole{0, 0, 1};
    std::vector<double> angles;  // radians, by frame
    std::vector<double> rms;     // each frame's pairs' RMS residual under the motion, px
    std::vector<char> holds;     // whether the frame's own fit is no better than the motion's

    FrameMapping Mapping(size_t frame) const;
};

// Fits one motion to the frames' pairs (frame stars onto the reference's)
// and says which frames it holds: those whose residual under it is close to
// their own mapping's (own_rms). Frames it does not hold (a camera nudged
// between frames, or no fixed camera at all) are left out of a second fit.
// False when no start converges or fewer than two frames hold, at least one
// of them moved clearly: then the run is not one sky motion.
bool FitSkyMotion(const std::vector<StarPairs>& frames, const std::vector<double>& own_rms, unsigned width,
                  unsigned height, SkyMotion& motion);

// Places a frame on the run's motion whose sky moved too little to tell from
// the features fixed to the camera: its stars, apart from those on the
// reference stars marked fixed, paired with the others through the motion,
// its angle fitted from no turn at all. True with the fit when enough pairs
// agree, far more than chance would pair, and scatter no more than the
// stacked frames' typical residual allows.
bool PlaceOnSkyMotion(const SkyMotion& motion, const std::vector<StarPoint>& reference,
                      const std::vector<char>& fixed, const std::vector<StarPoint>& frame, double typical_rms,
                      StarFit& fit);

}  // namespace quen_merge

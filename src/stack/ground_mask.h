// Where the ground stands in the frames of a fixed camera, and the join of a
// stack's sky to another stack's ground along it. Aligned on the stars, the
// ground smears; held still, the stars do: each part is taken from the stack
// that keeps it sharp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ostrel/image.h"

namespace quen_merge {

// The ground as a one-channel mask of 0 (sky) and 1 (ground): where
// ground_evidence runs clearly higher than sky_evidence, each against its
// own noise (per pixel: how much the frames change when aligned on the sky,
// and when held still), decided on blocks; blocks where neither is clearly
// higher take the side of their neighbours, and specks of ground too small
// to be a landscape (a hot pixel in the sky) are sky. Along the skyline the
// line is drawn to the pixel by brightness (of the frames held still) where
// the two sides nearby differ in it, otherwise on cells a few pixels wide.
std::unique_ptr<FloatImage> GroundFromEvidence(const std::vector<float>& ground_evidence,
                                               const std::vector<float>& sky_evidence,
                                               const std::vector<float>& brightness, uint32_t width,
                                               uint32_t height);

// Each pixel's brightness: the sum of its channels.
std::vector<float> Brightness(const FloatImage& image);

// The share of a mask's pixels that are ground.
double GroundShare(const FloatImage& mask);

// A mask the user drew (white: ground), as 0 and 1; null, with the reason
// in why, when it cannot be read or is not width x height.
std::unique_ptr<FloatImage> ReadGroundMask(const std::string& path, uint32_t width, uint32_t height,
                                           std::string& why);

// The mask the user gave (-G), or null after saying on standard error why
// it cannot be used.
std::unique_ptr<FloatImage> UsersGroundMask(const std::string& path, uint32_t width, uint32_t height);

// Puts the ground of held into moving where the 0/1 mask says, along a
// feathered seam (the mask becomes its weights), and says over how much of
// the frame; the share of ground, 0 when there is none (moving unchanged).
double KeepGround(FloatImage& mask, const FloatImage& held, FloatImage& moving);

// Turns a 0/1 mask into weights that fall from 1 on the ground to 0 over a
// seam of a few pixels, all of it on the sky's side: the ground's edge is
// taken whole from its own stack, so the skyline is never doubled.
void FeatherSeam(FloatImage& mask);

// Puts ground into sky where weights say: sky = sky (1 - w) + ground w.
void JoinSkyAndGround(FloatImage& sky, const FloatImage& ground, const FloatImage& weights);

}  // namespace quen_merge

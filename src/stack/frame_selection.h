// Keeping the best frames of a night (-k): every frame is scored in a first
// pass, and only those that pass every rule are stacked in the second.
#pragma once

#include <string>
#include <vector>

#include "base/frame_calibration.h"
#include "stack/frame_scores.h"

namespace quen_merge {

// The rules a frame must pass; the defaults pass every frame.
struct Selection {
    double best_share = 1;       // keep the best share of the frames by their combined score
    double largest_fwhm = 0;     // px; 0: any
    double least_roundness = 0;  // 0: any
    bool Active() const { return best_share < 1 || largest_fwhm > 0 || least_roundness > 0; }
};

// Reads one -k rule into selection: "75%" (the best 75 % by the combined
// score), "fwhm<3.5" (px) or "round>0.8". False for anything else.
bool ParseSelectionRule(const char* text, Selection& selection);

// The combined score of each row of scores (higher is better; 0 for a
// frame without measured stars): sharpness and roundness first, then the
// stars found and the sky's noise, each against the night's median:
// (median FWHM / FWHM)^2 x roundness^2 x min(1, stars / median stars) x
// (median noise / noise), the green channel's noise.
std::vector<double> CombinedScores(const std::vector<FrameScore>& scores);

// Scores every light in a first pass (each decoded once, calibrated) and
// returns the positions of those that pass selection, in their order; the
// others are named on standard error with the score or the rule that left
// them out, and their rows in report (may be null) say so.
std::vector<size_t> SelectFrames(const std::vector<std::string>& lights, const Calibration& calibration,
                                 const Selection& selection, FrameScores* report);

}  // namespace quen_merge

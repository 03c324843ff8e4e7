// What a run does to its frames, in one value: how they are put onto one
// grid, how each sample's values become one, and what calibrates them. The
// command line builds it; RunStackPlan carries it out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "io/stack_history.h"
#include "ostrel/image.h"
#include "stack/calibration_masters.h"
#include "stack/combiner.h"
#include "stack/frame_scores.h"
#include "stack/frame_selection.h"
#include "stack/maximum_rule.h"
#include "stack/mean_rule.h"
#include "stack/weighted_mean.h"

namespace quen_merge {

// How the frames of a stack are put onto one grid.
enum class Alignment {
    kNone,
    kNeighbourAngles,  // -t a: bright stars above a fixed 8-bit level, matched by the angles to their four nearest neighbours
    kTriangles,        // -t s: every star found against the measured noise, matched by triangles of stars
    kSkyMotion,        // -t c: held still, each gap between two frames drawn along the sky's motion between them
};

struct StackPlan {
    Alignment alignment = Alignment::kNone;
    const CombineRule* rule = &kMeanRule;
    double kappa = 0;               // -r: reject beyond kappa sigma where the rule rejects; 0: no rejection
    CalibrationFrames calibration;  // -b, -d and -f, in order per kind
    Selection selection;            // -k: which frames are stacked
    bool weighted = false;          // -w: the mean weighs each frame by its sky's noise
    std::string growth_folder;      // -T: the stack as it grows, a numbered picture a frame, goes here
    bool ground_still = false;      // -g: an aligned stack keeps the ground from the frames held still
    std::string ground_mask;        // -G: where the ground is (white), as the user drew it
    double fading = 0;              // -C: star trails fade to half over this many frames; 0: they do not

    bool Rejects() const { return kappa > 0 && rule->rejects; }
    // Whether the stack is shown as it grows: trails, the unaligned maximum.
    bool ShowsGrowth() const {
        return !growth_folder.empty() && alignment == Alignment::kNone && rule == &kMaximumRule;
    }
    // Whether an aligned stack takes its ground from the same frames held still.
    bool HoldsGround() const {
        return (ground_still || !ground_mask.empty()) &&
               (alignment == Alignment::kNeighbourAngles || alignment == Alignment::kTriangles);
    }
    // Whether the trails fade: a maximum given -C.
    bool Fades() const { return fading > 0 && rule == &kMaximumRule; }
    // Whether frames are weighted: only a plain mean weighs them.
    bool Weighs() const { return weighted && rule == &kMeanRule && !Rejects(); }
    // A new combiner of the plan's rule, rejecting or weighting where the plan does.
    std::unique_ptr<Combiner> MakeCombiner() const {
        if (Fades()) return MakeFadingMaximum(FadeKeep(fading));
        return Weighs() ? MakeWeightedMean() : rule->make(Rejects() ? kappa : 0);
    }
    // How the frames are combined, in words: "star-aligned mean, kappa-sigma clipped".
    std::string Name() const;
};

// Carries out the plan on the lights: makes the calibration masters (the
// mean of each kind, clipped where the plan gives a kappa), stacks with the
// plan's alignment and rule, and records in history what went in. False
// after saying on standard error why the calibration frames cannot
// calibrate the lights; otherwise true, with result holding the stack, or
// null when no frame could be stacked. With scores, every light frame is
// scored there with its verdict. With a ground held still, false too after
// saying why the user's mask cannot be used.
bool RunStackPlan(const StackPlan& plan, const std::vector<std::string>& lights, std::unique_ptr<FloatImage>& result,
                  StackHistory& history, FrameScores* scores = nullptr);

}  // namespace quen_merge

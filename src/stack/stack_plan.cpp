#include "stack/stack_plan.h"

#include <cstdio>

#include "base/console.h"
#include "io/image_io.h"
#include "stack/frame_selection.h"
#include "stack/frame_spread.h"
#include "stack/gap_free_trails.h"
#include "stack/ground_mask.h"
#include "stack/merge.h"

namespace quen_merge {

std::string StackPlan::Name() const {
    std::string name;
    switch (alignment) {
        case Alignment::kNeighbourAngles: name = "aligned "; break;
        case Alignment::kTriangles: name = "star-aligned "; break;
        case Alignment::kSkyMotion: name = "gap-free "; break;
        case Alignment::kNone: break;
    }
    name += rule->name;
    if (Fades()) {
        char fade[64];
        std::snprintf(fade, sizeof fade, ", fading to half over %g frames", fading);
        name += fade;
    }
    if (Rejects()) name += ", kappa-sigma clipped";
    if (Weighs()) name += ", weighted by noise";
    return name;
}

namespace {

// Writes each stage of a growing stack into folder as trails_0001.png,
// trails_0002.png, ...; the first that cannot be written says so and
// clears written.
GrowthView GrowthWriter(const std::string& folder, bool& written) {
    return [&folder, &written](const FloatImage& so_far, size_t stacked) {
        if (!written) return;
        char name[32];
        std::snprintf(name, sizeof name, "/trails_%04zu.png", stacked);
        const std::string path = folder + name;
        written = WriteImageLDR(path.c_str(), &so_far, StackHistory(), false);
        if (!written) Warn("unable to write \"%s\": the growing trails stop there", path.c_str());
    };
}

// Puts into the aligned stack the ground of the same frames held still:
// where the user's mask says, or where the two stacks show it. False after
// saying why the mask cannot be used.
bool KeepGroundStill(const StackPlan& plan, Merge& still, FloatImage& aligned, const FrameSpread& still_spread,
                     const FrameSpread& aligned_spread) {
    still.PostProcess();
    const FloatImage& held = *still.Accumulator();
    std::unique_ptr<FloatImage> mask;
    if (!plan.ground_mask.empty()) {
        mask = UsersGroundMask(plan.ground_mask, aligned.width, aligned.height);
        if (!mask) return false;
    } else {
        // What changes between frames aligned on the sky is the ground; held still, the sky.
        mask = GroundFromEvidence(aligned_spread.Variance(), still_spread.Variance(), Brightness(held), aligned.width,
                                  aligned.height);
    }
    if (KeepGround(*mask, held, aligned) <= 0) Warn("no ground found: the whole stack is aligned on the stars");
    return true;
}

}  // namespace

bool RunStackPlan(const StackPlan& plan, const std::vector<std::string>& lights, std::unique_ptr<FloatImage>& result,
                  StackHistory& history, FrameScores* scores) {
    CalibrationMasters masters;
    if (!masters.Make(plan.calibration, lights, plan.kappa)) return false;
    const Calibration calibration = masters.ForLights();
    bool written = true;
    // With a selection, the stack is of the frames that pass it, scored
    // again as they are stacked into the rows of the whole night.
    std::vector<size_t> chosen;
    std::vector<std::string> frames = lights;
    std::unique_ptr<FrameScores> stacked_scores;
    if (plan.selection.Active()) {
        chosen = SelectFrames(lights, calibration, plan.selection, scores);
        frames.clear();
        for (size_t i : chosen) frames.push_back(lights[i]);
        if (scores) stacked_scores = std::make_unique<FrameScores>(frames);
    }
    FrameScores* frame_scores = stacked_scores ? stacked_scores.get() : scores;
    FloatImage* stacked = nullptr;
    // The same frames held still, for the ground.
    std::unique_ptr<Merge> still;
    FrameTap hold_still;
    FrameSpread still_spread, aligned_spread;
    const auto aligned_combiner = [&] {
        return still ? TapSpread(plan.MakeCombiner(), aligned_spread) : plan.MakeCombiner();
    };
    if (plan.HoldsGround()) {
        still = std::make_unique<Merge>(calibration, TapSpread(plan.MakeCombiner(), still_spread));
        hold_still.take = [&still](const Image16* frame) { still->AddFrame(frame); };
        // The stack held still, and both stacks' changes from frame to frame.
        hold_still.bytes_per_pixel = Merge::BytesPerPixel(*plan.MakeCombiner()) + 2 * FrameSpread::kBytesPerPixel;
    }
    switch (plan.alignment) {
        case Alignment::kNeighbourAngles:
            stacked = MergeAlignStars(frames, calibration, aligned_combiner(), &history, frame_scores, hold_still);
            break;
        case Alignment::kTriangles:
            stacked = MergeAlignEveryStar(frames, calibration, aligned_combiner, &history, frame_scores, hold_still);
            break;
        case Alignment::kSkyMotion: {
            TrailPlan trail;
            trail.keep = plan.Fades() ? FadeKeep(plan.fading) : 1;
            trail.ground_mask = plan.ground_mask;
            std::unique_ptr<FloatImage> trails;
            if (!MergeTrailsWithoutGaps(frames, calibration, trail, trails, &history, frame_scores)) return false;
            stacked = trails.release();
            break;
        }
        case Alignment::kNone:
            stacked = MergeNoAlign(frames, calibration, plan.MakeCombiner(), &history, frame_scores,
                                   plan.ShowsGrowth() ? GrowthWriter(plan.growth_folder, written) : GrowthView());
            break;
    }
    if (stacked_scores)
        for (size_t k = 0; k < chosen.size(); ++k) scores->Set(chosen[k], stacked_scores->Rows()[k]);
    result.reset(stacked);
    if (result && still && !KeepGroundStill(plan, *still, *result, still_spread, aligned_spread)) return false;
    if (!written) return false;
    history.notes = masters.Notes();
    history.merge_type = plan.Name();
    return true;
}

}  // namespace quen_merge

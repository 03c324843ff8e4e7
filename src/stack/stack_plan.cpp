#include "stack/stack_plan.h"

#include "stack/frame_selection.h"

#include "stack/merge.h"

namespace quen_merge {

std::string StackPlan::Name() const {
    std::string name;
    switch (alignment) {
        case Alignment::kNeighbourAngles: name = "aligned "; break;
        case Alignment::kTriangles: name = "star-aligned "; break;
        case Alignment::kNone: break;
    }
    name += rule->name;
    if (Rejects()) name += ", kappa-sigma clipped";
    if (Weighs()) name += ", weighted by noise";
    return name;
}

bool RunStackPlan(const StackPlan& plan, const std::vector<std::string>& lights, std::unique_ptr<FloatImage>& result,
                  StackHistory& history, FrameScores* scores) {
    CalibrationMasters masters;
    if (!masters.Make(plan.calibration, lights, plan.kappa)) return false;
    const Calibration calibration = masters.ForLights();
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
    switch (plan.alignment) {
        case Alignment::kNeighbourAngles:
            stacked = MergeAlignStars(frames, calibration, plan.MakeCombiner(), &history, frame_scores);
            break;
        case Alignment::kTriangles:
            stacked = MergeAlignEveryStar(frames, calibration, plan.MakeCombiner(), &history, frame_scores);
            break;
        case Alignment::kNone:
            stacked = MergeNoAlign(frames, calibration, plan.MakeCombiner(), &history, frame_scores);
            break;
    }
    if (stacked_scores)
        for (size_t k = 0; k < chosen.size(); ++k) scores->Set(chosen[k], stacked_scores->Rows()[k]);
    result.reset(stacked);
    history.notes = masters.Notes();
    history.merge_type = plan.Name();
    return true;
}

}  // namespace quen_merge

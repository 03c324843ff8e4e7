#include "stack/stack_plan.h"

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
    return name;
}

bool RunStackPlan(const StackPlan& plan, const std::vector<std::string>& lights, std::unique_ptr<FloatImage>& result,
                  StackHistory& history, FrameScores* scores) {
    CalibrationMasters masters;
    if (!masters.Make(plan.calibration, lights, plan.kappa)) return false;
    const Calibration calibration = masters.ForLights();
    FloatImage* stacked = nullptr;
    switch (plan.alignment) {
        case Alignment::kNeighbourAngles:
            stacked = MergeAlignStars(lights, calibration, plan.MakeCombiner(), &history, scores);
            break;
        case Alignment::kTriangles:
            stacked = MergeAlignEveryStar(lights, calibration, plan.MakeCombiner(), &history, scores);
            break;
        case Alignment::kNone:
            stacked = MergeNoAlign(lights, calibration, plan.MakeCombiner(), &history, scores);
            break;
    }
    result.reset(stacked);
    history.notes = masters.Notes();
    history.merge_type = plan.Name();
    return true;
}

}  // namespace quen_merge

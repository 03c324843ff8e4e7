// The stacking drivers: read the named frames one at a time and combine them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "io/stack_history.h"
#include "stack/frame_scores.h"
#include "stack/merge_utils.h"
#include "ostrel/image.h"

namespace quen_merge {

// The frames combined by combiner's rule sample by sample, each calibrated
// by the masters of its size (a master dark alone, or none). Returns a new
// image owned by the caller, or null when no frame could be used. When
// history is given, it receives the number of frames in the result and what
// their files said alike (the merge type is left to the caller). When
// scores is given, every frame is scored in it, with its verdict.
// Called after each frame an unaligned stack takes, with the result of the
// frames so far (rules that show as they grow) and how many they are.
using GrowthView = std::function<void(const FloatImage& so_far, size_t stacked)>;

// What else sees each frame an aligned stack takes, as loaded, in file
// order (another stack of them), and the memory it keeps per frame pixel,
// which the stack's budget counts.
struct FrameTap {
    std::function<void(const Image16* frame)> take;
    unsigned bytes_per_pixel = 0;
};

FloatImage* MergeNoAlign(const std::vector<std::string>& files, const Calibration& calibration,
                         std::unique_ptr<Combiner> combiner, StackHistory* history = nullptr,
                         FrameScores* scores = nullptr, const GrowthView& grown = nullptr);
// As above: the mean (MergeAverage) or the per-sample maximum (any other type).
FloatImage* MergeNoAlign(const std::vector<std::string>& files, const Calibration& calibration,
                         MergeType type, StackHistory* history = nullptr);

// The frames combined by combiner's rule after aligning each on the stars of
// the first frame that has enough of them, on the grid of the first frame
// that loads. Returns a new image owned by the caller, or null; history as
// above; tap, when it takes, sees every frame the stack takes.
FloatImage* MergeAlignStars(const std::vector<std::string>& files, const Calibration& calibration,
                            std::unique_ptr<Combiner> combiner, StackHistory* history = nullptr,
                            FrameScores* scores = nullptr, const FrameTap& tap = {});

// Makes a new combiner of one rule, for each stack a run makes.
using CombinerMaker = std::function<std::unique_ptr<Combiner>()>;

// The frames combined by make_combiner's rule after aligning each on all its
// stars (-t s): stars found against the measured background and noise of the
// 16-bit data (calibrated), matched by triangles under any rotation and
// shift, the mapping refined over every matched star. The first frame with
// enough stars is the reference and the grid of the result; frames before
// it, and frames that do not match it, are left out and reported. Under a
// fixed camera whose sky moves as one turn about the pole, the frames are
// stacked again on that motion. Returns a new image owned by the caller, or
// null; history and tap as above.
FloatImage* MergeAlignEveryStar(const std::vector<std::string>& files, const Calibration& calibration,
                                const CombinerMaker& make_combiner, StackHistory* history = nullptr,
                                FrameScores* scores = nullptr, const FrameTap& tap = {});

}  // namespace quen_merge

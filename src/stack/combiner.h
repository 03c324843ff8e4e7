// What combines the values one sample takes over the frames of a stack. The
// unaligned fold and the aligned remap both feed a Combiner, so that a rule
// is written once and serves every kind of stack; each rule lives in a file
// of its own (mean_rule, maximum_rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/frame_calibration.h"
#include "ostrel/image.h"
#include "stack/sigma_clip.h"

namespace quen_merge {

// How many values each sample of a stack holds: `all` for every sample, or,
// where per_pixel is given, per_pixel[i / kFrameChannels] for sample i (an
// aligned stack's coverage).
struct ValueCounts {
    float all = 0;
    const float* per_pixel = nullptr;
};

class Combiner {
public:
    virtual ~Combiner() = default;

    // Memory the rule keeps per sample besides the result itself, in bytes.
    virtual unsigned BytesPerSample() const = 0;
    // Starts from the first frame's n values in result, a buffer the caller
    // owns and keeps alive, of a grid width pixels wide; the rule works in it
    // and leaves the combined values there.
    virtual void Start(float* result, size_t n, uint32_t width) = 0;
    // Folds in a whole frame of the result's size, calibrated.
    virtual void AddFrame(const Image16* frame, const SampleCalibration& calibration) = 0;
    // Tells the rule of the next frame whose values AddValues will bring
    // (resampled onto the grid), as loaded and calibrated.
    virtual void BeginFrame(const Image16* /*frame*/, const SampleCalibration& /*calibration*/) {}
    // Where frames land: the caller's count of each pixel's values, which
    // counts a frame's before AddValues brings them. Call after Start.
    virtual void CountValuesIn(const float* /*per_pixel*/) {}
    // Folds in values[j] as a value of sample first + j, for j < n: the
    // samples of whole pixels of one row. Calls for ranges that do not
    // overlap may run on several threads at once.
    virtual void AddValues(size_t first, const float* values, size_t n) = 0;
    // Leaves each sample's combined value in the result.
    virtual void Finish(const ValueCounts& counts) = 0;
    // What the rule left out; null for rules that leave nothing out.
    virtual const RejectionTally* Tally() const { return nullptr; }
    // Whether the rule compares a sample's values with each other: they must
    // then be calibrated as folded (a flat evens out the vignetting that
    // would set them apart). Rules that do not may be calibrated once at the
    // end, when that gives the same result.
    virtual bool ComparesValues() const { return false; }
    // Whether the result so far is the rule's result of the frames so far
    // (the maximum), so that a stack can be shown as it grows.
    virtual bool ShowsAsItGrows() const { return false; }
};

// A rule as a run chooses it: its name and the combiner that applies it.
struct CombineRule {
    const char* name;  // in words, for the result's header: "mean", "maximum"
    bool rejects;      // whether -r's rejection applies to it
    // A new combiner of the rule; a kappa above 0 (given only where the rule
    // rejects) asks for rejection beyond kappa standard deviations.
    std::unique_ptr<Combiner> (*make)(double kappa);
};

}  // namespace quen_merge

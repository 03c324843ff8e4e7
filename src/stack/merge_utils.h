// Accumulators that fold frames, one at a time, into a float image.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "base/frame_mapping.h"
#include "base/sample_format.h"
#include "ostrel/image.h"
#include "stack/clipped_mean.h"
#include "stack/combiner.h"
#include "stack/maximum_rule.h"
#include "stack/mean_rule.h"
#include "stack/row_resampler.h"

namespace quen_merge {

enum MergeType { MergeLighten = 0, MergeAverage = 1 };

// Folds unaligned frames, one at a time, into a float image through a
// combining rule. Borrows the calibration masters, each applied to every
// frame of its width and height. With a flat, the frames are folded as
// loaded and the result is calibrated once: the mean, the maximum and the
// clipping all commute with a positive gain and an offset, and the fold then
// streams no masters.
class Merge {
public:
    Merge(const Calibration& calibration, std::unique_ptr<Combiner> combiner)
        : calibration(calibration), combiner(std::move(combiner)) {}
    virtual ~Merge() { delete accumulator; }
    Merge(const Merge&) = delete;
    Merge& operator=(const Merge&) = delete;

    // Memory one frame pixel costs while it is stacked: the float result and
    // the rule's state of its samples.
    static unsigned BytesPerPixel(const Combiner& combiner) {
        return kFrameChannels * (unsigned(sizeof(float)) + combiner.BytesPerSample());
    }

    // Folds one 3-channel frame in; false (and no change) for a null frame or
    // one whose size differs from the first frame's.
    virtual bool AddFrame(const Image16* frame);
    // Finishes the accumulation; the result is then in Accumulator().
    virtual bool PostProcess();

    // Restarts the accumulation from frame; false for a null frame.
    bool SetImage(const Image16* frame);
    const FloatImage* Accumulator() const { return accumulator; }
    // Hands the accumulated image to the caller, who then owns it.
    FloatImage* ReleaseAccumulator() { return std::exchange(accumulator, nullptr); }
    // What the rule left out; null when it leaves nothing out.
    const RejectionTally* Tally() const { return combiner->Tally(); }
    // The result of the frames folded so far, calibrated, for rules that
    // show as they grow (the maximum); null otherwise or before any frame.
    std::unique_ptr<FloatImage> Snapshot() const;

protected:
    // True when frame can be folded into the current accumulator.
    bool Matches(const Image16* frame) const;
    // Whether the flat divides the combined result once instead of every
    // frame: the same for rules that do not compare values, and cheaper.
    bool FlatAtTheEnd() const { return calibration.gain && !combiner->ComparesValues(); }
    // What each frame is calibrated by as it is folded in.
    SampleCalibration FoldCalibration(const Image16* frame) const {
        return FlatAtTheEnd() ? SampleCalibration() : calibration.For(frame);
    }
    // Applies what FoldCalibration left for the end to image.
    void CalibrateAtTheEnd(FloatImage& image) const;

    FloatImage* accumulator = nullptr;
    Calibration calibration;

private:
    std::unique_ptr<Combiner> combiner;
    unsigned frame_count = 0;
};

// Per-sample mean of the frames.
class Average : public Merge {
public:
    explicit Average(const FloatImage* dark = nullptr) : Merge(dark, kMeanRule.make(0)) {}
};

// Per-sample mean of the frames after kappa-sigma clipping: satellite and
// aircraft trails, meteors and cosmic-ray hits are left out of the mean.
class ClippedAverage : public Merge {
public:
    ClippedAverage(const FloatImage* dark, double kappa)
        : Merge(dark, MakeClippedMean(kappa)) {}
};

// Per-sample maximum of the frames ("lighten", star trails).
class Lighten : public Merge {
public:
    explicit Lighten(const FloatImage* dark = nullptr) : Merge(dark, kMaximumRule.make(0)) {}
};

// A new float copy of a 3-channel frame, scaled by 2^-16 and calibrated by
// the masters of its width and height; the caller owns it.
FloatImage* ConvertFrame(const Image16* frame, const Calibration& calibration);
// As above, calibrated by samples of the frame's size.
FloatImage* ConvertFrame(const Image16* frame, const SampleCalibration& samples);

// Averages frames that moved against the reference frame: each is resampled
// onto the reference grid through its mapping and handed to the
// combining rule, and every pixel counts the frames that covered it.
class AverageAlign {
public:
    // Memory one frame pixel costs while it is stacked: the float result, its
    // coverage count and the rule's state of its samples. Frames are
    // resampled from their 16-bit samples, without a float copy.
    static unsigned BytesPerPixel(const Combiner& combiner) {
        return Merge::BytesPerPixel(combiner) + unsigned(sizeof(float));
    }

    // The reference frame is the starting content, counted once everywhere.
    // A kappa above 0 makes the result a kappa-sigma-clipped mean, in which
    // only the frames that cover a pixel count as its values.
    AverageAlign(const Calibration& calibration, const Image16* reference, double kappa = 0)
        : AverageAlign(calibration, reference, kMeanRule.make(kappa)) {}
    // As above, the frames combined by combiner's rule.
    AverageAlign(const Calibration& calibration, const Image16* reference, std::unique_ptr<Combiner> combiner);
    ~AverageAlign() {
        delete weight;
        delete accumulator;
    }
    AverageAlign(const AverageAlign&) = delete;
    AverageAlign& operator=(const AverageAlign&) = delete;

    // The frame converted and calibrated; a new image owned by the caller,
    // or null for a null frame.
    FloatImage* MakeFloatImage(const Image16* frame) const;
    // Adds the frame where it covers the reference grid. The transform
    // (degrees about (0, 0), then tx, ty in pixels) maps frame positions onto
    // the reference: ref = R(angle) * frame + t.
    void AddFrame(const Image16* frame, double angle, double tx, double ty);
    // As above, through any mapping of the reference grid into the frame.
    void AddFrame(const Image16* frame, const FrameMapping& mapping);
    // Turns the sums into means; calling it again changes nothing.
    void PostProcess();
    // How the frames added from now on are resampled.
    void SetResampling(ResamplingArithmetic how) { arithmetic = how; }

    const FloatImage* Accumulator() const { return accumulator; }
    const FloatImage* Weight() const { return weight; }
    // What the rule left out; null when it leaves nothing out.
    const RejectionTally* Tally() const { return combiner->Tally(); }
    // Hands the accumulated image to the caller, who then owns it.
    FloatImage* ReleaseAccumulator() { return std::exchange(accumulator, nullptr); }

private:
    // Hands the frame, resampled and calibrated by samples, to the rule for
    // rows [begin, end) of the reference grid and counts the pixels it
    // covers.
    void RemapRows(const Image16& frame, const SampleCalibration& samples, const FrameMapping& mapping,
                   uint32_t begin, uint32_t end);

    Calibration calibration;
    FloatImage* accumulator = nullptr;
    FloatImage* weight = nullptr;
    std::unique_ptr<Combiner> combiner;
    ResamplingArithmetic arithmetic = ResamplingArithmetic::kRoundedPerTap;
    bool finished = false;
};

}  // namespace quen_merge

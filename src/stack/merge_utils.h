// Accumulators that fold frames, one at a time, into a float image.
#pragma once

#include <cassert>
#include <cstdlib>
#include <utility>

#include "ostrel/image.h"
#include "base/sample_format.h"
#include "stack/sigma_clip.h"

#include <memory>

namespace quen_merge {

enum MergeType { MergeLighten = 0, MergeAverage = 1 };

// Base of the unaligned accumulators. Borrows the master dark, which is
// subtracted from every frame of its width and height.
class Merge {
public:
    // Memory one frame pixel costs while it is stacked: the float accumulator.
    static constexpr unsigned kBytesPerPixel = kFrameChannels * sizeof(float);

    Merge() = default;
    explicit Merge(const FloatImage* dark) : dark(dark) {}
    virtual ~Merge() { delete accumulator; }
    Merge(const Merge&) = delete;
    Merge& operator=(const Merge&) = delete;

    // Folds one 3-channel frame in; false (and no change) for a null frame or
    // one whose size differs from the first frame's.
    virtual bool AddFrame(const Image16* frame) = 0;
    // Finishes the accumulation; the result is then in Accumulator().
    virtual bool PostProcess() = 0;

    // Restarts the accumulation from frame; false for a null frame.
    bool SetImage(const Image16* frame);
    const FloatImage* Accumulator() const { return accumulator; }
    // Hands the accumulated image to the caller, who then owns it.
    FloatImage* ReleaseAccumulator() { return std::exchange(accumulator, nullptr); }

protected:
    // True when frame can be folded into the current accumulator.
    bool Matches(const Image16* frame) const;

    FloatImage* accumulator = nullptr;
    const FloatImage* dark = nullptr;
};

// Per-sample mean of the frames.
class Average : public Merge {
public:
    using Merge::Merge;
    bool AddFrame(const Image16* frame) override;
    bool PostProcess() override;

private:
    float frame_count = 0;
};

// Per-sample mean of the frames after kappa-sigma clipping: satellite and
// aircraft trails, meteors and cosmic-ray hits are left out of the mean.
class ClippedAverage : public Merge {
public:
    // The float accumulator and the clipping statistics of every sample.
    static constexpr unsigned kBytesPerPixel =
        Merge::kBytesPerPixel + kFrameChannels * ClippingStatistics::kBytesPerSample;

    ClippedAverage(const FloatImage* dark, double kappa) : Merge(dark), kappa(kappa) {}
    bool AddFrame(const Image16* frame) override;
    // The accumulator then holds the clipped means.
    bool PostProcess() override;
    const RejectionTally& Tally() const { return tally; }

private:
    double kappa;
    unsigned frame_count = 0;
    std::unique_ptr<ClippingStatistics> statistics;
    RejectionTally tally;
};

// Per-sample maximum of the frames ("lighten", star trails).
class Lighten : public Merge {
public:
    using Merge::Merge;
    bool AddFrame(const Image16* frame) override;
    bool PostProcess() override { return true; }
};

// A new float copy of a 3-channel frame, scaled by 2^-16, with dark subtracted
// when it has the frame's width and height (dark may be null); the caller
// owns it.
FloatImage* ConvertFrame(const Image16* frame, const FloatImage* dark);

// Averages frames that moved against the reference frame: each is resampled
// onto the reference grid through its rigid transform, and every pixel is
// divided by the number of frames that covered it.
class AverageAlign {
public:
    // Memory one frame pixel costs while it is stacked: the float sum, its
    // coverage count and the frame's float copy that is resampled.
    static constexpr unsigned kBytesPerPixel = (2 * kFrameChannels + 1) * sizeof(float);

    // What each pixel of the reference grid costs besides when the mean is
    // clipped: the clipping statistics of its samples.
    static constexpr unsigned kClippingBytesPerPixel = kFrameChannels * ClippingStatistics::kBytesPerSample;

    // The reference frame is the starting content, counted once everywhere.
    // A kappa above 0 makes the result a kappa-sigma-clipped mean, in which
    // only the frames that cover a pixel count as its values.
    AverageAlign(const FloatImage* dark, const Image16* reference, double kappa = 0) : dark(dark) {
        if (!reference) {
            assert(0);
            std::abort();
        }
        weight = new FloatImage(reference->width, reference->height, 1);
        for (size_t i = 0; i < weight->ElementCount(); ++i) weight->data[i] = 1.0f;
        accumulator = MakeFloatImage(reference);
        if (kappa > 0) StartClipping(kappa);
    }
    ~AverageAlign() {
        delete weight;
        delete accumulator;
    }
    AverageAlign(const AverageAlign&) = delete;
    AverageAlign& operator=(const AverageAlign&) = delete;

    // The frame converted and dark-subtracted; a new image owned by the
    // caller, or null for a null frame.
    FloatImage* MakeFloatImage(const Image16* frame) const;
    // Adds the frame where it covers the reference grid. The transform
    // (degrees about (0, 0), then tx, ty in pixels) maps frame positions onto
    // the reference: ref = R(angle) * frame + t.
    void AddFrame(const Image16* frame, double angle, double tx, double ty);
    // Turns the sums into means; calling it again changes nothing.
    void PostProcess();

    const FloatImage* Accumulator() const { return accumulator; }
    const FloatImage* Weight() const { return weight; }
    // What clipping left out; null when the mean is not clipped.
    const RejectionTally* Tally() const { return kappa > 0 ? &tally : nullptr; }
    // Hands the accumulated image to the caller, who then owns it.
    FloatImage* ReleaseAccumulator() { return std::exchange(accumulator, nullptr); }

private:
    void StartClipping(double kappa);
    // Adds the resampled source to rows [begin, end) of the reference grid.
    void RemapRows(const FloatImage& source, double angle, double tx, double ty, uint32_t begin, uint32_t end);

    const FloatImage* dark;
    FloatImage* accumulator = nullptr;
    FloatImage* weight = nullptr;
    double kappa = 0;
    std::unique_ptr<ClippingStatistics> statistics;
    RejectionTally tally;
};

}  // namespace quen_merge

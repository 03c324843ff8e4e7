#include "stack/maximum_rule.h"

#include "stack/sample_fold.h"

namespace quen_merge {

namespace {

// The largest value of each sample ("lighten", star trails).
class MaximumCombiner : public Combiner {
public:
    unsigned BytesPerSample() const override { return 0; }
    void Start(float* first, size_t, uint32_t) override { max = first; }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        float* m = max;
        FoldSamples(frame, calibration, [m](size_t i, float v) { m[i] = v > m[i] ? v : m[i]; });
    }
    void AddValues(size_t first, const float* values, size_t n) override {
        float* m = max + first;
        for (size_t j = 0; j < n; ++j) m[j] = values[j] > m[j] ? values[j] : m[j];
    }
    void Finish(const ValueCounts&) override {}
    bool ShowsAsItGrows() const override { return true; }

private:
    float* max = nullptr;
};

// Comet-like trails: before each frame is folded in, the maximum so far
// fades by keep, so that older frames count less. Fading does not commute
// with the dark's offset: the frames are calibrated as they are folded.
class FadingMaximumCombiner : public Combiner {
public:
    explicit FadingMaximumCombiner(float keep) : keep(keep) {}
    unsigned BytesPerSample() const override { return 0; }
    void Start(float* first, size_t, uint32_t) override { max = first; }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        float* m = max;
        const float k = keep;
        FoldSamples(frame, calibration, [m, k](size_t i, float v) {
            const float faded = m[i] * k;
            m[i] = v > faded ? v : faded;
        });
    }
    void AddValues(size_t first, const float* values, size_t n) override {
        float* m = max + first;
        for (size_t j = 0; j < n; ++j) m[j] = values[j] > m[j] * keep ? values[j] : m[j] * keep;
    }
    void Finish(const ValueCounts&) override {}
    bool ComparesValues() const override { return true; }
    bool ShowsAsItGrows() const override { return true; }

private:
    float keep;
    float* max = nullptr;
};

std::unique_ptr<Combiner> MakeMaximum(double) { return std::make_unique<MaximumCombiner>(); }

}  // namespace

std::unique_ptr<Combiner> MakeFadingMaximum(double keep) {
    return std::make_unique<FadingMaximumCombiner>(float(keep));
}

const CombineRule kMaximumRule{"maximum", false, MakeMaximum};

}  // namespace quen_merge

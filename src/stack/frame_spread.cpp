#include "stack/frame_spread.h"

#include <algorithm>
#include <utility>

#include "base/sample_format.h"

namespace quen_merge {

void FrameSpread::Begin(size_t pixels) {
    first.assign(pixels, 0.0f);
    sum.assign(pixels, 0.0f);
    squares.assign(pixels, 0.0f);
    count.assign(pixels, 0);
}

void FrameSpread::AddValues(size_t first, const float* values, size_t n) {
    const size_t pixel = first / kFrameChannels;
    for (size_t j = 0; j + kFrameChannels <= n; j += kFrameChannels)
        Add(pixel + j / kFrameChannels, values[j] + values[j + 1] + values[j + 2]);
}

std::vector<float> FrameSpread::Variance() const {
    std::vector<float> variance(sum.size(), 0.0f);
    for (size_t i = 0; i < sum.size(); ++i) {
        if (count[i] < 2) continue;
        const double mean = double(sum[i]) / count[i];
        variance[i] = float(std::max(0.0, double(squares[i]) / count[i] - mean * mean));
    }
    return variance;
}

namespace {

class SpreadTap : public Combiner {
public:
    SpreadTap(std::unique_ptr<Combiner> inner, FrameSpread& spread) : inner(std::move(inner)), spread(spread) {}

    unsigned BytesPerSample() const override { return inner->BytesPerSample(); }
    void Start(float* result, size_t n, uint32_t width) override {
        spread.Begin(n / kFrameChannels);
        spread.AddValues(0, result, n);
        inner->Start(result, n, width);
    }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        const size_t pixels = size_t(frame->width) * frame->height;
        const unsigned short* data = frame->data;
        WithCalibrationFormula(calibration, [&](auto calibrate) {
            for (size_t p = 0, i = 0; p < pixels; ++p, i += kFrameChannels)
                spread.Add(p, calibrate(data[i], i) + calibrate(data[i + 1], i + 1) + calibrate(data[i + 2], i + 2));
        });
        inner->AddFrame(frame, calibration);
    }
    void BeginFrame(const Image16* frame, const SampleCalibration& calibration) override {
        inner->BeginFrame(frame, calibration);
    }
    void AddValues(size_t first, const float* values, size_t n) override {
        spread.AddValues(first, values, n);
        inner->AddValues(first, values, n);
    }
    void Finish(const ValueCounts& counts) override { inner->Finish(counts); }
    const RejectionTally* Tally() const override { return inner->Tally(); }
    bool ComparesValues() const override { return inner->ComparesValues(); }
    bool ShowsAsItGrows() const override { return inner->ShowsAsItGrows(); }

private:
    std::unique_ptr<Combiner> inner;
    FrameSpread& spread;
};

}  // namespace

std::unique_ptr<Combiner> TapSpread(std::unique_ptr<Combiner> inner, FrameSpread& spread) {
    return std::make_unique<SpreadTap>(std::move(inner), spread);
}

}  // namespace quen_merge

#include "stack/frame_spread.h"

#include <algorithm>
#include <utility>

#include "base/parallel.h"
#include "base/sample_format.h"

namespace quen_merge {

namespace {
constexpr size_t kRowsPerPiece = 16;
}  // namespace

void FrameSpread::Begin(uint32_t grid_width, uint32_t grid_height) {
    width = grid_width;
    height = grid_height;
    columns = (width + 1) / 2;
    const size_t counted = size_t(columns) * ((height + 1) / 2);
    first.assign(counted, 0.0f);
    sum.assign(counted, 0.0f);
    squares.assign(counted, 0.0f);
    count.assign(counted, 0);
}

void FrameSpread::AddValues(size_t first_sample, const float* values, size_t n) {
    const size_t pixel = first_sample / kFrameChannels;
    const size_t y = pixel / width, x0 = pixel % width;
    if (y % 2) return;
    const size_t row = (y / 2) * columns;
    for (size_t x = x0 + (x0 % 2), j = (x - x0) * kFrameChannels; j + kFrameChannels <= n;
         x += 2, j += 2 * kFrameChannels)
        Add(row + x / 2, values[j] + values[j + 1] + values[j + 2]);
}

void FrameSpread::AddFrame(const Image16& frame, const SampleCalibration& calibration) {
    const unsigned short* data = frame.data;
    WithCalibrationFormula(calibration, [&](auto calibrate) {
        ForEachPiece((height + 1) / 2, kRowsPerPiece, [&](size_t begin, size_t end) {
            for (size_t r = begin; r < end; ++r)
                for (size_t x = 0; x < width; x += 2) {
                    const size_t i = (2 * r * width + x) * kFrameChannels;
                    Add(r * columns + x / 2,
                        calibrate(data[i], i) + calibrate(data[i + 1], i + 1) + calibrate(data[i + 2], i + 2));
                }
        });
    });
}

std::vector<float> FrameSpread::Variance() const {
    std::vector<float> variance(size_t(width) * height, 0.0f);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const size_t at = (y / 2) * columns + x / 2;
            if (count[at] < 2) continue;
            const double mean = double(sum[at]) / count[at];
            variance[y * width + x] = float(std::max(0.0, double(squares[at]) / count[at] - mean * mean));
        }
    return variance;
}

namespace {

class SpreadTap : public Combiner {
public:
    SpreadTap(std::unique_ptr<Combiner> inner, FrameSpread& spread) : inner(std::move(inner)), spread(spread) {}

    unsigned BytesPerSample() const override { return inner->BytesPerSample(); }
    void Start(float* result, size_t n, uint32_t width) override {
        spread.Begin(width, uint32_t(n / kFrameChannels / width));
        for (size_t row = 0; row < n; row += size_t(width) * kFrameChannels)
            spread.AddValues(row, result + row, size_t(width) * kFrameChannels);
        inner->Start(result, n, width);
    }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        spread.AddFrame(*frame, calibration);
        inner->AddFrame(frame, calibration);
    }
    void BeginFrame(const Image16* frame, const SampleCalibration& calibration) override {
        inner->BeginFrame(frame, calibration);
    }
    void CountValuesIn(const float* per_pixel) override { inner->CountValuesIn(per_pixel); }
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

#include "stack/clipped_mean.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/parallel.h"
#include "base/sample_format.h"
#include "stack/sample_fold.h"

namespace quen_merge {

namespace {

// The frame's sky, per channel, as ClippingStatistics measures it; across
// the frame too where the frame stays in place and is compared by its sky.
ClippingStatistics::FrameSky SkyOf(const Image16* frame, const SampleCalibration& calibration,
                                   bool across = false) {
    const unsigned short* data = frame->data;
    return ClippingStatistics::Sky(frame->width, frame->height, [&](size_t i) {
        return CalibratedValue(data, calibration, i);
    }, across);
}

// The mean after kappa-sigma clipping against a noise model, from each
// sample's one-pass statistics.
class ClippedMeanCombiner : public Combiner {
public:
    ClippedMeanCombiner(double kappa, Normalisation normalisation) : kappa(kappa), normalisation(normalisation) {}
    unsigned BytesPerSample() const override { return ClippingStatistics::kBytesPerSample; }
    void Start(float* first, size_t n, uint32_t width) override {
        statistics.reset(new ClippingStatistics(first, n, width, kappa, normalisation));
    }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        ClippingStatistics& s = *statistics;
        s.BeginFrame(SkyOf(frame, calibration, normalisation == Normalisation::kLocation));
        // Row by row, each row converted once: whole rows fold in a loop
        // that takes several values at once, and feed the grid too.
        const unsigned short* data = frame->data;
        const size_t row_samples = size_t(frame->width) * kFrameChannels;
        const size_t rows_per_piece = std::max<size_t>(1, kFoldPiece / std::max<size_t>(1, row_samples));
        WithCalibrationFormula(calibration, [&](auto calibrate) {
            ForEachPiece(frame->height, rows_per_piece, [&](size_t first_row, size_t end_row) {
                std::vector<float> row(row_samples);
                for (size_t y = first_row; y < end_row; ++y) {
                    const size_t first = y * row_samples;
                    for (size_t k = 0; k < row_samples; ++k) row[k] = calibrate(data[first + k], first + k);
                    s.AddPixels(first, row.data(), row_samples);
                }
            });
        });
    }
    void BeginFrame(const Image16* frame, const SampleCalibration& calibration) override {
        statistics->BeginFrame(SkyOf(frame, calibration), true);
    }
    void CountValuesIn(const float* per_pixel) override { statistics->CountValuesIn(per_pixel); }
    void AddValues(size_t first, const float* values, size_t n) override {
        statistics->AddPixels(first, values, n);
        statistics->Landed(first, n);
    }
    void Finish(const ValueCounts& counts) override {
        tally = RejectionTally();
        if (counts.per_pixel) {
            const float* covered = counts.per_pixel;
            statistics->ClippedMeans([covered](size_t p) { return unsigned(covered[p]); }, tally);
        } else {
            const unsigned all = unsigned(counts.all);
            statistics->ClippedMeans([all](size_t) { return all; }, tally);
        }
    }
    const RejectionTally* Tally() const override { return &tally; }
    bool ComparesValues() const override { return true; }

private:
    double kappa;
    Normalisation normalisation;
    std::unique_ptr<ClippingStatistics> statistics;
    RejectionTally tally;
};

}  // namespace

std::unique_ptr<Combiner> MakeClippedMean(double kappa, Normalisation normalisation) {
    return std::make_unique<ClippedMeanCombiner>(kappa, normalisation);
}

}  // namespace quen_merge

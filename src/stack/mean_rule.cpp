#include "stack/mean_rule.h"

#include "base/parallel.h"
#include "base/sample_format.h"
#include "stack/clipped_mean.h"
#include "stack/sample_fold.h"

namespace quen_merge {

namespace {

// Samples finished by one worker at a time.
constexpr size_t kFinishPiece = size_t(1) << 20;

// The running sum of each sample, divided by its count at the end.
class MeanCombiner : public Combiner {
public:
    unsigned BytesPerSample() const override { return 0; }
    void Start(float* first, size_t n, uint32_t) override {
        sum = first;
        count = n;
    }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        float* s = sum;
        FoldSamples(frame, calibration, [s](size_t i, float v) { s[i] = v + s[i]; });
    }
    void AddValues(size_t first, const float* values, size_t n) override {
        float* s = sum + first;
        for (size_t j = 0; j < n; ++j) s[j] += values[j];
    }
    void Finish(const ValueCounts& counts) override {
        float* s = sum;
        ForEachPiece(count, kFinishPiece, [&](size_t begin, size_t end) {
            if (counts.per_pixel) {
                for (size_t i = begin; i < end; ++i) s[i] /= counts.per_pixel[i / kFrameChannels];
            } else {
                for (size_t i = begin; i < end; ++i) s[i] = s[i] / counts.all;
            }
        });
    }

private:
    float* sum = nullptr;
    size_t count = 0;
};

std::unique_ptr<Combiner> MakeLightsMean(double kappa) { return MakeMean(kappa, Normalisation::kLocation); }

}  // namespace

std::unique_ptr<Combiner> MakeMean(double kappa, Normalisation normalisation) {
    if (kappa > 0) return MakeClippedMean(kappa, normalisation);
    return std::make_unique<MeanCombiner>();
}

const CombineRule kMeanRule{"mean", true, MakeLightsMean};

}  // namespace quen_merge

#include "stack/weighted_mean.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/parallel.h"
#include "base/sample_format.h"
#include "stack/sample_fold.h"

namespace quen_merge {

namespace {

constexpr size_t kFinishPiece = size_t(1) << 20;  // samples finished by one worker at a time

// Each channel's weight from a frame's sky: the inverse of its variance;
// a channel without measurable noise (a flat, noiseless frame) weighs 1.
template <typename Value>
std::array<float, 3> WeightsOf(uint32_t width, uint32_t height, Value value) {
    const ClippingStatistics::FrameSky sky = ClippingStatistics::Sky(width, height, value);
    std::array<float, 3> weight;
    for (unsigned c = 0; c < 3; ++c) weight[c] = sky.variance[c] > 0 ? 1.0f / sky.variance[c] : 1.0f;
    return weight;
}

class WeightedMeanCombiner : public Combiner {
public:
    unsigned BytesPerSample() const override { return sizeof(float); }
    void Start(float* first, size_t n, uint32_t width) override {
        sum = first;
        count = n;
        const uint32_t height = uint32_t(n / kFrameChannels / std::max<uint32_t>(1, width));
        weight = WeightsOf(width, height, [first](size_t i) { return first[i]; });
        for (size_t i = 0; i < n; ++i) sum[i] *= weight[i % 3];
        for (unsigned c = 0; c < 3; ++c) total[c] = weight[c];
    }
    void AddFrame(const Image16* frame, const SampleCalibration& calibration) override {
        weight = WeightsOf(frame->width, frame->height,
                           [&](size_t i) { return CalibratedValue(frame->data, calibration, i); });
        for (unsigned c = 0; c < 3; ++c) total[c] += weight[c];
        float* s = sum;
        const std::array<float, 3> w = weight;
        FoldSamples(frame, calibration, [s, w](size_t i, float v) { s[i] = v * w[i % 3] + s[i]; });
    }
    void BeginFrame(const Image16* frame, const SampleCalibration& calibration) override {
        weight = WeightsOf(frame->width, frame->height,
                           [&](size_t i) { return CalibratedValue(frame->data, calibration, i); });
        // Landing frames cover some samples only: each sample keeps its own
        // total, from the first frame's weight on.
        if (covered.empty()) {
            covered.resize(count);
            for (size_t i = 0; i < count; ++i) covered[i] = total[i % 3];
        }
    }
    void AddValues(size_t first, const float* values, size_t n) override {
        float* s = sum + first;
        float* t = covered.data() + first;
        for (size_t j = 0; j < n; ++j) {
            const float w = weight[(first + j) % 3];
            s[j] += values[j] * w;
            t[j] += w;
        }
    }
    void Finish(const ValueCounts&) override {
        float* s = sum;
        ForEachPiece(count, kFinishPiece, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) s[i] /= covered.empty() ? float(total[i % 3]) : covered[i];
        });
    }

private:
    float* sum = nullptr;
    size_t count = 0;
    std::array<float, 3> weight{};   // the current frame's
    std::array<double, 3> total{};   // every whole frame's weights added
    std::vector<float> covered;      // aligned stacks: each sample's weights added
};

}  // namespace

std::unique_ptr<Combiner> MakeWeightedMean() { return std::make_unique<WeightedMeanCombiner>(); }

}  // namespace quen_merge

#include "stack/merge_utils.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/parallel.h"
#include "base/frame_mapping.h"
#include "stack/row_resampler.h"
#include "stack/sample_fold.h"

namespace quen_merge {

FloatImage* ConvertFrame(const Image16* frame, const Calibration& calibration) {
    return ConvertFrame(frame, calibration.For(frame));
}

FloatImage* ConvertFrame(const Image16* frame, const SampleCalibration& samples) {
    // Every sample is written below.
    FloatImage* image = new FloatImage(frame->width, frame->height, kFrameChannels, ostrel::uninitialised);
    float* out = image->data;
    FoldSamples(frame, samples, [out](size_t i, float v) { out[i] = v; });
    return image;
}

bool Merge::Matches(const Image16* frame) const {
    return frame->width == accumulator->width && frame->height == accumulator->height &&
           frame->channels == kFrameChannels;
}

bool Merge::SetImage(const Image16* frame) {
    delete accumulator;
    accumulator = nullptr;
    frame_count = 0;
    if (!frame || frame->channels != kFrameChannels) return false;
    accumulator = ConvertFrame(frame, FoldCalibration(frame));
    combiner->Start(accumulator->data, accumulator->ElementCount(), accumulator->width);
    frame_count = 1;
    return true;
}

bool Merge::AddFrame(const Image16* frame) {
    if (!frame) return false;
    if (!accumulator) return SetImage(frame);
    if (!Matches(frame)) return false;
    combiner->AddFrame(frame, FoldCalibration(frame));
    ++frame_count;
    return true;
}

bool Merge::PostProcess() {
    if (!accumulator || frame_count == 0) return true;
    combiner->Finish(ValueCounts{float(frame_count), nullptr});
    if (FlatAtTheEnd()) CalibrateAtTheEnd(*accumulator);
    return true;
}

void Merge::CalibrateAtTheEnd(FloatImage& image) const {
    const SampleCalibration samples = calibration.For(image.width, image.height, kFrameChannels);
    float* result = image.data;
    if (!samples.gain) return;
    WithCalibrationFormula(samples, [&](auto calibrate) {
        ForEachPiece(image.ElementCount(), kFoldPiece, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) result[i] = calibrate(result[i], i);
        });
    });
}

std::unique_ptr<FloatImage> Merge::Snapshot() const {
    if (!accumulator || !combiner->ShowsAsItGrows()) return nullptr;
    auto copy = std::make_unique<FloatImage>(accumulator->width, accumulator->height, accumulator->channels);
    std::copy(accumulator->data, accumulator->data + accumulator->ElementCount(), copy->data);
    if (FlatAtTheEnd()) CalibrateAtTheEnd(*copy);
    return copy;
}

namespace {
constexpr uint32_t kProgressRows = 200;  // a progress line every this many rows
}  // namespace

AverageAlign::AverageAlign(const Calibration& calibration, const Image16* reference,
                           std::unique_ptr<Combiner> combiner)
    : calibration(calibration), combiner(std::move(combiner)) {
    if (!reference) {
        assert(0);
        std::abort();
    }
    weight = new FloatImage(reference->width, reference->height, 1);
    for (size_t i = 0; i < weight->ElementCount(); ++i) weight->data[i] = 1.0f;
    accumulator = MakeFloatImage(reference);
    this->combiner->Start(accumulator->data, accumulator->ElementCount(), accumulator->width);
    this->combiner->CountValuesIn(weight->data);
}

FloatImage* AverageAlign::MakeFloatImage(const Image16* frame) const {
    return frame ? ConvertFrame(frame, calibration) : nullptr;
}

void AverageAlign::AddFrame(const Image16* frame, double angle, double tx, double ty) {
    AddFrame(frame, FrameMapping::Rigid(angle, tx, ty));
}

void AverageAlign::AddFrame(const Image16* frame, const FrameMapping& mapping) {
    if (!frame || !accumulator || frame->channels != kFrameChannels) return;
    const SampleCalibration samples = calibration.For(frame);
    combiner->BeginFrame(frame, samples);
    const uint32_t height = accumulator->height;
    // Rows are independent: bands of them go to every CPU, each row computed
    // exactly as alone. The progress lines come out as the bands are handed
    // out, which is in row order.
    ForEachPiece(
        height, kProgressRows,
        [&](size_t begin, size_t end) {
            RemapRows(*frame, samples, mapping, uint32_t(begin), uint32_t(end));
        },
        [height](size_t y) {
            std::printf("Remapping image %f percent complete\n", float(uint32_t(y) * 100) / float(height));
        });
}

void AverageAlign::RemapRows(const Image16& frame, const SampleCalibration& samples, const FrameMapping& mapping,
                             uint32_t begin, uint32_t end) {
    const RowResampler resampler(frame, samples, arithmetic);
    const uint32_t width = accumulator->width;
    // One row's resampled values; each run of covered pixels goes to the rule
    // at once.
    std::vector<float> row(size_t(width) * kFrameChannels);
    // The row's positions in the frame, each worked out once, which matters
    // for a mapping through the lens.
    std::vector<Position> positions(width);
    // Positions are tested against the frame's own footprint, so a frame of
    // another size contributes exactly the pixels it has.
    const double frame_width = frame.width, frame_height = frame.height;
    for (uint32_t y = begin; y < end; ++y) {
        float* count = weight->Pixel(0, y);
        const size_t row_start = size_t(y) * width * kFrameChannels;
        mapping.RowToFrame(y, width, positions.data());
        uint32_t run = 0;  // the first pixel of the current run of covered pixels
        for (uint32_t x = 0; x <= width; ++x) {
            if (x < width) {
                const Position f = positions[x];
                if (f.x >= 0 && f.x < frame_width && f.y >= 0 && f.y < frame_height) {
                    count[x] += 1.0f;
                    continue;
                }
            }
            if (x > run) {
                float* values = &row[size_t(run) * kFrameChannels];
                resampler.Resample(&positions[run], x - run, values);
                combiner->AddValues(row_start + size_t(run) * kFrameChannels, values,
                                    size_t(x - run) * kFrameChannels);
            }
            run = x + 1;
        }
    }
}

void AverageAlign::PostProcess() {
    if (!accumulator || finished) return;
    combiner->Finish(ValueCounts{0, weight->data});
    for (size_t p = 0; p < weight->ElementCount(); ++p) weight->data[p] = 1.0f;
    finished = true;
}

}  // namespace quen_merge

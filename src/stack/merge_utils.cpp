#include "stack/merge_utils.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "stack/lanczos_table.h"
#include "base/parallel.h"
#include "stack/sampler.h"
#include "base/rigid_transform.h"

namespace quen_merge {

namespace {

// Samples folded by one worker at a time: large enough to stream through
// memory, small enough to keep every CPU busy to the end.
constexpr size_t kFoldPiece = size_t(1) << 20;

// Applies fold(sample index, converted sample) to every sample of frame, in
// pieces on every CPU (each sample is folded on its own, so the pieces give
// the same bits however they are shared); the dark test is hoisted out of the
// loop so that each branch vectorises.
template <typename Fold>
void FoldSamples(const Image16* frame, const float* dark, Fold fold) {
    const unsigned short* src = frame->data;
    ForEachPiece(frame->ElementCount(), kFoldPiece, [&](size_t begin, size_t end) {
        if (dark) {
            for (size_t i = begin; i < end; ++i) fold(i, src[i] * kSampleToFloat - dark[i]);
        } else {
            for (size_t i = begin; i < end; ++i) fold(i, src[i] * kSampleToFloat);
        }
    });
}

// The dark's samples when the dark fits frame, else null.
const float* DarkFor(const FloatImage* dark, const Image16* frame) {
    if (dark && dark->width == frame->width && dark->height == frame->height &&
        dark->channels == kFrameChannels)
        return dark->data;
    return nullptr;
}

}  // namespace

FloatImage* ConvertFrame(const Image16* frame, const FloatImage* dark) {
    // Every sample is written below.
    FloatImage* image = new FloatImage(frame->width, frame->height, kFrameChannels, ostrel::uninitialised);
    float* out = image->data;
    FoldSamples(frame, DarkFor(dark, frame), [out](size_t i, float v) { out[i] = v; });
    return image;
}

bool Merge::Matches(const Image16* frame) const {
    return frame->width == accumulator->width && frame->height == accumulator->height &&
           frame->channels == kFrameChannels;
}

bool Merge::SetImage(const Image16* frame) {
    delete accumulator;
    accumulator = nullptr;
    if (!frame || frame->channels != kFrameChannels) return false;
    accumulator = ConvertFrame(frame, dark);
    return true;
}

bool Average::AddFrame(const Image16* frame) {
    if (!frame) return false;
    if (!accumulator) {
        frame_count = 1.0f;
        return SetImage(frame);
    }
    if (!Matches(frame)) return false;
    float* sum = accumulator->data;
    FoldSamples(frame, DarkFor(dark, frame), [sum](size_t i, float v) { sum[i] = v + sum[i]; });
    frame_count += 1.0f;
    return true;
}

bool Average::PostProcess() {
    if (!accumulator || frame_count == 0.0f) return true;
    float* data = accumulator->data;
    const size_t count = accumulator->ElementCount();
    for (size_t i = 0; i < count; ++i) data[i] = data[i] / frame_count;
    return true;
}

bool Lighten::AddFrame(const Image16* frame) {
    if (!frame) return false;
    if (!accumulator) return SetImage(frame);
    if (!Matches(frame)) return false;
    float* max = accumulator->data;
    FoldSamples(frame, DarkFor(dark, frame), [max](size_t i, float v) { max[i] = v > max[i] ? v : max[i]; });
    return true;
}

bool ClippedAverage::AddFrame(const Image16* frame) {
    if (!frame) return false;
    if (!accumulator) {
        if (!SetImage(frame)) return false;
        // The first frame's values are the accumulator's; they start the statistics.
        statistics.reset(new ClippingStatistics(accumulator->data, accumulator->ElementCount()));
        frame_count = 1;
        return true;
    }
    if (!Matches(frame)) return false;
    ClippingStatistics& s = *statistics;
    FoldSamples(frame, DarkFor(dark, frame), [&s](size_t i, float v) { s.Add(i, v); });
    ++frame_count;
    return true;
}

bool ClippedAverage::PostProcess() {
    if (!accumulator) return true;
    const unsigned frames = frame_count;
    statistics->ClippedMeans(accumulator->ElementCount(), [frames](size_t) { return frames; }, kappa,
                             accumulator->data, tally);
    return true;
}

}  // namespace quen_merge

namespace quen_merge {

namespace {
constexpr float kLanczosRadius = 2.0f;
constexpr uint32_t kPrefetchDistance = 8;  // pixels: about a cache miss's time of sampling
constexpr uint32_t kProgressRows = 200;  // a progress line every this many rows
}  // namespace

FloatImage* AverageAlign::MakeFloatImage(const Image16* frame) const {
    return frame ? ConvertFrame(frame, dark) : nullptr;
}

void AverageAlign::AddFrame(const Image16* frame, double angle, double tx, double ty) {
    if (!frame || !accumulator || frame->channels != kFrameChannels) return;
    const std::unique_ptr<FloatImage> source(MakeFloatImage(frame));
    const uint32_t height = accumulator->height;
    // Rows are independent: bands of them go to every CPU, each row computed
    // exactly as alone. The progress lines come out as the bands are handed
    // out, which is in row order.
    ForEachPiece(
        height, kProgressRows,
        [&](size_t begin, size_t end) { RemapRows(*source, angle, tx, ty, uint32_t(begin), uint32_t(end)); },
        [height](size_t y) {
            std::printf("Remapping image %f percent complete\n", float(uint32_t(y) * 100) / float(height));
        });
}

void AverageAlign::RemapRows(const FloatImage& source, double angle, double tx, double ty, uint32_t begin,
                             uint32_t end) {
    const Rotation rotation = RotationOf(angle);
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, kLanczosRadius);
    const float fill[3] = {0, 0, 0};
    float out[3];
    const uint32_t width = accumulator->width;
    // Positions are tested against the frame's own footprint, so a frame of
    // another size contributes exactly the pixels it has.
    const double frame_width = source.width, frame_height = source.height;
    for (uint32_t y = begin; y < end; ++y) {
        float* sum = accumulator->Pixel(0, y);
        float* count = weight->Pixel(0, y);
        for (uint32_t x = 0; x < width; ++x) {
            // The kernel weights of a pixel a few ahead miss the cache: a
            // rotated grid sweeps their table.
            const Position ahead = ToFrame(rotation, tx, ty, x + kPrefetchDistance, y);
            LanczosTable::Prefetch(float(ahead.x));
            LanczosTable::Prefetch(float(ahead.y));
            const Position f = ToFrame(rotation, tx, ty, x, y);
            if (!(f.x >= 0 && f.x < frame_width && f.y >= 0 && f.y < frame_height)) continue;
            sampler.SampleImage(&source, float(f.x), float(f.y), fill, out);
            for (int k = 0; k < 3; ++k) sum[3 * x + k] += out[k];
            count[x] += 1.0f;
            if (statistics) {
                const size_t first = (size_t(y) * width + x) * kFrameChannels;
                for (unsigned k = 0; k < kFrameChannels; ++k) statistics->Add(first + k, out[k]);
            }
        }
    }
}

void AverageAlign::StartClipping(double clip_kappa) {
    kappa = clip_kappa;
    statistics.reset(new ClippingStatistics(accumulator->data, accumulator->ElementCount()));
}

void AverageAlign::PostProcess() {
    if (!accumulator) return;
    const size_t pixels = size_t(accumulator->width) * accumulator->height;
    float* data = accumulator->data;
    if (statistics) {
        // Each pixel's values are the frames that covered it.
        const float* covered = weight->data;
        statistics->ClippedMeans(accumulator->ElementCount(),
                                 [covered](size_t i) { return unsigned(covered[i / kFrameChannels]); }, kappa,
                                 data, tally);
        statistics.reset();  // a second call leaves the means as they are
    } else {
        for (size_t p = 0; p < pixels; ++p)
            for (int k = 0; k < 3; ++k) data[3 * p + k] /= weight->data[p];
    }
    for (size_t p = 0; p < pixels; ++p) weight->data[p] = 1.0f;
}

}  // namespace quen_merge

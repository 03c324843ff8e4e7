#include "merge_utils.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "sampler.h"
#include "rigid_transform.h"

namespace quen_merge {

namespace {

// Applies fold(accumulated, converted sample) to every sample of frame; the
// dark test is hoisted out of the loop so that each branch vectorises.
template <typename Fold>
void FoldSamples(const Image16* frame, const float* dark, float* accumulated, Fold fold) {
    const unsigned short* src = frame->data;
    const size_t count = frame->ElementCount();
    if (dark) {
        for (size_t i = 0; i < count; ++i) fold(accumulated[i], src[i] * kSampleToFloat - dark[i]);
    } else {
        for (size_t i = 0; i < count; ++i) fold(accumulated[i], src[i] * kSampleToFloat);
    }
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
    FloatImage* image = new FloatImage(frame->width, frame->height, kFrameChannels);
    FoldSamples(frame, DarkFor(dark, frame), image->data, [](float& out, float v) { out = v; });
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
    FoldSamples(frame, DarkFor(dark, frame), accumulator->data,
                [](float& sum, float v) { sum = v + sum; });
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
    FoldSamples(frame, DarkFor(dark, frame), accumulator->data,
                [](float& max, float v) { max = v > max ? v : max; });
    return true;
}

}  // namespace quen_merge

namespace quen_merge {

namespace {
constexpr float kLanczosRadius = 2.0f;
constexpr uint32_t kProgressRows = 200;  // a progress line every this many rows
}  // namespace

FloatImage* AverageAlign::MakeFloatImage(const Image16* frame) const {
    return frame ? ConvertFrame(frame, dark) : nullptr;
}

void AverageAlign::AddFrame(const Image16* frame, double angle, double tx, double ty) {
    if (!frame || !accumulator || frame->channels != kFrameChannels) return;
    const std::unique_ptr<FloatImage> source(MakeFloatImage(frame));
    const Rotation rotation = RotationOf(angle);
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, kLanczosRadius);
    const float fill[3] = {0, 0, 0};
    float out[3];
    const uint32_t width = accumulator->width, height = accumulator->height;
    // Positions are tested against the frame's own footprint, so a frame of
    // another size contributes exactly the pixels it has.
    const double frame_width = frame->width, frame_height = frame->height;
    for (uint32_t y = 0; y < height; ++y) {
        if (y % kProgressRows == 0)
            std::printf("Remapping image %f percent complete\n", float(y * 100) / float(height));
        float* sum = accumulator->Pixel(0, y);
        float* count = weight->Pixel(0, y);
        for (uint32_t x = 0; x < width; ++x) {
            const Position f = ToFrame(rotation, tx, ty, x, y);
            if (!(f.x >= 0 && f.x < frame_width && f.y >= 0 && f.y < frame_height)) continue;
            sampler.SampleImage(source.get(), float(f.x), float(f.y), fill, out);
            for (int k = 0; k < 3; ++k) sum[3 * x + k] += out[k];
            count[x] += 1.0f;
        }
    }
}

void AverageAlign::PostProcess() {
    if (!accumulator) return;
    const size_t pixels = size_t(accumulator->width) * accumulator->height;
    for (size_t p = 0; p < pixels; ++p) {
        for (int k = 0; k < 3; ++k) accumulator->data[3 * p + k] /= weight->data[p];
        weight->data[p] = 1.0f;
    }
}

}  // namespace quen_merge

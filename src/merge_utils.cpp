#include "merge_utils.h"

#include <cstddef>

namespace quen_merge {

namespace {

constexpr unsigned kFrameChannels = 3;

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

}  // namespace

FloatImage* ConvertFrame(const Image16* frame, const float* dark) {
    FloatImage* image = new FloatImage(frame->width, frame->height, kFrameChannels);
    FoldSamples(frame, dark, image->data, [](float& out, float v) { out = v; });
    return image;
}

const float* Merge::DarkFor(const Image16* frame) const {
    if (dark && dark->width == frame->width && dark->height == frame->height &&
        dark->channels == kFrameChannels)
        return dark->data;
    return nullptr;
}

bool Merge::Matches(const Image16* frame) const {
    return frame->width == accumulator->width && frame->height == accumulator->height &&
           frame->channels == kFrameChannels;
}

bool Merge::SetImage(const Image16* frame) {
    delete accumulator;
    accumulator = nullptr;
    if (!frame || frame->channels != kFrameChannels) return false;
    accumulator = ConvertFrame(frame, DarkFor(frame));
    return true;
}

bool Average::AddFrame(const Image16* frame) {
    if (!frame) return false;
    if (!accumulator) {
        frame_count = 1.0f;
        return SetImage(frame);
    }
    if (!Matches(frame)) return false;
    FoldSamples(frame, DarkFor(frame), accumulator->data,
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
    FoldSamples(frame, DarkFor(frame), accumulator->data,
                [](float& max, float v) { max = v > max ? v : max; });
    return true;
}

}  // namespace quen_merge

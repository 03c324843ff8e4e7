// An 8-bit picture of a linear stack, stretched for the eye: a mean of
// linear frames sits near black, and even an image viewer's auto-level shows
// nothing of its faint stars and nebulae.
#pragma once

#include "ostrel/image.h"

namespace quen_merge {

// The preview's long side unless asked otherwise, in pixels.
constexpr unsigned kPreviewLongSide = 2000;

// How one channel is stretched: samples at or below black go to 0, and the
// rest, rescaled to [0, 1] above black, go through the midtones transfer
// function of balance midtone (0.5 leaves them as they are).
struct ChannelStretch {
    float black = 0;
    float midtone = 0.5f;
};

// The usual automatic stretch of astronomy software, per channel so that the
// background comes out neutral grey: black 2.8 noise levels (median absolute
// deviation x 1.4826) below the channel's median, and the midtone that puts
// the median at a quarter of full scale. image has kFrameChannels channels.
void AutoStretch(const FloatImage& image, ChannelStretch stretch[3]);

// The midtones transfer function: 0, m and 1 go to 0, 0.5 and 1.
float Midtones(float m, float x);

// Writes image (samples in [0, 1), blue, green, red), scaled down by whole
// blocks until its long side is at most long_side pixels, stretched by
// AutoStretch, as 8-bit RGB: JPEG for names ending in .jpg or .jpeg (any
// case), PNG otherwise; whole or not at all. True when written.
bool WritePreview(const char* filename, const FloatImage& image, unsigned long_side = kPreviewLongSide);

// Whether a preview may take this name: one without an extension, or
// ending in .png, .jpg or .jpeg (any case); a name that promises another
// format would hold data of the wrong one.
bool IsPreviewName(const char* filename);

}  // namespace quen_merge

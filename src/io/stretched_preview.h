// An 8-bit picture of a linear stack, stretched for the eye: a mean of
// linear frames sits near black, and even an image viewer's auto-level shows
// nothing of its faint stars and nebulae.
#pragma once

#include <string>

#include "ostrel/image.h"

namespace quen_merge {

// The preview's long side unless asked otherwise, in pixels.
constexpr unsigned kPreviewLongSide = 2000;

// One stretch for all three channels, so that a star keeps its colour: each
// channel's sky level is moved to the same place (the sky made neutral),
// then every channel is scaled alike. A sample v of channel c becomes
// Midtones(midtone, (v - black[c]) / range), clamped to [0, 1].
struct SkyStretch {
    float black[3] = {0, 0, 0};
    float range = 1;
    float midtone = 0.5f;
};

// The usual automatic stretch of astronomy software, linked across the
// channels: each channel's sky is its median; black sits 2.8 noise levels
// (median absolute deviation x 1.4826, the noisiest channel's) below it in
// every channel; the midtone puts the sky at a quarter of full scale. A
// channel whose black the camera clipped (its median at its floor, its
// spread nil) is placed by its median like the others and lends no noise
// level. image has kFrameChannels channels.
SkyStretch AutoStretch(const FloatImage& image);

// The midtones transfer function: 0, m and 1 go to 0, 0.5 and 1.
float Midtones(float m, float x);

// Writes image (samples in [0, 1), blue, green, red), scaled down by whole
// blocks until its long side is at most long_side pixels, stretched by
// AutoStretch, as 8-bit RGB: JPEG for names ending in .jpg or .jpeg (any
// case), PNG otherwise; whole or not at all. True when written.
bool WritePreview(const char* filename, const FloatImage& image, unsigned long_side = kPreviewLongSide);

// The same picture as JPEG data in memory, for a page that holds it; empty
// when it cannot be made.
std::string PreviewJpeg(const FloatImage& image, unsigned long_side);

// Whether a preview may take this name: one without an extension, or
// ending in .png, .jpg or .jpeg (any case); a name that promises another
// format would hold data of the wrong one.
bool IsPreviewName(const char* filename);

}  // namespace quen_merge

#include "io/stretched_preview.h"

#include <FreeImage.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "base/median.h"
#include "base/sample_format.h"
#include "io/freeimage_save.h"
#include "io/image_formats.h"

namespace quen_merge {

namespace {

constexpr double kShadowSigmas = 2.8;     // black this many noise levels below the median
constexpr double kDarkestShare = 0.002;   // at most this share of a channel goes to black
constexpr float kTargetBackground = 0.25f;  // where the stretched median lands
constexpr size_t kMedianSamples = 1 << 19;  // the median and spread read about this many pixels

// The mean of each whole-or-partial block of factor x factor pixels.
FloatImage Shrink(const FloatImage& image, uint32_t factor) {
    const uint32_t width = (image.width + factor - 1) / factor, height = (image.height + factor - 1) / factor;
    FloatImage out(width, height, kFrameChannels);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            double sum[3] = {0, 0, 0};
            unsigned n = 0;
            for (uint32_t j = y * factor; j < std::min(image.height, (y + 1) * factor); ++j)
                for (uint32_t i = x * factor; i < std::min(image.width, (x + 1) * factor); ++i, ++n)
                    for (unsigned c = 0; c < kFrameChannels; ++c) sum[c] += image.Pixel(i, j)[c];
            for (unsigned c = 0; c < kFrameChannels; ++c) out.Pixel(x, y)[c] = float(sum[c] / n);
        }
    return out;
}

// A Gaussian's sigma from values around their median: from the median
// absolute deviation, or, where more than half the values equal the median
// (8-bit frames, a clipped black), from the mean absolute deviation.
float NoiseLevel(std::vector<float> values, float median) {
    for (float& v : values) v = std::fabs(v - median);
    return float(SpreadOfDeviations(std::move(values)));
}

bool IsJpegName(const char* filename) {
    const char* dot = ExtensionOf(filename);
    return dot && (strcasecmp(dot, ".jpg") == 0 || strcasecmp(dot, ".jpeg") == 0);
}

BYTE ToByte(float v, const SkyStretch& s, unsigned channel) {
    const float x = std::clamp((v - s.black[channel]) / s.range, 0.0f, 1.0f);
    return BYTE(std::lround(255 * Midtones(s.midtone, x)));
}

}  // namespace

float Midtones(float m, float x) {
    if (x <= 0) return 0;
    if (x >= 1) return 1;
    return (m - 1) * x / ((2 * m - 1) * x - m);
}

SkyStretch AutoStretch(const FloatImage& image) {
    const size_t pixels = size_t(image.width) * image.height;
    const size_t step = std::max<size_t>(1, pixels / kMedianSamples);
    float sky[3], below_sky = 0;
    for (unsigned c = 0; c < kFrameChannels; ++c) {
        std::vector<float> values;
        for (size_t p = 0; p < pixels; p += step) values.push_back(image.data[p * kFrameChannels + c]);
        sky[c] = Median(values);
        // A sky darker at the edges (vignetting, a gradient) has more dark
        // pixels than its noise says: black goes down to keep them.
        auto darkest = values.begin() + std::ptrdiff_t(kDarkestShare * double(values.size()));
        std::nth_element(values.begin(), darkest, values.end());
        below_sky = std::max(below_sky, sky[c] - *darkest);
        below_sky = std::max(below_sky, float(kShadowSigmas) * NoiseLevel(std::move(values), sky[c]));
    }
    SkyStretch s;
    for (unsigned c = 0; c < kFrameChannels; ++c) s.black[c] = sky[c] - below_sky;
    // One range for all, wide enough for the channel with the lowest black.
    s.range = 1 - *std::min_element(s.black, s.black + kFrameChannels);
    const float level = below_sky / s.range;
    // The balance that takes level to the target is the transfer function
    // of the target at level.
    s.midtone = level > 0 && level < 1 ? Midtones(kTargetBackground, level) : 0.5f;
    return s;
}

namespace {

using Bitmap = std::unique_ptr<FIBITMAP, void (*)(FIBITMAP*)>;

// The stretched 8-bit picture of image, long_side pixels at most on its
// long side; null when it cannot be made.
Bitmap RenderPreview(const FloatImage& image, unsigned long_side) {
    Bitmap none(nullptr, &FreeImage_Unload);
    if (!image.data || image.channels != kFrameChannels || long_side == 0) return none;
    const uint32_t longest = std::max(image.width, image.height);
    const uint32_t factor = std::max<uint32_t>(1, (longest + long_side - 1) / long_side);
    const FloatImage shown = Shrink(image, factor);
    const SkyStretch stretch = AutoStretch(shown);
    Bitmap bitmap(FreeImage_Allocate(shown.width, shown.height, 24), &FreeImage_Unload);
    if (!bitmap) return none;
    for (uint32_t y = 0; y < shown.height; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap.get(), shown.height - 1 - y);
        for (uint32_t x = 0; x < shown.width; ++x) {
            const float* p = shown.Pixel(x, y);  // blue, green, red
            line[3 * x + FI_RGBA_BLUE] = ToByte(p[0], stretch, 0);
            line[3 * x + FI_RGBA_GREEN] = ToByte(p[1], stretch, 1);
            line[3 * x + FI_RGBA_RED] = ToByte(p[2], stretch, 2);
        }
    }
    return bitmap;
}

}  // namespace

bool WritePreview(const char* filename, const FloatImage& image, unsigned long_side) {
    const Bitmap bitmap = RenderPreview(image, long_side);
    return bitmap && SaveBitmapAtomically(IsJpegName(filename) ? FIF_JPEG : FIF_PNG, bitmap.get(), filename);
}

std::string PreviewJpeg(const FloatImage& image, unsigned long_side) {
    const Bitmap bitmap = RenderPreview(image, long_side);
    if (!bitmap) return "";
    std::unique_ptr<FIMEMORY, void (*)(FIMEMORY*)> memory(FreeImage_OpenMemory(), &FreeImage_CloseMemory);
    BYTE* bytes = nullptr;
    DWORD size = 0;
    if (!memory || !FreeImage_SaveToMemory(FIF_JPEG, bitmap.get(), memory.get(), JPEG_QUALITYGOOD) ||
        !FreeImage_AcquireMemory(memory.get(), &bytes, &size))
        return "";
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

bool IsPreviewName(const char* filename) {
    const char* dot = ExtensionOf(filename);
    return !dot || strcasecmp(dot, ".png") == 0 || IsJpegName(filename);
}

}  // namespace quen_merge

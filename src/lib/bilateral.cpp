#include "lib/bilateral_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

using Grey = ostrel::image<unsigned char>;

constexpr float kValueScale = 0.00390625f;  // 1/256: kernel distances in units of the 8-bit scale
constexpr float kBeyondReach = -1.0f;
constexpr unsigned int kMaxValue = 255;

// The integral from 0 to b of 1 - t / a.
float linear_integral_fun(float a, float b) {
    const float b2 = b * b;
    return float(double(b) - double(b2) / (2.0 * double(a)));
}

// The integral from 0 to b of 1 - t^2 / a^2.
float quadratic_integral_fun(float a, float b) {
    const float b3 = b * b * b;
    return float(double(b) - double(b3) / (3.0 * (double(a) * double(a))));
}

Grey* Pad(const Grey& image, unsigned int radius) {
    Grey* padded = new Grey(image.width + 2 * radius, image.height + 2 * radius, image.channels);
    for (unsigned int y = 0; y < padded->height; ++y) {
        const unsigned int sy = ostrel::Reflect(int64_t(y) - radius, image.height);
        for (unsigned int x = 0; x < padded->width; ++x) {
            const unsigned char* src = image.Pixel(ostrel::Reflect(int64_t(x) - radius, image.width), sy);
            std::copy(src, src + image.channels, padded->Pixel(x, y));
        }
    }
    return padded;
}

// Adds the bins' weighted counts and weighted centres to den and num.
inline void Accumulate(unsigned int count, float w, float centre, float& num, float& den) {
    const float cw = float(count) * w;
    den += cw;
    num += cw * centre;
}

unsigned char FilterValue(const unsigned int* counts, const _filter_context& c, unsigned char p) {
    const int kb = c.bin_index[p], r = c.bin_offset[p];
    float num = 0, den = 0;
    for (int k = kb; k < int(kBins); ++k) {
        const int index = int(kBinWidth) * (k - kb + 1) - r;
        if (index > int(kMaxValue)) break;
        const float w = c.range_weight[index];
        if (!(w >= 0)) break;
        Accumulate(counts[k], w, c.bin_centre[k], num, den);
    }
    for (int k = kb; k >= 0; --k) {
        const float w = c.range_weight[r + int(kBinWidth) * (kb - k)];
        if (!(w >= 0)) break;
        Accumulate(counts[k], w, c.bin_centre[k], num, den);
    }
    if (!(den > 0)) return 0;
    const float value = num / den;
    return value >= float(kMaxValue) ? (unsigned char)kMaxValue : (unsigned char)value;
}

}  // namespace

unsigned int bin_convert(unsigned int x, unsigned int y, const Grey* image, void* user) {
    return image->Pixel(x, y)[*static_cast<int*>(user)] >> kBinShift;
}

void initialise_filter_context(unsigned int range, bool quadratic, _filter_context& context) {
    float (*integral)(float, float) = quadratic ? quadratic_integral_fun : linear_integral_fun;
    const float reach = float(range) * kValueScale;
    for (unsigned int v = 0; v <= kMaxValue; ++v) {
        context.bin_index[v] = int(v / kBinWidth);
        context.bin_offset[v] = int(v % kBinWidth);
    }
    for (unsigned int k = 0; k < kBins; ++k) context.bin_centre[k] = float(kBinWidth * k + kBinWidth / 2);
    for (unsigned int d = 0; d <= kMaxValue; ++d) {
        const float from = integral(reach, float(d) * kValueScale);
        if (d + kBinWidth <= range)
            context.range_weight[d] = integral(reach, float(d + kBinWidth) * kValueScale) - from;
        else if (d <= range)
            context.range_weight[d] = integral(reach, reach) - from;  // the band up to the end
        else
            context.range_weight[d] = kBeyondReach;
    }
}

void filter_tile(const quen_merge::IntegralHistogram* histogram, const _filter_context& context,
                 unsigned int radius, unsigned int x, unsigned int y, unsigned int width,
                 unsigned int height, unsigned int channel, Grey* out) {
    width = std::min(width, out->width - std::min(x, out->width));
    height = std::min(height, out->height - std::min(y, out->height));
    if (!histogram || height == 0) return;
    unsigned int counts[kBins];
    for (unsigned int j = 0; j < height; ++j)
        for (unsigned int i = 0; i < width; ++i) {
            unsigned char& p = out->Pixel(x + i, y + j)[channel];
            histogram->GetHistogram(i, j, i + 2 * radius, j + 2 * radius, counts);
            p = FilterValue(counts, context, p);
        }
}

void tile_and_filter(const Grey* padded, const _filter_context& context, unsigned int tile_size,
                     unsigned int radius, unsigned int channel, Grey* out) {
    const unsigned int step = tile_size - 2 * radius;
    int user_channel = int(channel);
    for (unsigned int y0 = 0; y0 < out->height; y0 += step)
        for (unsigned int x0 = 0; x0 < out->width; x0 += step) {
            const unsigned int x1 = std::min(x0 + tile_size, padded->width);
            const unsigned int y1 = std::min(y0 + tile_size, padded->height);
            std::printf("Processing tile (%i,%i) to (%i,%i)\n", int(x0), int(y0), int(x1), int(y1));
            const std::unique_ptr<quen_merge::IntegralHistogram> histogram(
                new quen_merge::IntegralHistogram(kBins, *padded, x0, y0, x1 - x0, y1 - y0,
                                                  bin_convert, &user_channel));
            filter_tile(histogram.get(), context, radius, x0, y0,
                        std::min(x0 + step, out->width) - x0, std::min(y0 + step, out->height) - y0,
                        channel, out);
        }
}

namespace quen_merge {

Grey* BilateralFilter(unsigned int radius, unsigned int range, unsigned int tile_size, bool linear,
                      Grey* image) {
    // A tile no wider than its border would advance by nothing.
    const uint64_t border = 2 * uint64_t(radius);
    if (!image || tile_size <= border || image->width + border > UINT32_MAX ||
        image->height + border > UINT32_MAX)
        return nullptr;
    Grey* out = new Grey(*image);
    if (!image->data) return out;
    const std::unique_ptr<Grey> padded(Pad(*image, radius));
    _filter_context context;
    initialise_filter_context(range, !linear, context);
    for (unsigned int c = 0; c < image->channels; ++c) {
        std::printf("crunching channel %i\n", int(c));
        tile_and_filter(padded.get(), context, tile_size, radius, c, out);
    }
    return out;
}

}  // namespace quen_merge

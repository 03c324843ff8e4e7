#include "io/image_data.h"

#include <cmath>

#include "base/sample_format.h"

namespace quen_merge {

namespace {
constexpr unsigned short kDarkSampleLimit = 1024;  // at or below: a dark sample
constexpr unsigned kWeightFlagUnit = 4;             // weight 1.0, sample unread
constexpr double kWeightSoftening = 0.98;
}  // namespace

ImageData::ImageData(const char* name, Image16* image, double ev)
    : name(name ? name : ""), image(image), ev(ev), multiplier(std::pow(2.0, ev)) {}

ImageData::~ImageData() { delete image; }

int ImageData::ClassifyValue(unsigned short v) { return v <= kDarkSampleLimit ? 1 : 0; }

bool ImageData::HasSample(unsigned x, unsigned y, unsigned c) const {
    return image && image->data && x < image->width && y < image->height &&
           c < image->channels;
}

int ImageData::ClassifyPixel(unsigned x, unsigned y, unsigned c) const {
    if (!HasSample(x, y, c)) return 3;
    return ClassifyValue(image->Pixel(x, y)[c]);
}

unsigned short ImageData::GetValue(unsigned x, unsigned y, unsigned c) const {
    return HasSample(x, y, c) ? image->Pixel(x, y)[c] : 0;
}

double ImageData::GetDoubleValue(unsigned x, unsigned y, unsigned c) const {
    return HasSample(x, y, c) ? image->Pixel(x, y)[c] * kSampleScale : 0.0;
}

double ImageData::GetWeight(unsigned x, unsigned y, unsigned c, unsigned flags) const {
    if (flags & kWeightFlagUnit) return 1.0;
    const double v = image->Pixel(x, y)[c] / double(kMaxSample);
    double d = v - 0.5;
    const unsigned half = v > 0.5 ? 2 : 1;
    if (half & flags)
        d = d * kWeightSoftening;
    else
        d = d / kWeightSoftening;
    const double w = 1 - d * d;
    return w < 0 ? 0.0 : w;
}

}  // namespace quen_merge

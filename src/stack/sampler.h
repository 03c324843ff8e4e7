// Samplers that read a float image at fractional positions, with a rule per
// axis for positions outside the image.
#pragma once

#include "base/frame_calibration.h"
#include "ostrel/image.h"
#include "stack/lanczos_kernel.h"

namespace quen_merge {

// Kernel weights, and sums of them, of at most this size count as 0.
constexpr double kNegligibleWeight = 1e-10;

// What a pixel position outside [0, size) becomes on one axis.
enum EdgeMode {
    EdgeNone = 0,    // no pixel
    EdgeClamp = 1,   // the nearest edge pixel
    EdgeMirror = 2,  // reflected about the edge pixels, which are not repeated
    EdgeWrap = 3,    // taken periodically
};

class ImageSampler {
public:
    ImageSampler(EdgeMode edge_x, EdgeMode edge_y) : edge_x(edge_x), edge_y(edge_y) {}
    virtual ~ImageSampler() = default;

    // Writes the image's value at (x, y), one float per channel, to out; fill
    // (may be null: zeros) stands in where the image has no pixel. Does
    // nothing for a null image or out.
    virtual void SampleImage(const FloatImage* image, float x, float y, const float* fill,
                             float* out) const = 0;

    // Channel 0 of pixel (x, y) after the edge rules, or null when there is
    // no such pixel.
    const float* GetPixel(const FloatImage* image, int x, int y) const;
    // As above at the nearest whole position, halves away from zero.
    const float* GetPixel(const FloatImage* image, float x, float y) const;

protected:
    EdgeMode edge_x;
    EdgeMode edge_y;
};

class NearestNeighbourSampler : public ImageSampler {
public:
    using ImageSampler::ImageSampler;
    void SampleImage(const FloatImage* image, float x, float y, const float* fill,
                     float* out) const override;
};

// Windowed-sinc interpolation over the pixels from floor(p - radius) to
// ceil(p + radius) on each axis: 5 wide at whole positions and 6 otherwise
// for radius 2. An interpolated value below 0 is returned as 0; where the
// weights cancel, fill is returned as given.
class LanczosSampler : public ImageSampler {
public:
    LanczosSampler(EdgeMode edge_x, EdgeMode edge_y, float radius)
        : ImageSampler(edge_x, edge_y), radius(radius) {}
    void SampleImage(const FloatImage* image, float x, float y, const float* fill,
                     float* out) const override;
    // As SampleImage, from a 3-channel 16-bit frame whose samples are read,
    // tap by tap, as the floats its converted copy would hold: the sample x
    // 2^-16, calibrated (samples of the frame's size). The same values as
    // sampling that copy, without the copy.
    void SampleFrame(const Image16* frame, const SampleCalibration& calibration, float x, float y, const float* fill,
                     float* out) const;
    // Asks the cache for the kernel weights that sampling at (x, y) will
    // read; changes no result.
    void Prefetch(float x, float y) const;

private:
    float radius;
};

}  // namespace quen_merge

#include "stack/sampler.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "base/sample_format.h"
#include "stack/lanczos_table.h"

namespace quen_merge {

namespace {

constexpr int kMaxWindow = 64;       // wider Lanczos windows keep their weights on the heap
constexpr float kMaxPosition = 1e9f; // positions beyond this have no window

// Applies an edge rule to position p on an axis of `size` pixels; false when
// the rule gives no pixel.
bool ApplyEdge(EdgeMode mode, int64_t& p, int64_t size) {
    switch (mode) {
        case EdgeClamp:
            p = p < 0 ? 0 : size - 1;
            return size > 0;
        case EdgeMirror:
            if (size <= 1) return false;  // a single pixel has nothing to reflect onto
            p = ostrel::Reflect(p, uint32_t(size));
            return true;
        case EdgeWrap:
            if (size == 0) return false;
            p %= size;
            if (p < 0) p += size;
            return true;
        case EdgeNone:
        default:
            return false;
    }
}

bool OnAxis(EdgeMode mode, int64_t& p, uint32_t size) {
    return (p >= 0 && p < size) || (ApplyEdge(mode, p, size) && p >= 0 && p < size);
}

void CopyFill(const float* fill, float* out, uint32_t n) {
    for (uint32_t c = 0; c < n; ++c) out[c] = fill ? fill[c] : 0.0f;
}

// Adds every tap of the window whose weight exceeds kNegligibleWeight to out and returns
// the sum of those weights. fetch(i, j) gives a pixel or null; a missing
// pixel takes fill's values, or adds nothing but its weight without fill.
template <typename Fetch>
double AccumulateWindow(const double* column_weight, const double* row_weight, int x0, int x1,
                        int y0, int y1, float* out, Fetch fetch, const float* fill, uint32_t channels) {
    double sum = 0;
    for (int j = y0; j <= y1; ++j) {
        const double wy = row_weight[j - y0];
        for (int i = x0; i <= x1; ++i) {
            const double w = column_weight[i - x0] * wy;
            if (!(std::fabs(w) > kNegligibleWeight)) continue;
            sum += w;
            const float* p = fetch(i, j);
            const float* v = p ? p : fill;
            if (!v) continue;
            for (uint32_t c = 0; c < channels; ++c) out[c] = float(out[c] + v[c] * w);
        }
    }
    return sum;
}

// lanczos(p - k, a) for k from first to last, into weights.
void KernelWeights(float p, float a, int first, int last, double* weights) {
    if (a == LanczosTable::kRadius) {
        LanczosWeights(p, first, last, weights);
    } else {
        for (int k = first; k <= last; ++k) weights[k - first] = lanczos(double(p - float(k)), a);
    }
}

// Zero weights at the start and at the end of n weights (n for all zero).
int Leading(const double* weights, int n) {
    int k = 0;
    while (k < n && weights[k] == 0) ++k;
    return k;
}
int Trailing(const double* weights, int n) {
    int k = 0;
    while (k < n && weights[n - 1 - k] == 0) ++k;
    return k == n ? 0 : k;
}

// The window of a 3-channel image when it lies inside: every tap is a
// pixel, read(offset, v) gives the three floats of the pixel at that sample
// offset. The same sums as AccumulateWindow, in the same order, kept in
// registers until the end.
template <typename Read>
double AccumulateInside(const double* column_weight, const double* row_weight, int x0, int x1, int y0, int y1,
                        size_t row_stride, float* out, Read read) {
    float red = out[0], green = out[1], blue = out[2];
    double sum = 0;
    for (int j = y0; j <= y1; ++j) {
        const double wy = row_weight[j - y0];
        size_t at = size_t(j) * row_stride + size_t(x0) * 3;
        for (int i = x0; i <= x1; ++i, at += 3) {
            const double w = column_weight[i - x0] * wy;
            if (!(std::fabs(w) > kNegligibleWeight)) continue;
            sum += w;
            float v[3];
            read(at, v);
            red = float(red + v[0] * w);
            green = float(green + v[1] * w);
            blue = float(blue + v[2] * w);
        }
    }
    out[0] = red;
    out[1] = green;
    out[2] = blue;
    return sum;
}

// The floats a 16-bit frame's converted copy would hold at sample offset
// at: the sample x 2^-16, calibrated. The calibration's tests are made
// once, outside the taps: use(read) gets the reader for this calibration.
template <typename Use>
void WithConversion(const unsigned short* data, const SampleCalibration& calibration, Use use) {
    WithCalibrationFormula(calibration, [&](auto calibrate) {
        use([=](size_t at, float* v) {
            for (int c = 0; c < 3; ++c) v[c] = calibrate(data[at + c], at + c);
        });
    });
}

int NearestWhole(float v) {
    const float r = std::roundf(v);
    return r < -kMaxPosition ? int(-kMaxPosition) : r > kMaxPosition ? int(kMaxPosition) : int(r);
}

}  // namespace

const float* ImageSampler::GetPixel(const FloatImage* image, int x, int y) const {
    if (!image) return nullptr;
    int64_t px = x, py = y;
    if (!OnAxis(edge_x, px, image->width) || !OnAxis(edge_y, py, image->height)) return nullptr;
    return image->Pixel(uint32_t(px), uint32_t(py));
}

const float* ImageSampler::GetPixel(const FloatImage* image, float x, float y) const {
    if (std::isnan(x) || std::isnan(y)) return nullptr;
    return GetPixel(image, NearestWhole(x), NearestWhole(y));
}

void NearestNeighbourSampler::SampleImage(const FloatImage* image, float x, float y,
                                          const float* fill, float* out) const {
    if (!out || !image) return;
    const float* p = GetPixel(image, x, y);
    if (p) {
        for (uint32_t c = 0; c < image->channels; ++c) out[c] = p[c];
    } else {
        CopyFill(fill, out, image->channels);
    }
}

namespace {

// The Lanczos window at (x, y) over an image of width x height pixels of n
// channels: inside(weights..., out) sums a window that lies inside, fetch(i,
// j) gives a pixel after the edge rules or null. See LanczosSampler.
template <typename Inside, typename Fetch>
void SampleWindow(uint32_t width, uint32_t height, uint32_t n, float a, float x, float y, const float* fill,
                  float* out, Inside inside, Fetch fetch) {
    if (!(std::fabs(x) < kMaxPosition && std::fabs(y) < kMaxPosition)) {
        CopyFill(fill, out, n);
        return;
    }
    const int x0 = int(std::floor(x - a)), y0 = int(std::floor(y - a));
    const int x1 = int(std::ceil(x + a)), y1 = int(std::ceil(y + a));
    for (uint32_t c = 0; c < n; ++c) out[c] = 0;
    // Each column's weight is the same in every row of the window, each row's
    // in every column.
    const int columns = x1 >= x0 ? x1 - x0 + 1 : 0, rows = y1 >= y0 ? y1 - y0 + 1 : 0;
    double inline_weights[2 * kMaxWindow];
    std::vector<double> wide_weights;
    double* column_weight = inline_weights;
    double* row_weight = inline_weights + kMaxWindow;
    if (columns > kMaxWindow || rows > kMaxWindow) {
        wide_weights.resize(size_t(columns) + size_t(rows));
        column_weight = wide_weights.data();
        row_weight = column_weight + columns;
    }
    KernelWeights(x, a, x0, x1, column_weight);
    KernelWeights(y, a, y0, y1, row_weight);
    // A tap of zero weight is skipped whatever its row or column, so the
    // window shrinks to the columns and rows that weigh: the kernel is 0 at
    // the window's ends at every position off the pixel grid.
    const int cx0 = x0 + Leading(column_weight, columns), cx1 = x1 - Trailing(column_weight, columns);
    const int cy0 = y0 + Leading(row_weight, rows), cy1 = y1 - Trailing(row_weight, rows);
    column_weight += cx0 - x0;
    row_weight += cy0 - y0;
    double sum;
    if (cx0 >= 0 && cy0 >= 0 && cx1 < int(width) && cy1 < int(height) && n == 3) {
        // The usual case: no edge rule to apply and three channels.
        sum = inside(column_weight, row_weight, cx0, cx1, cy0, cy1, out);
    } else {
        sum = AccumulateWindow(column_weight, row_weight, cx0, cx1, cy0, cy1, out, fetch, fill, n);
    }
    if (!(std::fabs(sum) > kNegligibleWeight)) {
        CopyFill(fill, out, n);
        return;
    }
    for (uint32_t c = 0; c < n; ++c) {
        out[c] = float(out[c] / sum);
        if (out[c] < 0) out[c] = 0;
    }
}

}  // namespace

void LanczosSampler::SampleImage(const FloatImage* image, float x, float y, const float* fill,
                                 float* out) const {
    if (!out || !image) return;
    const size_t row_stride = size_t(image->width) * 3;
    SampleWindow(
        image->width, image->height, image->channels, radius, x, y, fill, out,
        [&](const double* cw, const double* rw, int cx0, int cx1, int cy0, int cy1, float* sums) {
            const float* data = image->data;
            return AccumulateInside(cw, rw, cx0, cx1, cy0, cy1, row_stride, sums, [data](size_t at, float* v) {
                v[0] = data[at];
                v[1] = data[at + 1];
                v[2] = data[at + 2];
            });
        },
        [&](int i, int j) { return GetPixel(image, i, j); });
}

void LanczosSampler::SampleFrame(const Image16* frame, const SampleCalibration& calibration, float x, float y, const float* fill,
                                 float* out) const {
    if (!out || !frame || !frame->data || frame->channels != 3) return;
    const size_t row_stride = size_t(frame->width) * 3;
    WithConversion(frame->data, calibration, [&](auto read) {
        float converted[3];
        SampleWindow(
            frame->width, frame->height, 3, radius, x, y, fill, out,
            [&](const double* cw, const double* rw, int cx0, int cx1, int cy0, int cy1, float* sums) {
                return AccumulateInside(cw, rw, cx0, cx1, cy0, cy1, row_stride, sums, read);
            },
            [&](int i, int j) -> const float* {
                int64_t px = i, py = j;
                if (!OnAxis(edge_x, px, frame->width) || !OnAxis(edge_y, py, frame->height)) return nullptr;
                read((size_t(py) * frame->width + size_t(px)) * 3, converted);
                return converted;
            });
    });
}

void LanczosSampler::Prefetch(float x, float y) const {
    if (radius != LanczosTable::kRadius) return;
    LanczosTable::Prefetch(x);
    LanczosTable::Prefetch(y);
}

}  // namespace quen_merge

#include "stars/star_detect.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "base/median.h"
#include "base/sample_format.h"

namespace quen_merge {

namespace {

// The background is the median of cells this wide, interpolated between their
// centres: wide enough that stars barely move it, narrow enough to follow
// gradients of moon light and light pollution.
constexpr uint32_t kBackgroundCell = 64;
constexpr uint32_t kSampleStep = 4;          // medians and the noise read every fourth pixel of every fourth row
// A star's peak stands this many noise levels above the background; its
// region takes in the connected pixels above kGrowSigma.
constexpr float kDetectionSigma = 5.0f;
constexpr float kGrowSigma = 2.5f;
// Regions larger than this are galaxies, nebulae, planets or glare.
constexpr size_t kMaxRegionPixels = 2500;
// Fewer pixels above kGrowSigma, or a peak that holds this share of the
// region's flux, is a hot pixel or a cosmic-ray hit: no spread.
constexpr size_t kMinSpreadPixels = 3;
constexpr double kHotPixelPeakShare = 0.6;
// A pixel at least 1/kHotPixelContrast times as bright as all its eight
// neighbours but one has no spread: a hot pixel, alone or in a pair, even
// where it touches a star. A star's peak is never that sharp: its neighbours
// keep half its height or more.
constexpr float kHotPixelContrast = 0.25f;
// Windowed centroids: iterations, the window's reach in its sigmas, the
// stars whose spread sets the window, and the narrowest window. Regions that
// spread this many times wider than the narrowest quarter are no stars (the
// bright texture of a landscape) and leave the window alone.
constexpr int kCentroidIterations = 6;
constexpr double kWindowReach = 3.0;
constexpr size_t kWidthStars = 20;
constexpr double kNoStarSpread = 10.0;
constexpr double kMinWindowSigma = 1.0;
constexpr size_t kMaxStars = 800;            // the brightest this many are enough to align on

using Grey = ostrel::image<float>;

// One channel-sum value per pixel, in 16-bit units, calibrated.
std::unique_ptr<Grey> ChannelSumOf(const Image16* frame, const Calibration& calibration) {
    std::unique_ptr<Grey> grey(new Grey(frame->width, frame->height, 1, ostrel::uninitialised));
    const unsigned short* src = frame->data;
    float* out = grey->data;
    const size_t pixels = size_t(frame->width) * frame->height;
    const SampleCalibration samples = calibration.For(frame);
    if (!samples.offset && !samples.gain) {
        // Without masters the formula's sum is the samples' own, exactly
        // (whole steps of 2^-16 well within a float's precision): added
        // as integers, it costs less.
        for (size_t i = 0, at = 0; i < pixels; ++i, at += 3) out[i] = float(src[at] + src[at + 1] + src[at + 2]);
        return grey;
    }
    WithCalibrationFormula(samples, [&](auto calibrate) {
        for (size_t i = 0, at = 0; i < pixels; ++i, at += 3)
            out[i] = (calibrate(src[at], at) + calibrate(src[at + 1], at + 1) + calibrate(src[at + 2], at + 2)) *
                     kFloatToSample;
    });
    return grey;
}

// The median of every cell, interpolated between the cells' centres.
struct Background {
    uint32_t columns = 0, rows = 0;
    std::vector<float> cells;

    // The cell medians interpolated to row y, one per cell column.
    void Row(uint32_t y, std::vector<float>& out) const {
        const Axis a = Along(y, rows);
        out.resize(columns);
        for (uint32_t c = 0; c < columns; ++c)
            out[c] = cells[a.low * columns + c] * (1 - a.share) + cells[a.high * columns + c] * a.share;
    }

    // Where position p falls between the centres of n cells.
    struct Axis {
        uint32_t low, high;
        float share;  // of the high cell
    };
    static Axis Along(uint32_t p, uint32_t n) {
        const float c = std::clamp((float(p) + 0.5f) / kBackgroundCell - 0.5f, 0.0f, float(n - 1));
        const uint32_t low = uint32_t(c);
        return {low, std::min(low + 1, n - 1), c - float(low)};
    }
};

// Takes the interpolated background off every pixel of grey, row by row.
void SubtractMeasuredBackground(const Background& b, Grey& grey) {
    std::vector<Background::Axis> columns(grey.width);
    for (uint32_t x = 0; x < grey.width; ++x) columns[x] = Background::Along(x, b.columns);
    std::vector<float> row;
    for (uint32_t y = 0; y < grey.height; ++y) {
        b.Row(y, row);
        float* p = grey.Pixel(0, y);
        for (uint32_t x = 0; x < grey.width; ++x) {
            const Background::Axis& a = columns[x];
            p[x] -= row[a.low] * (1 - a.share) + row[a.high] * a.share;
        }
    }
}

// 8-bit data widened to 16 bits step by 256; a sky within one step gives a
// median absolute deviation of 0. The noise is then at least the steps'
// own: a uniform step's sigma, summed over the three channels.
float QuantisationNoise(const Grey& grey) {
    constexpr float kEightBitStep = 256;
    // A few thousand samples, spread over the frame, tell widened data.
    constexpr size_t kProbeStride = 7919;
    for (size_t i = 0; i < grey.ElementCount(); i += kProbeStride)
        if (std::fmod(grey.data[i], kEightBitStep) != 0) return 0;
    return kEightBitStep * std::sqrt(float(kFrameChannels) / 12);
}

// The noise of the background-subtracted residual: the spread of its samples
// about 0, from their median absolute deviation (stars are too few to move it).
float Noise(const Grey& residual) {
    std::vector<float> deviations;
    for (uint32_t y = 0; y < residual.height; y += kSampleStep) {
        const float* row = residual.Pixel(0, y);
        for (uint32_t x = 0; x < residual.width; x += kSampleStep) deviations.push_back(std::fabs(row[x]));
    }
    return float(kMadToSigma * Median(std::move(deviations)));
}

Background MeasureBackground(const Grey& grey) {
    Background b;
    b.columns = (grey.width + kBackgroundCell - 1) / kBackgroundCell;
    b.rows = (grey.height + kBackgroundCell - 1) / kBackgroundCell;
    std::vector<float> values;
    for (uint32_t r = 0; r < b.rows; ++r)
        for (uint32_t c = 0; c < b.columns; ++c) {
            values.clear();
            const uint32_t y_end = std::min(grey.height, (r + 1) * kBackgroundCell);
            const uint32_t x_end = std::min(grey.width, (c + 1) * kBackgroundCell);
            for (uint32_t y = r * kBackgroundCell; y < y_end; y += kSampleStep)
                for (uint32_t x = c * kBackgroundCell; x < x_end; x += kSampleStep)
                    values.push_back(grey.data[size_t(y) * grey.width + x]);
            b.cells.push_back(Median(values));
        }
    return b;
}

// The pixels of one region: positions and their values above the background.
struct Region {
    std::vector<uint32_t> pixels;  // y * width + x
    std::vector<float> values;
};

// Collects the 4-connected pixels above the grow level around start into
// region, marking them taken; stops growing beyond kMaxRegionPixels.
void GrowRegion(const Grey& residual, float grow, uint32_t start, std::vector<uint8_t>& taken, Region& region) {
    const uint32_t width = residual.width, height = residual.height;
    region.pixels.clear();
    region.values.clear();
    std::vector<uint32_t> stack{start};
    taken[start] = 1;
    while (!stack.empty()) {
        const uint32_t p = stack.back();
        stack.pop_back();
        region.pixels.push_back(p);
        region.values.push_back(residual.data[p]);
        if (region.pixels.size() > kMaxRegionPixels) return;
        const uint32_t x = p % width, y = p / width;
        const uint32_t neighbours[4] = {x > 0 ? p - 1 : p, x + 1 < width ? p + 1 : p, y > 0 ? p - width : p,
                                        y + 1 < height ? p + width : p};
        for (uint32_t n : neighbours)
            if (!taken[n] && residual.data[n] > grow) {
                taken[n] = 1;
                stack.push_back(n);
            }
    }
}

// Replaces every hot pixel above `seed` by the brightest of its neighbours
// that are not hot, so that it neither seeds a region nor pulls a star's
// centroid.
void RemoveHotPixels(Grey& residual, float seed) {
    const int width = int(residual.width), height = int(residual.height);
    for (int y = 1; y + 1 < height; ++y) {
        float* row = residual.Pixel(0, uint32_t(y));
        for (int x = 1; x + 1 < width; ++x) {
            const float p = row[x];
            if (!(p > seed)) continue;
            int bright = 0;
            float calm = -std::numeric_limits<float>::infinity();
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i) {
                    if (!i && !j) continue;
                    const float n = row[x + i + j * width];
                    if (n >= kHotPixelContrast * p) ++bright;
                    else calm = std::max(calm, n);
                }
            if (bright <= 1) row[x] = calm;
        }
    }
}

// A region's intensity-weighted centroid, flux and spread (the second
// moment's sigma per axis); false for a hot pixel, whose peak holds most of
// the region's flux.
bool Measure(uint32_t width, const Region& region, StarRef& star, double& spread) {
    double sw = 0, sx = 0, sy = 0, peak = 0;
    for (size_t i = 0; i < region.pixels.size(); ++i) {
        const double w = region.values[i];
        sw += w;
        sx += w * (region.pixels[i] % width);
        sy += w * (region.pixels[i] / width);
        peak = std::max(peak, w);
    }
    if (!(sw > 0) || peak > kHotPixelPeakShare * sw) return false;
    star.x = sx / sw;
    star.y = sy / sw;
    star.brightness = sw;
    star.pixel_count = region.pixels.size();
    double sr = 0;
    for (size_t i = 0; i < region.pixels.size(); ++i) {
        const double dx = double(region.pixels[i] % width) - star.x, dy = double(region.pixels[i] / width) - star.y;
        sr += region.values[i] * (dx * dx + dy * dy);
    }
    spread = std::sqrt(sr / sw / 2);
    return true;
}

// Moves a star to its windowed centroid: moments weighted by a Gaussian of
// the stars' own width, iterated from the intensity-weighted centroid. False
// when it wanders off the frame.
bool WindowedCentroid(const Grey& residual, double sigma, StarRef& star) {
    const int width = int(residual.width), height = int(residual.height);
    const int reach = int(std::ceil(kWindowReach * sigma));
    double x = star.x, y = star.y;
    for (int iteration = 0; iteration < kCentroidIterations; ++iteration) {
        double ww = 0, wx = 0, wy = 0;
        const int cx = int(std::lround(x)), cy = int(std::lround(y));
        for (int j = std::max(0, cy - reach); j <= std::min(height - 1, cy + reach); ++j)
            for (int i = std::max(0, cx - reach); i <= std::min(width - 1, cx + reach); ++i) {
                const double dx = i - x, dy = j - y;
                const double w = residual.data[size_t(j) * size_t(width) + size_t(i)] *
                                 std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
                ww += w;
                wx += w * dx;
                wy += w * dy;
            }
        if (!(ww > 0)) break;
        x += 2 * wx / ww;
        y += 2 * wy / ww;
        if (!(x >= 0 && y >= 0 && x < width && y < height)) return false;
    }
    star.x = x;
    star.y = y;
    return true;
}

}  // namespace

void DetectStars(const Image16* frame, const Calibration& calibration, std::vector<StarRef>& stars) {
    if (!frame || !frame->data || frame->width == 0 || frame->height == 0) return;
    std::unique_ptr<Grey> residual = ChannelSumOf(frame, calibration);
    const float quantisation = QuantisationNoise(*residual);
    SubtractMeasuredBackground(MeasureBackground(*residual), *residual);
    const float noise = std::max(Noise(*residual), quantisation);
    const uint32_t width = frame->width, height = frame->height;
    const float seed = kDetectionSigma * noise, grow = kGrowSigma * noise;
    RemoveHotPixels(*residual, seed);
    std::vector<uint8_t> taken(size_t(width) * height, 0);
    std::vector<std::pair<StarRef, double>> found;  // with their spreads
    Region region;
    for (uint32_t p = 0; p < uint32_t(taken.size()); ++p) {
        if (taken[p] || !(residual->data[p] > seed)) continue;
        GrowRegion(*residual, grow, p, taken, region);
        if (region.pixels.size() < kMinSpreadPixels || region.pixels.size() > kMaxRegionPixels) continue;
        StarRef star;
        double spread;
        if (Measure(width, region, star, spread)) found.push_back({star, spread});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first.brightness > b.first.brightness; });
    if (found.size() > kMaxStars) found.resize(kMaxStars);
    // One window for all: the spread of the brightest stars, which their
    // regions cut off least, is the stars' own width.
    std::vector<double> spreads;
    for (const auto& f : found) spreads.push_back(f.second);
    // Measured on the narrowest quarter: a landscape's texture may be half of what is found.
    std::nth_element(spreads.begin(), spreads.begin() + long(spreads.size() / 4), spreads.end());
    const double widest = spreads.empty() ? 0 : kNoStarSpread * spreads[spreads.size() / 4];
    spreads.clear();
    for (size_t i = 0; i < found.size() && spreads.size() < kWidthStars; ++i)
        if (found[i].second <= widest) spreads.push_back(found[i].second);
    std::nth_element(spreads.begin(), spreads.begin() + long(spreads.size() / 2), spreads.end());
    const double sigma = spreads.empty() ? kMinWindowSigma : std::max(kMinWindowSigma, spreads[spreads.size() / 2]);
    for (auto& [star, spread] : found)
        if (WindowedCentroid(*residual, sigma, star)) stars.push_back(star);
}

}  // namespace quen_merge

#include "stars/star_shape.h"

#include <algorithm>
#include <cmath>

#include "base/median.h"
#include "base/sample_format.h"

namespace quen_merge {

namespace {

constexpr int kWindow = 10;               // px: the moments' reach from the centre
constexpr int kRingInner = 11, kRingOuter = 15;  // px: the background's ring
constexpr int kRounds = 20;               // moment iterations at most
constexpr double kSettled = 1e-4;         // ... until the weight's width changes less than this share
constexpr double kLargestVariance = 9.0;  // px^2: a star wider than this (FWHM over 7 px) does not fit the window
constexpr double kFwhmPerSigma = 2.3548200450309493;
constexpr float kSaturated = 0.98f;       // of full scale: a clipped core has no shape
constexpr double kApertureSigmas = 2.5;   // the light counted for the signal to noise, in the star's sigmas
constexpr double kLeastSignalToNoise = 100;

// The mean of the three calibrated channels at (x, y).
double Luminance(const Image16& frame, const SampleCalibration& calibration, int x, int y) {
    const size_t i = (size_t(y) * frame.width + size_t(x)) * kFrameChannels;
    double sum = 0;
    for (unsigned c = 0; c < kFrameChannels; ++c) sum += CalibratedValue(frame.data, calibration, i + c);
    return sum / kFrameChannels;
}

bool Saturated(const Image16& frame, int x, int y) {
    const unsigned short* p = frame.Pixel(uint32_t(x), uint32_t(y));
    return *std::max_element(p, p + kFrameChannels) >= kSaturated * kMaxSample;
}

}  // namespace

bool MeasureStarShape(const Image16& frame, const SampleCalibration& calibration, double x, double y,
                      StarShape& shape) {
    const int cx = int(std::lround(x)), cy = int(std::lround(y));
    if (cx - kRingOuter < 0 || cy - kRingOuter < 0 || cx + kRingOuter >= int(frame.width) ||
        cy + kRingOuter >= int(frame.height))
        return false;
    std::vector<double> ring;
    for (int j = -kRingOuter; j <= kRingOuter; ++j)
        for (int i = -kRingOuter; i <= kRingOuter; ++i) {
            const int r2 = i * i + j * j;
            if (r2 >= kRingInner * kRingInner && r2 <= kRingOuter * kRingOuter)
                ring.push_back(Luminance(frame, calibration, cx + i, cy + j));
        }
    const double background = Median(ring);
    for (double& v : ring) v = std::fabs(v - background);
    const double noise = kMadToSigma * Median(ring);
    double light[2 * kWindow + 1][2 * kWindow + 1];
    for (int j = -kWindow; j <= kWindow; ++j)
        for (int i = -kWindow; i <= kWindow; ++i) {
            if (Saturated(frame, cx + i, cy + j)) return false;
            light[j + kWindow][i + kWindow] = Luminance(frame, calibration, cx + i, cy + j) - background;
        }
    // Adaptive moments: weighted by a Gaussian of the star's own width, the
    // second moments of a Gaussian star of variance v are v s^2 / (v + s^2).
    double mx = x - cx, my = y - cy, s2 = 2.0, xx = 0, yy = 0, xy = 0;
    bool settled = false;
    for (int round = 0; round < kRounds && !settled; ++round) {
        double sum = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
        for (int j = -kWindow; j <= kWindow; ++j)
            for (int i = -kWindow; i <= kWindow; ++i) {
                const double dx = i - mx, dy = j - my;
                const double w = std::exp(-(dx * dx + dy * dy) / (2 * s2)) * light[j + kWindow][i + kWindow];
                sum += w, sx += w * dx, sy += w * dy, sxx += w * dx * dx, syy += w * dy * dy, sxy += w * dx * dy;
            }
        if (!(sum > 0)) return false;
        mx += sx / sum, my += sy / sum;
        if (std::fabs(mx) > kWindow / 2 || std::fabs(my) > kWindow / 2) return false;
        xx = sxx / sum, yy = syy / sum, xy = sxy / sum;
        const double next = xx + yy;  // twice the weighted variance: the star's own, for a round star
        if (!(next > 0)) return false;
        // Light that spreads past the window is no star: a lit patch of ground, a cloud's edge.
        if (next > kLargestVariance) return false;
        settled = std::fabs(next - s2) <= kSettled * s2;
        s2 = next;
    }
    if (!settled) return false;
    // Noise makes a faint star look elongated: only stars well above it count.
    double inside = 0;
    int pixels = 0;
    const double reach2 = kApertureSigmas * kApertureSigmas * s2;
    for (int j = -kWindow; j <= kWindow; ++j)
        for (int i = -kWindow; i <= kWindow; ++i)
            if ((i - mx) * (i - mx) + (j - my) * (j - my) <= reach2) inside += light[j + kWindow][i + kWindow], ++pixels;
    if (!(inside > kLeastSignalToNoise * noise * std::sqrt(double(pixels)))) return false;
    // The weighted moments' axes, then the star's own: v = m s^2 / (s^2 - m).
    const double mean = (xx + yy) / 2, half = std::sqrt((xx - yy) * (xx - yy) / 4 + xy * xy);
    const double major = mean + half, minor = mean - half;
    if (!(minor > 0) || !(major < s2)) return false;
    const double major_v = major * s2 / (s2 - major), minor_v = minor * s2 / (s2 - minor);
    shape.fwhm = kFwhmPerSigma * std::sqrt(std::sqrt(major_v * minor_v));
    shape.roundness = std::sqrt(minor_v / major_v);
    return true;
}

FieldShape MeasureFieldShape(const Image16& frame, const SampleCalibration& calibration,
                             const std::vector<StarRef>& stars) {
    FieldShape field;
    field.stars = stars.size();
    std::vector<double> widths, roundness;
    for (const StarRef& s : stars) {
        if (widths.size() == kShapeStars) break;
        StarShape shape;
        if (!MeasureStarShape(frame, calibration, s.x, s.y, shape)) continue;
        widths.push_back(shape.fwhm);
        roundness.push_back(shape.roundness);
    }
    field.measured = widths.size();
    field.median = {Median(widths), Median(roundness)};
    return field;
}

}  // namespace quen_merge

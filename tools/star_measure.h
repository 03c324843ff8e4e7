// Measuring stars in a picture: centroid and FWHM from intensity moments, and
// the robust spread of the background. Shared by the tests and the benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace star_measure {

struct Measured {
    double x, y, fwhm;  // pixels
    double elongation;  // major / minor axis of the light's second moments
};

// The star near (x, y): moments of a 13 x 13 window of sample(x, y) less the
// median of the window's rim. The window must lie inside the picture.
template <typename Sample>
Measured MeasureStar(Sample sample, double x, double y) {
    const int cx = int(std::lround(x)), cy = int(std::lround(y)), r = 6;
    std::vector<double> rim;
    for (int j = -r; j <= r; ++j)
        for (int i = -r; i <= r; ++i)
            if (std::abs(i) == r || std::abs(j) == r) rim.push_back(sample(cx + i, cy + j));
    std::nth_element(rim.begin(), rim.begin() + rim.size() / 2, rim.end());
    const double sky = rim[rim.size() / 2];
    double sw = 0, sx = 0, sy = 0;
    for (int j = -r + 1; j < r; ++j)
        for (int i = -r + 1; i < r; ++i) {
            const double w = std::max(0.0, sample(cx + i, cy + j) - sky);
            sw += w;
            sx += w * (cx + i);
            sy += w * (cy + j);
        }
    const double mx = sx / sw, my = sy / sw;
    double sxx = 0, syy = 0, sxy = 0;
    for (int j = -r + 1; j < r; ++j)
        for (int i = -r + 1; i < r; ++i) {
            const double w = std::max(0.0, sample(cx + i, cy + j) - sky);
            sxx += w * (cx + i - mx) * (cx + i - mx);
            syy += w * (cy + j - my) * (cy + j - my);
            sxy += w * (cx + i - mx) * (cy + j - my);
        }
    const double half_trace = (sxx + syy) / 2, root = std::hypot((sxx - syy) / 2, sxy);
    const double major = half_trace + root, minor = std::max(half_trace - root, 1e-12);
    return {mx, my, 2.3548 * std::sqrt((sxx + syy) / sw / 2), std::sqrt(major / minor)};
}

// Local maxima above `floor` that outshine everything within 6 pixels, at
// least `margin` pixels from the edges.
template <typename Sample>
std::vector<std::pair<int, int>> BrightPeaks(Sample sample, int width, int height, double floor,
                                             int margin) {
    std::vector<std::pair<int, int>> peaks;
    for (int y = margin; y < height - margin; ++y)
        for (int x = margin; x < width - margin; ++x) {
            const double v = sample(x, y);
            bool peak = v > floor;
            for (int j = -6; j <= 6 && peak; ++j)
                for (int i = -6; i <= 6 && peak; ++i)
                    if ((i || j) && sample(x + i, y + j) >= v) peak = false;
            if (peak) peaks.emplace_back(x, y);
        }
    return peaks;
}

inline double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// 1.4826 x the median absolute deviation: the noise's sigma, stars ignored.
inline double RobustSpread(std::vector<double> v) {
    const double m = Median(v);
    for (double& s : v) s = std::fabs(s - m);
    return 1.4826 * Median(v);
}

}  // namespace star_measure

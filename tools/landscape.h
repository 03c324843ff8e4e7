// A landscape fixed to the camera, for the frame generator: the lower part of
// the frame below a skyline of hills and trees, dark and textured at every
// scale down to a pixel, lit a little differently in every frame. It hides
// the stars behind it; its truth is the mask of the pixels it covers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "portable_random.h"

namespace landscape {

class Landscape {
public:
    // The ground covers about share of the frame's height, from the bottom;
    // level is its mean brightness, ADU.
    Landscape(int width, int height, double share, double level, unsigned seed)
        : width(width), height(height), level(level), seed(seed), skyline(size_t(width)) {
        portable_random::Engine rng(seed);
        portable_random::Uniform unit(0.0, 1.0);
        const double base = height * (1 - share), relief = height * share;
        // Hills: a few waves of falling length and height.
        const double periods[] = {1.3, 3.7, 11.0, 31.0};
        const double heights[] = {0.15, 0.07, 0.03, 0.01};
        double phase[4];
        for (double& p : phase) p = unit(rng) * 2 * kPi;
        for (int x = 0; x < width; ++x) {
            double y = base;
            for (int w = 0; w < 4; ++w) y += relief * heights[w] * std::sin(2 * kPi * x * periods[w] / width + phase[w]);
            skyline[size_t(x)] = y;
        }
        // Trees: narrow cones standing up from the hills.
        const int trees = 3 + int(unit(rng) * 5);
        for (int t = 0; t < trees; ++t) {
            const double centre = unit(rng) * width, tall = height * (0.03 + 0.09 * unit(rng));
            const double half_width = tall * (0.15 + 0.2 * unit(rng));
            for (int x = std::max(0, int(centre - half_width)); x < std::min(width, int(centre + half_width) + 1); ++x) {
                const double top = skyline[size_t(x)] - tall * (1 - std::fabs(x - centre) / half_width);
                skyline[size_t(x)] = std::min(skyline[size_t(x)], top);
            }
        }
    }

    // How much of pixel (x, y), which spans [y - 0.5, y + 0.5], lies below the skyline.
    double Cover(int x, int y) const { return std::clamp(y + 0.5 - skyline[size_t(x)], 0.0, 1.0); }
    bool Ground(int x, int y) const { return Cover(x, y) >= 0.5; }

    // The ground's brightness at pixel (x, y), ADU: texture at scales from
    // 96 px down to 2, between a fifth of the level and 1.8 times it.
    double Shade(int x, int y) const {
        const double scales[] = {96, 24, 6, 2};
        const double weights[] = {0.4, 0.25, 0.2, 0.15};
        double t = 0;
        for (int s = 0; s < 4; ++s) t += weights[s] * ValueNoise(x / scales[s], y / scales[s], uint32_t(s));
        return level * (0.2 + 1.6 * t);
    }

private:
    static constexpr double kPi = 3.14159265358979323846;

    // A value in [0, 1) for each lattice point, interpolated smoothly between them.
    double ValueNoise(double x, double y, uint32_t octave) const {
        const double fx = std::floor(x), fy = std::floor(y);
        const int ix = int(fx), iy = int(fy);
        const double u = Smooth(x - fx), v = Smooth(y - fy);
        const double top = Lerp(Lattice(ix, iy, octave), Lattice(ix + 1, iy, octave), u);
        const double bottom = Lerp(Lattice(ix, iy + 1, octave), Lattice(ix + 1, iy + 1, octave), u);
        return Lerp(top, bottom, v);
    }
    double Lattice(int x, int y, uint32_t octave) const {
        uint64_t h = uint64_t(uint32_t(x)) * 0x9e3779b97f4a7c15ULL ^ uint64_t(uint32_t(y)) * 0xc2b2ae3d27d4eb4fULL ^
                     (uint64_t(octave) << 56) ^ seed;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        return double(h >> 11) * 0x1.0p-53;
    }
    static double Smooth(double t) { return t * t * (3 - 2 * t); }
    static double Lerp(double a, double b, double t) { return a + (b - a) * t; }

    int width, height;
    double level;
    uint64_t seed;
    std::vector<double> skyline;  // the row where the ground starts, per column
};

}  // namespace landscape

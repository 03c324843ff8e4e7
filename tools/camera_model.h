// The camera a calibration set is taken with: a bias level with a fixed
// column pattern, dark current with fixed per-pixel variation, and an optical
// train with vignetting and dust donuts. Everything is drawn from the seed,
// so the lights, flats, darks and bias frames of one seed share the sensor.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "portable_random.h"

namespace camera_model {

constexpr double kBiasLevel = 1000.0;        // ADU
constexpr double kColumnPattern = 15.0;      // ADU, largest column offset
constexpr double kDarkCurrent = 250.0;       // ADU per kDarkSeconds, mean
constexpr double kDarkSeconds = 60.0;
constexpr double kDarkSpread = 0.4;          // per-pixel current: mean x [1 - spread, 1 + spread]
constexpr double kReadNoise = 8.0;           // ADU
constexpr double kCornerLight = 0.5;         // vignetting: light in the corners, centre 1
constexpr double kFlatLevel = 30000.0;       // ADU of a flat's centre, green
constexpr double kFlatColour[3] = {0.8, 1.0, 0.9};  // blue, green, red of the flat panel
constexpr int kDustDonuts = 5;
constexpr unsigned kCameraSeedOffset = 0xca3e;

struct Donut {
    double x, y, radius, depth;
};

class Camera {
public:
    Camera(int width, int height, unsigned seed) : width(width), height(height) {
        portable_random::Engine rng(seed + kCameraSeedOffset);
        portable_random::Uniform column(-kColumnPattern, kColumnPattern);
        for (int x = 0; x < width; ++x) columns.push_back(column(rng));
        portable_random::Uniform spread(1 - kDarkSpread, 1 + kDarkSpread);
        current.resize(size_t(width) * height);
        for (double& c : current) c = kDarkCurrent * spread(rng);
        portable_random::Uniform ux(0.1 * width, 0.9 * width), uy(0.1 * height, 0.9 * height);
        portable_random::Uniform radius(25, 60), depth(0.05, 0.15);
        for (int k = 0; k < kDustDonuts; ++k) donuts.push_back({ux(rng), uy(rng), radius(rng), depth(rng)});
        // Slightly off-centre, as a real optical axis is.
        cx = 0.53 * (width - 1);
        cy = 0.48 * (height - 1);
        // Quadratic falloff that reaches kCornerLight at the mean corner distance.
        const double corner = (std::hypot(cx, cy) + std::hypot(width - 1 - cx, height - 1 - cy) +
                               std::hypot(cx, height - 1 - cy) + std::hypot(width - 1 - cx, cy)) / 4;
        falloff = (1 - kCornerLight) / (corner * corner);
    }

    double Bias(int x) const { return kBiasLevel + columns[size_t(x)]; }
    // Thermal signal of pixel (x, y) over an exposure of seconds.
    double Dark(int x, int y, double seconds) const {
        return current[size_t(y) * width + x] * seconds / kDarkSeconds;
    }
    // The share of light that reaches pixel (x, y): vignetting times dust.
    double Throughput(int x, int y) const {
        const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        double t = 1 - falloff * r2;
        for (const Donut& d : donuts) {
            const double r = std::hypot(x - d.x, y - d.y);
            if (r > 1.5 * d.radius) continue;
            // An out-of-focus dust shadow: a ring, darkest at 0.7 of its radius.
            const double ring = (r - 0.7 * d.radius) / (0.3 * d.radius);
            t *= 1 - d.depth * std::exp(-ring * ring);
        }
        return std::max(t, 0.0);
    }

private:
    int width, height;
    double cx, cy, falloff;
    std::vector<double> columns, current;
    std::vector<Donut> donuts;
};

}  // namespace camera_model

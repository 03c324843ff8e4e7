// A camera fixed to the ground under the turning sky, for the frame
// generator: stars on the celestial sphere, turning about the pole at the
// sidereal rate, seen through a pinhole (rectilinear) or an equidistant
// fisheye lens with radial distortion. It knows where every direction falls
// in every frame, and so where each frame position lies in the first frame.
#pragma once

#include <array>
#include <cmath>
#include <vector>

#include "portable_random.h"

namespace sky_camera {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSiderealDay = 86164.0905;  // s

using Vector = std::array<double, 3>;

inline double Dot(const Vector& a, const Vector& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

struct Lens {
    double focal = 4186;       // px (18 mm at 4.3 um)
    double k1 = 0;             // radial distortion: r' = r (1 + k1 r^2), r in units of the focal length
    bool fisheye = false;      // equidistant: r = focal * angle from the axis
    double declination = 60;   // degrees, where the camera points (at the meridian)
    int width = 640, height = 480;
};

class Camera {
public:
    explicit Camera(const Lens& lens) : lens(lens) {
        const double d = lens.declination * kPi / 180;
        // Axes of the equator's frame: x towards the meridian, z the pole.
        forward = {std::cos(d), 0, std::sin(d)};
        right = {0, 1, 0};
        down = {std::sin(d), 0, -std::cos(d)};  // away from the pole: the pole is up
    }

    // Where the star of celestial direction v falls t seconds after the first
    // frame; false when it is behind the lens (or below the fisheye's horizon).
    bool Project(const Vector& v, double t, double& x, double& y) const {
        const Vector seen = Turn(v, -Angle(t));
        const double zc = Dot(seen, forward), xc = Dot(seen, right), yc = Dot(seen, down);
        double u, w;
        if (lens.fisheye) {
            const double off_axis = std::acos(std::max(-1.0, std::min(1.0, zc)));
            if (off_axis > kPi / 2) return false;
            const double r = std::hypot(xc, yc);
            const double scale = r > 0 ? off_axis / r : 0;
            u = xc * scale;
            w = yc * scale;
        } else {
            if (zc <= 0.05) return false;
            u = xc / zc;
            w = yc / zc;
        }
        const double distortion = 1 + lens.k1 * (u * u + w * w);
        x = CentreX() + lens.focal * u * distortion;
        y = CentreY() + lens.focal * w * distortion;
        return true;
    }

    // The celestial direction that falls on (x, y) t seconds after the first frame.
    Vector Unproject(double x, double y, double t) const {
        const double ud = (x - CentreX()) / lens.focal, wd = (y - CentreY()) / lens.focal;
        // Undistort by fixed-point iteration: the distortion is small.
        double u = ud, w = wd;
        for (int i = 0; i < 50; ++i) {
            const double distortion = 1 + lens.k1 * (u * u + w * w);
            u = ud / distortion;
            w = wd / distortion;
        }
        double xc, yc, zc;
        if (lens.fisheye) {
            const double off_axis = std::hypot(u, w);
            const double s = off_axis > 0 ? std::sin(off_axis) / off_axis : 1;
            xc = u * s;
            yc = w * s;
            zc = std::cos(off_axis);
        } else {
            const double n = std::sqrt(u * u + w * w + 1);
            xc = u / n;
            yc = w / n;
            zc = 1 / n;
        }
        Vector seen;
        for (int i = 0; i < 3; ++i) seen[size_t(i)] = xc * right[size_t(i)] + yc * down[size_t(i)] + zc * forward[size_t(i)];
        return Turn(seen, Angle(t));
    }

    // Directions spread evenly over the cap the frames can see, turning
    // included: count of them, at random.
    std::vector<Vector> Catalogue(int count, double seconds, portable_random::Engine& rng) const {
        const double half_diagonal = std::hypot(lens.width, lens.height) / 2 / lens.focal;
        const double reach = (lens.fisheye ? std::min(half_diagonal, kPi / 2) : std::atan(half_diagonal)) +
                             std::fabs(Angle(seconds)) + 0.02;
        portable_random::Uniform unit(0.0, 1.0);
        std::vector<Vector> stars;
        const double lowest = std::cos(std::min(reach, kPi));
        while (int(stars.size()) < count) {
            // Uniform on the cap about the camera's axis at the first frame.
            const double z = lowest + (1 - lowest) * unit(rng), phi = 2 * kPi * unit(rng);
            const double r = std::sqrt(std::max(0.0, 1 - z * z));
            const double a = r * std::cos(phi), b = r * std::sin(phi);
            Vector v;
            for (int i = 0; i < 3; ++i) v[size_t(i)] = a * right[size_t(i)] + b * down[size_t(i)] + z * forward[size_t(i)];
            stars.push_back(v);
        }
        return stars;
    }

private:
    double CentreX() const { return (lens.width - 1) / 2.0; }
    double CentreY() const { return (lens.height - 1) / 2.0; }
    static double Angle(double t) { return 2 * kPi * t / kSiderealDay; }
    // v turned by angle about the pole.
    static Vector Turn(const Vector& v, double angle) {
        const double c = std::cos(angle), s = std::sin(angle);
        return {c * v[0] - s * v[1], s * v[0] + c * v[1], v[2]};
    }

    Lens lens;
    Vector forward, right, down;
};

}  // namespace sky_camera

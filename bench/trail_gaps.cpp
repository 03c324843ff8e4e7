// trail_gaps: how evenly star trails are drawn, along the generator's true
// paths of the brightest stars.
// usage: trail_gaps STARS SHUTTER GROUND_MASK PICTURE [TRAILS]
//   STARS the generator's -C file under -L (star frame x y peak, where each
//   star is as each frame opens), SHUTTER the share of each interval the
//   frames exposed (-u). For the kStars brightest stars that stay in the sky
//   (kMargin px from the ground and the edges) in every frame, the trail's
//   brightness above the sky (green, bilinear) every kStep px along the path
//   from the first frame's opening to the last frame's closing (less kEnds
//   px at each end, which fade over the star's width), each point
//   the brightest within a pixel across the path, the mean over a pixel
//   along it. Prints
//   "stars N median_ratio R worst_ratio W", the ratio being a trail's dimmest
//   point over its median. Given the specified trails (-t t) of the same
//   frames, also "ground_identical G": the share of the ground's pixels
//   (kMargin px from the skyline) where PICTURE is TRAILS to the bit.
#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "load_rgb16.h"

namespace {

constexpr size_t kStars = 50;
constexpr double kMargin = 12;  // px
constexpr double kStep = 0.25;  // px
constexpr int kSkyBox = 20;     // px: half the box the sky's level is the median of
constexpr size_t kSmooth = 2;   // steps each side a profile's point is the mean over
constexpr double kAcross = 1.0; // px each side of the path its ridge is sought
constexpr double kEnds = 3.0;   // px at each end of a trail left out

struct Plane {
    unsigned width = 0, height = 0;
    std::vector<double> v;
    double At(int x, int y) const {
        return v[size_t(std::clamp(y, 0, int(height) - 1)) * width + unsigned(std::clamp(x, 0, int(width) - 1))];
    }
    double Sample(double x, double y) const {
        const int x0 = std::clamp(int(x), 0, int(width) - 2), y0 = std::clamp(int(y), 0, int(height) - 2);
        const double u = x - x0, w = y - y0;
        return (At(x0, y0) * (1 - u) + At(x0 + 1, y0) * u) * (1 - w) +
               (At(x0, y0 + 1) * (1 - u) + At(x0 + 1, y0 + 1) * u) * w;
    }
};

bool Load(const char* path, Plane& p, bool green) {
    return LoadPlane(path, p.width, p.height, p.v,
                     [green](const FIRGB16& q) { return double(green ? q.green : q.red); });
}

struct Track {
    double peak = 0;
    std::map<int, std::pair<double, double>> at;  // frame: where the star is as it opens
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: trail_gaps STARS SHUTTER GROUND_MASK PICTURE [TRAILS]\n");
        return 2;
    }
    FreeImage_Initialise(TRUE);
    const double shutter = std::atof(argv[2]);
    Plane ground, picture;
    if (!Load(argv[3], ground, false) || !Load(argv[4], picture, true)) {
        std::fprintf(stderr, "trail_gaps: cannot read the pictures\n");
        return 1;
    }
    std::map<long, Track> tracks;
    int frames = 0;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        long star;
        int frame;
        double x, y, peak;
        if (!(fields >> star >> frame >> x >> y >> peak)) continue;
        tracks[star].peak = peak;
        tracks[star].at[frame] = {x, y};
        frames = std::max(frames, frame + 1);
    }
    // The path: each interval a straight step to the next opening (the arc
    // of a few pixels is that close to its chord); the last frame as far as
    // its shutter stays open.
    auto path = [&](const Track& t, double time, double& x, double& y) {
        const int k = std::min(int(time), frames - 2);
        const auto [x0, y0] = t.at.at(k);
        const auto [x1, y1] = t.at.at(k + 1);
        x = x0 + (x1 - x0) * (time - k);
        y = y0 + (y1 - y0) * (time - k);
    };
    auto in_sky = [&](double x, double y) {
        if (x < kMargin || y < kMargin || x > ground.width - 1 - kMargin || y > ground.height - 1 - kMargin)
            return false;
        for (int dy = -int(kMargin); dy <= int(kMargin); dy += 4)
            for (int dx = -int(kMargin); dx <= int(kMargin); dx += 4)
                if (ground.At(int(x) + dx, int(y) + dy) > 127) return false;
        return true;
    };
    std::vector<const Track*> chosen;
    for (const auto& [star, t] : tracks) {
        if (int(t.at.size()) != frames) continue;
        bool sky = true;
        for (const auto& [k, p] : t.at) sky = sky && in_sky(p.first, p.second);
        if (sky) chosen.push_back(&t);
    }
    std::sort(chosen.begin(), chosen.end(), [](const Track* a, const Track* b) { return a->peak > b->peak; });
    if (chosen.size() > kStars) chosen.resize(kStars);
    std::vector<double> ratios;
    for (const Track* t : chosen) {
        const double end = frames - 1 + shutter;
        double mx, my;
        path(*t, end / 2, mx, my);
        std::vector<double> box;
        for (int dy = -kSkyBox; dy <= kSkyBox; ++dy)
            for (int dx = -kSkyBox; dx <= kSkyBox; ++dx) box.push_back(picture.At(int(mx) + dx, int(my) + dy));
        std::nth_element(box.begin(), box.begin() + long(box.size() / 2), box.end());
        const double sky = box[box.size() / 2];
        double length = 0, x0, y0;
        path(*t, 0, x0, y0);
        std::vector<double> profile;
        // Steps of kStep px along the path, its ends trimmed by a step.
        const int samples = 4000;
        for (int i = 1; i < samples; ++i) {
            double x, y;
            path(*t, end * i / samples, x, y);
            length += std::hypot(x - x0, y - y0);
            if (length < kStep) continue;
            // The trail's ridge: the brightest point across it, so that
            // sampling between pixels does not pass for a gap.
            const double along = std::hypot(x - x0, y - y0) + 1e-12;
            const double nx = -(y - y0) / along, ny = (x - x0) / along;
            double ridge = -1e300;
            for (double d = -kAcross; d <= kAcross; d += kStep) ridge = std::max(ridge, picture.Sample(x + d * nx, y + d * ny));
            length = 0;
            x0 = x, y0 = y;
            profile.push_back(ridge - sky);
        }
        if (profile.size() < 8) continue;
        // Over a pixel along the path: a gap is wider, noise is not.
        // The trail's ends fade over the star's own width: they are no gaps.
        const size_t trim = size_t(kEnds / kStep);
        std::vector<double> sorted;
        for (size_t i = std::max(kSmooth, trim); i + std::max(kSmooth, trim) < profile.size(); ++i) {
            double sum = 0;
            for (size_t j = i - kSmooth; j <= i + kSmooth; ++j) sum += profile[j];
            sorted.push_back(sum / double(2 * kSmooth + 1));
        }
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        if (median > 0) ratios.push_back(sorted.front() / median);
    }
    std::sort(ratios.begin(), ratios.end());
    if (ratios.empty()) {
        std::printf("stars 0\n");
        return 1;
    }
    std::printf("stars %zu median_ratio %.3f worst_ratio %.3f\n", ratios.size(), ratios[ratios.size() / 2],
                ratios.front());
    Plane trails;
    if (argc == 6 && Load(argv[5], trails, true)) {
        size_t deep = 0, same = 0;
        for (unsigned y = 0; y < ground.height; ++y)
            for (unsigned x = 0; x < ground.width; ++x) {
                bool all_ground = true;
                for (int d = -int(kMargin); d <= int(kMargin) && all_ground; d += 2)
                    all_ground = ground.At(int(x) + d, int(y)) > 127 && ground.At(int(x), int(y) + d) > 127;
                if (!all_ground) continue;
                ++deep;
                same += picture.At(int(x), int(y)) == trails.At(int(x), int(y));
            }
        std::printf("ground_identical %.4f\n", deep ? double(same) / double(deep) : 0.0);
    }
    FreeImage_DeInitialise();
    return 0;
}

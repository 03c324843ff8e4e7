// ground_measure: how a stack that holds the ground still (-g) kept each part,
// against the generator's truth of where the ground is.
// usage: ground_measure TRUTH_MASK JOINED STILL ALIGNED
//   JOINED the -g stack, STILL the unaligned stack (-t n) of the same frames,
//   ALIGNED the aligned one (-t s). Prints, a figure a line:
//   agreement  share of pixels whose side (taken from whichever stack JOINED
//              is nearer) is the truth's
//   ground     fine detail (luminance less its 3 x 3 mean, squared) of JOINED
//              over STILL's, on the ground at least kBand px from the skyline
//   seam       the same within kBand px of the skyline, both sides
#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "load_rgb16.h"

namespace {

constexpr int kBand = 10;  // px

struct Plane {
    unsigned width = 0, height = 0;
    std::vector<double> v;  // luminance: the sum of the channels
    double operator()(unsigned x, unsigned y) const { return v[size_t(y) * width + x]; }
};

bool Load(const char* path, Plane& p) {
    return LoadPlane(path, p.width, p.height, p.v,
                     [](const FIRGB16& q) { return double(q.red) + q.green + q.blue; });
}

double Detail(const Plane& p, unsigned x, unsigned y) {
    double around = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) around += p(x + dx, y + dy);
    const double d = p(x, y) - around / 9;
    return d * d;
}

// Whether any pixel within r (a square) of each one is set, separably.
std::vector<char> Grow(const std::vector<char>& set, unsigned w, unsigned h, int r) {
    std::vector<char> rows(set.size(), 0), out(set.size(), 0);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            for (int d = -r; d <= r && !rows[size_t(y) * w + x]; ++d) {
                const long nx = long(x) + d;
                if (nx >= 0 && nx < long(w) && set[size_t(y) * w + size_t(nx)]) rows[size_t(y) * w + x] = 1;
            }
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            for (int d = -r; d <= r && !out[size_t(y) * w + x]; ++d) {
                const long ny = long(y) + d;
                if (ny >= 0 && ny < long(h) && rows[size_t(ny) * w + x]) out[size_t(y) * w + x] = 1;
            }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: ground_measure TRUTH_MASK JOINED STILL ALIGNED\n");
        return 2;
    }
    FreeImage_Initialise(TRUE);
    Plane truth, joined, still, aligned;
    if (!Load(argv[1], truth) || !Load(argv[2], joined) || !Load(argv[3], still) || !Load(argv[4], aligned)) {
        std::fprintf(stderr, "ground_measure: cannot read the pictures\n");
        return 1;
    }
    const unsigned w = truth.width, h = truth.height;
    std::vector<char> ground(size_t(w) * h), sky(size_t(w) * h);
    for (size_t i = 0; i < ground.size(); ++i) ground[i] = truth.v[i] > 3 * 32767.0, sky[i] = !ground[i];
    const std::vector<char> near_sky = Grow(sky, w, h, kBand), near_ground = Grow(ground, w, h, kBand);
    size_t agree = 0;
    double ground_joined = 0, ground_still = 0, seam_joined = 0, seam_still = 0;
    for (unsigned y = 1; y + 1 < h; ++y)
        for (unsigned x = 1; x + 1 < w; ++x) {
            const size_t i = size_t(y) * w + x;
            const bool found = std::fabs(joined.v[i] - still.v[i]) < std::fabs(joined.v[i] - aligned.v[i]);
            agree += found == bool(ground[i]);
            const bool seam = near_sky[i] && near_ground[i];
            if (seam) seam_joined += Detail(joined, x, y), seam_still += Detail(still, x, y);
            if (ground[i] && !near_sky[i]) ground_joined += Detail(joined, x, y), ground_still += Detail(still, x, y);
        }
    std::printf("agreement %.4f\nground %.4f\nseam %.4f\n", double(agree) / double(size_t(w - 2) * (h - 2)),
                ground_joined / ground_still, seam_joined / seam_still);
    FreeImage_DeInitialise();
    return 0;
}

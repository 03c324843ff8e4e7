// calibration_quality: how close a calibrated stack comes to the truth of a
// generated calibration set (its sky and stars alone): the large-scale
// flatness of the background, the deepest and highest small-scale dip or
// bump (dust donuts), the stars' corner-to-centre flux against the truth's,
// and the hot pixels left.
//
// usage: calibration_quality RESULT TRUTH CATALOGUE
//   CATALOGUE: the generator's star list (x y peak), frame positions.
#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "io/image_io.h"

namespace {

constexpr int kLargeBlock = 64;   // px: the background's large scale
constexpr int kSmallBlock = 16;   // px: a dust donut's scale
constexpr int kAperture = 6;      // px: star flux radius
constexpr int kAnnulusIn = 9, kAnnulusOut = 13;
constexpr double kHotSigmas = 10;

struct Picture {
    int width = 0, height = 0;
    std::vector<double> sum;  // the three channels added, per pixel
    double At(int x, int y) const { return sum[size_t(y) * width + x]; }
};

bool Load(const char* name, Picture& picture) {
    const std::unique_ptr<quen_merge::ImageData> frame(quen_merge::LoadImageData(name));
    if (!frame || !frame->Image()) return false;
    const Image16& image = *frame->Image();
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.sum.resize(size_t(image.width) * image.height);
    for (size_t i = 0; i < picture.sum.size(); ++i)
        picture.sum[i] = double(image.data[3 * i]) + image.data[3 * i + 1] + image.data[3 * i + 2];
    return true;
}

double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Per block of side b: the median of result over the median of truth.
std::vector<double> BlockRatios(const Picture& result, const Picture& truth, int b) {
    std::vector<double> ratios;
    for (int y0 = 0; y0 + b <= result.height; y0 += b)
        for (int x0 = 0; x0 + b <= result.width; x0 += b) {
            std::vector<double> r, t;
            for (int y = y0; y < y0 + b; ++y)
                for (int x = x0; x < x0 + b; ++x) {
                    r.push_back(result.At(x, y));
                    t.push_back(truth.At(x, y));
                }
            ratios.push_back(Median(r) / Median(t));
        }
    return ratios;
}

// Flux in the aperture less the annulus's median.
double Flux(const Picture& p, double cx, double cy) {
    std::vector<double> sky;
    double sum = 0, n = 0;
    for (int y = int(cy) - kAnnulusOut; y <= int(cy) + kAnnulusOut; ++y)
        for (int x = int(cx) - kAnnulusOut; x <= int(cx) + kAnnulusOut; ++x) {
            const double r = std::hypot(x - cx, y - cy);
            if (r <= kAperture) {
                sum += p.At(x, y);
                n += 1;
            } else if (r >= kAnnulusIn && r <= kAnnulusOut) {
                sky.push_back(p.At(x, y));
            }
        }
    return sum - n * Median(sky);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: calibration_quality RESULT TRUTH CATALOGUE\n", stderr);
        return 2;
    }
    FreeImage_Initialise(TRUE);
    FilterTiffMessages();
    Picture result, truth;
    if (!Load(argv[1], result) || !Load(argv[2], truth) || result.width != truth.width ||
        result.height != truth.height) {
        std::fputs("calibration_quality: cannot load both pictures at one size\n", stderr);
        return 1;
    }
    const std::vector<double> large = BlockRatios(result, truth, kLargeBlock);
    const double level = Median(large);
    double squares = 0;
    for (double r : large) squares += (r / level - 1) * (r / level - 1);
    const std::vector<double> small = BlockRatios(result, truth, kSmallBlock);
    const double small_level = Median(small);
    const auto [dip, bump] = std::minmax_element(small.begin(), small.end());

    // Stars: the central ninth against the four corner ninths.
    std::ifstream catalogue(argv[3]);
    std::string line;
    std::vector<double> centre, corners;
    const int margin = kAnnulusOut + 1;
    while (std::getline(catalogue, line)) {
        if (line.empty() || line[0] == '#') continue;
        double x, y, peak;
        if (!(std::istringstream(line) >> x >> y >> peak)) continue;
        if (x < margin || y < margin || x >= result.width - margin || y >= result.height - margin) continue;
        const int column = int(3 * x / result.width), row = int(3 * y / result.height);
        const double truth_flux = Flux(truth, x, y);
        if (truth_flux < 2000) continue;  // too faint to measure to a per cent
        const double ratio = Flux(result, x, y) / truth_flux;
        if (column == 1 && row == 1) centre.push_back(ratio);
        if (column != 1 && row != 1) corners.push_back(ratio);
    }

    // Hot pixels: far above the truth's sky and noise, where the truth has no star.
    std::vector<double> residual(result.sum.size());
    for (size_t i = 0; i < residual.size(); ++i) residual[i] = result.sum[i] / level - truth.sum[i];
    const double middle = Median(residual);
    std::vector<double> deviation(residual.size());
    for (size_t i = 0; i < residual.size(); ++i) deviation[i] = std::fabs(residual[i] - middle);
    const double sigma = 1.4826 * Median(deviation);
    const double sky = Median(truth.sum);
    size_t hot = 0;
    for (size_t i = 0; i < residual.size(); ++i)
        hot += residual[i] - middle > kHotSigmas * sigma && truth.sum[i] < sky + kHotSigmas * sigma;

    std::printf("background large-scale RMS %.3f %%\n", 100 * std::sqrt(squares / double(large.size())));
    std::printf("deepest dip %.3f %%, highest bump %.3f %% (%d px blocks)\n", 100 * (*dip / small_level - 1),
                100 * (*bump / small_level - 1), kSmallBlock);
    if (!centre.empty() && !corners.empty())
        std::printf("star flux corners/centre %.4f of the truth's (%zu centre, %zu corner stars)\n",
                    Median(corners) / Median(centre), centre.size(), corners.size());
    std::printf("hot pixels left %zu\n", hot);
    FreeImage_DeInitialise();
    return 0;
}

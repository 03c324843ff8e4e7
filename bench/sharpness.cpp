// sharpness: median FWHM, in pixels, of the bright stars of a reference frame,
// measured at the same places in each given picture (green channel).
// usage: sharpness REFERENCE PICTURE...   prints "PICTURE FWHM STARS" per picture
//        sharpness -r FLOOR REFERENCE PICTURE
//            per ninth of the field (3 x 3 regions, row by row), stars peaking
//            above FLOOR in the reference: "REGION STARS FWHM_RATIO
//            ELONGATION_RATIO", the medians of picture / reference
#include <FreeImage.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/image_io.h"
#include "load_rgb16.h"
#include "star_measure.h"

namespace {

struct Green {
    unsigned width = 0, height = 0;
    std::vector<double> samples;
    double operator()(int x, int y) const { return samples[size_t(y) * width + x]; }
};

bool Load(const char* path, Green& g) {
    return LoadPlane(path, g.width, g.height, g.samples, [](const FIRGB16& p) { return double(p.green); });
}

// The regions' median ratios of picture to reference, star by star.
int CompareRegions(const Green& reference, const Green& picture, double floor) {
    const int margin = 8;
    // Read through references: the measures take their sample by value.
    const auto ref_sample = [&reference](int x, int y) { return reference(x, y); };
    const auto sample = [&picture](int x, int y) { return picture(x, y); };
    const auto peaks = star_measure::BrightPeaks(ref_sample, int(reference.width), int(reference.height), floor, margin);
    std::vector<double> fwhm[9], elongation[9];
    for (const auto& [x, y] : peaks) {
        const auto ref = star_measure::MeasureStar(ref_sample, x, y);
        const auto got = star_measure::MeasureStar(sample, x, y);
        if (!(ref.fwhm > 0 && got.fwhm > 0)) continue;
        const size_t region = size_t(3 * (3 * y / int(reference.height)) + 3 * x / int(reference.width));
        fwhm[region].push_back(got.fwhm / ref.fwhm);
        elongation[region].push_back(got.elongation / ref.elongation);
    }
    for (size_t r = 0; r < 9; ++r)
        std::printf("%zu %zu %.3f %.3f\n", r, fwhm[r].size(), fwhm[r].empty() ? 0.0 : star_measure::Median(fwhm[r]),
                    elongation[r].empty() ? 0.0 : star_measure::Median(elongation[r]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "-r") {
        FreeImage_Initialise(TRUE);
        FilterTiffMessages();
        Green reference, picture;
        const bool loaded = Load(argv[3], reference) && Load(argv[4], picture) &&
                            picture.width == reference.width && picture.height == reference.height;
        const int status = loaded ? CompareRegions(reference, picture, std::atof(argv[2])) : 1;
        FreeImage_DeInitialise();
        return status;
    }
    if (argc < 3) {
        std::fputs("usage: sharpness REFERENCE PICTURE...\n", stderr);
        return 2;
    }
    FreeImage_Initialise(TRUE);
    FilterTiffMessages();
    Green reference;
    if (!Load(argv[1], reference)) return 1;
    // Bright, isolated stars well inside the part every frame covers.
    const int margin = int(std::min(reference.width, reference.height) / 6);
    const auto peaks = star_measure::BrightPeaks(reference, int(reference.width), int(reference.height), 20000, margin);
    for (int i = 2; i < argc; ++i) {
        Green picture;
        if (!Load(argv[i], picture) || picture.width != reference.width || picture.height != reference.height) {
            std::printf("%s unreadable 0\n", argv[i]);
            continue;
        }
        std::vector<double> fwhm;
        for (const auto& [x, y] : peaks) fwhm.push_back(star_measure::MeasureStar(picture, x, y).fwhm);
        std::printf("%s %.3f %zu\n", argv[i], fwhm.empty() ? 0.0 : star_measure::Median(fwhm), fwhm.size());
    }
    FreeImage_DeInitialise();
    return 0;
}

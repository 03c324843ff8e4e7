// sharpness: median FWHM, in pixels, of the bright stars of a reference frame,
// measured at the same places in each given picture (green channel).
// usage: sharpness REFERENCE PICTURE...   prints "PICTURE FWHM STARS" per picture
#include <FreeImage.h>

#include <cstdio>
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
    FIBITMAP* rgb = LoadRgb16(path);
    if (!rgb) return false;
    g.width = FreeImage_GetWidth(rgb);
    g.height = FreeImage_GetHeight(rgb);
    g.samples.resize(size_t(g.width) * g.height);
    for (unsigned y = 0; y < g.height; ++y) {
        const FIRGB16* line = reinterpret_cast<const FIRGB16*>(FreeImage_GetScanLine(rgb, g.height - 1 - y));
        for (unsigned x = 0; x < g.width; ++x) g.samples[size_t(y) * g.width + x] = line[x].green;
    }
    FreeImage_Unload(rgb);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
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

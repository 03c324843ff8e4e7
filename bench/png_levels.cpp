// png_levels: the time and size of one 16-bit RGB image saved as PNG at each
// zlib level FreeImage offers (its only PNG knob: it sets no filter choice).
// usage: png_levels IMAGE OUT_DIR REPEATS
// Prints "level seconds bytes" lines, level 0 being FreeImage's default (6).
#include <FreeImage.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "load_rgb16.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: png_levels IMAGE OUT_DIR REPEATS\n", stderr);
        return 2;
    }
    FreeImage_Initialise(TRUE);
    FIBITMAP* image = LoadRgb16(argv[1]);
    if (!image) {
        std::fprintf(stderr, "png_levels: cannot load %s\n", argv[1]);
        return 1;
    }
    const int repeats = std::max(1, std::atoi(argv[3]));
    for (int level = 0; level <= 9; ++level) {
        const std::string path = std::string(argv[2]) + "/level" + std::to_string(level) + ".png";
        std::vector<double> times;
        for (int r = 0; r < repeats; ++r) {
            const auto start = std::chrono::steady_clock::now();
            if (!FreeImage_Save(FIF_PNG, image, path.c_str(), level)) return 1;
            times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        struct stat s;
        stat(path.c_str(), &s);
        std::printf("%d %.3f %lld\n", level, times[times.size() / 2], (long long)s.st_size);
    }
    FreeImage_Unload(image);
    FreeImage_DeInitialise();
    return 0;
}

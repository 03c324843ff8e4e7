// preview: an 8-bit, stretched crop of a 16-bit frame, for the README's pictures.
// usage: preview INPUT OUTPUT X Y WIDTH HEIGHT BLACK WHITE [BIN]
// Samples from BLACK to WHITE (16-bit levels) are mapped onto 0..255 with a
// square-root stretch, which shows faint stars beside bright ones. With BIN,
// each output pixel is the mean of a BIN x BIN block of the crop.
#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "io/image_io.h"

namespace {

BYTE Stretch(double v, double black, double white) {
    const double t = std::clamp((v - black) / (white - black), 0.0, 1.0);
    return BYTE(std::lround(255 * std::sqrt(t)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9 && argc != 10) {
        std::fputs("usage: preview INPUT OUTPUT X Y WIDTH HEIGHT BLACK WHITE [BIN]\n", stderr);
        return 2;
    }
    const int x0 = std::atoi(argv[3]), y0 = std::atoi(argv[4]);
    const int bin = argc == 10 ? std::max(1, std::atoi(argv[9])) : 1;
    const int w = std::atoi(argv[5]) / bin, h = std::atoi(argv[6]) / bin;
    const double black = std::atof(argv[7]), white = std::atof(argv[8]);
    FreeImage_Initialise(TRUE);
    FilterTiffMessages();
    int status = 1;
    FIBITMAP* loaded = FreeImage_Load(FreeImage_GetFileType(argv[1], 0), argv[1], 0);
    FIBITMAP* rgb = loaded ? FreeImage_ConvertToRGB16(loaded) : nullptr;
    FIBITMAP* out = FreeImage_Allocate(w, h, 24);
    const int height = rgb ? int(FreeImage_GetHeight(rgb)) : 0, width = rgb ? int(FreeImage_GetWidth(rgb)) : 0;
    if (rgb && out && x0 >= 0 && y0 >= 0 && x0 + w * bin <= width && y0 + h * bin <= height &&
        white > black) {
        for (int y = 0; y < h; ++y) {
            BYTE* dst = FreeImage_GetScanLine(out, h - 1 - y);
            for (int x = 0; x < w; ++x) {
                double red = 0, green = 0, blue = 0;
                for (int j = 0; j < bin; ++j) {
                    const FIRGB16* src = reinterpret_cast<const FIRGB16*>(
                        FreeImage_GetScanLine(rgb, height - 1 - (y0 + y * bin + j)));
                    for (int i = 0; i < bin; ++i) {
                        const FIRGB16& p = src[x0 + x * bin + i];
                        red += p.red;
                        green += p.green;
                        blue += p.blue;
                    }
                }
                const double n = double(bin) * bin;
                dst[3 * x + FI_RGBA_RED] = Stretch(red / n, black, white);
                dst[3 * x + FI_RGBA_GREEN] = Stretch(green / n, black, white);
                dst[3 * x + FI_RGBA_BLUE] = Stretch(blue / n, black, white);
            }
        }
        const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(argv[2]);
        status = FreeImage_Save(format, out, argv[2], format == FIF_JPEG ? 90 : 0) ? 0 : 1;
    }
    if (status != 0) std::fprintf(stderr, "preview: cannot make %s from %s\n", argv[2], argv[1]);
    for (FIBITMAP* b : {loaded, rgb, out})
        if (b) FreeImage_Unload(b);
    FreeImage_DeInitialise();
    return status;
}

#include "lib/integral_histogram.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace quen_merge {

IntegralHistogram::IntegralHistogram(unsigned int bins, const ostrel::image<unsigned char>& image,
                                     unsigned int x, unsigned int y, unsigned int w, unsigned int h,
                                     BinFunction function, void* user)
    : ostrel::image<unsigned int>(w, h, bins) {
    BuildHistogram(bins, image, x, y, w, h, function, user);
}

IntegralHistogram::IntegralHistogram(unsigned int bins, const ostrel::image<unsigned char>& image,
                                     BinFunction function, void* user)
    : IntegralHistogram(bins, image, 0, 0, image.width, image.height, function, user) {}

void IntegralHistogram::BuildHistogram(unsigned int bins, const ostrel::image<unsigned char>& image,
                                       unsigned int x, unsigned int y, unsigned int w,
                                       unsigned int h, BinFunction function, void* user) {
    if (!data || bins != channels || w != width || h != height) return;
    // Each cell is the cell above plus the counts of its own row up to it:
    // the same sums as own + left + above - upper-left, one pass per bin vector.
    std::vector<unsigned int> row(bins);
    for (unsigned int j = 0; j < height; ++j) {
        std::fill(row.begin(), row.end(), 0u);
        for (unsigned int i = 0; i < width; ++i) {
            unsigned int* cell = Pixel(i, j);
            const unsigned int b = function(x + i, y + j, &image, user);
            if (b < bins) ++row[b];
            const unsigned int* above = j > 0 ? Pixel(i, j - 1) : nullptr;
            for (unsigned int k = 0; k < bins; ++k) cell[k] = (above ? above[k] : 0u) + row[k];
        }
    }
}

void IntegralHistogram::GetHistogram(unsigned int x0, unsigned int y0, unsigned int x1,
                                     unsigned int y1, unsigned int* out) const {
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    std::fill(out, out + channels, 0u);
    if (x0 >= width || y0 >= height) return;
    x1 = std::min(x1, width - 1);
    y1 = std::min(y1, height - 1);
    const unsigned int* far = Pixel(x1, y1);
    const unsigned int* corner = x0 > 0 && y0 > 0 ? Pixel(x0 - 1, y0 - 1) : nullptr;
    const unsigned int* above = y0 > 0 ? Pixel(x1, y0 - 1) : nullptr;
    const unsigned int* left = x0 > 0 ? Pixel(x0 - 1, y1) : nullptr;
    for (unsigned int k = 0; k < channels; ++k) {
        unsigned int v = far[k];
        if (corner) v += corner[k];
        if (above) v -= above[k];
        if (left) v -= left[k];
        out[k] = v;
    }
}

}  // namespace quen_merge

// Bin counts of any rectangle of a region of an 8-bit image in constant time.
#pragma once

#include "ostrel/image.h"

namespace quen_merge {

// Maps pixel (x, y) of image to its bin; a result at or above the bin count
// puts the pixel into no bin.
typedef unsigned int (*BinFunction)(unsigned int x, unsigned int y,
                                    const ostrel::image<unsigned char>* image, void* user);

// Cell (i, j) holds, per bin, the number of pixels of the region from its
// top-left corner to (i, j) inclusive whose bin that is (32-bit counters,
// modulo 2^32). The image's channels are the bins.
class IntegralHistogram : public ostrel::image<unsigned int> {
public:
    // Covers the w x h region whose top-left pixel is (x, y); the region must
    // lie inside image.
    IntegralHistogram(unsigned int bins, const ostrel::image<unsigned char>& image, unsigned int x,
                      unsigned int y, unsigned int w, unsigned int h, BinFunction function,
                      void* user);
    // Covers the whole image.
    IntegralHistogram(unsigned int bins, const ostrel::image<unsigned char>& image,
                      BinFunction function, void* user);

    // Fills the cells, calling function once per pixel, row by row from the
    // region's top-left corner. bins must equal the channel count.
    void BuildHistogram(unsigned int bins, const ostrel::image<unsigned char>& image, unsigned int x,
                        unsigned int y, unsigned int w, unsigned int h, BinFunction function,
                        void* user);

    // Writes to out (channels entries) the bin counts of the rectangle with
    // corners (x0, y0) and (x1, y1), inclusive, in region coordinates; corners
    // may come in either order and the far corner may lie outside.
    void GetHistogram(unsigned int x0, unsigned int y0, unsigned int x1, unsigned int y1,
                      unsigned int* out) const;
};

}  // namespace quen_merge

// An edge-preserving smoothing of 8-bit images: a bilateral filter with a box
// in space and a linear or quadratic range kernel, evaluated tile by tile
// through integral histograms of 64 bins.
#pragma once

#include "integral_histogram.h"
#include "ostrel/image.h"

// The tables of one filter run.
struct _filter_context {
    int bin_index[256];       // value / 4
    int bin_offset[256];      // value % 4
    float bin_centre[64];     // 4 k + 2
    float range_weight[256];  // kernel mass between value distances d and d + 4; -1 beyond reach
};

// Fills the tables for a kernel reaching `range` 8-bit steps.
void initialise_filter_context(unsigned int range, bool quadratic, _filter_context& context);
// Filters one channel of out, tile by tile, from the mirror-padded input.
void tile_and_filter(const ostrel::image<unsigned char>* padded, const _filter_context& context,
                     unsigned int tile_size, unsigned int radius, unsigned int channel,
                     ostrel::image<unsigned char>* out);
// Filters one channel of the width x height block of out at (x, y), with the
// histogram built over the padded region starting at the same (x, y).
void filter_tile(const quen_merge::IntegralHistogram* histogram, const _filter_context& context,
                 unsigned int radius, unsigned int x, unsigned int y, unsigned int width,
                 unsigned int height, unsigned int channel, ostrel::image<unsigned char>* out);
// The bin of channel *(int*)user of pixel (x, y).
unsigned int bin_convert(unsigned int x, unsigned int y, const ostrel::image<unsigned char>* image,
                         void* user);

namespace quen_merge {

// A new filtered copy of image (owned by the caller): every value becomes the
// weighted mean of the bin centres of its (2 radius + 1)-square window, each
// weighted by how close its value lies to the centre's (linear or quadratic
// fall-off to 0 at `range`). Histograms cover tile_size-square regions, which
// must be wider than 2 x radius. Null for a null image or too small a tile.
ostrel::image<unsigned char>* BilateralFilter(unsigned int radius, unsigned int range,
                                              unsigned int tile_size, bool linear,
                                              ostrel::image<unsigned char>* image);

}  // namespace quen_merge

// The working parts of the bilateral filter, for the module and its tests:
// the tables of one run, the tiling and the per-tile filter.
#pragma once

#include "lib/bilateral.h"
#include "lib/integral_histogram.h"

// 64 bins of width 4 over the 8-bit values; a value's bin is value >> 2.
constexpr unsigned int kBins = 64;
constexpr unsigned int kBinWidth = 4;
constexpr unsigned int kBinShift = 2;
constexpr unsigned int kValues = 256;

// The tables of one filter run.
struct _filter_context {
    int bin_index[kValues];       // value / kBinWidth
    int bin_offset[kValues];      // value % kBinWidth
    float bin_centre[kBins];      // kBinWidth k + 2
    float range_weight[kValues];  // kernel mass between value distances d and d + 4; -1 beyond reach
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


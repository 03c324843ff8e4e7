// An edge-preserving smoothing of 8-bit images: a bilateral filter with a box
// in space and a linear or quadratic range kernel, evaluated tile by tile
// through integral histograms of 64 bins.
#pragma once

#include "ostrel/image.h"

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

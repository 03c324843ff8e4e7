// How much each pixel's brightness changes from frame to frame in a stack:
// held still, the ground keeps its place and the stars move through it;
// aligned on the sky, the other way round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stack/combiner.h"

namespace quen_merge {

class FrameSpread {
public:
    // What it keeps per pixel: the first frame's brightness, the sums of the
    // differences from it and of their squares, the count.
    static constexpr unsigned kBytesPerPixel = 3 * sizeof(float) + sizeof(uint16_t);

    // Starts over for a grid of pixels pixels.
    void Begin(size_t pixels);
    // Counts one frame's brightness of one pixel.
    void Add(size_t pixel, float brightness) {
        if (count[pixel] == 0) first[pixel] = brightness;
        // About the first frame's value: floats keep the small differences.
        const float d = brightness - first[pixel];
        sum[pixel] += d;
        squares[pixel] += d * d;
        if (count[pixel] < UINT16_MAX) ++count[pixel];
    }
    // Counts the brightness (the sum of the channels) of whole pixels, from
    // the 3-channel values of samples [first, first + n). Calls for ranges
    // that do not overlap may run on several threads at once.
    void AddValues(size_t first, const float* values, size_t n);
    // Each pixel's variance over the frames that reached it; 0 where fewer
    // than two did.
    std::vector<float> Variance() const;

private:
    std::vector<float> first, sum, squares;
    std::vector<uint16_t> count;
};

// A combiner that hands everything on to inner and meanwhile counts the
// values it gets (each frame calibrated as inner sees it) into spread,
// which must outlive it.
std::unique_ptr<Combiner> TapSpread(std::unique_ptr<Combiner> inner, FrameSpread& spread);

}  // namespace quen_merge

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

// Counted on every second pixel of every second row: what it is for is
// decided on blocks of pixels, and a quarter of them tell it as well.
class FrameSpread {
public:
    // What it keeps per frame pixel: for a quarter of them the first
    // frame's brightness, the sums of the differences from it and of their
    // squares, the count.
    static constexpr unsigned kBytesPerPixel = (3 * sizeof(float) + sizeof(uint16_t) + 3) / 4;

    // Starts over for a grid width x height pixels.
    void Begin(uint32_t width, uint32_t height);
    // Counts the brightness (the sum of the channels) of whole pixels, from
    // the 3-channel values of samples [first, first + n) of one row. Calls
    // for ranges that do not overlap may run on several threads at once.
    void AddValues(size_t first, const float* values, size_t n);
    // Counts a whole frame of the grid's size, calibrated by calibration.
    void AddFrame(const Image16& frame, const SampleCalibration& calibration);
    // Each pixel's variance over the frames that reached it (that of the
    // counted pixel of its 2 x 2 square); 0 where fewer than two did.
    std::vector<float> Variance() const;

private:
    void Add(size_t at, float brightness) {
        if (count[at] == 0) first[at] = brightness;
        // About the first frame's value: floats keep the small differences.
        const float d = brightness - first[at];
        sum[at] += d;
        squares[at] += d * d;
        if (count[at] < UINT16_MAX) ++count[at];
    }

    uint32_t width = 0, height = 0, columns = 0;  // columns: counted pixels a row
    std::vector<float> first, sum, squares;
    std::vector<uint16_t> count;
};

// A combiner that hands everything on to inner and meanwhile counts the
// values it gets (each frame calibrated as inner sees it) into spread,
// which must outlive it.
std::unique_ptr<Combiner> TapSpread(std::unique_ptr<Combiner> inner, FrameSpread& spread);

}  // namespace quen_merge

// Resampling of a frame at a run of positions: the aligned stacks' inner loop.
#pragma once

#include <cstddef>

#include "base/frame_calibration.h"
#include "base/rigid_transform.h"
#include "base/wide_registers.h"
#include "ostrel/image.h"

namespace quen_merge {

// How a window's taps are summed.
enum class ResamplingArithmetic {
    // Every tap's weight a double product, every channel rounded to a float
    // after every tap: the one-at-a-time sampler's results to the bit.
    kRoundedPerTap,
    // Float weights from a table of 2048 phases per pixel, each axis's four
    // summing to 1, and the window summed row by row: a quarter of the work,
    // positions within 1/4096 px.
    kSeparableFloat,
};

// Reads a 3-channel 16-bit frame, calibrated, at fractional positions with the
// radius-2 Lanczos kernel and clamped edges: to the bit what
// LanczosSampler::SampleFrame gives at (float(x), float(y)) with a zero fill.
// Several output pixels are summed side by side, which the one-at-a-time
// sampler cannot do: each sum is a chain of roundings whose latency, not the
// arithmetic, set its pace. Borrows the frame and the calibration's masters.
// With kSeparableFloat, windows inside the frame are summed in floats instead;
// the border's are still the sampler's.
class RowResampler {
public:
    // wide: the rounded sums in AVX2 registers, where the CPU has them (the
    // same results either way).
    RowResampler(const Image16& frame, const SampleCalibration& calibration,
                 ResamplingArithmetic arithmetic = ResamplingArithmetic::kRoundedPerTap,
                 bool wide = CpuHasWideRegisters());
    // Writes the frame's three values at each of positions[0, n) to out.
    void Resample(const Position* positions, size_t n, float* out) const;

private:
    const Image16& frame;
    SampleCalibration calibration;
    ResamplingArithmetic arithmetic;
    bool wide;
};

}  // namespace quen_merge

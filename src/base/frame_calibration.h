// What calibrates a light frame: the offset subtracted from every sample (a
// master dark, or a master bias where there are no darks) and the gain it is
// then multiplied by (the inverse of the master flat).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/sample_format.h"
#include "ostrel/image.h"

namespace quen_merge {

// One frame's calibration samples; either may be null. A sample f becomes
// (f / 65536 - offset[i]) * gain[i].
struct SampleCalibration {
    const float* offset = nullptr;
    const float* gain = nullptr;
};

// The one calibration formula, its masters' presence fixed at compile time so
// that a loop over samples has no branch in it: a sample v (f / 65536) less
// offset[i], times gain[i].
template <bool kHasOffset, bool kHasGain>
struct CalibrationFormula {
    static constexpr bool kSubtracts = kHasOffset;
    static constexpr bool kMultiplies = kHasGain;
    const float* offset;
    const float* gain;

    float operator()(float v, size_t i) const {
        if constexpr (kHasOffset) v = v - offset[i];
        if constexpr (kHasGain) v = v * gain[i];
        return v;
    }
    // A 16-bit sample f, converted and calibrated.
    float operator()(unsigned short f, size_t i) const { return (*this)(f * kSampleToFloat, i); }
};

// Calls body(formula) with the formula for calibration's masters; the tests
// for them are made here, once.
template <typename Body>
void WithCalibrationFormula(const SampleCalibration& calibration, Body body) {
    const float* offset = calibration.offset;
    const float* gain = calibration.gain;
    if (offset && gain) {
        body(CalibrationFormula<true, true>{offset, gain});
    } else if (gain) {
        body(CalibrationFormula<false, true>{offset, gain});
    } else if (offset) {
        body(CalibrationFormula<true, false>{offset, gain});
    } else {
        body(CalibrationFormula<false, false>{offset, gain});
    }
}

// Sample i of frame data as a calibrated float: the value FoldSamples folds.
inline float CalibratedValue(const unsigned short* data, const SampleCalibration& calibration, size_t i) {
    float value = 0;
    WithCalibrationFormula(calibration, [&](auto calibrate) { value = calibrate(data[i], i); });
    return value;
}

// The masters a stack calibrates its frames with, borrowed; either may be
// null. A master dark alone converts to one, so that the drivers' callers
// that know darks only go on passing the dark.
struct Calibration {
    const FloatImage* offset = nullptr;
    const FloatImage* gain = nullptr;
    const char* offset_kind = "dark";  // what the offset was made from, for messages

    Calibration() = default;
    Calibration(const FloatImage* dark) : offset(dark) {}  // NOLINT: implicit on purpose
    Calibration(const FloatImage* offset, const FloatImage* gain) : offset(offset), gain(gain) {}

    // Each master's samples where it has frame's size and channels, else
    // null: a master of another size is not applied.
    SampleCalibration For(const Image16* frame) const { return For(frame->width, frame->height, frame->channels); }
    SampleCalibration For(uint32_t width, uint32_t height, uint32_t channels) const {
        return {Fits(offset, width, height, channels), Fits(gain, width, height, channels)};
    }

    // Memory the masters take per frame pixel.
    unsigned BytesPerPixel() const {
        return unsigned((offset ? 1 : 0) + (gain ? 1 : 0)) * kFrameChannels * unsigned(sizeof(float));
    }

    static const float* Fits(const FloatImage* master, uint32_t width, uint32_t height, uint32_t channels) {
        if (master && master->width == width && master->height == height && master->channels == kFrameChannels &&
            channels == kFrameChannels)
            return master->data;
        return nullptr;
    }
};

}  // namespace quen_merge

// The master frames that calibrate the lights: a master bias (the camera's
// zero level), a master dark (its thermal signal and hot pixels, bias
// included) and a master flat (vignetting and dust), each the combination of
// its kind's frames. They reduce to the one offset and gain the stacks apply.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/frame_calibration.h"
#include "ostrel/image.h"

namespace quen_merge {

// The calibration frames a run names, by kind.
struct CalibrationFrames {
    std::vector<std::string> biases, darks, flats;
    std::string save_masters;  // the folder the masters are written to; empty: none
};

// A normalised flat value below this share of the flat's level is not
// divided by: overscan columns and unlit corners are left as they are.
constexpr float kMinFlatShare = 0.1f;

class CalibrationMasters {
public:
    // Combines each kind's frames (the mean, or with a kappa above 0 the
    // clipped mean) and prints what it does on standard output: bias, then
    // darks, then the flats less the master bias, normalised per channel to
    // mean 1 over the frame's central quarter. Darks of another exposure
    // than the first light's are scaled where a bias allows it. False after
    // saying on standard error why the lights cannot be calibrated: a bias or
    // flat frame that cannot be used, a bias or flat of another size than the
    // lights, or a flat without light in a channel.
    bool Make(const CalibrationFrames& frames, const std::vector<std::string>& lights, double kappa);

    // The offset and gain for the lights; both null without masters.
    Calibration ForLights() const;
    // Lines for a result's history: the frames of each kind and any dark
    // scale; none when only darks were given.
    const std::vector<std::string>& Notes() const { return notes; }

private:
    // Turns the master flat into the lights' gain (warning when the bias
    // was not taken off its frames); false after saying why it cannot be used.
    bool UseFlat(std::unique_ptr<FloatImage> flat, bool bias_subtracted);
    // Scales the master dark in offset to the lights' exposure over bias
    // (may be null: then only says why it cannot).
    void ScaleDark(double dark_exposure, double light_exposure, const FloatImage* bias);

    std::unique_ptr<FloatImage> offset, gain;
    bool offset_is_dark = false;
    std::vector<std::string> notes;
};

// Divides flat by each channel's mean over the central quarter and turns it
// into the gain the lights are multiplied by: 1 / flat, or 1 where the
// normalised flat lies below kMinFlatShare. Returns the number of pixels left
// uncorrected, or -1 (flat unchanged) when a channel's level is not above
// zero; channel then names it (0 blue, 1 green, 2 red).
long long FlatToGain(FloatImage& flat, int& channel);

}  // namespace quen_merge

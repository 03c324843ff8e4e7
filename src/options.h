// The command line of tarnic: its options and the run they ask for.
#pragma once

#include <string>
#include <vector>

#include "io/stretched_preview.h"
#include "stack/calibration_masters.h"
#include "stack/merge_utils.h"

// How the frames of an aligned stack are put onto one grid.
enum class Alignment {
    kNone,
    kNeighbourAngles,  // -t a: bright stars above a fixed 8-bit level, matched by the angles to their four nearest neighbours
    kTriangles,        // -t s: every star found against the measured noise, matched by triangles of stars
};

struct RunOptions {
    std::string output = "merged.png";
    std::vector<std::string> lights;
    quen_merge::CalibrationFrames calibration;  // -b, -d and -f, in order per kind
    quen_merge::MergeType type = quen_merge::MergeAverage;
    Alignment align = Alignment::kNone;  // once on, later -t n or -t t leave it on
    double kappa = 0;                    // -r: clip the mean at kappa sigma; 0 is no clipping
    std::string preview;                 // -p: also write a stretched 8-bit preview here
    unsigned preview_size = quen_merge::kPreviewLongSide;  // -P: the preview's long side, pixels
    bool float_samples = false;          // -F: FITS and TIFF results hold 32-bit floats
};

enum class ParseResult {
    kRun,       // stack with the options read
    kShowHelp,  // -h: show the help and end the process
    kRefused,   // an option's value cannot be used; the message is printed
};

// Reads the options with getopt ("h,o:t:d:b:f:r:p:P:F"; they may follow the
// inputs) and echoes each -o on standard error. Stops at -h, and at a kappa
// or a preview size that is not a positive number (with a message on
// standard error).
ParseResult ParseOptions(int argc, char** argv, RunOptions& options);

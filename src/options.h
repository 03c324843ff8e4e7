// The command line of tarnic: its options and the run they ask for.
#pragma once

#include <string>
#include <vector>

#include "io/stretched_preview.h"
#include "stack/stack_plan.h"

struct RunOptions {
    std::string output = "merged.png";
    std::vector<std::string> lights;
    quen_merge::StackPlan plan;          // -t, -r, -b, -d, -f, -M, -k, -w, -T, -g, -G, -C
    std::string preview;                 // -p: also write a stretched 8-bit preview here
    unsigned preview_size = quen_merge::kPreviewLongSide;  // -P: the preview's long side, pixels
    bool float_samples = false;          // -F: FITS and TIFF results hold 32-bit floats
    std::string report;                  // -R: also write every frame's scores here (CSV)
};

enum class ParseResult {
    kRun,       // stack with the options read
    kShowHelp,  // -h: show the help and end the process
    kRefused,   // an option's value cannot be used; the message is printed
    kMistyped,  // an unknown option, or one without its value: getopt said which
};

// Reads the options with getopt ("h,o:t:d:b:f:r:p:P:FM:R:k:wT:gG:C:"; they may follow the
// inputs) and echoes each -o on standard error. Stops at -h or --help, at an
// unknown option or one without its value (getopt's message on standard
// error), and at a kappa or a preview size that is not a positive number
// (with a message on standard error), and at a -k rule it cannot read. A folder given to -b, -d or -f stands
// for the image files in it, sorted; one that holds none, or a -M that is
// no folder, is refused.
ParseResult ParseOptions(int argc, char** argv, RunOptions& options);

// The help's list of merge types, a line each, as show_help prints them.
std::vector<const char*> MergeTypeHelp();

// The command line of tarnic: its options and the run they ask for.
#pragma once

#include <string>
#include <vector>

#include "merge_utils.h"

struct RunOptions {
    std::string output = "merged.png";
    std::vector<std::string> lights;
    std::vector<std::string> darks;
    quen_merge::MergeType type = quen_merge::MergeAverage;
    bool align = false;  // once on, later -t options leave it on
};

// Reads the options with getopt ("h,o:t:d:"; they may follow the inputs) and
// echoes each -o on standard error. Stops at -h and returns false: the
// caller then shows the help and ends the process.
bool ParseOptions(int argc, char** argv, RunOptions& options);

// A report of the night, frame by frame: what each frame's scores were and
// whether it went into the stack, for the user to see which frames a cloud,
// the wind or the focus spoiled.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace quen_merge {

struct FrameScore {
    std::string file;
    bool stacked = false;
    std::string reason;   // why it was left out
    std::string start;    // when its exposure started, as its file says; empty when it does not
    bool measured = false;  // the rest holds its scores
    size_t stars = 0;       // stars found
    size_t shaped = 0;      // of those, measured for their shape
    double fwhm = 0;        // px, median of the measured stars
    double roundness = 0;   // minor over major axis, median
    // ADU per channel (blue, green, red): the sky's level, one pixel's noise.
    std::array<double, 3> background{}, noise{};
    std::string mapping;    // aligned stacks: the kind of mapping that carried it onto the reference
    double residual = -1;   // ... and its RMS residual, px; -1 without one
};

// Writes the rows as CSV (RFC 4180: a header row with each column's unit,
// a row per frame in file order), whole or not at all. True when written.
bool WriteFrameReport(const char* filename, const std::vector<FrameScore>& rows);

// v as the reports write their scores, in printf's format (one number).
std::string ReportNumber(double v, const char* format);

// Whether a report may take this name: one ending in .csv (any case).
bool IsReportName(const char* filename);

}  // namespace quen_merge

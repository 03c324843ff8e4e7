// The sections astronomy cameras describe in their FITS headers: BIASSEC,
// the overscan columns that read the bias of each row, and TRIMSEC, the
// part of the frame that holds the image.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quen_merge {

// A rectangle of stored pixels, 0-based, bounds included; rows count from
// the first stored row (the bottom one).
struct Section {
    long x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    long Width() const { return x1 - x0 + 1; }
    long Height() const { return y1 - y0 + 1; }
};

// Parses "[x1:x2,y1:y2]" (1-based, bounds included, either way round).
// False when the text is not such a section or it leaves width x height.
bool ParseSection(const std::string& text, long width, long height, Section& section);

// The level the overscan gives each stored row of a plane of height rows,
// read_row(r, out) filling row r (width values; false on a read error): the
// median of the row's overscan pixels; rows the overscan does not span take
// the median of the others. Empty on a read error.
std::vector<double> OverscanLevels(const Section& overscan, long width, long height,
                                   const std::function<bool(long, double*)>& read_row);

// Where overscan-corrected samples sit: the bias they had, less the row's
// overscan level, plus this many ADU, so that 16-bit samples keep the noise
// that falls below the bias; the master bias takes it off with the rest.
constexpr double kOverscanPedestal = 256;

}  // namespace quen_merge

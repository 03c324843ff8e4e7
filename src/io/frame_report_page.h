// The report of the night as one page to look at: the stack's preview, a
// plot of each score over the night and the table of every frame, all in one
// HTML file that any browser opens from disk (no script, nothing fetched).
#pragma once

#include <string>
#include <vector>

#include "io/frame_report.h"

namespace quen_merge {

// Writes the page: title (how the frames were combined), preview_jpeg (JPEG
// data; empty: no preview), a plot of each score against the frame's place
// in the night (stacked frames filled, frames left out hollow) and the
// table. Whole or not at all; true when written.
bool WriteFrameReportPage(const char* filename, const std::string& title, const std::vector<FrameScore>& rows,
                          const std::string& preview_jpeg);

// Whether a report named filename is the page: a name ending in .html or
// .htm (any case).
bool IsReportPageName(const char* filename);

}  // namespace quen_merge

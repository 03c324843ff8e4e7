#include "io/frame_report.h"

#include <strings.h>

#include <cstdio>

#include "io/atomic_file.h"
#include "io/image_formats.h"

namespace quen_merge {

namespace {

constexpr const char* kHeader =
    "frame,file,verdict,reason,start,stars,measured_stars,fwhm_px,roundness,background_blue_adu,"
    "background_green_adu,background_red_adu,noise_blue_adu,noise_green_adu,noise_red_adu,mapping,residual_px";

// A field as CSV: quoted, its quotes doubled, when it holds a comma, a quote
// or a line break.
std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Row(size_t index, const FrameScore& s) {
    std::string row = std::to_string(index) + "," + Field(s.file) + "," + (s.stacked ? "stacked" : "left out") +
                      "," + Field(s.reason) + "," + Field(s.start);
    if (s.measured) {
        row += "," + std::to_string(s.stars) + "," + std::to_string(s.shaped);
        row += "," + (s.shaped ? ReportNumber(s.fwhm, "%.3f") : "");
        row += "," + (s.shaped ? ReportNumber(s.roundness, "%.3f") : "");
        for (double b : s.background) row += "," + ReportNumber(b, "%.1f");
        for (double n : s.noise) row += "," + ReportNumber(n, "%.2f");
    } else {
        row += ",,,,,,,,,,";
    }
    row += "," + Field(s.mapping) + "," + (s.residual >= 0 ? ReportNumber(s.residual, "%.3f") : "");
    return row + "\r\n";
}

}  // namespace

bool WriteFrameReport(const char* filename, const std::vector<FrameScore>& rows) {
    std::string text = std::string(kHeader) + "\r\n";
    for (size_t i = 0; i < rows.size(); ++i) text += Row(i, rows[i]);
    return WriteTextAtomically(filename, text);
}

std::string ReportNumber(double v, const char* format) {
    char text[40];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

bool IsReportName(const char* filename) {
    const char* dot = ExtensionOf(filename);
    return dot && strcasecmp(dot, ".csv") == 0;
}

}  // namespace quen_merge

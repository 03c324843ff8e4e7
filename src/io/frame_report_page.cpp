#include "io/frame_report_page.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "io/atomic_file.h"
#include "io/image_formats.h"

namespace quen_merge {

namespace {

constexpr int kPlotWidth = 560, kPlotHeight = 170, kMargin = 44;

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const unsigned a = (unsigned char)bytes[i];
        const unsigned b = i + 1 < bytes.size() ? (unsigned char)bytes[i + 1] : 0;
        const unsigned c = i + 2 < bytes.size() ? (unsigned char)bytes[i + 2] : 0;
        const unsigned n = a << 16 | b << 8 | c;
        out += kDigits[n >> 18 & 63];
        out += kDigits[n >> 12 & 63];
        out += i + 1 < bytes.size() ? kDigits[n >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

// One score over the night as an inline SVG: a point a measured frame,
// filled when stacked, hollow when left out, joined in the night's order.
std::string Plot(const std::string& label, const std::vector<FrameScore>& rows,
                 const std::function<double(const FrameScore&)>& score) {
    std::vector<std::pair<size_t, double>> points;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].measured) points.push_back({i, score(rows[i])});
    std::string svg = "<figure><figcaption>" + Escaped(label) + "</figcaption><svg "
                      "width=\"" + std::to_string(kPlotWidth) + "\" height=\"" + std::to_string(kPlotHeight) +
                      "\" role=\"img\" aria-label=\"" + Escaped(label) + "\">";
    svg += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fafafa\" stroke=\"#ccc\"/>";
    if (points.empty()) return svg + "<text x=\"20\" y=\"40\">no frame measured</text></svg></figure>\n";
    double low = points[0].second, high = low;
    for (const auto& p : points) low = std::min(low, p.second), high = std::max(high, p.second);
    if (high - low < 1e-9 * std::max(1.0, std::fabs(high))) low -= 0.5, high += 0.5;
    const double span_x = double(std::max<size_t>(1, rows.size() - 1)), span_y = high - low;
    auto x_of = [&](size_t i) { return kMargin + (kPlotWidth - kMargin - 12) * double(i) / span_x; };
    auto y_of = [&](double v) { return kPlotHeight - 24 - (kPlotHeight - 40) * (v - low) / span_y; };
    svg += "<text x=\"4\" y=\"" + ReportNumber(y_of(high) + 4, "%.1f") + "\" font-size=\"11\">" +
           ReportNumber(high, "%.4g") + "</text><text x=\"4\" y=\"" + ReportNumber(y_of(low) + 4, "%.1f") +
           "\" font-size=\"11\">" + ReportNumber(low, "%.4g") + "</text><text x=\"" +
           std::to_string(kPlotWidth / 2 - 30) + "\" y=\"" +
           std::to_string(kPlotHeight - 6) + "\" font-size=\"11\">frame 0 to " + std::to_string(rows.size() - 1) +
           "</text><polyline fill=\"none\" stroke=\"#89a\" points=\"";
    for (const auto& p : points)
        svg += ReportNumber(x_of(p.first), "%.1f") + "," + ReportNumber(y_of(p.second), "%.1f") + " ";
    svg += "\"/>";
    for (const auto& p : points) {
        const bool in = rows[p.first].stacked;
        svg += "<circle cx=\"" + ReportNumber(x_of(p.first), "%.1f") + "\" cy=\"" +
               ReportNumber(y_of(p.second), "%.1f") + "\" r=\"4\" fill=\"" + (in ? "#2a6" : "#fff") +
               "\" stroke=\"" + (in ? "#2a6" : "#c33") + "\" stroke-width=\"2\"><title>" +
               Escaped(rows[p.first].file) + ": " + ReportNumber(p.second, "%.4g") +
               "</title></circle>";
    }
    return svg + "</svg></figure>\n";
}

std::string Table(const std::vector<FrameScore>& rows) {
    std::string html =
        "<table><thead><tr><th>frame</th><th>file</th><th>verdict</th><th>reason</th><th>start</th>"
        "<th>stars</th><th>FWHM (px)</th><th>roundness</th><th>sky green (ADU)</th><th>noise green (ADU)</th>"
        "<th>mapping</th><th>residual (px)</th></tr></thead><tbody>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const FrameScore& s = rows[i];
        auto cell = [](const std::string& text) { return "<td>" + Escaped(text) + "</td>"; };
        html += std::string("<tr class=\"") + (s.stacked ? "in" : "out") + "\">" + cell(std::to_string(i)) +
                cell(s.file) + cell(s.stacked ? "stacked" : "left out") + cell(s.reason) + cell(s.start);
        if (s.measured) {
            html += cell(std::to_string(s.stars)) + cell(s.shaped ? ReportNumber(s.fwhm, "%.3f") : "") +
                    cell(s.shaped ? ReportNumber(s.roundness, "%.3f") : "") +
                    cell(ReportNumber(s.background[1], "%.1f")) +
                    cell(ReportNumber(s.noise[1], "%.2f"));
        } else {
            html += "<td></td><td></td><td></td><td></td><td></td>";
        }
        html += cell(s.mapping) + cell(s.residual >= 0 ? ReportNumber(s.residual, "%.3f") : "") + "</tr>\n";
    }
    return html + "</tbody></table>\n";
}

}  // namespace

bool WriteFrameReportPage(const char* filename, const std::string& title, const std::vector<FrameScore>& rows,
                          const std::string& preview_jpeg) {
    size_t stacked = 0;
    for (const FrameScore& s : rows) stacked += s.stacked ? 1 : 0;
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>tarnic: the night, frame by frame"
        "</title><style>body{font-family:sans-serif;margin:24px;color:#222}table{border-collapse:collapse;"
        "font-size:13px}td,th{border:1px solid #ccc;padding:3px 6px;text-align:right}tr.out{background:#fdecea}"
        "figure{display:inline-block;margin:8px}figcaption{font-weight:bold}img{max-width:100%}</style></head><body>\n";
    page += "<h1>The night, frame by frame</h1>\n<p>" + Escaped(title) + ": " + std::to_string(stacked) + " of " +
            std::to_string(rows.size()) + " frames stacked. Filled points were stacked, hollow ones left out.</p>\n";
    if (!preview_jpeg.empty())
        page += "<p><img alt=\"the stack, stretched\" src=\"data:image/jpeg;base64," + Base64(preview_jpeg) +
                "\"></p>\n";
    page += Plot("FWHM of the stars (px)", rows, [](const FrameScore& s) { return s.fwhm; });
    page += Plot("roundness (minor / major axis)", rows, [](const FrameScore& s) { return s.roundness; });
    page += Plot("stars found", rows, [](const FrameScore& s) { return double(s.stars); });
    page += Plot("sky, green (ADU)", rows, [](const FrameScore& s) { return s.background[1]; });
    page += Plot("weight: 1 / noise\u00b2, green", rows,
                 [](const FrameScore& s) { return s.noise[1] > 0 ? 1 / (s.noise[1] * s.noise[1]) : 0.0; });
    page += Table(rows) + "</body></html>\n";
    return WriteTextAtomically(filename, page);
}

bool IsReportPageName(const char* filename) {
    const char* dot = ExtensionOf(filename);
    return dot && (strcasecmp(dot, ".html") == 0 || strcasecmp(dot, ".htm") == 0);
}

}  // namespace quen_merge

#include "io/fits_sections.h"

#include <algorithm>
#include <cstdio>

#include "base/median.h"

namespace quen_merge {

bool ParseSection(const std::string& text, long width, long height, Section& section) {
    long a = 0, b = 0, c = 0, d = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), " [%ld:%ld,%ld:%ld%c", &a, &b, &c, &d, &end) != 5 || end != ']') return false;
    section = {std::min(a, b) - 1, std::max(a, b) - 1, std::min(c, d) - 1, std::max(c, d) - 1};
    return section.x0 >= 0 && section.x1 < width && section.y0 >= 0 && section.y1 < height;
}

std::vector<double> OverscanLevels(const Section& overscan, long width, long height,
                                   const std::function<bool(long, double*)>& read_row) {
    std::vector<double> levels(size_t(height), 0.0), spanned;
    std::vector<double> row(static_cast<size_t>(width));
    for (long r = overscan.y0; r <= overscan.y1; ++r) {
        if (!read_row(r, row.data())) return {};
        levels[size_t(r)] = Median(std::vector<double>(row.begin() + overscan.x0, row.begin() + overscan.x1 + 1));
        spanned.push_back(levels[size_t(r)]);
    }
    const double elsewhere = Median(spanned);
    for (long r = 0; r < height; ++r)
        if (r < overscan.y0 || r > overscan.y1) levels[size_t(r)] = elsewhere;
    return levels;
}

}  // namespace quen_merge

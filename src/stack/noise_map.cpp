#include "stack/noise_map.h"

#include <algorithm>

namespace quen_merge {

namespace {

// Ratios beyond this many times a cell's median are outliers' (trails,
// hits, the ground moving through an aligned sky), not noise.
constexpr float kCapOverMedian = 9;
// A region's factor stays within this factor of 1 either way: a cell of
// saturated pixels, whose values never vary, would otherwise leave out
// every value that does.
constexpr float kFurthest = 4;

}  // namespace

void NoiseMap::Fit(const std::vector<Point>& points, uint32_t frame_width, uint32_t frame_height) {
    width = frame_width;
    cell = std::max(kLeastCell, (std::max(frame_width, frame_height) + kCellsAcross - 1) / kCellsAcross);
    columns = (frame_width + cell - 1) / cell;
    rows = (frame_height + cell - 1) / cell;
    std::vector<std::vector<float>> cells(size_t(columns) * rows);
    for (const Point& p : points) cells[size_t(p.y / cell) * columns + p.x / cell].push_back(p.ratio);
    factors.assign(cells.size(), 1.0f);
    least = 1;
    for (size_t k = 0; k < cells.size(); ++k) {
        std::vector<float>& ratios = cells[k];
        if (ratios.size() < kFewestPoints) continue;
        std::vector<float> sorted = ratios;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const float cap = kCapOverMedian * sorted[sorted.size() / 2];
        double sum = 0;
        size_t kept = 0;
        for (float r : ratios)
            if (r <= cap) sum += r, ++kept;
        if (kept > 0 && sum > 0) factors[k] = std::min(kFurthest, std::max(1 / kFurthest, float(sum / double(kept))));
        least = std::min(least, factors[k]);
    }
}

void NoiseMap::Row(size_t y, std::vector<float>& out) const {
    out.assign(width, 1.0f);
    if (factors.empty()) return;
    const float* row = &factors[size_t(y / cell) * columns];
    // Cell by cell: no division per pixel.
    for (size_t x = 0, c = 0; x < width; x += cell, ++c)
        std::fill(out.begin() + x, out.begin() + std::min<size_t>(width, x + cell), row[c]);
}

}  // namespace quen_merge

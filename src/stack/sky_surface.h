// A frame's sky as a smooth surface: the median of each cell of a coarse
// grid, read between the cells' centres by cubic interpolation, which
// follows a vignetting's curve between them and carries it on to the edges.
// Vignetting makes a sky that brightens brighten most in the frame's
// middle, and twilight comes from one side: one level per frame leaves the
// difference between two frames' skies varying across the frame, and two
// surfaces' difference follows it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quen_merge {

class SkySurface {
public:
    SkySurface() = default;

    // The surface of a width x height frame of three channels whose sample
    // i is value(i).
    template <typename Value>
    static SkySurface Measure(uint32_t width, uint32_t height, Value value);

    bool Empty() const { return cells.empty(); }
    // Whether two surfaces were measured on frames of one size.
    bool SameGrid(const SkySurface& other) const { return width == other.width && height == other.height; }
    // This surface less other, or with it added; of the same grid.
    SkySurface Less(const SkySurface& other) const;
    void Add(const SkySurface& other);
    // A surface of this grid that is 0 everywhere.
    SkySurface Zero() const;
    // How far the surface's cells lie, at most, from their mean, channel c.
    double LargestDeparture(unsigned c) const;

    // The surface along one row, read pixel by pixel: for rows where only
    // a few pixels need it.
    class RowCurve;
    RowCurve Along(size_t y) const;
    // The surface at pixels [x0, x0 + pixels) of row y, three channels a
    // pixel, into out.
    void Row(size_t y, size_t x0, size_t pixels, float* out) const;

private:
    // Cells are about this share of the frame's longer side, at least
    // kLeastCell pixels: vignetting and twilight change little over one, and
    // a cell holds enough sky that its stars do not move its median.
    static constexpr uint32_t kCellsAcross = 12;
    static constexpr uint32_t kLeastCell = 16;
    // No axis has more cells than this: cells are at least a kCellsAcross-th
    // of the longer side.
    static constexpr size_t kMostCells = kCellsAcross + 1;
    // Points whose median is a cell's level, about.
    static constexpr uint32_t kPointsPerCell = 1024;

    float Cell(uint32_t column, uint32_t row, unsigned c) const {
        return cells[(size_t(row) * columns + column) * 3 + c];
    }

    // Where a pixel lies along an axis: the first of the four cells (of the
    // axis's cells with two more beyond each end) it is read from, and their
    // weights.
    struct Place {
        uint32_t first;
        std::array<float, 4> weights;
    };
    static Place PlaceOf(double pixel, size_t extent, size_t cells);
    // Every column's place, the same on every row: worked out once.
    void PlaceColumns();

    uint32_t width = 0, height = 0, columns = 0, rows = 0;
    std::vector<float> cells;  // (row * columns + column) * 3 + channel
    std::vector<Place> across;  // by pixel column
};

class SkySurface::RowCurve {
public:
    // The surface at pixel x of the row, channel c.
    float At(size_t x, unsigned c) const {
        const Place& at = surface->across[x];
        const float* v = &row[c][at.first];
        return at.weights[0] * v[0] + at.weights[1] * v[1] + at.weights[2] * v[2] + at.weights[3] * v[3];
    }

private:
    friend class SkySurface;
    explicit RowCurve(const SkySurface& surface) : surface(&surface) {}
    const SkySurface* surface;
    // Each column of cells read down to the row, with two more beyond each end.
    std::array<std::array<float, kMostCells + 4>, 3> row{};
};

template <typename Value>
SkySurface SkySurface::Measure(uint32_t width, uint32_t height, Value value) {
    SkySurface s;
    if (width == 0 || height == 0) return s;
    const uint32_t target = std::max(kLeastCell, (std::max(width, height) + kCellsAcross - 1) / kCellsAcross);
    s.width = width;
    s.height = height;
    // Cells divide the frame evenly, so that their centres are evenly apart.
    s.columns = std::max<uint32_t>(1, uint32_t(std::lround(double(width) / target)));
    s.rows = std::max<uint32_t>(1, uint32_t(std::lround(double(height) / target)));
    const uint32_t stride = std::max<uint32_t>(1, uint32_t(target / std::sqrt(double(kPointsPerCell))));
    s.cells.resize(size_t(s.columns) * s.rows * 3);
    std::vector<float> points;
    for (uint32_t r = 0; r < s.rows; ++r)
        for (uint32_t col = 0; col < s.columns; ++col) {
            const uint32_t y0 = uint32_t(uint64_t(r) * height / s.rows);
            const uint32_t y1 = uint32_t(uint64_t(r + 1) * height / s.rows);
            const uint32_t x0 = uint32_t(uint64_t(col) * width / s.columns);
            const uint32_t x1 = uint32_t(uint64_t(col + 1) * width / s.columns);
            for (unsigned c = 0; c < 3; ++c) {
                points.clear();
                for (uint32_t y = y0 + (y1 - y0) % stride / 2; y < y1; y += stride)
                    for (uint32_t x = x0 + (x1 - x0) % stride / 2; x < x1; x += stride)
                        points.push_back(float(value((size_t(y) * width + x) * 3 + c)));
                float level = 0;
                if (!points.empty()) {
                    std::nth_element(points.begin(), points.begin() + points.size() / 2, points.end());
                    level = points[points.size() / 2];
                }
                s.cells[(size_t(r) * s.columns + col) * 3 + c] = level;
            }
        }
    s.PlaceColumns();
    return s;
}

}  // namespace quen_merge

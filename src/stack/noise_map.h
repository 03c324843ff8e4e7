// How much the spread between frames differs across the frame from what the
// noise model gives at the same level: after a flat, the vignetted corners
// are lifted to the middle's level with their noise, and a fisheye's
// horizon is noisier than its zenith at one level. One factor per cell of a
// coarse grid, measured on the clipping's grid points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quen_merge {

class NoiseMap {
public:
    // A grid point at pixel (x, y): its measured variance over the model's
    // at its level.
    struct Point {
        uint32_t x, y;
        float ratio;
    };

    // Fits the factors of a width x height frame from points: per cell the
    // mean of the ratios without those of samples that held outliers; 1
    // where a cell has too few. Without a fit every factor is 1.
    void Fit(const std::vector<Point>& points, uint32_t width, uint32_t height);

    // The factor of every pixel of row y, into out (width entries).
    void Row(size_t y, std::vector<float>& out) const;
    // The band of rows y is in: rows of one band have the same factors.
    size_t BandOf(size_t y) const { return y / cell; }
    // The least factor of any cell.
    float Least() const { return least; }

private:
    // Cells about this share of the frame's longer side, at least kLeastCell
    // pixels, with at least kFewestPoints points each.
    static constexpr uint32_t kCellsAcross = 12;
    static constexpr uint32_t kLeastCell = 16;
    static constexpr size_t kFewestPoints = 16;

    uint32_t width = 0, cell = 1, columns = 0, rows = 0;
    std::vector<float> factors;  // row * columns + column
    float least = 1;
};

}  // namespace quen_merge

#include "stack/sky_surface.h"

#include <array>

namespace quen_merge {

namespace {

// The values of n cells along one axis with two more beyond each end, each
// on the parabola through the three before it (a line through two, a level
// for one): a vignetting's fall carries on to the frame's edge.
std::vector<double> Extended(const std::vector<double>& c) {
    const size_t n = c.size();
    std::vector<double> e(n + 4);
    std::copy(c.begin(), c.end(), e.begin() + 2);
    for (size_t k = 0; k < 2; ++k) {
        // Cells 1 - k and n + 2 + k, from the three inward of each.
        double& low = e[1 - k];
        double& high = e[n + 2 + k];
        const double* a = &e[2 - k];      // a[0], a[1], a[2] inward of low
        const double* b = &e[n + 1 + k];  // b[0], b[-1], b[-2] inward of high
        const size_t known = n + k;
        low = known >= 3 ? 3 * a[0] - 3 * a[1] + a[2] : known == 2 ? 2 * a[0] - a[1] : a[0];
        high = known >= 3 ? 3 * b[0] - 3 * b[-1] + b[-2] : known == 2 ? 2 * b[0] - b[-1] : b[0];
    }
    return e;
}

// Catmull-Rom weights at t in [0, 1] between the second and third of four
// evenly spaced points: exact for any quadratic.
std::array<double, 4> Weights(double t) {
    const double t2 = t * t, t3 = t2 * t;
    return {0.5 * (-t3 + 2 * t2 - t), 0.5 * (3 * t3 - 5 * t2 + 2), 0.5 * (-3 * t3 + 4 * t2 + t), 0.5 * (t3 - t2)};
}

// Where pixel p of an axis of `extent` pixels in n cells lies: the first
// of its four extended cells and the weights.
struct Place {
    size_t first;
    std::array<double, 4> weights;
};
Place PlaceOf(double p, size_t extent, size_t n) {
    const double u = (p + 0.5) * double(n) / double(extent) - 0.5;  // cell centres at whole u
    const double k = std::min(std::max(std::floor(u), -1.0), double(n) - 1);
    // Extended cell k + 2 is cell k; the four are k - 1 .. k + 2.
    return {size_t(k + 1), Weights(u - k)};
}

}  // namespace

SkySurface SkySurface::Less(const SkySurface& other) const {
    SkySurface out = *this;
    for (size_t i = 0; i < out.cells.size(); ++i) out.cells[i] -= other.cells[i];
    return out;
}

void SkySurface::Add(const SkySurface& other) {
    for (size_t i = 0; i < cells.size(); ++i) cells[i] += other.cells[i];
}

SkySurface SkySurface::Zero() const {
    SkySurface out = *this;
    std::fill(out.cells.begin(), out.cells.end(), 0.0f);
    return out;
}

void SkySurface::Row(size_t y, size_t x0, size_t pixels, float* out) const {
    // Down each column to this row, then along the row.
    const Place down = PlaceOf(double(y), height, rows);
    std::vector<double> column(rows), along(columns);
    std::array<std::vector<double>, 3> row;
    for (unsigned c = 0; c < 3; ++c) {
        for (uint32_t col = 0; col < columns; ++col) {
            for (uint32_t r = 0; r < rows; ++r) column[r] = Cell(col, r, c);
            const std::vector<double> e = Extended(column);
            along[col] = 0;
            for (size_t j = 0; j < 4; ++j) along[col] += down.weights[j] * e[down.first + j];
        }
        row[c] = Extended(along);
    }
    for (size_t p = 0; p < pixels; ++p) {
        const Place across = PlaceOf(double(x0 + p), width, columns);
        for (unsigned c = 0; c < 3; ++c) {
            double v = 0;
            for (size_t j = 0; j < 4; ++j) v += across.weights[j] * row[c][across.first + j];
            out[p * 3 + c] = float(v);
        }
    }
}

}  // namespace quen_merge

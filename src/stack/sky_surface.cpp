#include "stack/sky_surface.h"

#include <array>

namespace quen_merge {

namespace {

// Fills the two cells beyond each end of the n cells e[2 .. n + 1], each on
// the parabola through the three before it (a line through two, a level for
// one): a vignetting's fall carries on to the frame's edge.
void Extend(double* e, size_t n) {
    for (size_t k = 0; k < 2; ++k) {
        const double* a = &e[2 - k];      // a[0], a[1], a[2] inward of e[1 - k]
        const double* b = &e[n + 1 + k];  // b[0], b[-1], b[-2] inward of e[n + 2 + k]
        const size_t known = n + k;
        e[1 - k] = known >= 3 ? 3 * a[0] - 3 * a[1] + a[2] : known == 2 ? 2 * a[0] - a[1] : a[0];
        e[n + 2 + k] = known >= 3 ? 3 * b[0] - 3 * b[-1] + b[-2] : known == 2 ? 2 * b[0] - b[-1] : b[0];
    }
}

// Catmull-Rom weights at t in [0, 1] between the second and third of four
// evenly spaced points: exact for any quadratic.
std::array<float, 4> Weights(double t) {
    const double t2 = t * t, t3 = t2 * t;
    return {float(0.5 * (-t3 + 2 * t2 - t)), float(0.5 * (3 * t3 - 5 * t2 + 2)), float(0.5 * (-3 * t3 + 4 * t2 + t)),
            float(0.5 * (t3 - t2))};
}

}  // namespace

SkySurface SkySurface::Less(const SkySurface& other) const {
    SkySurface out = *this;
    for (size_t i = 0; i < out.cells.size(); ++i) out.cells[i] -= other.cells[i];
    return out;
}

double SkySurface::LargestDeparture(unsigned c) const {
    double mean = 0;
    const size_t n = cells.size() / 3;
    for (size_t k = 0; k < n; ++k) mean += cells[k * 3 + c];
    mean /= double(std::max<size_t>(1, n));
    double largest = 0;
    for (size_t k = 0; k < n; ++k) largest = std::max(largest, std::fabs(cells[k * 3 + c] - mean));
    return largest;
}

void SkySurface::Add(const SkySurface& other) {
    for (size_t i = 0; i < cells.size(); ++i) cells[i] += other.cells[i];
}

SkySurface SkySurface::Zero() const {
    SkySurface out = *this;
    std::fill(out.cells.begin(), out.cells.end(), 0.0f);
    return out;
}

SkySurface::Place SkySurface::PlaceOf(double pixel, size_t extent, size_t n) {
    const double u = (pixel + 0.5) * double(n) / double(extent) - 0.5;  // cell centres at whole u
    const double k = std::min(std::max(std::floor(u), -1.0), double(n) - 1);
    // Extended cell k + 2 is cell k; the four are k - 1 .. k + 2.
    return {uint32_t(k + 1), Weights(u - k)};
}

void SkySurface::PlaceColumns() {
    across.resize(width);
    for (uint32_t x = 0; x < width; ++x) across[x] = PlaceOf(double(x), width, columns);
}

SkySurface::RowCurve SkySurface::Along(size_t y) const {
    // Down each column to this row; along the row when read.
    const Place down = PlaceOf(double(y), height, rows);
    RowCurve curve(*this);
    std::array<double, kMostCells + 4> column, along;
    for (unsigned c = 0; c < 3; ++c) {
        for (uint32_t col = 0; col < columns; ++col) {
            for (uint32_t r = 0; r < rows; ++r) column[r + 2] = Cell(col, r, c);
            Extend(column.data(), rows);
            along[col + 2] = 0;
            for (size_t j = 0; j < 4; ++j) along[col + 2] += down.weights[j] * column[down.first + j];
        }
        Extend(along.data(), columns);
        for (size_t k = 0; k < columns + 4; ++k) curve.row[c][k] = float(along[k]);
    }
    return curve;
}

void SkySurface::Row(size_t y, size_t x0, size_t pixels, float* out) const {
    const RowCurve along = Along(y);
    for (size_t p = 0; p < pixels; ++p)
        for (unsigned c = 0; c < 3; ++c) out[p * 3 + c] = along.At(x0 + p, c);
}

}  // namespace quen_merge

// Small dense linear systems, as least-squares fits meet them.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace quen_merge {

// Solves the n x n system a x = b (row-major a) by elimination with partial
// pivoting; false when it is singular. a and b are overwritten, x is in b.
inline bool SolveLinear(std::vector<double>& a, std::vector<double>& b, size_t n) {
    for (size_t col = 0; col < n; ++col) {
        size_t pivot = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col])) pivot = r;
        if (!(std::fabs(a[pivot * n + col]) > 1e-12)) return false;
        if (pivot != col) {
            for (size_t c = 0; c < n; ++c) std::swap(a[col * n + c], a[pivot * n + c]);
            std::swap(b[col], b[pivot]);
        }
        for (size_t r = col + 1; r < n; ++r) {
            const double f = a[r * n + col] / a[col * n + col];
            for (size_t c = col; c < n; ++c) a[r * n + c] -= f * a[col * n + c];
            b[r] -= f * b[col];
        }
    }
    for (size_t col = n; col-- > 0;) {
        double v = b[col];
        for (size_t c = col + 1; c < n; ++c) v -= a[col * n + c] * b[c];
        b[col] = v / a[col * n + col];
    }
    return true;
}

}  // namespace quen_merge

// The median of a set of values, as the star search and the star matcher
// both measure it.
#pragma once

#include <algorithm>
#include <vector>

namespace quen_merge {

// The upper median (the value at n / 2 in sorted order) of values; 0 for
// none. Takes the values by value: it reorders them.
template <typename T>
T Median(std::vector<T> values) {
    if (values.empty()) return T(0);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

}  // namespace quen_merge

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

// A Gaussian's standard deviation over its median absolute deviation, and
// over its mean absolute deviation.
constexpr double kMadToSigma = 1.4826;
constexpr double kMeanDeviationToSigma = 1.2533;

// A Gaussian's standard deviation from absolute deviations (|v - centre|):
// from their median, or, where more than half of them are nil (8-bit data,
// a clipped black), from their mean; 0 for none.
template <typename T>
double SpreadOfDeviations(std::vector<T> deviations) {
    if (deviations.empty()) return 0;
    double sum = 0;
    for (T d : deviations) sum += double(d);
    const size_t count = deviations.size();
    const double median = double(Median(std::move(deviations)));
    return median > 0 ? kMadToSigma * median : kMeanDeviationToSigma * sum / double(count);
}

}  // namespace quen_merge

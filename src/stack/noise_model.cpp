#include "stack/noise_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace quen_merge {

namespace {

constexpr size_t kFewestPerBin = 64;   // samples behind one bin's estimate
constexpr size_t kMostBins = 512;      // bins over the whole range of levels
constexpr size_t kTableSize = 4096;    // lookup entries between the lowest and highest bin

// Sample variances beyond this many times the bin's median (or the floor)
// are outliers' (trails, hits), not noise: a clean one lies there less than
// once in ten thousand from five values on.
constexpr float kCapOverMedian = 9;

// Taken from a copy: the values' own order stays as it was.
float Median(std::vector<float> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// The mean of the variances without those of samples that held outliers: a
// sample variance's mean is the spread whatever the values' distribution
// (quantised data's medians are often 0), and the cap keeps it robust. Summed
// in the order given, so that the sum's rounding is that order's.
float TrimmedMean(const std::vector<float>& variances, double floor) {
    const float cap = kCapOverMedian * std::max(Median(variances), float(floor));
    double sum = 0;
    size_t kept = 0;
    for (float v : variances)
        if (v <= cap) sum += v, ++kept;
    return kept ? float(sum / double(kept)) : float(floor);
}

// The bits of v as a number whose order is that of the floats, -0 as 0.
uint32_t OrderedBits(float v) {
    if (v == 0) v = 0;
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits >> 31 ? ~bits : bits | 0x80000000u;
}

float FromOrderedBits(uint32_t bits) {
    bits = bits >> 31 ? bits & 0x7fffffffu : ~bits;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Sorts keys: by their upper half a byte at a time from the lowest, each
// pass keeping the order of the last (a byte every key shares takes no
// pass), then each run of equal upper halves by the whole key. The order is
// the whole keys', in half the passes: upper halves seldom tie. The bytes'
// counts do not depend on the keys' order, and are taken in one pass.
void SortKeys(std::vector<uint64_t>& keys) {
    constexpr unsigned kBytes = 4, kFirstShift = 32;
    std::array<std::array<size_t, 256>, kBytes> starts{};
    for (uint64_t k : keys)
        for (unsigned b = 0; b < kBytes; ++b) ++starts[b][(k >> (kFirstShift + 8 * b)) & 0xff];
    std::vector<uint64_t> sorted(keys.size());
    for (unsigned b = 0; b < kBytes; ++b) {
        const unsigned shift = kFirstShift + 8 * b;
        std::array<size_t, 256>& start = starts[b];
        if (start[(keys.front() >> shift) & 0xff] == keys.size()) continue;
        size_t at = 0;
        for (size_t& s : start) at += std::exchange(s, at);
        for (uint64_t k : keys) sorted[start[(k >> shift) & 0xff]++] = k;
        keys.swap(sorted);
    }
    for (size_t begin = 0; begin < keys.size();) {
        size_t end = begin + 1;
        while (end < keys.size() && keys[end] >> kFirstShift == keys[begin] >> kFirstShift) ++end;
        if (end - begin > 1) std::sort(keys.begin() + begin, keys.begin() + end);
        begin = end;
    }
}

}  // namespace

void NoiseModel::Fit(const std::vector<Sample>& samples, double floor) {
    const double step = std::sqrt(12 * floor);  // the quantisation step whose error floor is
    table.clear();
    // In order of level, then of variance: samples equal in both are alike,
    // so there is one order, and one fit, whatever the sort.
    std::vector<uint64_t> keys;
    keys.reserve(samples.size());
    for (const Sample& s : samples)
        if (s.count >= 2 && std::isfinite(s.level) && std::isfinite(s.variance))
            keys.push_back(uint64_t(OrderedBits(s.level)) << 32 | OrderedBits(s.variance));
    if (keys.empty()) return;
    SortKeys(keys);
    const auto level_of = [&keys](size_t i) { return FromOrderedBits(uint32_t(keys[i] >> 32)); };
    const auto variance_of = [&keys](size_t i) { return FromOrderedBits(uint32_t(keys[i])); };
    const size_t size = keys.size();
    const size_t per_bin = std::max(kFewestPerBin, (size + kMostBins - 1) / kMostBins);
    std::vector<float> levels, variances, bin_variances;
    size_t bin_of_median = 0;
    for (size_t begin = 0; begin < size;) {
        // A bin spans at least one quantisation step of level: in quantised
        // data the samples whose values all agree share one exact mean, and a
        // bin of only those would claim no spread at all. The last bin takes
        // the remainder when it is too small to stand alone.
        size_t end = std::min(size, begin + per_bin);
        while (end < size && level_of(end - 1) - level_of(begin) < step) ++end;
        if (size - end < per_bin / 2) end = size;
        bin_variances.clear();
        for (size_t i = begin; i < end; ++i) bin_variances.push_back(variance_of(i));
        // The keys are in order of level: the bin's median level is its middle one.
        levels.push_back(level_of(begin + (end - begin) / 2));
        variances.push_back(std::max(float(floor), TrimmedMean(bin_variances, floor)));
        if (begin <= size / 2 && size / 2 < end) bin_of_median = levels.size() - 1;
        begin = end;
    }
    // The median level is the sky's. Below it, darker than most of the
    // frame, the noise is never above the sky's: the lowest bins gather the
    // samples that one frame pulled down (the ringing beside a resampled
    // trail), and would tell of a spread no clean sample has. Above it,
    // signal only adds noise: a bin of less spread is chance.
    const size_t sky = std::min(bin_of_median, variances.size() - 1);
    for (size_t b = 0; b < variances.size(); ++b)
        variances[b] = b < sky ? variances[sky] : std::max(variances[b], variances[sky]);

    first_level = levels.front();
    const float span = levels.back() - levels.front();
    scale = span > 0 ? float(kTableSize - 1) / span : 0;
    last_index = float(kTableSize - 1);
    table.resize(span > 0 ? kTableSize : 1);
    size_t bin = 0;
    for (size_t k = 0; k < table.size(); ++k) {
        const float level = scale > 0 ? first_level + float(k) / scale : first_level;
        while (bin + 1 < levels.size() && levels[bin + 1] < level) ++bin;
        if (bin + 1 == levels.size() || levels[bin + 1] == levels[bin]) {
            table[k] = variances[bin];
            continue;
        }
        const float t = (level - levels[bin]) / (levels[bin + 1] - levels[bin]);
        table[k] = variances[bin] + std::min(1.0f, std::max(0.0f, t)) * (variances[bin + 1] - variances[bin]);
    }
    if (table.size() == 1) last_index = 0;
    least = *std::min_element(table.begin(), table.end());
}

}  // namespace quen_merge

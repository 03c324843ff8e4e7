#include "stack/noise_model.h"

#include <algorithm>
#include <cmath>

namespace quen_merge {

namespace {

constexpr size_t kFewestPerBin = 64;   // samples behind one bin's estimate
constexpr size_t kMostBins = 512;      // bins over the whole range of levels
constexpr size_t kTableSize = 4096;    // lookup entries between the lowest and highest bin

// Sample variances beyond this many times the bin's median (or the floor)
// are outliers' (trails, hits), not noise: a clean one lies there less than
// once in ten thousand from five values on.
constexpr float kCapOverMedian = 9;

float Median(std::vector<float>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// The mean of the variances without those of samples that held outliers: a
// sample variance's mean is the spread whatever the values' distribution
// (quantised data's medians are often 0), and the cap keeps it robust.
float TrimmedMean(std::vector<float>& variances, double floor) {
    const float cap = kCapOverMedian * std::max(Median(variances), float(floor));
    double sum = 0;
    size_t kept = 0;
    for (float v : variances)
        if (v <= cap) sum += v, ++kept;
    return kept ? float(sum / double(kept)) : float(floor);
}

}  // namespace

void NoiseModel::Fit(std::vector<Sample> samples, double floor) {
    const double step = std::sqrt(12 * floor);  // the quantisation step whose error floor is
    table.clear();
    samples.erase(std::remove_if(samples.begin(), samples.end(),
                                 [](const Sample& s) { return s.count < 2 || !std::isfinite(s.variance); }),
                  samples.end());
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.level < b.level; });
    const size_t per_bin = std::max(kFewestPerBin, (samples.size() + kMostBins - 1) / kMostBins);
    std::vector<float> levels, variances, bin_levels, bin_variances;
    size_t bin_of_median = 0;
    for (size_t begin = 0; begin < samples.size();) {
        // A bin spans at least one quantisation step of level: in quantised
        // data the samples whose values all agree share one exact mean, and a
        // bin of only those would claim no spread at all. The last bin takes
        // the remainder when it is too small to stand alone.
        size_t end = std::min(samples.size(), begin + per_bin);
        while (end < samples.size() && samples[end - 1].level - samples[begin].level < step) ++end;
        if (samples.size() - end < per_bin / 2) end = samples.size();
        bin_levels.clear();
        bin_variances.clear();
        for (size_t i = begin; i < end; ++i) {
            bin_levels.push_back(samples[i].level);
            bin_variances.push_back(samples[i].variance);
        }
        levels.push_back(Median(bin_levels));
        variances.push_back(std::max(float(floor), TrimmedMean(bin_variances, floor)));
        if (begin <= samples.size() / 2 && samples.size() / 2 < end) bin_of_median = levels.size() - 1;
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

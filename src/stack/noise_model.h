// How much one value of a sample spreads between frames at a given signal
// level, for one channel of a stack: measured over the whole image, from many
// samples of each level, instead of from each sample's own few values. Star
// cores, whose light varies with the seeing, get the spread that star cores
// show; quantised data get at least the spread of their steps.
#pragma once

#include <cstddef>
#include <vector>

namespace quen_merge {

class NoiseModel {
public:
    // One measured sample: the mean of its values, the sample variance of
    // them (count - 1 in the denominator) and how many there were.
    struct Sample {
        float level;
        float variance;
        unsigned count;
    };

    // Fits the model: samples with fewer than 2 values are left out; the
    // rest, in bins of similar level, give the mean of their variances
    // without those of samples that held outliers, at least floor (the
    // quantisation's variance: bins span at least its step of level), and
    // never other than the median level's below it, nor less above it. Without samples every
    // variance is infinite: nothing is left out. The samples' order changes
    // nothing.
    void Fit(const std::vector<Sample>& samples, double floor);

    // The variance of one value at level.
    float Variance(float level) const {
        if (table.empty()) return kNoModel;
        return table[Index(level)];
    }

    // The least variance at any level.
    float LeastVariance() const { return table.empty() ? kNoModel : least; }

    static constexpr float kNoModel = 3.0e38f;

private:
    size_t Index(float level) const {
        float at = (level - first_level) * scale;
        at = at < 0 ? 0 : at > last_index ? last_index : at;
        return size_t(at);
    }

    std::vector<float> table;       // variance at first_level + k / scale
    float first_level = 0, scale = 0, last_index = 0;
    float least = 0;                // the least entry of table
};

}  // namespace quen_merge

// Kappa-sigma clipping in one pass and bounded memory: per sample the sum and
// the sum of squares of its values and the few highest and lowest of them,
// from which the iterative clipping is worked out once every frame is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quen_merge {

// Values kept per side of each sample: clipping is exact while no more than
// this many values of a sample lie beyond kappa on either side.
constexpr unsigned kClipExtremes = 2;

// What the clipping of a whole stack left out.
struct RejectionTally {
    uint64_t values = 0;     // values in the stack, over all samples
    uint64_t high = 0;       // values left out above the others
    uint64_t low = 0;        // values left out below the others
    uint64_t at_limit = 0;   // samples whose kClipExtremes values of one side all went
};

class ClippingStatistics {
public:
    // Memory one sample takes: two doubles and 2 x kClipExtremes floats.
    static constexpr unsigned kBytesPerSample = 2 * sizeof(double) + 2 * kClipExtremes * sizeof(float);

    explicit ClippingStatistics(size_t samples);

    // Takes value v of sample i into its statistics.
    void Add(size_t i, float v) {
        sum[i] += v;
        squares[i] += double(v) * double(v);
        // Two highest and two lowest, kept without branches.
        high1[i] = Max(high1[i], Min(high0[i], v));
        high0[i] = Max(high0[i], v);
        low1[i] = Min(low1[i], Max(low0[i], v));
        low0[i] = Min(low0[i], v);
    }

    // The mean of the `count` values of sample i after iterative clipping:
    // a value is left out when it lies more than kappa standard deviations
    // from the mean of the other values still in, until none is; with fewer
    // than 3 values in, all of them stay. The standard deviation is that of a
    // new value about the others' mean: s sqrt(1 + 1/m) for m others of
    // sample standard deviation s. Counts what it left out in tally.
    float ClippedMean(size_t i, unsigned count, double kappa, RejectionTally& tally) const;

private:
    static float Max(float a, float b) { return a > b ? a : b; }
    static float Min(float a, float b) { return a < b ? a : b; }

    std::vector<double> sum, squares;
    std::vector<float> high0, high1, low0, low1;  // high0 >= high1, low0 <= low1
};

// The kappa-sigma-clipped mean of values straight from its definition, for
// checking: every pass tests each value still in against the others and
// leaves out all that fail at once.
double DirectClippedMean(std::vector<double> values, double kappa);

}  // namespace quen_merge

// Kappa-sigma clipping in one pass and bounded memory: per sample the sum and
// the sum of squares of its values and the few highest and lowest of them,
// from which the iterative clipping is worked out once every frame is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/parallel.h"

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

    // The statistics of n samples whose first values are first[i], worked
    // out on every CPU.
    ClippingStatistics(const float* first, size_t n);

    // Takes value v of sample i into its statistics.
    void Add(size_t i, float v) {
        Sample& s = samples.get()[i];
        s.sum += v;
        s.squares += double(v) * double(v);
        // Two highest and two lowest, kept without branches.
        s.high1 = Max(s.high1, Min(s.high0, v));
        s.high0 = Max(s.high0, v);
        s.low1 = Min(s.low1, Max(s.low0, v));
        s.low0 = Min(s.low0, v);
    }

    // The mean of the `count` values of sample i after iterative clipping:
    // a value is left out when it lies more than kappa standard deviations
    // from the mean of the other values still in, until none is; with fewer
    // than 3 values in, all of them stay. The standard deviation is that of a
    // new value about the others' mean: s sqrt(1 + 1/m) for m others of
    // sample standard deviation s. Counts what it left out in tally.
    float ClippedMean(size_t i, unsigned count, double kappa, RejectionTally& tally) const;
    // ClippedMean of samples [0, n) into means, where count(i) gives the
    // number of values of sample i; shared out over every CPU, and the tally
    // the same as one loop's.
    template <typename Count>
    void ClippedMeans(size_t n, Count count, double kappa, float* means, RejectionTally& tally) const;

private:
    static float Max(float a, float b) { return a > b ? a : b; }
    static float Min(float a, float b) { return a < b ? a : b; }

    // One sample's statistics, together in one half of a cache line.
    struct Sample {
        double sum, squares;
        float high0, high1, low0, low1;  // high0 >= high1, low0 <= low1
    };
    // Hundreds of megabytes for a large stack.
    std::unique_ptr<Sample, void (*)(void*)> samples{nullptr, &std::free};
};

template <typename Count>
void ClippingStatistics::ClippedMeans(size_t n, Count count, double kappa, float* means,
                                      RejectionTally& tally) const {
    constexpr size_t kPiece = size_t(1) << 16;
    constexpr size_t kPrefetchSamples = 32;
    std::vector<RejectionTally> tallies((n + kPiece - 1) / kPiece);
    ForEachPiece(n, kPiece, [&](size_t begin, size_t end) {
        RejectionTally& t = tallies[begin / kPiece];
        for (size_t i = begin; i < end; ++i) {
            // The statistics stream in from memory; the clipping's branches
            // keep the hardware from running ahead on its own.
            __builtin_prefetch(samples.get() + i + kPrefetchSamples);
            means[i] = ClippedMean(i, count(i), kappa, t);
        }
    });
    for (const RejectionTally& t : tallies) {
        tally.values += t.values;
        tally.high += t.high;
        tally.low += t.low;
        tally.at_limit += t.at_limit;
    }
}

}  // namespace quen_merge

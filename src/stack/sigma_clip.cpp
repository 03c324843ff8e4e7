#include "stack/sigma_clip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace quen_merge {

namespace {

constexpr unsigned kFewestToClip = 3;  // below this many values every value stays

// Whether v lies more than kappa standard deviations from the mean of the
// others: the n values in have sum s and sum of squares q, v among them. The
// deviation is that of a new value from the others' mean: their sample
// variance (n - 1 in the denominator) times 1 + 1 / their count, since that
// mean is itself uncertain. With few frames a narrower test would leave out
// many clean values and cost noise.
bool Outlier(double v, double s, double q, unsigned n, double kappa) {
    const double others = n - 1;
    const double mean = (s - v) / others;
    const double variance = ((q - v * v) - (s - v) * mean) / (others - 1) * (1 + 1 / others);
    const double deviation = v - mean;
    return deviation * deviation > kappa * kappa * (variance > 0 ? variance : 0);
}

// Two outliers on one side hide each other: each widens the spread that the
// other is judged by. So when no single value fails, the two most extreme of
// a side that has lost no value yet (a outermost, b next) fail together when
// b lies more than kappa standard deviations from the others without a.
bool OutlierPair(double a, double b, double s, double q, unsigned n, double kappa) {
    return n >= kFewestToClip + 2 && Outlier(b, s - a, q - a * a, n - 1, kappa);
}

}  // namespace

ClippingStatistics::ClippingStatistics(const float* first, size_t n) {
    // Not zeroed first: every sample is written below.
    samples.reset(static_cast<Sample*>(std::malloc(std::max<size_t>(1, n) * sizeof(Sample))));
    if (!samples) throw std::bad_alloc();
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    constexpr size_t kPiece = size_t(1) << 20;
    ForEachPiece(n, kPiece, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            samples.get()[i] = Sample{0.0, 0.0, -kInfinity, -kInfinity, kInfinity, kInfinity};
            Add(i, first[i]);
        }
    });
}

float ClippingStatistics::ClippedMean(size_t i, unsigned count, double kappa,
                                      RejectionTally& tally) const {
    const Sample& sample = samples.get()[i];
    const float high[kClipExtremes] = {sample.high0, sample.high1};
    const float low[kClipExtremes] = {sample.low0, sample.low1};
    double s = sample.sum, q = sample.squares;
    unsigned in = count, out_high = 0, out_low = 0;
    tally.values += count;
    while (in >= kFewestToClip) {
        // Each pass tests against the values in at its start and drops all
        // that fail together. The most extreme value of a side is the first
        // to fail, so a side stops at its first value that passes.
        double drop_s = 0, drop_q = 0;
        unsigned dropped_high = 0, dropped_low = 0;
        // A pass never leaves no value at all.
        while (out_high + dropped_high < kClipExtremes && in - dropped_high - dropped_low > 1 &&
               Outlier(high[out_high + dropped_high], s, q, in, kappa)) {
            const double v = high[out_high + dropped_high++];
            drop_s += v;
            drop_q += v * v;
        }
        while (out_low + dropped_low < kClipExtremes && in - dropped_high - dropped_low > 1 &&
               Outlier(low[out_low + dropped_low], s, q, in, kappa)) {
            const double v = low[out_low + dropped_low++];
            drop_s += v;
            drop_q += v * v;
        }
        if (dropped_high + dropped_low == 0) {
            if (out_high == 0 && OutlierPair(high[0], high[1], s, q, in, kappa)) dropped_high = 2;
            if (out_low == 0 && in - dropped_high >= kFewestToClip + 2 &&
                OutlierPair(low[0], low[1], s, q, in, kappa))
                dropped_low = 2;
            for (unsigned j = 0; j < dropped_high; ++j) {
                drop_s += high[j];
                drop_q += double(high[j]) * high[j];
            }
            for (unsigned j = 0; j < dropped_low; ++j) {
                drop_s += low[j];
                drop_q += double(low[j]) * low[j];
            }
        }
        if (dropped_high + dropped_low == 0) break;
        s -= drop_s;
        q -= drop_q;
        in -= dropped_high + dropped_low;
        out_high += dropped_high;
        out_low += dropped_low;
    }
    tally.high += out_high;
    tally.low += out_low;
    if (out_high == kClipExtremes || out_low == kClipExtremes) ++tally.at_limit;
    return in > 0 ? float(s / in) : 0.0f;
}

}  // namespace quen_merge

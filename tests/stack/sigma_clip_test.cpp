#include "stack/sigma_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <cstddef>
#include <vector>

namespace {

using quen_merge::ClippingStatistics;
using quen_merge::RejectionTally;

// The kappa-sigma-clipped mean worked out from its definition, with every
// value at hand. A value v fails when (v - m)^2 > kappa^2 s^2 (1 + 1/k),
// where m and s^2 are the mean and the sample variance (k - 1 in the
// denominator) of the k other values still in. Each pass tests every value
// against the values in at its start and leaves out all that fail. When
// none fails alone, the two highest (then the two lowest) go together if the
// second of them fails against the others without the first, provided that
// side has lost nothing yet and at least five values are in (seven for the
// low pair once the high pair went). Fewer than three values all stay.
double DirectClippedMean(std::vector<double> values, double kappa) {
    auto fails = [kappa](double v, const std::vector<double>& in, size_t skip_a, size_t skip_b) {
        double sum = 0, squares = 0;
        size_t k = 0;
        for (size_t j = 0; j < in.size(); ++j) {
            if (j == skip_a || j == skip_b) continue;
            sum += in[j];
            ++k;
        }
        const double m = sum / double(k);
        for (size_t j = 0; j < in.size(); ++j) {
            if (j == skip_a || j == skip_b) continue;
            squares += (in[j] - m) * (in[j] - m);
        }
        const double variance = squares / double(k - 1) * (1 + 1.0 / double(k));
        return (v - m) * (v - m) > kappa * kappa * variance;
    };
    const size_t none = values.size();
    bool high_lost = false, low_lost = false;
    while (values.size() >= 3) {
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        double mean = 0;
        for (double v : values) mean += v / double(n);
        std::vector<double> kept;
        for (size_t i = 0; i < n; ++i) {
            if (!fails(values[i], values, i, none))
                kept.push_back(values[i]);
            else
                (values[i] > mean ? high_lost : low_lost) = true;
        }
        if (kept.empty()) break;
        if (kept.size() == n) {
            const bool high = !high_lost && n >= 5 && fails(values[n - 2], values, n - 1, n - 2);
            const bool low = !low_lost && n - (high ? 2 : 0) >= 5 && fails(values[1], values, 0, 1);
            if (!high && !low) break;
            high_lost = high_lost || high;
            low_lost = low_lost || low;
            kept.assign(values.begin() + (low ? 2 : 0), values.end() - (high ? 2 : 0));
        }
        values.swap(kept);
    }
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0.0 : sum / double(values.size());
}

// The clipped mean of one sample whose values are given, through the one-pass
// statistics.
float OnePass(const std::vector<double>& values, double kappa, RejectionTally& tally) {
    const float first = float(values[0]);
    ClippingStatistics statistics(&first, 1);
    for (size_t k = 1; k < values.size(); ++k) statistics.Add(0, float(values[k]));
    return statistics.ClippedMean(0, unsigned(values.size()), kappa, tally);
}

TEST(SigmaClip, LeavesOutTheOutliersOfAWorkedExample) {
    const std::vector<double> values{1, 1, 1, 1, 1, 1, 1, 1, 10, 50};
    RejectionTally tally;
    EXPECT_EQ(OnePass(values, 3, tally), 1.0f);
    EXPECT_EQ(DirectClippedMean(values, 3), 1.0);
    EXPECT_EQ(tally.values, 10u);
    EXPECT_EQ(tally.high, 2u);
    EXPECT_EQ(tally.low, 0u);
}

TEST(SigmaClip, AgreesWithTheDirectDefinitionUpToTwoOutliersASide) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(2500, 60);
    std::uniform_int_distribution<int> outliers(0, 2), count(3, 40);
    std::uniform_real_distribution<double> trail(3000, 40000);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<double> values(size_t(count(rng)));
        // Whole numbers, as 16-bit samples are: every sum is exact.
        for (double& v : values) v = std::round(noise(rng));
        const int high = outliers(rng), low = outliers(rng);
        for (int i = 0; i < high && i < int(values.size()); ++i) values[size_t(i)] += std::round(trail(rng));
        for (int i = 0; i < low && high + i < int(values.size()); ++i) values[size_t(high + i)] -= 2400;
        std::shuffle(values.begin(), values.end(), rng);
        for (double kappa : {2.0, 3.0}) {
            RejectionTally tally;
            const float got = OnePass(values, kappa, tally);
            if (tally.at_limit) continue;  // beyond what two extremes a side can tell
            ASSERT_EQ(got, float(DirectClippedMean(values, kappa))) << "trial " << trial << " kappa " << kappa;
        }
    }
}

TEST(SigmaClip, KeepsFewerThanThreeValuesAndCountsTheLimit) {
    RejectionTally tally;
    EXPECT_EQ(OnePass({1, 1000}, 1, tally), 500.5f);
    EXPECT_EQ(tally.high + tally.low, 0u);
    // Three far outliers above eight calm values: two go, the third stays in,
    // and the sample is counted as having reached the limit.
    tally = RejectionTally();
    const std::vector<double> values{10, 10, 10, 10, 10, 10, 10, 10, 1000, 2000, 3000};
    const float got = OnePass(values, 3, tally);
    EXPECT_EQ(tally.high, 2u);
    EXPECT_EQ(tally.at_limit, 1u);
    EXPECT_EQ(got, float((8 * 10 + 1000) / 9.0));
}

}  // namespace

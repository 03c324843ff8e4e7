#include "stack/sigma_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using quen_merge::ClippingStatistics;
using quen_merge::DirectClippedMean;
using quen_merge::RejectionTally;

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

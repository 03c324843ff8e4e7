// The combine rules on their own, against means and extremes computed here:
// a whole frame folded and the same frame's values brought row by row (the
// aligned stacks' path) give one result, and the clipping holds past the 255
// frames that get an id of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "stack/clipped_mean.h"
#include "stack/maximum_rule.h"
#include "stack/mean_rule.h"

namespace {

using quen_merge::Combiner;

constexpr uint32_t kWidth = 24, kHeight = 16;
constexpr size_t kSamples = size_t(kWidth) * kHeight * 3;
constexpr float kAdu = 1.0f / 65536.0f;

// Frame k's 16-bit sample i.
using Samples = std::function<unsigned short(unsigned k, size_t i)>;

// Sky of 2500 ADU spread evenly over +-50 ADU: no clean value lies 3
// spreads off, so that a clipped mean keeps every clean value.
unsigned short CalmSky(unsigned k, size_t i) { return (unsigned short)(2450 + (i * 7919 + k * 104729) % 101); }

// The combined values of `frames` frames, folded whole or, with by_rows,
// brought row by row as resampled values are.
std::vector<float> Combined(Combiner& combiner, unsigned frames, const Samples& sample, bool by_rows) {
    std::vector<float> result(kSamples);
    for (size_t i = 0; i < kSamples; ++i) result[i] = sample(0, i) * kAdu;
    combiner.Start(result.data(), kSamples, kWidth);
    Image16 frame(kWidth, kHeight, 3);
    std::vector<float> values(kSamples);
    for (unsigned k = 1; k < frames; ++k) {
        for (size_t i = 0; i < kSamples; ++i) frame.data[i] = sample(k, i), values[i] = frame.data[i] * kAdu;
        if (!by_rows) {
            combiner.AddFrame(&frame, {});
            continue;
        }
        combiner.BeginFrame(&frame, {});
        for (size_t row = 0; row < kSamples; row += kWidth * 3) combiner.AddValues(row, &values[row], kWidth * 3);
    }
    combiner.Finish({float(frames), nullptr});
    return result;
}

// Sample i's values in float, in frame order, those that keep(k, i) allows.
std::vector<float> Values(unsigned frames, const Samples& sample, size_t i,
                          const std::function<bool(unsigned, size_t)>& keep = nullptr) {
    std::vector<float> v;
    for (unsigned k = 0; k < frames; ++k)
        if (!keep || keep(k, i)) v.push_back(sample(k, i) * kAdu);
    return v;
}

float MeanOf(const std::vector<float>& v) {
    double sum = 0;
    for (float x : v) sum += x;
    return float(sum / double(v.size()));
}

TEST(CombineRules, EachRuleGivesItsValueFoldedWholeOrRowByRow) {
    const unsigned kFrames = 7;
    const Samples sample = [](unsigned k, size_t i) { return (unsigned short)((i * 7919 + k * 104729) % 65536); };
    const struct {
        const char* name;
        std::function<std::unique_ptr<Combiner>()> make;
        std::function<float(const std::vector<float>&)> expected;
        float tolerance;
    } rules[] = {
        {"mean", [] { return quen_merge::kMeanRule.make(0); }, MeanOf, 1e-6f},
        {"maximum", [] { return quen_merge::kMaximumRule.make(0); },
         [](const std::vector<float>& v) { return *std::max_element(v.begin(), v.end()); }, 0},
        // Each frame halved once for every frame after it.
        {"fading maximum", [] { return quen_merge::MakeFadingMaximum(0.5); },
         [](const std::vector<float>& v) {
             float most = 0;
             for (size_t k = 0; k < v.size(); ++k) most = std::max(most, std::ldexp(v[k], -int(v.size() - 1 - k)));
             return most;
         },
         0},
    };
    for (const auto& rule : rules)
        for (const bool by_rows : {false, true}) {
            const auto combiner = rule.make();
            const std::vector<float> result = Combined(*combiner, kFrames, sample, by_rows);
            for (size_t i = 0; i < kSamples; ++i)
                ASSERT_NEAR(result[i], rule.expected(Values(kFrames, sample, i)), rule.tolerance)
                    << rule.name << (by_rows ? " by rows, sample " : " whole, sample ") << i;
        }
    EXPECT_STREQ(quen_merge::kMeanRule.name, "mean");
    EXPECT_TRUE(quen_merge::kMeanRule.rejects);
    EXPECT_FALSE(quen_merge::kMaximumRule.rejects);
}

// 300 frames: frames from the 256th on share one id and one sky offset. The
// sky rises a little from frame to frame; outliers are planted in frames
// before and past the shared id. The result is the mean of the clean values.
TEST(CombineRules, ClippedMeanLeavesOutOutliersPastTheFramesWithIdsOfTheirOwn) {
    const unsigned kFrames = 300;
    auto planted = [](unsigned k, size_t i) { return (k == 10 || k == 270 || k == 299) && i % 13 == k % 13; };
    const Samples sample = [&](unsigned k, size_t i) {
        const unsigned short sky = (unsigned short)(CalmSky(k, i) + k / 5);
        return planted(k, i) ? (unsigned short)(sky + 20000) : sky;
    };
    size_t outliers = 0;
    for (unsigned k = 0; k < kFrames; ++k)
        for (size_t i = 0; i < kSamples; ++i) outliers += planted(k, i);
    for (const bool by_rows : {false, true}) {
        const auto combiner = quen_merge::MakeClippedMean(3);
        const std::vector<float> result = Combined(*combiner, kFrames, sample, by_rows);
        ASSERT_NE(combiner->Tally(), nullptr);
        EXPECT_EQ(combiner->Tally()->high + combiner->Tally()->low, outliers) << "only the planted values go";
        for (size_t i = 0; i < kSamples; ++i) {
            // The clean values' mean, less their frames' rise, at the level of all frames.
            double rise_all = 0, rise_kept = 0;
            unsigned kept = 0;
            for (unsigned k = 0; k < kFrames; ++k) {
                rise_all += k / 5;
                if (!planted(k, i)) rise_kept += k / 5, ++kept;
            }
            const float clean = MeanOf(Values(kFrames, sample, i, [&](unsigned k, size_t j) { return !planted(k, j); }));
            const double level = (rise_all / kFrames - rise_kept / kept) * kAdu;
            ASSERT_NEAR(result[i], clean + level, 1e-6f) << (by_rows ? "by rows, sample " : "whole, sample ") << i;
        }
    }
}

// Aligned frames cover pixels from their own column on, counted as they
// land: three outliers at a pixel of an edge that fewer frames cover all go,
// as they do where every frame covers.
TEST(CombineRules, ClippedMeanLetsThreeOutliersGoWhereFramesCoverFewerPixels) {
    const unsigned kFrames = 16;
    auto covers = [](unsigned k, size_t pixel) { return pixel % kWidth >= k % 4; };
    // One in the second column, one in the middle of a row further down:
    // each row has room for the third of one sample in 64.
    const size_t edge = 3 * 2, middle = 3 * (kWidth * 5 + 10);
    auto outlier = [&](unsigned k, size_t i) { return (i == edge || i == middle) && k >= 12 && k <= 14; };
    auto sample = [&](unsigned k, size_t i) {
        return (unsigned short)(CalmSky(k, i) + (outlier(k, i) ? 5000 * (k - 11) : 0));
    };
    std::vector<float> result(kSamples), counts(kSamples / 3, 1.0f);
    for (size_t i = 0; i < kSamples; ++i) result[i] = sample(0, i) * kAdu;
    const auto combiner = quen_merge::MakeClippedMean(3);
    combiner->Start(result.data(), kSamples, kWidth);
    combiner->CountValuesIn(counts.data());
    Image16 frame(kWidth, kHeight, 3);
    std::vector<float> values(kSamples);
    for (unsigned k = 1; k < kFrames; ++k) {
        for (size_t i = 0; i < kSamples; ++i) frame.data[i] = sample(k, i), values[i] = frame.data[i] * kAdu;
        combiner->BeginFrame(&frame, {});
        for (size_t row = 0; row < kSamples; row += kWidth * 3) {
            const size_t begin = row + 3 * (k % 4);
            for (size_t i = begin; i < row + kWidth * 3; i += 3) counts[i / 3] += 1;
            combiner->AddValues(begin, &values[begin], row + kWidth * 3 - begin);
        }
    }
    combiner->Finish({0, counts.data()});
    EXPECT_EQ(combiner->Tally()->high, 6u);
    for (const size_t i : {edge, middle}) {
        const float clean = MeanOf(
            Values(kFrames, sample, i, [&](unsigned k, size_t j) { return covers(k, j / 3) && !outlier(k, j); }));
        EXPECT_NEAR(result[i], clean, 2 * kAdu) << "sample " << i;
    }
}

}  // namespace

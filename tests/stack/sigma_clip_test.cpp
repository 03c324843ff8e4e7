#include "stack/sigma_clip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

using quen_merge::ClippingStatistics;
using quen_merge::NoiseModel;
using quen_merge::RejectionTally;

constexpr double kAdu = 1.0 / 65536.0;
constexpr uint32_t kWidth = 64, kHeight = 64;
constexpr size_t kSamples = size_t(kWidth) * kHeight * 3;

// A stack of frames whose sample i in frame k is value(k, i), clipped at
// kappa; the means and the tally.
struct Clipped {
    std::vector<float> means;
    RejectionTally tally;
};
Clipped Clip(unsigned frames, double kappa, const std::function<double(unsigned, size_t)>& value) {
    Clipped out;
    out.means.resize(kSamples);
    for (size_t i = 0; i < kSamples; ++i) out.means[i] = float(value(0, i));
    ClippingStatistics statistics(out.means.data(), kSamples, kWidth, kappa);
    for (unsigned k = 1; k < frames; ++k) {
        std::vector<float> frame(kSamples);
        for (size_t i = 0; i < kSamples; ++i) frame[i] = float(value(k, i));
        statistics.BeginFrame(ClippingStatistics::Sky(kWidth, kHeight, [&](size_t i) { return frame[i]; }, true));
        for (size_t first = 0; first < kSamples; first += kWidth * 3)
            statistics.AddPixels(first, &frame[first], kWidth * 3);
    }
    statistics.ClippedMeans([frames](size_t) { return frames; }, out.tally);
    return out;
}

// Gaussian sky noise of sigma ADU about level ADU, the same draws for a
// given (frame, sample) whatever else a test changes.
double Sky(unsigned k, size_t i, double sigma, double level = 2500) {
    std::mt19937 rng(unsigned(k * kSamples + i));
    return (level + sigma * std::normal_distribution<double>(0, 1)(rng)) * kAdu;
}

// Sky that never lies 3 spreads off: whole ADU spread evenly over +-50
// about 2500 ADU, so that only planted values can go.
double CalmSky(unsigned k, size_t i) { return (2500 + double((i * 7919 + k * 104729) % 101) - 50) * kAdu; }

TEST(NoiseModelClipping, LeavesOutPlantedOutliersAndFewCleanValues) {
    // Every 97th sample gets a trail value in frame 3; every 89th a second
    // one in frame 7 (crossing trails: two of one side). On a bright sky
    // with little noise too, whose spread is a small share of its level.
    struct Night {
        double level, sigma, trail;
    };
    for (const Night night : {Night{2500, 60, 4000}, Night{60000, 2, 40}}) {
        auto value = [&](unsigned k, size_t i) {
            double v = Sky(k, i, night.sigma, night.level);
            if (i % 97 == 0 && k == 3) v += night.trail * kAdu;
            if (i % 89 == 0 && k == 7) v += 1.25 * night.trail * kAdu;
            return v;
        };
        const Clipped clipped = Clip(10, 3, value);
        size_t planted = 0;
        for (size_t i = 0; i < kSamples; ++i) {
            if (i % 97 && i % 89) continue;
            ++planted;
            double clean = 0;
            unsigned n = 0;
            for (unsigned k = 0; k < 10; ++k)
                if (!((i % 97 == 0 && k == 3) || (i % 89 == 0 && k == 7))) clean += value(k, i), ++n;
            // A trail left in would be a tenth of it off, at least two
            // spreads; a clean value that went too, a third of a spread.
            ASSERT_NEAR(clipped.means[i], clean / n, night.sigma * 2 / 3 * kAdu) << night.level << " " << i;
        }
        // Clean values left out: about 0.3 % at kappa 3 with the true spread.
        const double clean_rejected = double(clipped.tally.high + clipped.tally.low) - double(planted);
        EXPECT_LT(clean_rejected / double(clipped.tally.values), 0.006) << night.level;
    }
}

TEST(NoiseModelClipping, ComparesFramesAtTheirOwnSkyAndKeepsTheLevelOfAll) {
    // The sky rises by 20 % of its level from each frame to the next; frame
    // 5 has an outlier in every 50th sample. Where it goes, the mean of the
    // others, each less its sky's rise, stands at the level of all eight:
    // no step against the samples that kept every frame (to within how well
    // a region's sky is measured).
    auto rise = [](unsigned k) { return k * 500 * kAdu; };
    auto value = [&](unsigned k, size_t i) {
        double v = CalmSky(k, i) + rise(k);
        if (k == 5 && i % 50 == 0) v += 3000 * kAdu;
        return v;
    };
    const Clipped clipped = Clip(8, 3, value);
    EXPECT_LT(double(clipped.tally.high + clipped.tally.low) / double(clipped.tally.values), 0.01);
    for (size_t i = 0; i < kSamples; i += 50) {
        double kept = 0, level = 0;
        for (unsigned k = 0; k < 8; ++k) {
            if (k != 5) kept += value(k, i) - rise(k);
            level += rise(k);
        }
        ASSERT_NEAR(clipped.means[i], kept / 7 + level / 8, 2 * kAdu) << i;
    }
}

TEST(NoiseModelClipping, FollowsAVignettedSkyThatFallsThreefold) {
    // Twilight through a lens that passes half the light in the corners:
    // one level per frame would leave the corners' values a sky's worth
    // apart, and reject them.
    auto value = [](unsigned k, size_t i) {
        const double dx = double(i / 3 % kWidth) / kWidth - 0.5, dy = double(i / 3 / kWidth) / kHeight - 0.5;
        const double vignette = 1 - (dx * dx + dy * dy);
        return (1500 - 125 * k) * vignette * kAdu + Sky(k, i, 60);
    };
    const Clipped clipped = Clip(9, 3, value);
    EXPECT_LT(double(clipped.tally.high + clipped.tally.low) / double(clipped.tally.values), 0.01);
    EXPECT_LT(clipped.tally.at_limit, kSamples / 500);
}

TEST(NoiseModelClipping, JudgesEachRegionByItsOwnNoise) {
    // Flat-fielded corners are as bright as the middle, and noisier: here
    // the left half has twice the right half's noise at the same level.
    const Clipped clipped = Clip(10, 3, [](unsigned k, size_t i) { return Sky(k, i, i / 3 % kWidth < 32 ? 80 : 40); });
    EXPECT_LT(double(clipped.tally.high + clipped.tally.low) / double(clipped.tally.values), 0.005);
}

TEST(NoiseModelClipping, KeepsStarCoresThatTheSeeingChanges) {
    // A star whose core stands from 0.8 to 1.3 times as high from frame to
    // frame and wanders by a few tenths of a pixel keeps its core; a hit on
    // the sky beside it still goes, and so does one on the core itself.
    auto star = [](unsigned k, size_t i) {
        const double x = double(i / 3 % kWidth) - 32 - 0.3 * std::sin(k), y = double(i / 3 / kWidth) - 32;
        const double width = 1.0 + 0.12 * std::cos(1.7 * k);
        return 40000 / (width * width) * std::exp(-(x * x + y * y) / (2 * width * width)) * kAdu;
    };
    const size_t hit = ((32 + 5) * kWidth + 32) * 3 + 1, core_hit = (32 * kWidth + 32) * 3 + 2;
    auto value = [&](unsigned k, size_t i) {
        return Sky(k, i, 50) + star(k, i) + (k == 4 && i == hit) * 0.1 + (k == 6 && i == core_hit) * 0.35;
    };
    const Clipped clipped = Clip(10, 3, value);
    for (size_t y = 31; y <= 33; ++y)
        for (size_t i = (y * kWidth + 31) * 3; i < (y * kWidth + 34) * 3; ++i) {
            if (i == core_hit) continue;
            double all = 0;
            for (unsigned k = 0; k < 10; ++k) all += value(k, i);
            ASSERT_NEAR(clipped.means[i], all / 10, 0.5 * kAdu) << i;
        }
    double others = 0, core_others = 0;
    for (unsigned k = 0; k < 10; ++k) {
        others += k == 4 ? 0 : value(k, hit);
        core_others += k == 6 ? 0 : value(k, core_hit);
    }
    EXPECT_NEAR(clipped.means[hit], others / 9, 40 * kAdu);
    EXPECT_NEAR(clipped.means[core_hit], core_others / 9, 1 * kAdu);
}

TEST(NoiseModelClipping, QuantisedEightBitDataKeepTheirValues) {
    // Widened 8-bit data: a spread of a third of a step, every value a whole
    // number of steps.
    auto value = [](unsigned k, size_t i) { return std::round(Sky(k, i, 85) * 65536 / 256) * 256 * kAdu; };
    const Clipped clipped = Clip(10, 3, value);
    EXPECT_LT(double(clipped.tally.high + clipped.tally.low) / double(clipped.tally.values), 0.01);
}

TEST(NoiseModelClipping, KeepsAThirdValueWhereOneStoodOutAndCountsTheLimit) {
    // Far outliers above calm values at one sample, in the last frames: the
    // third most extreme value, kept as it stood out, lets three go. Where
    // all that was kept of a side went, the sample is counted at the limit
    // (with a fourth outlier in, clean low values fail against it).
    const struct {
        unsigned outliers, gone, at_limit;
    } cases[] = {{2, 2, 0}, {3, 3, 1}, {4, 3, 1}};
    for (const auto& c : cases) {
        auto value = [&](unsigned k, size_t i) {
            const double v = CalmSky(k, i);
            return i == 300 && k + c.outliers >= 11 ? v + (k - 6) * 5000 * kAdu : v;
        };
        const Clipped clipped = Clip(11, 3, value);
        EXPECT_EQ(clipped.tally.high, c.gone) << c.outliers << " outliers";
        EXPECT_EQ(clipped.tally.at_limit, c.at_limit) << c.outliers << " outliers";
        if (c.gone < c.outliers) continue;
        double clean = 0;
        for (unsigned k = 0; k < 11 - c.gone; ++k) clean += value(k, 300);
        EXPECT_NEAR(clipped.means[300], clean / (11 - c.gone), 0.01 * kAdu) << c.outliers << " outliers";
    }
    // A row where every sample holds three outliers keeps a third for some
    // of them only: the others are counted too, as an outlier stayed in.
    const Clipped row = Clip(11, 3, [](unsigned k, size_t i) {
        return CalmSky(k, i) + (i / (kWidth * 3) == 5 && k >= 8 ? (k - 6) * 5000 * kAdu : 0);
    });
    EXPECT_EQ(row.tally.at_limit, kWidth * 3);
    const Clipped two = Clip(2, 3, [](unsigned k, size_t i) { return k == 1 && i == 5 ? 0.9 : CalmSky(k, i); });
    EXPECT_EQ(two.tally.high + two.tally.low, 0u);
}

TEST(NoiseModel, RecoversAGrowingSpreadAndIgnoresPulledDownSamples) {
    std::vector<NoiseModel::Sample> samples;
    std::mt19937 rng(3);
    // Mostly sky, the rest stars up to a bright level.
    std::uniform_real_distribution<float> sky(0.04f, 0.05f), stars(0.05f, 0.5f);
    for (int j = 0; j < 40000; ++j) {
        const float l = j % 5 ? sky(rng) : stars(rng);
        // True variance 1e-7 + 1e-5 x level, measured from 10 values.
        std::normal_distribution<double> noise(0, std::sqrt(1e-7 + 1e-5 * l));
        double s = 0, q = 0;
        for (int k = 0; k < 10; ++k) {
            const double v = noise(rng);
            s += v;
            q += v * v;
        }
        samples.push_back({l, float((q - s * s / 10) / 9), 10});
    }
    // A few samples below every other level with a huge spread.
    for (int j = 0; j < 500; ++j) samples.push_back({0.01f, 1e-3f, 10});
    NoiseModel model;
    model.Fit(samples, 0);
    for (float l : {0.045f, 0.3f}) EXPECT_NEAR(model.Variance(l), 1e-7 + 1e-5 * l, 0.08 * (1e-7 + 1e-5 * l)) << l;
    EXPECT_LT(model.Variance(0.01f), 1e-5f);
}

TEST(NoiseModel, FitsTheSameWhateverTheSamplesOrder) {
    // Quantised levels: many samples share one, with different variances,
    // and the bins' edges fall inside such groups.
    std::vector<NoiseModel::Sample> samples;
    std::mt19937 rng(5);
    for (int j = 0; j < 20000; ++j)
        samples.push_back({float(rng() % 50) / 4096, float(rng() % 1000) * 1e-9f, 10});
    NoiseModel first, shuffled;
    first.Fit(samples, 0);
    std::shuffle(samples.begin(), samples.end(), rng);
    shuffled.Fit(samples, 0);
    for (int k = 0; k <= 60; ++k) EXPECT_EQ(first.Variance(float(k) / 4096), shuffled.Variance(float(k) / 4096)) << k;
}

}  // namespace

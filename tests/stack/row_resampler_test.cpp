#include "stack/row_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "stack/sampler.h"

namespace {

using namespace quen_merge;

constexpr uint32_t kWidth = 300, kHeight = 200;

// Positions over the whole frame and around it: fractions of every kind, whole
// pixels (where the kernel's outer taps weigh nothing), the border, below the
// weight table's start (128) and above it.
std::vector<Position> Positions() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> x(-3, kWidth + 3), y(-3, kHeight + 3);
    std::vector<Position> p;
    for (int k = 0; k < 3000; ++k) p.push_back({x(rng), y(rng)});
    for (double whole : {0.0, 1.0, 2.0, 100.0, 130.0, 298.0, 299.0}) p.push_back({whole, 150.0}), p.push_back({150.3, whole});
    for (int k = 0; k < 40; ++k) p.push_back({140.0 + k * 1e-6, 130.0 - k * 0.25});
    return p;
}

struct Frame {
    Image16 image{kWidth, kHeight, 3};
    FloatImage offset{kWidth, kHeight, 3}, gain{kWidth, kHeight, 3};

    explicit Frame(bool smooth) {
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> sample(0, 65535);
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x)
                for (uint32_t c = 0; c < 3; ++c) {
                    const size_t i = (size_t(y) * kWidth + x) * 3 + c;
                    image.data[i] = smooth ? (unsigned short)(30000 + 20000 * std::sin(x * 0.05 + c) *
                                                                          std::cos(y * 0.04))
                                           : (unsigned short)sample(rng);
                    offset.data[i] = float(sample(rng)) * 1e-6f;
                    gain.data[i] = 0.9f + float(sample(rng)) * 3e-6f;
                }
        // A master's NaN on a tap the kernel skips must not reach the result:
        // the window at whole column 10 gives column 12 no weight.
        offset.data[(size_t(50) * kWidth + 12) * 3] = std::numeric_limits<float>::quiet_NaN();
    }
    SampleCalibration Masters(int which) const {
        return {which & 1 ? offset.data : nullptr, which & 2 ? gain.data : nullptr};
    }
};

// What the one-at-a-time sampler gives at each position.
std::vector<float> Sampled(const Frame& frame, const SampleCalibration& masters, const std::vector<Position>& at) {
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, 2.0f);
    const float fill[3] = {0, 0, 0};
    std::vector<float> out(at.size() * 3);
    for (size_t k = 0; k < at.size(); ++k)
        sampler.SampleFrame(&frame.image, masters, float(at[k].x), float(at[k].y), fill, &out[k * 3]);
    return out;
}

std::vector<float> Resampled(const RowResampler& resampler, const std::vector<Position>& at) {
    std::vector<float> out(at.size() * 3);
    // Runs of every length, as rows break into covered runs.
    for (size_t k = 0, n = 1; k < at.size(); k += n, n = n % 13 + 1)
        resampler.Resample(&at[k], std::min(n, at.size() - k), &out[k * 3]);
    return out;
}

TEST(RowResampler, RoundedPerTapGivesTheSamplersBitsWithEveryMasterAndRegister) {
    const Frame frame(false);
    std::vector<Position> at = Positions();
    at.push_back({10.0, 50.4});  // beside the NaN
    for (int masters = 0; masters < 4; ++masters) {
        const std::vector<float> expected = Sampled(frame, frame.Masters(masters), at);
        for (bool wide : {false, true}) {
            const RowResampler resampler(frame.image, frame.Masters(masters), ResamplingArithmetic::kRoundedPerTap,
                                         wide);
            const std::vector<float> got = Resampled(resampler, at);
            ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0)
                << "masters " << masters << (wide ? ", wide registers" : ", plain registers");
        }
    }
}

TEST(RowResampler, SeparableFloatStaysWithinAPartInTenThousandOfTheExactSum) {
    const Frame frame(true);
    const std::vector<Position> at = Positions();
    for (int masters : {0, 3}) {
        const std::vector<float> expected = Sampled(frame, frame.Masters(masters), at);
        const RowResampler resampler(frame.image, frame.Masters(masters), ResamplingArithmetic::kSeparableFloat);
        const std::vector<float> got = Resampled(resampler, at);
        double worst = 0;
        for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(double(got[i]) - expected[i]));
        EXPECT_LT(worst, 1e-4) << "masters " << masters;  // of a range of 0.6 to 1.0 in floats
    }
}

}  // namespace

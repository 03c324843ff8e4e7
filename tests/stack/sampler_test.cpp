#include "stack/sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "stack/lanczos_table.h"
#include "portable_random.h"

namespace {

using namespace quen_merge;

// An image whose pixel (x, y) holds 10 x + y + 1 in every channel.
FloatImage Ramp(unsigned w, unsigned h, unsigned channels = 1) {
    FloatImage img(w, h, channels);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            for (unsigned c = 0; c < channels; ++c) img.Pixel(x, y)[c] = float(10 * x + y + 1);
    return img;
}

// The kernel from its definition: the normalised sinc with the literal pi.
double Sinc(double x) {
    const double t = x * 3.14159265;
    return std::fabs(t) < 1e-10 ? 1.0 : std::sin(t) / t;
}
double Kernel(double x) { return std::fabs(x) < 2 ? Sinc(x) * Sinc(x / 2) : 0.0; }

TEST(Lanczos, KernelValues) {
    EXPECT_EQ(lanczos(0, 2), 1.0);
    EXPECT_NEAR(lanczos(0.5, 2), 0.5731591690, 1e-10);
    EXPECT_NEAR(lanczos(1.5, 2), -0.0636843523, 1e-10);
    EXPECT_EQ(lanczos(2, 2), 0.0);
    EXPECT_EQ(lanczos(-2, 2), 0.0);
    // The shortened pi leaves the first zero crossing slightly off 1.
    EXPECT_NEAR(lanczos(1, 2), 7.27e-10, 0.01e-10);
    EXPECT_NE(lanczos(1, 2), 0.0);
    EXPECT_EQ(sincu(0), 1.0);
    EXPECT_EQ(sincu(5e-11), 1.0);
    EXPECT_EQ(sincn(0.5), std::sin(0.5 * 3.14159265) / (0.5 * 3.14159265));
}

TEST(Lanczos, PixelCentreGivesThePixel) {
    const FloatImage img = Ramp(9, 9, 3);
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, 2.0f);
    float out[3];
    sampler.SampleImage(&img, 4, 5, nullptr, out);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[c], 46.0f, 46.0f * 1e-6f);
}

TEST(Lanczos, WeightedMeanOfTheWindowWithClampedEdges) {
    const FloatImage img = Ramp(6, 5);
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, 2.0f);
    for (auto [x, y] : {std::pair{-0.5f, 2.0f}, {2.3f, 1.7f}, {5.25f, 4.5f}, {0.0f, 0.0f}}) {
        double sum = 0, weights = 0;
        for (int j = int(std::floor(y - 2)); j <= int(std::ceil(y + 2)); ++j)
            for (int i = int(std::floor(x - 2)); i <= int(std::ceil(x + 2)); ++i) {
                const double w = Kernel(double(x - float(i))) * Kernel(double(y - float(j)));
                if (std::fabs(w) <= 1e-10) continue;
                const int ci = std::clamp(i, 0, 5), cj = std::clamp(j, 0, 4);
                sum += w * (10 * ci + cj + 1);
                weights += w;
            }
        float out;
        sampler.SampleImage(&img, x, y, nullptr, &out);
        EXPECT_NEAR(out, sum / weights, 1e-4) << x << "," << y;
    }
}

TEST(Lanczos, MissingPixelsWithoutFillDarkenAndNegativesClampToZero) {
    FloatImage flat(5, 5, 1);
    for (size_t i = 0; i < 25; ++i) flat.data[i] = 1.0f;
    float inside, border, filled;
    const float fill = 1.0f;
    LanczosSampler(EdgeNone, EdgeNone, 2.0f).SampleImage(&flat, 2.0f, 2.5f, nullptr, &inside);
    LanczosSampler(EdgeNone, EdgeNone, 2.0f).SampleImage(&flat, -0.4f, 2.0f, nullptr, &border);
    LanczosSampler(EdgeNone, EdgeNone, 2.0f).SampleImage(&flat, -0.4f, 2.0f, &fill, &filled);
    EXPECT_NEAR(inside, 1.0f, 1e-6);
    EXPECT_LT(border, 0.9f);
    EXPECT_NEAR(filled, 1.0f, 1e-6);

    FloatImage spike(12, 5, 1);
    spike.Pixel(5, 2)[0] = 1.0f;
    float out = -1;
    LanczosSampler(EdgeClamp, EdgeClamp, 2.0f).SampleImage(&spike, 6.5f, 2.0f, nullptr, &out);
    EXPECT_EQ(out, 0.0f);  // the negative lobe alone
}

TEST(Lanczos, NoWindowGivesTheFill) {
    const FloatImage img = Ramp(4, 4, 2);
    const float fill[2] = {7, 8};
    float out[2];
    LanczosSampler(EdgeNone, EdgeNone, 2.0f).SampleImage(&img, 50, 50, fill, out);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 8);
    LanczosSampler(EdgeNone, EdgeNone, 2.0f).SampleImage(&img, 50, 50, nullptr, out);
    EXPECT_EQ(out[0], 0);
    LanczosSampler(EdgeClamp, EdgeClamp, 2.0f).SampleImage(nullptr, 1, 1, fill, out);
    EXPECT_EQ(out[0], 0);  // untouched
}

class EdgeRules : public ::testing::Test {
protected:
    // Column that GetPixel(x, 0) lands on, or -1 for no pixel.
    int Column(EdgeMode mode, unsigned width, int x) {
        const FloatImage img = Ramp(width, 1);
        const NearestNeighbourSampler sampler(mode, EdgeNone);
        const float* p = sampler.GetPixel(&img, x, 0);
        return p ? int(p - img.data) : -1;
    }
};

TEST_F(EdgeRules, EachModeMapsOutsidePositions) {
    EXPECT_EQ(Column(EdgeMirror, 5, -1), 1);
    EXPECT_EQ(Column(EdgeMirror, 5, 5), 3);
    EXPECT_EQ(Column(EdgeMirror, 5, 9), 1);
    EXPECT_EQ(Column(EdgeMirror, 5, 2), 2);
    EXPECT_EQ(Column(EdgeMirror, 1, -1), -1);
    EXPECT_EQ(Column(EdgeMirror, 1, 0), 0);
    EXPECT_EQ(Column(EdgeWrap, 5, -1), 4);
    EXPECT_EQ(Column(EdgeWrap, 5, -6), 4);
    EXPECT_EQ(Column(EdgeWrap, 5, 7), 2);
    EXPECT_EQ(Column(EdgeClamp, 5, -7), 0);
    EXPECT_EQ(Column(EdgeClamp, 5, 70), 4);
    EXPECT_EQ(Column(EdgeNone, 5, -1), -1);
    EXPECT_EQ(Column(EdgeNone, 5, 5), -1);
    EXPECT_EQ(Column(EdgeNone, 5, 4), 4);
}

TEST_F(EdgeRules, FloatPositionsRoundHalvesAwayFromZero) {
    const FloatImage img = Ramp(5, 1);
    const NearestNeighbourSampler sampler(EdgeWrap, EdgeNone);
    EXPECT_EQ(sampler.GetPixel(&img, 2.5f, 0.0f), img.data + 3);
    EXPECT_EQ(sampler.GetPixel(&img, -2.5f, 0.0f), img.data + 2);  // -3 wraps to 2
    EXPECT_EQ(sampler.GetPixel(&img, 1.49f, 0.4f), img.data + 1);
    EXPECT_EQ(sampler.GetPixel(nullptr, 1, 1), nullptr);
}

TEST(NearestNeighbour, CopiesThePixelOrTheFill) {
    const FloatImage img = Ramp(3, 3, 2);
    const NearestNeighbourSampler sampler(EdgeNone, EdgeNone);
    float out[2];
    sampler.SampleImage(&img, 1.6f, 0.2f, nullptr, out);
    EXPECT_EQ(out[0], 21);
    const float fill[2] = {-1, -2};
    sampler.SampleImage(&img, 3.6f, 0.2f, fill, out);
    EXPECT_EQ(out[1], -2);
    sampler.SampleImage(&img, 3.6f, 0.2f, nullptr, out);
    EXPECT_EQ(out[1], 0);
}

// Every entry of every binade's table is the kernel's own value at its argument.
TEST(LanczosTable, EveryEntryIsTheKernelsValue) {
    using quen_merge::LanczosTable;
    for (int binade = LanczosTable::Binade(LanczosTable::kFrom); binade <= 24; ++binade) {
        const double spacing = std::ldexp(1.0, binade - 24);
        const uint32_t size = LanczosTable::Size(binade);
        ASSERT_EQ(size, uint32_t(6 / spacing) + 1);
        for (uint32_t j = 0; j < size; ++j) {
            const float argument = float(-3 + double(j) * spacing);
            ASSERT_EQ(LanczosTable::Entry(binade, j), quen_merge::lanczos(double(argument), 2.0)) << binade << " " << j;
        }
    }
}

// The sampler with the table gives what it gives with the kernel computed at
// every tap, to the bit, at positions all over the covered range.
TEST(LanczosTable, SamplesKeepTheirBits) {
    FloatImage image(64, 64, 3);
    portable_random::Engine rng(3);
    portable_random::Uniform value(0, 1), fraction(0, 1);
    for (size_t i = 0; i < image.ElementCount(); ++i) image.data[i] = value(rng);
    const quen_merge::LanczosSampler sampler(quen_merge::EdgeClamp, quen_merge::EdgeClamp, 2.0f);
    for (int n = 0; n < 20000; ++n) {
        // Far from the origin, where the table is used; the clamped edges
        // keep reading the image's last column and row.
        const float x = std::ldexp(1.0f + fraction(rng), 9 + n % 14), y = 30 + 4 * fraction(rng);
        float out[3];
        sampler.SampleImage(&image, x, y, nullptr, out);
        // The same sum with the kernel called for every tap.
        const int x0 = int(std::floor(x - 2)), x1 = int(std::ceil(x + 2));
        const int y0 = int(std::floor(y - 2)), y1 = int(std::ceil(y + 2));
        float expected[3] = {0, 0, 0};
        double sum = 0;
        for (int j = y0; j <= y1; ++j)
            for (int i = x0; i <= x1; ++i) {
                const double w = quen_merge::lanczos(double(x - float(i)), 2.0) * quen_merge::lanczos(double(y - float(j)), 2.0);
                if (!(std::fabs(w) > 1e-10)) continue;
                sum += w;
                const float* p = image.Pixel(63, uint32_t(j));
                for (int c = 0; c < 3; ++c) expected[c] = float(expected[c] + p[c] * w);
            }
        for (int c = 0; c < 3; ++c) {
            float e = float(expected[c] / sum);
            if (e < 0) e = 0;
            ASSERT_EQ(out[c], e) << x << "," << y;
        }
    }
}

}  // namespace

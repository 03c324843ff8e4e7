#include "lib/integral_histogram.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Grey = ostrel::image<unsigned char>;
using quen_merge::IntegralHistogram;

// The pixel's value divided by *(unsigned*)user: with a divisor of 4, values
// 252 and up fall beyond 63 bins.
unsigned int Divided(unsigned int x, unsigned int y, const Grey* img, void* user) {
    return img->Pixel(x, y)[0] / *static_cast<unsigned*>(user);
}

unsigned int BinZero(unsigned int, unsigned int, const Grey*, void*) { return 0; }

struct Recorder {
    std::vector<std::pair<unsigned, unsigned>> calls;
};
unsigned int Record(unsigned int x, unsigned int y, const Grey*, void* user) {
    static_cast<Recorder*>(user)->calls.emplace_back(x, y);
    return 3;
}

TEST(IntegralHistogram, WorkedExamples) {
    const Grey img(4, 3, 1);
    const IntegralHistogram all(8, img, BinZero, nullptr);
    unsigned out[8];
    all.GetHistogram(1, 1, 2, 2, out);
    EXPECT_EQ(out[0], 4u);
    all.GetHistogram(2, 2, 1, 1, out);
    EXPECT_EQ(out[0], 4u);
    all.GetHistogram(0, 0, 100, 100, out);
    EXPECT_EQ(out[0], 12u);
    all.GetHistogram(4, 0, 5, 2, out);
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(out[k], 0u);

    Recorder recorder;
    const Grey big(40, 30, 1);
    const IntegralHistogram one(8, big, 10, 20, 1, 1, Record, &recorder);
    one.GetHistogram(0, 0, 0, 0, out);
    EXPECT_EQ(out[3], 1u);
    EXPECT_EQ(out[2], 0u);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0], std::make_pair(10u, 20u));

    Recorder order;
    const IntegralHistogram two_by_two(8, big, 5, 6, 2, 2, Record, &order);
    const std::vector<std::pair<unsigned, unsigned>> row_major{{5, 6}, {6, 6}, {5, 7}, {6, 7}};
    EXPECT_EQ(order.calls, row_major);
}

TEST(IntegralHistogram, EmptyRegionCountsNothing) {
    const Grey img(4, 3, 1);
    const IntegralHistogram none(8, img, 0, 0, 0, 3, BinZero, nullptr);
    unsigned out[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    none.GetHistogram(0, 0, 3, 3, out);
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(out[k], 0u);
}

TEST(IntegralHistogram, AgreesWithCountingPixelByPixel) {
    std::mt19937 rng(12);
    Grey img(70, 50, 1);
    for (size_t i = 0; i < img.ElementCount(); ++i) img.data[i] = (unsigned char)rng();
    unsigned divisor = 4;
    for (int region = 0; region < 20; ++region) {
        const unsigned rx = rng() % 60, ry = rng() % 40;
        const unsigned rw = 1 + rng() % (70 - rx), rh = 1 + rng() % (50 - ry);
        const IntegralHistogram hist(63, img, rx, ry, rw, rh, Divided, &divisor);
        for (int q = 0; q < 50; ++q) {
            // Corners in any order, reaching past the region on every side.
            const unsigned x0 = rng() % (rw + 5), x1 = rng() % (rw + 5);
            const unsigned y0 = rng() % (rh + 5), y1 = rng() % (rh + 5);
            std::vector<unsigned> expected(63, 0);
            for (unsigned y = std::min(y0, y1); y <= std::max(y0, y1) && y < rh; ++y)
                for (unsigned x = std::min(x0, x1); x <= std::max(x0, x1) && x < rw; ++x) {
                    const unsigned b = img.Pixel(rx + x, ry + y)[0] / 4;
                    if (b < 63) ++expected[b];
                }
            std::vector<unsigned> got(63);
            hist.GetHistogram(x0, y0, x1, y1, got.data());
            ASSERT_EQ(got, expected) << "region " << rx << "," << ry << " " << rw << "x" << rh
                                     << " query " << x0 << "," << y0 << " " << x1 << "," << y1;
        }
    }
}

}  // namespace

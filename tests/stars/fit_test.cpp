#include "stars/fit.h"
#include "portable_random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

namespace {

// (p0 - 3)^2 (+ p1^2 when there are two parameters), counting its calls.
struct Bowl {
    int calls = 0;
};

double BowlError(const void* data, const double* p, size_t n) {
    ++const_cast<Bowl*>(static_cast<const Bowl*>(data))->calls;
    return (p[0] - 3) * (p[0] - 3) + (n > 1 ? p[1] * p[1] : 0.0);
}

double NaNError(const void*, const double*, size_t) { return std::nan(""); }

double CosineError(const void*, const double* p, size_t) { return 1 - std::cos(p[0]); }

TEST(Fit, InvalidArgumentsGiveMinusOneWithoutCallingTheFunction) {
    Bowl bowl;
    double p[2] = {7, 8};
    EXPECT_EQ(fit_parameters(BowlError, &bowl, p, 0, 10, 0.01, 1e-6), -1.0);
    EXPECT_EQ(fit_parameters(BowlError, nullptr, p, 2, 10, 0.01, 1e-6), -1.0);
    EXPECT_EQ(fit_parameters(nullptr, &bowl, p, 2, 10, 0.01, 1e-6), -1.0);
    EXPECT_EQ(fit_parameters(BowlError, &bowl, nullptr, 2, 10, 0.01, 1e-6), -1.0);
    EXPECT_EQ(bowl.calls, 0);
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[1], 8);
}

TEST(Fit, WorkedExampleStopsBelowTheTarget) {
    Bowl bowl;
    double p = 0;
    const double e = fit_parameters(BowlError, &bowl, &p, 1, 100, 0.01, 1e-6);
    // Each damped step covers 2 / 2.3 of the remaining distance: 0 -> 2.61 -> 2.95.
    const double first = 3 * (2 / 2.3), second = first + (3 - first) * (2 / 2.3);
    EXPECT_NEAR(p, second, 1e-4);
    EXPECT_NEAR(e, (p - 3) * (p - 3), 1e-15);
    EXPECT_LT(e, 0.01);
    EXPECT_EQ(bowl.calls, 1 + 2 * 3);  // two iterations of three calls

    Bowl once;
    double q = 0;
    fit_parameters(BowlError, &once, &q, 1, 0, 0.0, 0.0);  // a limit of 0 runs one iteration
    EXPECT_NEAR(q, first, 1e-4);
    EXPECT_EQ(once.calls, 4);
}

TEST(Fit, EmptySubsetChangesNothing) {
    Bowl bowl;
    double p[2] = {1, 2};
    const size_t none[1] = {0};
    EXPECT_EQ(fit_subset(BowlError, &bowl, p, 2, none, 0, 50, 0.0, 1e-9), 4.0 + 4.0);
    EXPECT_EQ(bowl.calls, 2);  // stopped after one iteration: no change
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 2);
}

TEST(Fit, OnlyTheListedParametersMove) {
    Bowl bowl;
    double p[2] = {0, 0.123456789};
    const size_t first[1] = {0};
    fit_subset(BowlError, &bowl, p, 2, first, 1, 100, 0.0, 1e-12);
    EXPECT_NEAR(p[0], 3, 1e-3);
    EXPECT_EQ(p[1], 0.123456789);
    // An index listed twice has its step applied twice.
    double twice = 0;
    const size_t same[2] = {0, 0};
    fit_subset(BowlError, &bowl, &twice, 1, same, 2, 1, 0.0, 0.0);
    EXPECT_NEAR(twice, 2 * 3 * (2 / 2.3), 1e-3);
}

TEST(Fit, StepThatRaisesTheErrorIsKept) {
    // From 2.5 the cosine's negative curvature sends the step past pi.
    double p = 2.5;
    const double e = fit_parameters(CosineError, &p, &p, 1, 1, 0.0, 0.0);
    EXPECT_GT(p, 3.5);
    EXPECT_GT(e, 1 - std::cos(2.5));
    EXPECT_EQ(e, 1 - std::cos(p));
}

TEST(Fit, NaNErrorRunsToTheLimit) {
    double p = 1;
    EXPECT_TRUE(std::isnan(fit_parameters(NaNError, &p, &p, 1, 25, 0.01, 1e-6)));
}

// RANSAC on points of a line y = 2x + 1 with outliers.
struct Line {
    std::vector<double> x, y;
};

double LineError(const void* data, const size_t* idx, size_t n, const double* p, size_t) {
    const Line& line = *static_cast<const Line*>(data);
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double r = p[0] * line.x[idx[i]] + p[1] - line.y[idx[i]];
        sum += r * r;
    }
    return sum / double(n);
}

Line NoisyLine(size_t inliers, size_t outliers) {
    portable_random::Engine rng(3);
    portable_random::Uniform ux(-10, 10), noise(-0.05, 0.05), wild(-100, 100);
    Line line;
    for (size_t i = 0; i < inliers + outliers; ++i) {
        const double x = ux(rng);
        line.x.push_back(x);
        line.y.push_back(i % 4 == 3 && i / 4 < outliers ? wild(rng) : 2 * x + 1 + noise(rng));
    }
    return line;
}

TEST(Ransac, FindsTheModelDespiteOutliers) {
    const Line line = NoisyLine(30, 8);
    double p[2] = {0, 0};
    const size_t k = fit_ransac(LineError, &line, line.x.size(), p, 2, 3, 200, 1e-6, 1e-12, 1000, 0.01);
    EXPECT_EQ(k, 30u);
    EXPECT_NEAR(p[0], 2, 0.01);
    EXPECT_NEAR(p[1], 1, 0.05);
}

TEST(Ransac, DrawsDataCountLessOneNumbersPerIteration) {
    const Line line = NoisyLine(10, 0);
    std::srand(7);
    std::vector<int> sequence(9 * 4 + 1);
    for (int& r : sequence) r = std::rand();
    std::srand(7);
    double p[2] = {0, 0};
    fit_ransac(LineError, &line, 10, p, 2, 3, 4, 1e-6, 1e-12, 100, 0.01);
    EXPECT_EQ(std::rand(), sequence.back());

    std::srand(7);
    EXPECT_EQ(fit_ransac(LineError, &line, 3, p, 2, 3, 4, 1e-6, 1e-12, 100, 0.01), 0u);
    EXPECT_EQ(std::rand(), sequence.front());  // data count = sample size: no draw
}

TEST(Ransac, SameDrawsGiveTheSameBits) {
    const Line line = NoisyLine(20, 10);
    double a[2] = {0, 0}, b[2] = {0, 0};
    std::srand(11);
    const size_t ka = fit_ransac(LineError, &line, 30, a, 2, 4, 50, 1e-4, 1e-9, 500, 0.05);
    std::srand(11);
    const size_t kb = fit_ransac(LineError, &line, 30, b, 2, 4, 50, 1e-4, 1e-9, 500, 0.05);
    EXPECT_EQ(ka, kb);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
}

TEST(Ransac, NothingFoundLeavesTheFirstGuess) {
    const Line line = NoisyLine(10, 0);
    double p[2] = {5, 6};
    EXPECT_EQ(fit_ransac(LineError, &line, 10, p, 2, 3, 0, 1e-6, 1e-12, 100, 0.01), 0u);
    EXPECT_EQ(fit_ransac(LineError, &line, 10, p, 2, 3, 5, 1e-6, 1e-12, 100, 0.0), 0u);  // no error < 0
    EXPECT_EQ(fit_ransac(LineError, nullptr, 10, p, 2, 3, 5, 1e-6, 1e-12, 100, 1.0), 0u);
    EXPECT_EQ(fit_ransac(LineError, &line, 0, p, 2, 3, 5, 1e-6, 1e-12, 100, 1.0), 0u);
    EXPECT_EQ(p[0], 5);
    EXPECT_EQ(p[1], 6);
}

double ConstantError(const void* data, const size_t*, size_t, const double*, size_t) {
    return *static_cast<const double*>(data);
}

TEST(Ransac, AnErrorEqualToTheThresholdIsNoInlier) {
    const double error = 0.5;
    double p = 0;
    EXPECT_EQ(fit_ransac(ConstantError, &error, 6, &p, 1, 2, 3, 0.0, 1e-3, 10, 0.5), 0u);
    EXPECT_EQ(fit_ransac(ConstantError, &error, 6, &p, 1, 2, 3, 0.0, 1e-3, 10, 0.5000001), 6u);
}

TEST(RansacDeathTest, EmptySampleStopsTheProgram) {
    const double error = 0.5;
    double p = 0;
    EXPECT_DEATH(fit_ransac(ConstantError, &error, 6, &p, 1, 0, 3, 0.0, 1e-3, 10, 1.0), "");
}

}  // namespace

namespace {

TEST(Polynomial, EvaluatesFromTheLowestPowerUp) {
    const double c[3] = {1, 2, 3};
    EXPECT_EQ(evaluate_polynomial(c, 3, 2), 17);
    EXPECT_EQ(evaluate_differential(c, 3, 2), 14);
    EXPECT_EQ(evaluate_polynomial(c, 1, 99), 1);
    EXPECT_EQ(evaluate_differential(c, 1, 99), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(evaluate_polynomial(c, 0, 2), 0.0);
    EXPECT_EQ(evaluate_differential(nullptr, 3, 2), 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "invalid parameters to evaluate_polynomial\ninvalid parameters to evaluate_polynomial\n");
}

TEST(Polynomial, PrintsItsTerms) {
    const double c[3] = {1, -2, 3.5};
    testing::internal::CaptureStdout();
    write_polynomial(c, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0.0 + 1 + -2*x + 3.5*x*x\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    write_polynomial(c, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0.0");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "invalid parameters to write_polynomial\n");
}

TEST(Polynomial, PointErrorAndFit) {
    const double x[3] = {0, 1, 2}, y[3] = {1, 3, 5};
    const polynomial_points points{x, y, 3};
    const double line[2] = {1, 2}, flat[2] = {0, 0};
    EXPECT_EQ(polynomial_point_error(&points, line, 2), 0.0);
    EXPECT_DOUBLE_EQ(polynomial_point_error(&points, flat, 2), (1 + 9 + 25) / 3.0);
    EXPECT_EQ(polynomial_point_error(nullptr, flat, 2), 0.0);
    const polynomial_points none{x, y, 0};
    EXPECT_TRUE(std::isnan(polynomial_point_error(&none, flat, 2)));

    double c[2] = {0, 0};
    const double e = fit_polynomial_to_points(x, y, 3, c, 2, 1000, 1e-6, 1e-12);
    EXPECT_LT(e, 1e-6);
    EXPECT_NEAR(c[0], 1, 0.01);
    EXPECT_NEAR(c[1], 2, 0.01);
    EXPECT_EQ(fit_polynomial_to_points(x, y, 3, nullptr, 2, 10, 1e-6, 1e-12), -1.0);
}

}  // namespace

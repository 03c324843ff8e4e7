#include "stars/fit.h"

#include "base/parallel.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr double kDifferenceStep = 1e-5;        // absolute, for every parameter
constexpr double kFirstDifferenceDivisor = 2e-5;
constexpr double kDamping = 0.3;                // added to every curvature
constexpr double kStepShrink = 0.75;            // after a step that raised the error
constexpr double kInvalid = -1.0;
constexpr size_t kInlineParams = 8;             // fits this small keep their arrays on the stack

// Working arrays of one fit, on the stack for the usual small models.
class FitArrays {
public:
    explicit FitArrays(size_t n) {
        if (n > kInlineParams) heap.reset(new double[4 * n]);
        double* base = heap ? heap.get() : inline_storage;
        trial = base;
        gradient = base + n;
        curvature = base + 2 * n;
        step = base + 3 * n;
    }
    double* trial;
    double* gradient;
    double* curvature;
    double* step;

private:
    double inline_storage[4 * kInlineParams];
    std::unique_ptr<double[]> heap;
};

}  // namespace

double newton(double gradient, double curvature) { return -(gradient / curvature); }

double lm(double gradient, double curvature, double damping) {
    return -(gradient / (curvature + damping));
}

double fit_subset(fit_error_function error, const void* data, double* params, size_t param_count,
                  const size_t* subset, size_t subset_count, size_t iteration_limit,
                  double target_error, double minimum_change) {
    if (!data || !error || param_count == 0 || !params) return kInvalid;
    const double h_squared = kDifferenceStep * kDifferenceStep;
    double scale = 1 / std::sqrt(double(param_count));
    FitArrays work(param_count);
    double previous = error(data, params, param_count);
    double current;
    for (size_t iteration = 0;;) {
        std::memcpy(work.trial, params, param_count * sizeof(double));
        if (subset_count > 0) {
            const double twice_previous = 2 * previous;
            for (size_t s = 0; s < subset_count; ++s) {
                const size_t k = subset[s];
                work.trial[k] = params[k] + kDifferenceStep;
                const double up = error(data, work.trial, param_count);
                work.trial[k] = params[k] - kDifferenceStep;
                const double down = error(data, work.trial, param_count);
                work.trial[k] = params[k];
                work.gradient[k] = (up - down) / kFirstDifferenceDivisor;
                work.curvature[k] = (up + down - twice_previous) / h_squared;
            }
            for (size_t s = 0; s < subset_count; ++s) {
                const size_t k = subset[s];
                work.step[k] = lm(work.gradient[k], work.curvature[k], kDamping) * scale;
            }
            for (size_t s = 0; s < subset_count; ++s) params[subset[s]] += work.step[subset[s]];
        }
        current = error(data, params, param_count);
        if (current > previous) {
            scale *= kStepShrink;  // the step stays taken
        } else if (std::fabs(previous - current) < minimum_change || scale < minimum_change ||
                   current < target_error) {
            break;
        }
        if (++iteration >= iteration_limit) break;
        previous = current;
    }
    return current;
}

double fit_parameters(fit_error_function error, const void* data, double* params,
                      size_t param_count, size_t iteration_limit, double target_error,
                      double minimum_change) {
    size_t inline_indices[kInlineParams];
    std::unique_ptr<size_t[]> heap;
    size_t* all = inline_indices;
    if (param_count > kInlineParams) {
        heap.reset(new size_t[param_count]);
        all = heap.get();
    }
    for (size_t i = 0; i < param_count; ++i) all[i] = i;
    return fit_subset(error, data, params, param_count, all, param_count, iteration_limit,
                      target_error, minimum_change);
}

double ransac_function(const void* context, const double* params, size_t param_count) {
    const ransac_context* c = static_cast<const ransac_context*>(context);
    if (!c || !c->error_function || !c->indices || c->count == 0) {
        assert(0);
        std::abort();
    }
    return c->error_function(c->data, c->indices, c->count, params, param_count);
}

namespace {

// Draws data_count - 1 numbers and shuffles the whole permutation with them.
void Shuffle(std::vector<size_t>& permutation) {
    for (size_t p = 1; p < permutation.size(); ++p) {
        const size_t r = size_t(std::rand()) % (p + 1);
        std::swap(permutation[p], permutation[r]);
    }
}

size_t IterationCount(double limit) { return limit > 0 ? size_t(limit) : 0; }

// Samples fitted by one worker at a time.
constexpr size_t kSamplesPerPiece = 64;

// The number of items whose single-item error under params lies below the
// threshold; their indices, in order, go to members when it is given.
size_t Consensus(ransac_error_function error, const void* data, size_t data_count, const double* params,
                 size_t param_count, double inlier_threshold, std::vector<size_t>* members) {
    size_t count = 0;
    for (size_t i = 0; i < data_count; ++i) {
        if (!(error(data, &i, 1, params, param_count) < inlier_threshold)) continue;
        ++count;
        if (members) members->push_back(i);
    }
    return count;
}

}  // namespace

size_t fit_ransac(ransac_error_function error, const void* data, size_t data_count, double* params,
                  size_t param_count, size_t sample_size, size_t iterations, double target_error,
                  double minimum_change, double fit_iteration_limit, double inlier_threshold) {
    if (data_count == 0 || !data || param_count == 0 || !params || data_count <= sample_size)
        return 0;
    std::vector<size_t> permutation(data_count);
    for (size_t i = 0; i < data_count; ++i) permutation[i] = i;
    if (iterations == 0) return 0;
    // Every draw from rand happens here, in order, before any fit: the fits
    // of the samples then run on every CPU, each as it would alone.
    std::vector<size_t> samples(iterations * sample_size);
    for (size_t it = 0; it < iterations; ++it) {
        Shuffle(permutation);
        std::copy(permutation.begin(), permutation.begin() + long(sample_size), samples.begin() + long(it * sample_size));
    }
    const size_t fit_limit = IterationCount(fit_iteration_limit);
    std::vector<double> trials(iterations * param_count);
    std::vector<size_t> support(iterations);
    quen_merge::ForEachPiece(iterations, kSamplesPerPiece, [&](size_t begin, size_t end) {
        for (size_t it = begin; it < end; ++it) {
            double* trial = &trials[it * param_count];
            std::copy(params, params + param_count, trial);
            const ransac_context sample{error, data, &samples[it * sample_size], sample_size};
            fit_parameters(ransac_function, &sample, trial, param_count, fit_limit, target_error, minimum_change);
            support[it] = Consensus(error, data, data_count, trial, param_count, inlier_threshold, nullptr);
        }
    });
    // The first sample with the largest consensus wins, as in one loop.
    size_t winner = 0;
    for (size_t it = 1; it < iterations; ++it)
        if (support[it] > support[winner]) winner = it;
    if (support[winner] == 0) return 0;
    std::vector<double> best(&trials[winner * param_count], &trials[winner * param_count] + param_count);
    std::vector<size_t> best_consensus;
    Consensus(error, data, data_count, best.data(), param_count, inlier_threshold, &best_consensus);
    const size_t m = best_consensus.size();
    std::copy(best_consensus.begin(), best_consensus.end(), permutation.begin());
    const ransac_context refit{error, data, permutation.data(), m};
    fit_parameters(ransac_function, &refit, best.data(), param_count, fit_limit, target_error,
                   minimum_change);
    std::copy(best.begin(), best.end(), params);
    return m;
}

double evaluate_polynomial(const double* coefficients, size_t count, double x) {
    if (count == 0 || !coefficients) {
        std::fputs("invalid parameters to evaluate_polynomial\n", stderr);
        return 0.0;
    }
    double r = coefficients[0];
    double power = x;
    for (size_t i = 1; i < count; ++i) {
        r = r + coefficients[i] * power;
        power = power * x;
    }
    return r;
}

double evaluate_differential(const double* coefficients, size_t count, double x) {
    if (count == 0 || !coefficients) {
        std::fputs("invalid parameters to evaluate_polynomial\n", stderr);
        return 0.0;
    }
    double r = 0.0;
    double power = 1.0;
    for (size_t i = 1; i < count; ++i) {
        r = r + double(i) * (coefficients[i] * power);
        power = power * x;
    }
    return r;
}

void write_polynomial(const double* coefficients, size_t count) {
    std::fputs("0.0", stdout);
    if (count == 0 || !coefficients) {
        std::fflush(stdout);
        std::fputs("invalid parameters to write_polynomial\n", stderr);
        return;
    }
    std::printf(" + %g", coefficients[0]);
    for (size_t i = 1; i < count; ++i) {
        std::printf(" + %g", coefficients[i]);
        for (size_t p = 0; p < i; ++p) std::fputs("*x", stdout);
    }
    std::fputc('\n', stdout);
}

double polynomial_point_error(const void* data, const double* coefficients, size_t count) {
    if (!data) return 0.0;
    const polynomial_points& points = *static_cast<const polynomial_points*>(data);
    double sum = 0;
    for (size_t i = 0; i < points.count; ++i) {
        const double r = evaluate_polynomial(coefficients, count, points.x[i]) - points.y[i];
        sum += r * r;
    }
    return sum / double(points.count);
}

double fit_polynomial_to_points(const double* x, const double* y, size_t point_count,
                                double* coefficients, size_t count, size_t iteration_limit,
                                double target_error, double minimum_change) {
    const polynomial_points points{x, y, point_count};
    return fit_parameters(polynomial_point_error, &points, coefficients, count, iteration_limit,
                          target_error, minimum_change);
}

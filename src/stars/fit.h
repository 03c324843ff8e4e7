// Derivative-free least-squares fitting: a damped Newton iteration on central
// differences, and a RANSAC driver on top of it.
#pragma once

#include <cstddef>

// Error of a model with params over the caller's data; smaller is better.
typedef double (*fit_error_function)(const void* data, const double* params, size_t param_count);
// Error of a model over the listed data items; over one item, that item's
// own residual measure.
typedef double (*ransac_error_function)(const void* data, const size_t* indices,
                                        size_t index_count, const double* params,
                                        size_t param_count);

// Moves the listed parameters (each index < param_count; others stay exactly
// as they are) until the error falls below target_error, changes by less than
// minimum_change, the step scale falls below minimum_change, or
// iteration_limit iterations ran (at least one runs). params holds the first
// guess on entry and the latest parameters on return. Returns the error at
// the returned parameters, or -1.0 for a null function, data or params or a
// parameter count of 0.
double fit_subset(fit_error_function error, const void* data, double* params, size_t param_count,
                  const size_t* subset, size_t subset_count, size_t iteration_limit,
                  double target_error, double minimum_change);
// fit_subset over all parameters.
double fit_parameters(fit_error_function error, const void* data, double* params,
                      size_t param_count, size_t iteration_limit, double target_error,
                      double minimum_change);

// Newton step -(gradient / curvature).
double newton(double gradient, double curvature);
// Damped Newton step -(gradient / (curvature + damping)).
double lm(double gradient, double curvature, double damping);

// Fits params to data_count items with outliers: draws `iterations` random
// samples of sample_size items (with rand, never seeded here), fits each from
// the first guess in params, and keeps the model whose consensus set (items
// with a single-item error below inlier_threshold) is largest (the first
// such sample); that model is refitted on its consensus set and written to
// params. The samples are drawn first and then fitted on every CPU: the
// error function must be safe to call from several threads at once. Returns the size of
// the consensus set; 0, with params untouched, for invalid arguments, no
// iterations or no inlier at all.
size_t fit_ransac(ransac_error_function error, const void* data, size_t data_count, double* params,
                  size_t param_count, size_t sample_size, size_t iterations, double target_error,
                  double minimum_change, double fit_iteration_limit, double inlier_threshold);

// What fit_ransac hands to the fitter: the caller's function and data and the
// items to fit on.
struct ransac_context {
    ransac_error_function error_function;
    const void* data;
    const size_t* indices;
    size_t count;
};

// The fitter's error function over a ransac_context.
double ransac_function(const void* context, const double* params, size_t param_count);

// One-variable polynomials: coefficients c[0..count), lowest power first.

// c[0] + c[1] x + c[2] x^2 + ..., summed from the lowest power up with a
// running power of x; 0.0 (with a message on standard error) for a null or
// empty coefficient array.
double evaluate_polynomial(const double* coefficients, size_t count, double x);
// The derivative c[1] + 2 c[2] x + ...; invalid arguments as above.
double evaluate_differential(const double* coefficients, size_t count, double x);
// Prints "0.0 + c0 + c1*x + c2*x*x ..." and a newline on standard output.
void write_polynomial(const double* coefficients, size_t count);

// Sample points for polynomial_point_error.
struct polynomial_points {
    const double* x;
    const double* y;
    size_t count;
};

// Mean squared error of the polynomial over the polynomial_points at data;
// 0.0 for null data.
double polynomial_point_error(const void* data, const double* coefficients, size_t count);
// Fits the coefficients (first guess in, result out) to the points with
// fit_parameters and returns its result.
double fit_polynomial_to_points(const double* x, const double* y, size_t point_count,
                                double* coefficients, size_t count, size_t iteration_limit,
                                double target_error, double minimum_change);

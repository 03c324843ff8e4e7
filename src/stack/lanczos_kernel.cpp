#include "stack/lanczos_kernel.h"

#include <cmath>

namespace quen_merge {

namespace {
constexpr double kKernelPi = 3.14159265;
constexpr double kTinyArgument = 1e-10;  // arguments this close to 0 give sincu(0) = 1
}  // namespace

double sincu(double x) { return std::fabs(x) < kTinyArgument ? 1.0 : std::sin(x) / x; }

double sincn(double x) { return sincu(x * kKernelPi); }

double lanczos(double x, double a) { return std::fabs(x) < a ? sincn(x) * sincn(x / a) : 0.0; }

}  // namespace quen_merge

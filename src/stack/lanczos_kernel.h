// The windowed-sinc kernel that resampling weights its taps with, computed
// to the bit as the sampler and the weight tables both need it.
#pragma once

namespace quen_merge {

// sin(x) / x, and 1.0 where |x| < 1e-10.
double sincu(double x);
// sincu(x * 3.14159265): the kernel's pi is this shortened literal.
double sincn(double x);
// The Lanczos kernel of half-width a: sincn(x) sincn(x / a) for |x| < a, else 0.
double lanczos(double x, double a);

}  // namespace quen_merge

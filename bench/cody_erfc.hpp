// A double erfc of W. J. Cody's kind, measured against the system erfc by bench/cost_model.py
// (-D KELVO_CODY_ERFC) and bench/libm_accuracy.py. The module does not use it: where it is
// accurate enough (extended-precision evaluation) it is slower than glibc 2.36's erfc, and in
// plain double it is fast but up to 7 ulp off (built with KELVO_DOUBLE_ONLY).
#pragma once

#include <cfloat>
#include <cmath>

namespace kelvo::kernel {

// erfc by W. J. Cody's rational Chebyshev approximations (Math. Comp. 23 (1969) 631-637, with
// the coefficients of his SPECFUN package): on |x| <= 0.46875 as 1 - erf(x), erf(x) =
// x P(x^2)/Q(x^2); on (0.46875, 4] as exp(-x^2) P(x)/Q(x); beyond as
// exp(-x^2)/x (1/sqrt(pi) - P(1/x^2)/(x^2 Q(1/x^2))); erfc(-x) = 2 - erfc(x).
namespace cody {

constexpr double A[5] = {3.16112374387056560e00, 1.13864154151050156e02, 3.77485237685302021e02,
                         3.20937758913846947e03, 1.85777706184603153e-1};
constexpr double B[4] = {2.36012909523441209e01, 2.44024637934444173e02, 1.28261652607737228e03,
                         2.84423683343917062e03};
constexpr double C[9] = {5.64188496988670089e-1, 8.88314979438837594e00, 6.61191906371416295e01,
                         2.98635138197400131e02, 8.81952221241769090e02, 1.71204761263407058e03,
                         2.05107837782607147e03, 1.23033935479799725e03, 2.15311535474403846e-8};
constexpr double D[8] = {1.57449261107098347e01, 1.17693950891312499e02, 5.37181101862009858e02,
                         1.62138957456669019e03, 3.29079923573345963e03, 4.36261909014324716e03,
                         3.43936767414372164e03, 1.23033935480374942e03};
constexpr double P[6] = {3.05326634961232344e-1, 3.60344899949804439e-1, 1.25781726111229246e-1,
                         1.60837851487422766e-2, 6.58749161529837803e-4, 1.63153871373020978e-2};
constexpr double Q[5] = {2.56852019228982242e00, 1.87295284992346047e00, 5.27905102951428412e-1,
                         6.05183413124413191e-2, 2.33520497626869185e-3};
constexpr double ONE_OVER_SQRT_PI = 5.6418958354775628695e-1;
constexpr double THRESHOLD = 0.46875;
// Beyond it erfc(x) is below half the least subnormal.
constexpr double ZERO_BEYOND = 27.3;
constexpr double DEKKER_SPLIT = 134217729.0;  // 2^27 + 1

// The rational functions are evaluated in x87 extended precision where long double is that:
// all their terms have one sign, so in double (-D KELVO_DOUBLE_ONLY) the 16 roundings of the
// middle range add up to 7 ulp.
#if LDBL_MANT_DIG == 64 && !defined(KELVO_DOUBLE_ONLY)
using wide = long double;
#else
using wide = double;
#endif

inline double erfc(double x) {
    const double y = std::fabs(x);
    if (y <= THRESHOLD) {
        const wide ysq = static_cast<wide>(y) * y;
        wide num = A[4] * ysq, den = ysq;
        for (int i = 0; i < 3; ++i) {
            num = (num + A[i]) * ysq;
            den = (den + B[i]) * ysq;
        }
        return static_cast<double>(1 - x * (num + A[3]) / (den + B[3]));
    }
    if (!(y < ZERO_BEYOND)) {
        if (x != x) return x;
        return x > 0 ? 0.0 : 2.0;
    }
    // exp(-y^2) with y^2 = hi + lo split exactly: exp amplifies the rounding of y * y by y^2
    // (up to 745 here), while exp(-hi) (1 - lo) has exp's own error only. Cody's own split
    // takes a second exp instead. Taken first, so that no extended value lives across the call.
    const double hi = y * y;
    const double t = DEKKER_SPLIT * y;
    const double y_hi = t - (t - y);
    const double y_lo = y - y_hi;
    const double lo = ((y_hi * y_hi - hi) + 2 * y_hi * y_lo) + y_lo * y_lo;
    const double gauss = std::exp(-hi);
    wide r;
    if (y <= 4) {
        const wide w = y;
        wide num = C[8] * w, den = w;
        for (int i = 0; i < 7; ++i) {
            num = (num + C[i]) * w;
            den = (den + D[i]) * w;
        }
        r = (num + C[7]) / (den + D[7]);
    } else {
        const wide z = 1 / (static_cast<wide>(y) * y);
        wide num = P[5] * z, den = z;
        for (int i = 0; i < 4; ++i) {
            num = (num + P[i]) * z;
            den = (den + Q[i]) * z;
        }
        r = (ONE_OVER_SQRT_PI - z * (num + P[4]) / (den + Q[4])) / y;
    }
    const double result = static_cast<double>(r * (1 - static_cast<wide>(lo)) * gauss);
    return x < 0 ? 2 - result : result;
}

}  // namespace cody

}  // namespace kelvo::kernel

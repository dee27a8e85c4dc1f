// Fixed numbers of the numerical kernel. None of them is visible from Python.
#pragma once

namespace kelvo::kernel {

// Normal distribution (pricing)
constexpr double _NCDF_ASYM1 = -10.0;          // at or below: asymptotic expansion instead of erfc
constexpr double _NCDF_ASYM2 = -67108864.0;    // -2^26 = -1/sqrt(eps): below it only the leading term counts
constexpr double _DBL_MAX = 1.7976931348623157e308;
constexpr double _DBL_EPS = 2.220446049250313e-16;
constexpr double _ONE_OVER_SQRT_TWO_PI = 0.3989422804014327;
// The double nearest sqrt(0.5); 1.0 / sqrt(2.0) rounds to the neighbour 0.7071067811865475.
constexpr double _ONE_OVER_SQRT_TWO = 0.7071067811865476;

// Root searches
constexpr double _BRENTQ_XTOL = 1e-10;
constexpr double _IV_MAX_SIGMA = 10.0;
constexpr double _IV_TOL = 1e-10;
constexpr double IV_SIGMA_LO = 1e-8;  // the lower end of every implied-volatility bracket
constexpr int IV_MAXITER = 200;       // brentq's iterations in an implied-volatility bracket

// Bounded minimiser
constexpr double _SQRT_EPS = 1.4901161193847656e-8;   // 2^-26
constexpr double _GOLDEN = 0.3819660112501051;        // (3 - sqrt 5) / 2

}  // namespace kelvo::kernel

// Normal distribution, Black's price in forward form, and the Barone-Adesi-Whaley (1987)
// American price with its early-exercise boundary.
//
// Forward form: S spot, K strike, D discount factor, F forward, sigma total standard deviation.
// carry = F / S is the growth of the spot to expiry, so D * carry = exp((b - r) T) and
// sigma^2 stands for sigma^2 T of the textbook formulas.
#pragma once

#include <cmath>

#include "constants.hpp"
#include "libm.hpp"
#include "root_search.hpp"

namespace kelvo::kernel {

inline double _norm_pdf(double x) {
    return _ONE_OVER_SQRT_TWO_PI * libm::exp(-0.5 * x * x);
}

// P(Z <= z). Far in the left tail erfc(-z/sqrt 2) is replaced by the asymptotic series
//   phi(z) / (-z) * (1 - 1/z^2 + 1*3/z^4 - 1*3*5/z^6 + ...),
// summed two terms a pass until the terms stop shrinking or fall below eps of the sum.
inline double _norm_cdf(double z) {
    if (!(z <= _NCDF_ASYM1)) {  // NaN goes to erfc as well
        return 0.5 * libm::erfc(-(z * _ONE_OVER_SQRT_TWO));
    }
    double sum_val = 1.0;
    if (z >= _NCDF_ASYM2) {
        const double zsqr = z * z;
        double g = 1.0;
        double lasta = _DBL_MAX;
        for (int i = 1;; i += 4) {
            const double xx = i / zsqr;
            const double yy = xx * ((i + 2) / zsqr);
            const double term = g * (xx - yy);
            sum_val -= term;
            g *= yy;
            const double a = std::fabs(term);
            const double previous = lasta;
            lasta = a;
            // An asymptotic series diverges eventually: stop once the terms grow again.
            if (!(a < previous && a >= std::fabs(_DBL_EPS * sum_val))) break;
        }
    }
    return (-(_ONE_OVER_SQRT_TWO_PI * libm::exp(-0.5 * z * z)) * sum_val) / z;
}

// Discounted European price (q == 1 call, anything else put). Argument order (K, D, F, sigma, q):
// the forward carries the spot.
inline double _bsm_price(double K, double D, double F, double sigma, int q) {
    if (sigma <= 0) {
        const double intrinsic = (q == 1 ? F - K : K - F) * D;
        return intrinsic > 0 ? intrinsic : 0.0;  // NaN gives 0 as well
    }
    const double d1 = libm::log(F / K) / sigma + sigma / 2;
    const double d2 = d1 - sigma;
    // The put takes N at the negated arguments rather than 1 - N, which would cancel.
    const double val = q == 1 ? F * _norm_cdf(d1) - K * _norm_cdf(d2)
                              : K * _norm_cdf(-d2) - F * _norm_cdf(-d1);
    return D * val;
}

struct CriticalParams {
    double K;
    double D;
    double carry;
    double sigma;
    double q_val;  // exponent of the premium: q2 for a call, q1 for a put
};

// What every trial point of one critical-price search shares, worked out once.
struct CriticalTerms {
    double K;
    double carry_over_K;  // log(Fc / K) = log(carry_over_K * Sc)
    double inv_sigma;
    double half_sigma;
    double sigma;
    double DK;
    double D_carry;
    double inv_q;
};

inline CriticalTerms critical_terms(const CriticalParams &p) {
    return {p.K, p.carry / p.K, 1 / p.sigma, p.sigma / 2, p.sigma, p.D * p.K, p.D * p.carry,
            1 / p.q_val};
}

// Critical-price equations: zero where the American value meets immediate exercise. Each
// trial point takes one logarithm and two normal distribution values: N(d1) serves both the
// European price and the slope term. D * carry * Sc is D * Fc.
inline double _call_critical_func(double Sc, void *params) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = *static_cast<const CriticalTerms *>(params);
    const double d1c = libm::log(t.carry_over_K * Sc) * t.inv_sigma + t.half_sigma;
    const double N1 = _norm_cdf(d1c);
    const double N2 = _norm_cdf(d1c - t.sigma);
    const double DFc = t.D_carry * Sc;
    const double bsm_c = DFc * N1 - t.DK * N2;
    return Sc * (1 - t.D_carry * N1) * t.inv_q + bsm_c - (Sc - t.K);
}

inline double _put_critical_func(double Sc, void *params) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = *static_cast<const CriticalTerms *>(params);
    const double d1c = libm::log(t.carry_over_K * Sc) * t.inv_sigma + t.half_sigma;
    const double N1 = _norm_cdf(-d1c);
    const double N2 = _norm_cdf(t.sigma - d1c);
    const double DFc = t.D_carry * Sc;
    const double bsm_p = t.DK * N2 - DFc * N1;
    return bsm_p - Sc * (1 - t.D_carry * N1) * t.inv_q - (t.K - Sc);
}

constexpr double CRITICAL_BRACKET_OFFSET = 1e-10;
constexpr int CRITICAL_PROBES = 20;
constexpr int CRITICAL_MAXITER = 100;

inline double _solve_call_critical(CriticalParams *critical) {
    CriticalTerms terms = critical_terms(*critical);
    CriticalTerms *params = &terms;
    const double lo = params->K + CRITICAL_BRACKET_OFFSET;
    if (_call_critical_func(lo, params) <= 0) return lo;
    double hi = 2 * params->K;
    for (int probe = 0; probe < CRITICAL_PROBES; ++probe) {
        if (_call_critical_func(hi, params) < 0) {
            zeros_full_output fo;
            return brentq(_call_critical_func, lo, hi, params, _BRENTQ_XTOL, _BRENTQ_XTOL,
                          CRITICAL_MAXITER, &fo);
        }
        hi = 2 * hi;
    }
    // No sign change up to 2^20 K: the boundary is taken at 2^21 K, past the last probe.
    return hi;
}

inline double _solve_put_critical(CriticalParams *critical) {
    CriticalTerms terms = critical_terms(*critical);
    CriticalTerms *params = &terms;
    const double hi = params->K - CRITICAL_BRACKET_OFFSET;
    if (_put_critical_func(hi, params) <= 0) return hi;
    const double lo = CRITICAL_BRACKET_OFFSET;
    if (_put_critical_func(lo, params) >= 0) return lo;
    zeros_full_output fo;
    return brentq(_put_critical_func, lo, hi, params, _BRENTQ_XTOL, _BRENTQ_XTOL,
                  CRITICAL_MAXITER, &fo);
}

// Undiscounted value of exercising now.
inline double spot_intrinsic(double S, double K, int q) {
    if (q == 1) return S > K ? S - K : 0.0;
    return S < K ? K - S : 0.0;
}

// Where no early-exercise premium applies the American value is still never below immediate
// exercise (a forward under the spot at zero rates makes the European call worth less).
inline double european_floored(double bsm, double S, double K, int q) {
    const double intrinsic = spot_intrinsic(S, K, q);
    return bsm < intrinsic ? intrinsic : bsm;  // NaN stays NaN
}

// A strike or a spot at an end of the half-line, where the formulas meet 0 * inf: a call struck
// at infinity, or on a spot and forward of zero, is worthless, and so is a put on an infinite
// spot and forward; a put struck at infinity is worth infinity. NaN, negative inputs and D <= 0
// carry no value and are left to the formulas.
inline bool degenerate_price(double S, double K, double D, double F, int q, double *price) {
    if (!(D > 0 && S >= 0 && F >= 0)) return false;
    if (K == HUGE_VAL) {
        *price = q == 1 ? 0.0 : HUGE_VAL;
        return true;
    }
    if (q == 1 ? S == 0 && F == 0 : S == HUGE_VAL && F == HUGE_VAL) {
        *price = 0.0;
        return true;
    }
    return false;
}

// sigma outside this range gives the price at its end: below, sigma^2 underflows and the
// exponents of the premium are 0/0; above, d2 = d1 - sigma is inf - inf. The price has reached
// its limit well inside the range on both sides.
constexpr double SIGMA_FLOOR = 1e-150;
constexpr double SIGMA_CEILING = 1e300;

inline double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    KELVO_TALLY(american);
    if (sigma <= 0) return spot_intrinsic(S, K, q);
    if (sigma < SIGMA_FLOOR) {
        sigma = SIGMA_FLOOR;
    } else if (sigma > SIGMA_CEILING) {
        sigma = SIGMA_CEILING;
    }

    double degenerate;
    if (degenerate_price(S, K, D, F, q, &degenerate)) return degenerate;

    const double bsm = _bsm_price(K, D, F, sigma, q);
    if (D > 1) return european_floored(bsm, S, K, q);  // negative rate: no premium

    const double carry = F / S;
    const double sig2 = sigma * sigma;
    const double N_val = 2 * libm::log(carry) / sig2 - 1;
    // 4 M / k2 with M = -2 log(D) / sigma^2 and k2 = 1 - D; at D == 1 (a zero rate) that is
    // 0 / 0 and takes its limit 8 / sigma^2. Near 1, 1 - D is exact and log(D) accurate.
    const double M_over_k2 = D == 1 ? 2 / sig2 : -2 * libm::log(D) / sig2 / (1 - D);
    double disc = N_val * N_val + 4 * M_over_k2;
    if (disc < 0) disc = 0;
    const double sqrt_disc = std::sqrt(disc);

    if (q == 1) {
        if (D * carry >= 1) return european_floored(bsm, S, K, q);
        const double q2 = (-N_val + sqrt_disc) / 2;
        if (q2 <= 0) return european_floored(bsm, S, K, q);
        CriticalParams params{K, D, carry, sigma, q2};
        const double S_star = _solve_call_critical(&params);
        if (S >= S_star) return S - K;
        const double F_star = carry * S_star;
        const double d1_star = libm::log(F_star / K) / sigma + sigma / 2;
        const double A2 = (S_star / q2) * (1 - D * carry * _norm_cdf(d1_star));
        return bsm + A2 * libm::pow(S / S_star, q2);
    }

    const double q1 = (-N_val - sqrt_disc) / 2;
    if (q1 >= 0) return european_floored(bsm, S, K, q);
    CriticalParams params{K, D, carry, sigma, q1};
    const double S_star = _solve_put_critical(&params);
    if (S <= S_star) return K - S;
    const double F_star = carry * S_star;
    const double d1_star = libm::log(F_star / K) / sigma + sigma / 2;
    const double A1 = -(S_star / q1) * (1 - D * carry * _norm_cdf(-d1_star));
    return bsm + A1 * libm::pow(S / S_star, q1);
}

}  // namespace kelvo::kernel

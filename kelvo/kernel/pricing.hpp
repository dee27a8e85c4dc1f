// Normal distribution, Black's price in forward form, and the Barone-Adesi-Whaley (1987)
// American price with its early-exercise boundary.
//
// Forward form: S spot, K strike, D discount factor, F forward, sigma total standard deviation.
// carry = F / S is the growth of the spot to expiry, so D * carry = exp((b - r) T) and
// sigma^2 stands for sigma^2 T of the textbook formulas.
#pragma once

#include <cmath>
#include <limits>

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
// sigma > 0, with log(F / K) given (an implied-volatility search works it out once).
inline double black_price_at(double log_FK, double K, double D, double F, double sigma, int q) {
    const double d1 = log_FK / sigma + sigma / 2;
    const double d2 = d1 - sigma;
    // The put takes N at the negated arguments rather than 1 - N, which would cancel.
    const double val = q == 1 ? F * _norm_cdf(d1) - K * _norm_cdf(d2)
                              : K * _norm_cdf(-d2) - F * _norm_cdf(-d1);
    return D * val;
}

inline double _bsm_price(double K, double D, double F, double sigma, int q) {
    if (sigma <= 0) {
        const double intrinsic = (q == 1 ? F - K : K - F) * D;
        return intrinsic > 0 ? intrinsic : 0.0;  // NaN gives 0 as well
    }
    return black_price_at(libm::log(F / K), K, D, F, sigma, q);
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
    bool zero_rate;       // D == 1: a put's equation takes its limit form
    double one_minus_carry;
};

inline CriticalTerms critical_terms(const CriticalParams &p) {
    return {p.K, p.carry / p.K, 1 / p.sigma, p.sigma / 2, p.sigma, p.D * p.K, p.D * p.carry,
            1 / p.q_val, p.D == 1, 1 - p.carry};
}

// The premium's coefficient h = 1 - D c N(+-d1), A = +-(S* / q) h. A put's at a zero rate is
// (1 - c) + c N(d1), which does not cancel where c N(-d1) nears 1.
inline double premium_coefficient(double D, double carry, double d1, bool call) {
    if (!call && D == 1) return (1 - carry) + carry * _norm_cdf(d1);
    return 1 - D * carry * _norm_cdf(call ? d1 : -d1);
}

// Critical-price equations: zero where the American value meets immediate exercise, at spot Sc
// whose d1 is d1c. Each trial point takes two normal distribution values: N(d1) serves both the
// European price and the premium's coefficient h, which is handed back. D * carry * Sc is D * Fc.
inline double critical_equation(const CriticalTerms &t, double Sc, double d1c, bool call,
                                double &h) {
    if (call) {
        const double N1 = _norm_cdf(d1c);
        const double N2 = _norm_cdf(d1c - t.sigma);
        const double DFc = t.D_carry * Sc;
        const double bsm_c = DFc * N1 - t.DK * N2;
        h = 1 - t.D_carry * N1;
        return Sc * h * t.inv_q + bsm_c - (Sc - t.K);
    }
    if (t.zero_rate) {
        // At D == 1 the put's equation is Sc (1 - 1/q) ((1 - c) + c N(d1)) - K N(d2): the terms
        // that cancel against the strike are gone, so that near Sc = 0, where it is
        // Sc (1 - 1/q) (1 - c), its sign is the forward's side of the spot and not rounding.
        const double N1 = _norm_cdf(d1c);
        const double N2 = _norm_cdf(d1c - t.sigma);
        h = t.one_minus_carry + t.D_carry * N1;
        return Sc * (1 - t.inv_q) * h - t.K * N2;
    }
    const double N1 = _norm_cdf(-d1c);
    const double N2 = _norm_cdf(t.sigma - d1c);
    const double DFc = t.D_carry * Sc;
    const double bsm_p = t.DK * N2 - DFc * N1;
    h = 1 - t.D_carry * N1;
    return bsm_p - Sc * h * t.inv_q - (t.K - Sc);
}

// The equations in the spot, one logarithm a trial point for d1.
inline double _call_critical_func(double Sc, void *params) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = *static_cast<const CriticalTerms *>(params);
    const double d1c = libm::log(t.carry_over_K * Sc) * t.inv_sigma + t.half_sigma;
    double h;
    return critical_equation(t, Sc, d1c, true, h);
}

inline double _put_critical_func(double Sc, void *params) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = *static_cast<const CriticalTerms *>(params);
    const double d1c = libm::log(t.carry_over_K * Sc) * t.inv_sigma + t.half_sigma;
    double h;
    return critical_equation(t, Sc, d1c, false, h);
}

constexpr double CRITICAL_BRACKET_OFFSET = 1e-10;
constexpr int CRITICAL_PROBES = 20;
constexpr int CRITICAL_MAXITER = 100;

// brentq's tolerances for a critical spot: a price's, and a few ulps, for references that price
// with the spot as good as double arithmetic gives it.
struct CriticalTolerance {
    double xtol, rtol;
};
constexpr CriticalTolerance PRICE_CRITICAL{_BRENTQ_XTOL, _BRENTQ_XTOL};
constexpr CriticalTolerance TIGHT_CRITICAL{0.0, 4 * _DBL_EPS};

// found_root, where given, tells whether the boundary is a root of the equation (so that it
// moves with sigma) or one of the fixed fallbacks.
inline double _solve_call_critical(CriticalParams *critical, bool *found_root = nullptr,
                                   CriticalTolerance tol = PRICE_CRITICAL) {
    CriticalTerms terms = critical_terms(*critical);
    CriticalTerms *params = &terms;
    if (found_root != nullptr) *found_root = false;
    const double lo = params->K + CRITICAL_BRACKET_OFFSET;
    const double f_lo = _call_critical_func(lo, params);
    if (f_lo <= 0) return lo;
    double hi = 2 * params->K;
    for (int probe = 0; probe < CRITICAL_PROBES; ++probe) {
        const double f_hi = _call_critical_func(hi, params);
        if (f_hi < 0) {
            if (found_root != nullptr) *found_root = true;
            return brentq_known_ends(_call_critical_func, params, lo, f_lo, hi, f_hi, tol.xtol,
                                     tol.rtol, CRITICAL_MAXITER);
        }
        hi = 2 * hi;
    }
    // No sign change up to 2^20 K: the boundary is taken at 2^21 K, past the last probe.
    return hi;
}

inline double _solve_put_critical(CriticalParams *critical, bool *found_root = nullptr,
                                  CriticalTolerance tol = PRICE_CRITICAL) {
    CriticalTerms terms = critical_terms(*critical);
    CriticalTerms *params = &terms;
    if (found_root != nullptr) *found_root = false;
    const double hi = params->K - CRITICAL_BRACKET_OFFSET;
    const double f_hi = _put_critical_func(hi, params);
    if (f_hi <= 0) return hi;
    const double lo = CRITICAL_BRACKET_OFFSET;
    const double f_lo = _put_critical_func(lo, params);
    if (f_lo >= 0) return lo;
    if (found_root != nullptr) *found_root = true;
    return brentq_known_ends(_put_critical_func, params, lo, f_lo, hi, f_hi, tol.xtol, tol.rtol,
                             CRITICAL_MAXITER);
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

// N = 2 log(carry) / sigma^2 - 1 and the root of the quadratic of the premium's exponents,
// q2, q1 = (-N +- sqrt(N^2 + 4 M / k2)) / 2, from log(carry), D and -2 log(D).
struct PremiumExponents {
    double N_val;
    double four_M_over_k2;
    double sqrt_disc;
};

inline PremiumExponents premium_exponents(double log_carry, double D, double minus_2_log_D,
                                          double sigma) {
    const double sig2 = sigma * sigma;
    const double N_val = 2 * log_carry / sig2 - 1;
    // 4 M / k2 with M = -2 log(D) / sigma^2 and k2 = 1 - D; at D == 1 (a zero rate) that is
    // 0 / 0 and takes its limit 8 / sigma^2. Near 1, 1 - D is exact and log(D) accurate.
    const double M_over_k2 = D == 1 ? 2 / sig2 : minus_2_log_D / sig2 / (1 - D);
    double disc = N_val * N_val + 4 * M_over_k2;
    if (disc < 0) disc = 0;
    return {N_val, 4 * M_over_k2, std::sqrt(disc)};
}

// The premium's exponent, q2 for a call and q1 for a put. Where N is large against 4 M / k2 (a
// carry far from the rate at a small sigma, where q ~ M / N) the root whose sign makes
// (-N +- sqrt(disc)) / 2 a difference of nearly equal terms would lose more than ten bits: it
// is taken from the other root through q1 q2 = -M / k2 instead.
inline double premium_exponent(const PremiumExponents &e, bool call) {
    const double direct = call ? (-e.N_val + e.sqrt_disc) / 2 : (-e.N_val - e.sqrt_disc) / 2;
    const bool cancels = call ? e.N_val > 0 : e.N_val < 0;
    if (!(cancels && e.N_val * e.N_val > 1024 * e.four_M_over_k2)) return direct;
    const double other = call ? (-e.N_val - e.sqrt_disc) / 2 : (-e.N_val + e.sqrt_disc) / 2;
    return -(e.four_M_over_k2 / 4) / other;
}

// How an American price came about, with what its sensitivities need.
enum class Regime {
    NO_VOLATILITY,  // sigma <= 0: spot intrinsic value
    DEGENERATE,     // a strike or spot at an end of the half-line
    EUROPEAN,       // no early-exercise premium: Black's price, floored at spot intrinsic
    EXERCISE,       // at or past the critical spot: exercised now
    PREMIUM,        // Black's price plus the early-exercise premium
};

struct AmericanPrice {
    double price;
    Regime regime;
    // From here on, only what the regime has reached is set.
    double sigma;      // after clamping to [SIGMA_FLOOR, SIGMA_CEILING]
    double bsm;        // Black's price
    double carry;      // F / S
    double N_val;      // 2 log(carry) / sigma^2 - 1
    double four_M_over_k2;
    double sqrt_disc;
    double q_exp;      // q2 for a call, q1 for a put
    double S_star;     // critical spot
    bool root_found;   // S_star is a root of the critical equation (else a fixed fallback)
    double premium;    // A (S / S_star)^q
};

// Black's price plus the premium, short of the critical spot; where rounding leaves the sum below
// immediate exercise (a premium that vanishes with 1 - D c, say), the value of exercising.
inline AmericanPrice with_premium(AmericanPrice &r, double bsm, double exercise) {
    r.price = bsm + r.premium;
    r.regime = Regime::PREMIUM;
    if (r.price < exercise) {
        r.price = exercise;
        r.regime = Regime::EXERCISE;
    }
    return r;
}

inline AmericanPrice american_price(double S, double K, double D, double F, double sigma, int q,
                                    CriticalTolerance tol = PRICE_CRITICAL) {
    KELVO_TALLY(american);
    AmericanPrice r;  // each return sets what its regime defines; greeks read no more
    if (sigma <= 0) {
        r.price = spot_intrinsic(S, K, q);
        r.regime = Regime::NO_VOLATILITY;
        return r;
    }
    if (sigma < SIGMA_FLOOR) {
        sigma = SIGMA_FLOOR;
    } else if (sigma > SIGMA_CEILING) {
        sigma = SIGMA_CEILING;
    }
    r.sigma = sigma;

    if (degenerate_price(S, K, D, F, q, &r.price)) {
        r.regime = Regime::DEGENERATE;
        return r;
    }

    const double bsm = _bsm_price(K, D, F, sigma, q);
    r.bsm = bsm;
    r.regime = Regime::EUROPEAN;
    if (D > 1) {  // negative rate: no premium
        r.price = european_floored(bsm, S, K, q);
        return r;
    }

    const double carry = F / S;
    const PremiumExponents e =
        premium_exponents(libm::log(carry), D, D == 1 ? 0.0 : -2 * libm::log(D), sigma);
    const double N_val = e.N_val, sqrt_disc = e.sqrt_disc;
    r.carry = carry;
    r.N_val = N_val;
    r.four_M_over_k2 = e.four_M_over_k2;
    r.sqrt_disc = sqrt_disc;

    if (q == 1) {
        if (D * carry >= 1) {
            r.price = european_floored(bsm, S, K, q);
            return r;
        }
        const double q2 = premium_exponent(e, true);
        if (q2 <= 0) {
            r.price = european_floored(bsm, S, K, q);
            return r;
        }
        CriticalParams params{K, D, carry, sigma, q2};
        const double S_star = _solve_call_critical(&params, &r.root_found, tol);
        r.q_exp = q2;
        r.S_star = S_star;
        if (S >= S_star) {
            r.price = S - K;
            r.regime = Regime::EXERCISE;
            return r;
        }
        const double F_star = carry * S_star;
        const double d1_star = libm::log(F_star / K) / sigma + sigma / 2;
        const double A2 = (S_star / q2) * premium_coefficient(D, carry, d1_star, true);
        r.premium = A2 * libm::pow(S / S_star, q2);
        return with_premium(r, bsm, S - K);
    }

    const double q1 = premium_exponent(e, false);
    if (q1 >= 0) {
        r.price = european_floored(bsm, S, K, q);
        return r;
    }
    CriticalParams params{K, D, carry, sigma, q1};
    const double S_star = _solve_put_critical(&params, &r.root_found, tol);
    r.q_exp = q1;
    r.S_star = S_star;
    if (S <= S_star) {
        r.price = K - S;
        r.regime = Regime::EXERCISE;
        return r;
    }
    const double F_star = carry * S_star;
    const double d1_star = libm::log(F_star / K) / sigma + sigma / 2;
    const double A1 = -(S_star / q1) * premium_coefficient(D, carry, d1_star, false);
    r.premium = A1 * libm::pow(S / S_star, q1);
    return with_premium(r, bsm, K - S);
}

inline double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    return american_price(S, K, D, F, sigma, q).price;
}

struct Greeks {
    double price;
    double delta;  // dV/dS, with D and the carry F / S held: the forward moves with the spot
    double gamma;  // d2V/dS2, likewise
    double vega;   // dV/dsigma, per unit of total standard deviation
};

// The price of _baw_price, bit for bit, with its sensitivities in closed form. The critical spot
// does not depend on S, so delta and gamma of the premium A (S / S*)^q are those of a power of
// S; its vega takes the critical spot's own sigma-derivative by implicit differentiation of the
// critical-price equation (none where the boundary is a fixed fallback, not a root).
inline Greeks _baw_greeks(double S, double K, double D, double F, double sigma, int q) {
    const AmericanPrice a = american_price(S, K, D, F, sigma, q);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (a.price != a.price) return {a.price, nan, nan, nan};
    Greeks g{a.price, 0.0, 0.0, 0.0};
    const bool call = q == 1;
    switch (a.regime) {
    case Regime::NO_VOLATILITY:
    case Regime::EXERCISE:
        // intrinsic value: the slope of the payoff
        g.delta = call ? (S > K ? 1.0 : 0.0) : (S < K ? -1.0 : 0.0);
        return g;
    case Regime::DEGENERATE:
        if (a.price != 0.0) g.delta = g.gamma = g.vega = nan;
        return g;
    case Regime::EUROPEAN:
    case Regime::PREMIUM:
        break;
    }
    const double sig = a.sigma;
    if (a.regime == Regime::EUROPEAN && a.price != a.bsm) {  // floored at immediate exercise
        g.delta = call ? 1.0 : -1.0;
        return g;
    }
    // Black's price in forward form with F = carry S.
    const double carry = F / S;
    const double d1 = libm::log(F / K) / sig + sig / 2;
    const double pdf1 = _norm_pdf(d1);
    g.delta = call ? D * carry * _norm_cdf(d1) : -D * carry * _norm_cdf(-d1);
    g.gamma = D * carry * pdf1 / (S * sig);
    g.vega = D * F * pdf1;
    if (a.regime == Regime::EUROPEAN) return g;

    const double q_exp = a.q_exp, S_star = a.S_star, P = a.premium;
    const double c = a.carry;
    g.delta += P * q_exp / S;
    g.gamma += P * q_exp * (q_exp - 1) / (S * S);

    // dq/dsigma: N = 2 log(c) / sigma^2 - 1 and 4 M / k2 both scale as sigma^-2.
    const double dN = -2 * (a.N_val + 1) / sig;
    const double d_disc = 2 * a.N_val * dN - 2 * a.four_M_over_k2 / sig;
    const double d_sqrt = a.sqrt_disc > 0 ? d_disc / (2 * a.sqrt_disc) : 0.0;
    const double dq = call ? (-dN + d_sqrt) / 2 : (-dN - d_sqrt) / 2;

    // At the critical spot: d1*, d2*, and h = 1 - D c N(+-d1*), the premium's coefficient
    // A = +-(S* / q) h.
    const double d1s = libm::log(c * S_star / K) / sig + sig / 2;
    const double d2s = d1s - sig;
    const double pdf1s = _norm_pdf(d1s);
    const double Dc = D * c;
    const double sign = call ? 1.0 : -1.0;
    const double h = premium_coefficient(D, c, d1s, call);
    // The critical-price equations G(S*, sigma) = 0, G = Black(S*) + (S* / q) h - (S* - K) for
    // the call and Black_p(S*) - (S* / q) h - (K - S*) for the put, give dS*/dsigma = -G_s / G_S.
    double dS_star = 0.0;
    if (a.root_found) {
        const double dh_dS = -sign * Dc * pdf1s / (S_star * sig);  // partial in S*
        const double dh_dsig = sign * Dc * pdf1s * d2s / sig;      // partial in sigma
        const double black_dS = call ? Dc * _norm_cdf(d1s) : -Dc * _norm_cdf(-d1s);
        const double black_dsig = Dc * S_star * pdf1s;
        double G_S, G_sig;
        if (call) {
            G_S = h / q_exp + S_star * dh_dS / q_exp + black_dS - 1;
            G_sig = S_star * dh_dsig / q_exp - S_star * h * dq / (q_exp * q_exp) + black_dsig;
        } else {
            G_S = black_dS - h / q_exp - S_star * dh_dS / q_exp + 1;
            G_sig = black_dsig - S_star * dh_dsig / q_exp + S_star * h * dq / (q_exp * q_exp);
        }
        dS_star = G_S != 0 ? -G_sig / G_S : 0.0;
    }
    // Total sigma-derivative of h along the boundary, then of P = A (S / S*)^q.
    const double dd1s = dS_star / (S_star * sig) - d2s / sig;
    const double dh = -sign * Dc * pdf1s * dd1s;
    g.vega += P * ((1 - q_exp) * dS_star / S_star - dq / q_exp + dq * libm::log(S / S_star)) +
              sign * (S_star / q_exp) * libm::pow(S / S_star, q_exp) * dh;
    return g;
}

}  // namespace kelvo::kernel

// Implied total standard deviation of an American (BAW) price.
//
// The search brackets the root next to the European (Black) implied volatility of the same
// quote, which bounds the American one from above, and gives brentq the values it already has at
// the bracket ends. Each trial volatility prices with what the search shares worked out once
// (log F/K, log F/S, log D) and solves its critical spot next to those of the trials before it,
// to the price's tolerance, with the premium from value matching, in which the price is
// stationary in the spot. Wherever that shortcut meets anything unusual (no Black volatility, a
// NaN, a bracket that does not close, inputs at the edges of the domain) the search is the
// general one: sigma_hi grown from 1 and brentq from IV_SIGMA_LO, so the 0.0 and NaN decisions
// are the same.
#pragma once

#include <cmath>
#include <cstdint>

#include "constants.hpp"
#include "pricing.hpp"
#include "root_search.hpp"

namespace kelvo::kernel {

struct IVParams {
    double S;
    double K;
    double D;
    double F;
    double target_price;
    std::int32_t q;
    CriticalTolerance critical;
};

inline double _iv_objective(double sigma, void *args) {
    const IVParams &p = *static_cast<const IVParams *>(args);
    return american_price(p.S, p.K, p.D, p.F, sigma, p.q, p.critical).price - p.target_price;
}

constexpr double IV_SIGMA_LO = 1e-8;
constexpr double IV_FIRST_SIGMA_HI = 1.0;
constexpr double IV_LAST_SIGMA_HI = 8.0;  // the largest upper end the general search prices
constexpr int IV_MAXITER = 200;

// Quotes that carry no volatility, answered 0.0: at or below spot intrinsic value plus _IV_TOL,
// or above it at the zero-volatility value D max(F - K, 0) (D max(K - F, 0) for a put) to within
// _IV_TOL (or 4 ulps) below it. Every sigma up to where the price starts to rise reproduces
// such a quote, as rounding leaves it (N(d) = 1 to the last bit).
inline bool carries_no_volatility(double price, double S, double K, double D, double F, int q) {
    if (price <= spot_intrinsic(S, K, q) + _IV_TOL) return true;
    const double zero_vol = (q == 1 ? F - K : K - F) * D;
    return price <= zero_vol && price >= zero_vol - (_IV_TOL + 4 * _DBL_EPS * zero_vol);
}

// The general search: 0.0 for a quote that carries no volatility, -1.0 when no volatility can be
// bracketed, otherwise the root found by brentq.
inline double implied_vol_by_growth(double price, double S, double K, double D, double F, int q,
                                    CriticalTolerance critical = PRICE_CRITICAL,
                                    double iv_tol = _IV_TOL) {
    if (carries_no_volatility(price, S, K, D, F, q)) return 0.0;

    // sigma_hi runs 1, 2, 4, 8: reaching 16 means even sigma 8 prices below the quote, and 16
    // is not priced. Ordered comparisons, so a NaN price or model value ends the growth. The
    // last price of the growth is the objective's value at sigma_hi.
    IVParams params{S, K, D, F, price, static_cast<std::int32_t>(q), critical};
    double sigma_hi = IV_FIRST_SIGMA_HI;
    double f_hi = _iv_objective(sigma_hi, &params);
    while (f_hi < 0) {
        sigma_hi = 2 * sigma_hi;
        if (sigma_hi >= _IV_MAX_SIGMA) return -1.0;
        f_hi = _iv_objective(sigma_hi, &params);
    }
    const double f_lo = _iv_objective(IV_SIGMA_LO, &params);
    // A sign change (an exact zero at either end counts) is required; NaN at an end fails.
    const bool bracketed = (f_lo <= 0 && f_hi >= 0) || (f_lo >= 0 && f_hi <= 0);
    if (!bracketed) return -1.0;
    return brentq_known_ends(_iv_objective, &params, IV_SIGMA_LO, f_lo, sigma_hi, f_hi, iv_tol,
                             iv_tol, IV_MAXITER);
}

// What one search shares across its trial volatilities, and the critical spots found so far.
struct IVSearch {
    double S, K, D, F, price;
    int q;
    double log_FK;           // log(F / K), Black's d1 numerator
    double carry;            // F / S
    double log_carry;
    double log_SK;           // log(S / K): the premium's power is exp(q (log_SK - u*))
    double minus_2_log_D;    // M sigma^2
    double u_lo, u_hi;       // the critical spot's domain in u = log(Sc / K)
    int trials;              // critical spots found by a root search so far
    double trial_sigma[2];   // the last two, oldest first
    double trial_star[2];
    double trial_u[2];
    double trial_ratio[2];   // the spot over BAW's seed at the same sigma (NaN without a seed)
};

inline double search_black(const IVSearch &s, double sigma) {
    return black_price_at(s.log_FK, s.K, s.D, s.F, sigma, s.q);
}

// The domain of the critical spot: beyond the strike by the general search's fixed offset, up
// to its last probe for a call.
inline double critical_lo_end(double K, bool call) {
    return call ? K + CRITICAL_BRACKET_OFFSET : CRITICAL_BRACKET_OFFSET;
}
inline double critical_hi_end(double K, bool call) {
    return call ? K * 1048576.0 : K - CRITICAL_BRACKET_OFFSET;
}

// One trial point of the critical equation in u = log(Sc / K): the spot, the premium's
// coefficient h there and the equation's value. In u no logarithm stands before the normal
// distribution in the chain of each evaluation (the spot's exp runs beside it), and an absolute
// tolerance on u is a relative one on the spot.
struct CriticalPoint {
    double u, Sc, h, value;
};

struct CriticalMemo {
    CriticalTerms terms;
    double log_carry;
    bool call;
    // brentq's latest evaluations (it returns one of them or an end of its bracket)
    static constexpr int KEPT = 4;
    CriticalPoint last[KEPT];
    int count;
};

// With slope and curve (both or neither), the first two derivatives in u, for Halley's steps:
// Sc times the slope in the spot, in which the two density terms of Black's price cancel
// (Fc n(d1) = K n(d2)), and its own derivative.
inline CriticalPoint critical_point(CriticalMemo &m, double u, double *slope = nullptr,
                                   double *curve = nullptr) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = m.terms;
    CriticalPoint p;
    p.u = u;
    p.Sc = t.K * libm::exp(u);
    const double d1c = (m.log_carry + u) * t.inv_sigma + t.half_sigma;
    p.value = critical_equation(t, p.Sc, d1c, m.call, p.h);
    if (slope != nullptr) {
        const double h = p.h;
        const double density = t.D_carry * _norm_pdf(d1c) * t.inv_sigma;
        const double bracket = m.call ? h * (t.inv_q - 1) - density * t.inv_q
                                      : h * (1 - t.inv_q) - density * t.inv_q;
        *slope = p.Sc * bracket;
        // d/du of the bracket: h moves with N(d1), the density with -d1
        *curve = *slope + p.Sc * density * ((1 - t.inv_q) + d1c * t.inv_sigma * t.inv_q);
    }
    return p;
}

inline double memo_critical_func(double u, void *params) {
    CriticalMemo &m = *static_cast<CriticalMemo *>(params);
    const CriticalPoint p = critical_point(m, u);
    m.last[m.count++ % CriticalMemo::KEPT] = p;
    return p.value;
}

// BAW's own first guess of the critical spot, in forward form: the boundary of the perpetual
// option (the exponent without the 1 - D of finite maturity) pulled towards the strike by
// exp(h), h from the carry and the total standard deviation.
inline double critical_seed(const IVSearch &s, double sigma, double N_val) {
    const bool call = s.q == 1;
    const double M = s.minus_2_log_D / (sigma * sigma);
    const double root = std::sqrt(N_val * N_val + 4 * M);
    const double q_perpetual = call ? (-N_val + root) / 2 : (-N_val - root) / 2;
    const double perpetual = s.K / (1 - 1 / q_perpetual);
    const double h = call ? -(s.log_carry + 2 * sigma) * s.K / (perpetual - s.K)
                          : (s.log_carry - 2 * sigma) * s.K / (s.K - perpetual);
    return s.K + (perpetual - s.K) * (1 - libm::exp(h));
}

constexpr int CRITICAL_HALLEY_STEPS = 8;
constexpr int CRITICAL_WIDENINGS = 40;

enum class Critical { ROOT, FALLBACK, FAILED };

// The critical spot at sigma, with the premium's coefficient: A (S / S*)^q is the premium, A
// signed as the option's. The spot is found by brentq to the price's tolerance in u, in a
// bracket next to a start refined by Halley's steps; A comes from value matching,
// S* - K - c(S*) for a call and K - S* - p(S*) for a put, in which the price is stationary in
// the spot, so that brentq's tolerance on the spot costs the price nothing to first order. Where
// the sign change lies beyond an end of the domain the spot is the general search's fixed
// fallback for that end (FALLBACK, A from smooth pasting, as there); FAILED where no bracket was
// found (the caller then takes the general search).
inline Critical warm_critical(IVSearch &s, double sigma, double N_val, double q_exp,
                              double &S_star, double &u_star, double &A, double &ratio) {
    const bool call = s.q == 1;
    CriticalParams params{s.K, s.D, s.carry, sigma, q_exp};
    CriticalMemo memo;  // its points are written before they are read
    memo.terms = critical_terms(params);
    memo.log_carry = s.log_carry;
    memo.call = call;
    memo.count = 0;
    const double lo_end = critical_lo_end(s.K, call), hi_end = critical_hi_end(s.K, call);
    const auto inside = [&](double x) { return x > lo_end && x < hi_end; };
    // The guess: u* on the line through the last two trials'; else BAW's seed scaled by the
    // last trial's ratio to it (the spot moves with sigma much as the seed does), else the last
    // spot, else the seed, else halfway (a put) or twice (a call) the strike.
    double u_guess = 0.0, seed = std::numeric_limits<double>::quiet_NaN();
    bool guessed = false, seeded = false;
    if (s.trials == 2 && s.trial_sigma[1] != s.trial_sigma[0]) {
        const double slope = (s.trial_u[1] - s.trial_u[0]) / (s.trial_sigma[1] - s.trial_sigma[0]);
        u_guess = s.trial_u[1] + slope * (sigma - s.trial_sigma[1]);
        guessed = u_guess > s.u_lo && u_guess < s.u_hi;
    }
    if (!guessed) {
        seed = critical_seed(s, sigma, N_val);
        seeded = inside(seed);
        double guess = 0.0;
        if (seeded && s.trials > 0) guess = seed * s.trial_ratio[s.trials - 1];
        if (!inside(guess) && s.trials > 0) guess = s.trial_star[s.trials - 1];
        if (!inside(guess) && seeded) guess = seed;
        if (!inside(guess)) guess = call ? 2 * s.K : s.K / 2;
        u_guess = libm::log(guess / s.K);
    }

    // Halley's steps from the guess until the next one is within brentq's tolerance, while they
    // shrink and stay inside the domain.
    const auto tolerance = [](double u) { return 0.5 * _BRENTQ_XTOL * (1 + std::fabs(u)); };
    const auto halley = [](double value, double slope, double curve) {
        const double newton = -value / slope;
        const double correction = 1 + 0.5 * newton * curve / slope;
        return correction > 0.5 && correction < 2 ? newton / correction : newton;
    };
    double slope, curve;
    CriticalPoint a = critical_point(memo, u_guess, &slope, &curve);
    double step = halley(a.value, slope, curve);
    for (int i = 0; i < CRITICAL_HALLEY_STEPS && std::fabs(step) >= 0.5 * tolerance(a.u); ++i) {
        const double u = a.u + step;
        if (!(u > s.u_lo && u < s.u_hi)) break;
        const CriticalPoint next = critical_point(memo, u, &slope, &curve);
        const double next_step = halley(next.value, slope, curve);
        if (!(std::fabs(next.value) < std::fabs(a.value))) break;
        a = next;
        if (!(std::fabs(next_step) < std::fabs(step))) {
            step = next_step;
            break;
        }
        step = next_step;
    }
    if (a.value != a.value) return Critical::FAILED;

    // The other end of brentq's bracket: past the root by as much again as the last step,
    // then four times farther each time it is not. A call's equation falls through its root, a
    // put's rises: that, not the step, tells the side.
    CriticalPoint b = a;
    if (a.value != 0) {
        const double side = (call ? a.value > 0 : a.value < 0) ? 1.0 : -1.0;
        // a NaN step fails the comparison as well
        double distance = step * side > 0 ? 2 * std::fabs(step) : 1e-3 * (1 + std::fabs(a.u));
        if (distance < tolerance(a.u)) distance = tolerance(a.u);
        for (int i = 0;; ++i) {
            if (i == CRITICAL_WIDENINGS) return Critical::FAILED;
            double u = a.u + side * distance;
            const bool at_end = side > 0 ? !(u < s.u_hi) : !(u > s.u_lo);
            if (at_end) u = side > 0 ? s.u_hi : s.u_lo;
            b = critical_point(memo, u);
            if (b.value != b.value) return Critical::FAILED;
            if (a.value * b.value <= 0) break;
            if (at_end) {  // the sign change lies past the end
                S_star = side > 0 ? (call ? 2 * hi_end : hi_end) : lo_end;
                const double d1_star = libm::log(s.carry * S_star / s.K) / sigma + sigma / 2;
                const double h = premium_coefficient(s.D, s.carry, d1_star, call);
                A = (call ? 1.0 : -1.0) * (S_star / q_exp) * h;
                return Critical::FALLBACK;
            }
            a = b;
            distance *= 4;
        }
    }
    u_star =
        a.value == 0 ? a.u
                     : brentq_known_ends(memo_critical_func, &memo, a.u, a.value, b.u, b.value,
                                         _BRENTQ_XTOL, _BRENTQ_XTOL, CRITICAL_MAXITER);
    CriticalPoint root = u_star == a.u ? a : b;
    if (u_star != a.u && u_star != b.u) {
        root.value = std::numeric_limits<double>::quiet_NaN();
        const int kept = memo.count < CriticalMemo::KEPT ? memo.count : CriticalMemo::KEPT;
        for (int i = 0; i < kept; ++i) {
            if (memo.last[i].u == u_star) root = memo.last[i];
        }
    }
    if (root.value != root.value) root = critical_point(memo, u_star);
    if (root.value != root.value) return Critical::FAILED;
    S_star = root.Sc;
    A = (call ? 1.0 : -1.0) * (root.Sc / q_exp) * root.h - root.value;
    ratio = seeded ? S_star / seed : std::numeric_limits<double>::quiet_NaN();
    return Critical::ROOT;
}

// The American price at sigma, from Black's price as american_price's and the critical spot and
// premium of warm_critical; false where the warm critical search failed.
inline bool search_price(IVSearch &s, double sigma, double &price) {
    KELVO_TALLY(american);
    const bool call = s.q == 1;
    const double bsm = search_black(s, sigma);
    if (s.D > 1) {
        price = european_floored(bsm, s.S, s.K, s.q);
        return true;
    }
    const PremiumExponents e = premium_exponents(s.log_carry, s.D, s.minus_2_log_D, sigma);
    const double N_val = e.N_val;
    const double q_exp = premium_exponent(e, call);
    if (call ? s.D * s.carry >= 1 || q_exp <= 0 : q_exp >= 0) {
        price = european_floored(bsm, s.S, s.K, s.q);
        return true;
    }
    double S_star, u_star, A, ratio;
    const Critical found = warm_critical(s, sigma, N_val, q_exp, S_star, u_star, A, ratio);
    if (found == Critical::FAILED) return false;
    if (call ? s.S >= S_star : s.S <= S_star) {
        price = call ? s.S - s.K : s.K - s.S;
    } else if (found == Critical::ROOT) {
        const double power = libm::exp(q_exp * (s.log_SK - u_star));
        price = bsm + A * power;
    } else {
        price = bsm + A * libm::pow(s.S / S_star, q_exp);
    }
    if (found == Critical::ROOT) {  // a fixed fallback does not move with sigma
        if (s.trials == 2) {
            s.trial_sigma[0] = s.trial_sigma[1];
            s.trial_star[0] = s.trial_star[1];
            s.trial_u[0] = s.trial_u[1];
            s.trial_ratio[0] = s.trial_ratio[1];
        }
        const int slot = s.trials == 2 ? 1 : s.trials++;
        s.trial_sigma[slot] = sigma;
        s.trial_star[slot] = S_star;
        s.trial_u[slot] = u_star;
        s.trial_ratio[slot] = ratio;
    }
    return true;
}

struct SearchObjective {
    IVSearch *search;
    bool failed;
};

inline double search_objective(double sigma, void *params) {
    SearchObjective &o = *static_cast<SearchObjective *>(params);
    double price;
    if (!search_price(*o.search, sigma, price)) {
        o.failed = true;
        return std::numeric_limits<double>::quiet_NaN();
    }
    return price - o.search->price;
}

// Black's implied volatility of the quote by Newton's method from the inflection point of the
// price in sigma (or near the money, from the at-the-money approximation); false outside
// Black's no-arbitrage bounds. Only a start: the bracket that follows is checked.
inline bool black_vol_start(const IVSearch &s, double &sigma) {
    const bool call = s.q == 1;
    const double forward_intrinsic = call ? s.F - s.K : s.K - s.F;
    const double lower = s.D * (forward_intrinsic > 0 ? forward_intrinsic : 0.0);
    const double upper = s.D * (call ? s.F : s.K);
    if (!(s.price > lower && s.price < upper)) return false;
    sigma = std::sqrt(2 * std::fabs(s.log_FK));
    if (sigma < 1e-3) sigma = 2.5066282746310002 * (s.price / s.D) / std::sqrt(s.F * s.K);
    for (int i = 0; i < 10; ++i) {
        const double d1 = s.log_FK / sigma + sigma / 2;
        const double vega = s.D * s.F * _norm_pdf(d1);
        const double step = (search_black(s, sigma) - s.price) / vega;
        if (!(std::fabs(step) < sigma)) {  // a flat price or a NaN: halve or double instead
            if (!(vega > 0) || step != step) return false;
            sigma = step > 0 ? sigma / 2 : 2 * sigma;
            continue;
        }
        sigma -= step;
        if (std::fabs(step) < 1e-7 * sigma) break;
    }
    return sigma > 0 && sigma == sigma;
}

// The search next to Black's volatility; false (and the general search) wherever it cannot be
// trusted to decide as the general one would.
inline bool implied_vol_near_black(IVSearch &s, double &root) {
    double sigma_b;
    if (!black_vol_start(s, sigma_b) || !(sigma_b < IV_LAST_SIGMA_HI)) return false;
    SearchObjective objective{&s, false};
    double f_hi = search_objective(sigma_b, &objective);
    double sigma_hi = sigma_b;
    // Black's volatility bounds the American one from above; a start a little short of it
    // moves up until the price is reached
    for (int i = 0; f_hi < 0; ++i) {
        if (i == 4) return false;
        sigma_hi *= 1.0001;
        if (sigma_hi > IV_LAST_SIGMA_HI) return false;
        f_hi = search_objective(sigma_hi, &objective);
    }
    if (objective.failed || f_hi != f_hi) return false;
    if (f_hi == 0) {
        root = sigma_hi;
        return true;
    }
    // below by the premium over the slope, with a margin that grows until the price is under
    const double d1 = s.log_FK / sigma_hi + sigma_hi / 2;
    const double slope = s.D * s.F * _norm_pdf(d1);
    double step = slope > 0 ? 1.02 * f_hi / slope + 1e-7 * sigma_hi : 0.5 * sigma_hi;
    double sigma_lo, f_lo;
    for (int i = 0;; ++i) {
        sigma_lo = sigma_hi - step;
        if (sigma_lo > IV_SIGMA_LO) {
            f_lo = search_objective(sigma_lo, &objective);
        } else {
            // the general search's end, priced as the general search prices it: whether the
            // quote lies above the price there, to the last bit, is decided as there
            sigma_lo = IV_SIGMA_LO;
            IVParams general{s.S, s.K, s.D, s.F, s.price, static_cast<std::int32_t>(s.q),
                             PRICE_CRITICAL};
            f_lo = _iv_objective(IV_SIGMA_LO, &general);
        }
        if (objective.failed || f_lo != f_lo) return false;
        if (f_lo <= 0) break;
        if (sigma_lo == IV_SIGMA_LO || i == 6) return false;
        step *= 4;
    }
    root = brentq_known_ends(search_objective, &objective, sigma_lo, f_lo, sigma_hi, f_hi,
                             _IV_TOL, _IV_TOL, IV_MAXITER);
    return !objective.failed;
}

// Returns 0.0 for a quote that carries no volatility (at or below spot intrinsic value plus
// _IV_TOL, or at the zero-volatility value), -1.0 when no volatility can be bracketed, otherwise
// the root found by brentq.
inline double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    if (carries_no_volatility(price, S, K, D, F, q)) return 0.0;
    const bool ordinary = S > 0 && S < HUGE_VAL && K > 0 && K < HUGE_VAL && F > 0 &&
                          F < HUGE_VAL && D > 0 && D < HUGE_VAL && price < HUGE_VAL;
    if (ordinary) {
        const bool call = q == 1;
        IVSearch s{S, K, D, F, price, call ? 1 : -1, libm::log(F / K), F / S, 0.0, 0.0,
                   D == 1 ? 0.0 : -2 * libm::log(D), 0.0, 0.0, 0, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
        s.log_carry = libm::log(s.carry);
        s.log_SK = s.log_FK - s.log_carry;
        s.u_lo = libm::log(critical_lo_end(K, call) / K);
        s.u_hi = libm::log(critical_hi_end(K, call) / K);
        double root;
        if (implied_vol_near_black(s, root)) return root;
    }
    return implied_vol_by_growth(price, S, K, D, F, q);
}

}  // namespace kelvo::kernel

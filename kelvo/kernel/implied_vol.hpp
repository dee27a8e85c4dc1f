// Implied total standard deviation of an American (BAW) price.
//
// The search brackets the root next to the European (Black) implied volatility of the same
// quote, which bounds the American one from above, and gives brentq the values it already has at
// the bracket ends. Each trial volatility prices with what the search shares worked out once
// (log F/K, log F/S, log D) and solves its critical spot next to those of the trials before it,
// to a few ulps. Wherever that shortcut meets anything unusual (no Black volatility, a NaN, a
// bracket that does not close, inputs at the edges of the domain) the search is the general one:
// sigma_hi grown from 1 and brentq from IV_SIGMA_LO, so the 0.0 and NaN decisions are the same.
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

// f and its arguments, with its values at the two ends of the bracket, which brentq asks for
// first and the caller has already computed.
struct KnownEnds {
    callback_type f;
    void *args;
    double x0, f0, x1, f1;
};

inline double known_ends_objective(double x, void *params) {
    const KnownEnds &k = *static_cast<const KnownEnds *>(params);
    if (x == k.x0) return k.f0;
    if (x == k.x1) return k.f1;
    return k.f(x, k.args);
}

inline double brentq_known_ends(callback_type f, void *args, double a, double fa, double b,
                                double fb, double xtol, double rtol, int maxiter) {
    KnownEnds known{f, args, a, fa, b, fb};
    zeros_full_output fo;
    return brentq(known_ends_objective, a, b, &known, xtol, rtol, maxiter, &fo);
}

// The general search: 0.0 for a price at or below spot intrinsic value plus _IV_TOL, -1.0 when
// no volatility can be bracketed, otherwise the root found by brentq.
inline double implied_vol_by_growth(double price, double S, double K, double D, double F, int q,
                                    CriticalTolerance critical = PRICE_CRITICAL,
                                    double iv_tol = _IV_TOL) {
    const double intrinsic = spot_intrinsic(S, K, q);
    if (price <= intrinsic + _IV_TOL) return 0.0;

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
    double minus_2_log_D;    // M sigma^2
    int trials;              // critical spots found by a root search so far
    double trial_sigma[2];   // the last two, oldest first
    double trial_star[2];
    double trial_ratio[2];   // the spot over BAW's seed at the same sigma (NaN without a seed)
    double miss;             // how far the last extrapolated spot was off, relative (0: none yet)
};

inline double search_black(const IVSearch &s, double sigma) {
    return black_price_at(s.log_FK, s.K, s.D, s.F, sigma, s.q);
}

// The critical equation as a function of u = log(Sc / K), with the spot and the N(d1) it
// computed (N(-d1) for a put), for the premium at the root. In u no logarithm stands before the
// normal distribution in the chain of each evaluation (the spot's exp runs beside it), and an
// absolute tolerance on u is a relative one on the spot.
struct CriticalMemo {
    CriticalTerms terms;
    double log_carry;
    bool call;
    double last_u[3];
    double last_Sc[3];
    double last_N1[3];
    int next;
};

inline double memo_critical_func(double u, void *params) {
    KELVO_TALLY(critical);
    CriticalMemo &m = *static_cast<CriticalMemo *>(params);
    const CriticalTerms &t = m.terms;
    const double Sc = t.K * libm::exp(u);
    const double d1c = (m.log_carry + u) * t.inv_sigma + t.half_sigma;
    double N1;
    const double value = critical_equation(t, Sc, d1c, m.call, N1);
    m.last_u[m.next] = u;
    m.last_Sc[m.next] = Sc;
    m.last_N1[m.next] = N1;
    m.next = (m.next + 1) % 3;
    return value;
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

constexpr int CRITICAL_WIDENINGS = 40;  // from a width of 1e-10, past either end

enum class Critical { ROOT, FALLBACK, FAILED };

// The critical spot at sigma by brentq between two points next to the guess where the equation
// changes sign, to a few ulps. Where the sign change lies beyond an end of the equation's
// domain the spot is the general search's fixed fallback for that end (FALLBACK); FAILED where
// no bracket was found (the caller then takes the general search).
inline Critical warm_critical(IVSearch &s, double sigma, double N_val, double q_exp,
                              double &S_star, double &N1, double &ratio) {
    const bool call = s.q == 1;
    CriticalParams params{s.K, s.D, s.carry, sigma, q_exp};
    CriticalMemo memo{critical_terms(params), s.log_carry, call, {0, 0, 0}, {0, 0, 0},
                      {0, 0, 0}, 0};
    // the domain of the root search: beyond the strike by the fixed offset, as the general one
    const double lo_end = call ? s.K + CRITICAL_BRACKET_OFFSET : CRITICAL_BRACKET_OFFSET;
    const double hi_end = call ? s.K * 1048576.0 : s.K - CRITICAL_BRACKET_OFFSET;
    const auto inside = [&](double x) { return x > lo_end && x < hi_end; };
    // The spot moves with sigma much as BAW's seed does: their ratio on the line through the
    // last two trials' (the bracket as wide as that line's last miss, four times over), else
    // the last trial's ratio, else the last spot, else the seed, else halfway (a put) or twice
    // (a call) the strike.
    const double seed = critical_seed(s, sigma, N_val);
    const bool seeded = inside(seed);
    double guess = 0.0, width = 0.0;
    bool extrapolated = false;
    if (seeded && s.trials == 2 && s.trial_sigma[1] != s.trial_sigma[0]) {
        const double slope =
            (s.trial_ratio[1] - s.trial_ratio[0]) / (s.trial_sigma[1] - s.trial_sigma[0]);
        guess = seed * (s.trial_ratio[1] + slope * (sigma - s.trial_sigma[1]));
        width = s.miss > 0 ? 4 * s.miss : 1e-4;
        if (width < 1e-10) width = 1e-10;
        if (width > 1e-2) width = 1e-2;
        extrapolated = true;
    }
    if (!inside(guess) && seeded && s.trials > 0) {
        guess = seed * s.trial_ratio[s.trials - 1];
        width = 0.01;
        extrapolated = false;
    }
    if (!inside(guess) && s.trials > 0) {
        guess = s.trial_star[s.trials - 1];
        width = 0.01;
    }
    if (!inside(guess) && seeded) {
        guess = seed;
        width = 0.05;
    }
    if (!inside(guess)) {
        guess = call ? 2 * s.K : s.K / 2;
        width = 0.5;
    }
    // widths are relative to the distance from the strike, the boundary's own scale
    const double scale = std::fabs(guess - s.K);
    double a = guess - width * scale, b = guess + width * scale;
    if (a < lo_end) a = lo_end;
    if (b > hi_end) b = hi_end;
    double ua = libm::log(a / s.K), ub = libm::log(b / s.K);
    double fa = memo_critical_func(ua, &memo), fb = memo_critical_func(ub, &memo);
    // a call's equation falls through its root, a put's rises
    const double sign = call ? -1.0 : 1.0;
    for (int i = 0; !(fa * fb <= 0); ++i) {
        if (i == CRITICAL_WIDENINGS || fa != fa || fb != fb) return Critical::FAILED;
        width *= 4;
        if (sign * fa > 0) {  // the root is below a
            if (a == lo_end) {  // a call's spot at the strike, a put's at the bracket offset
                S_star = lo_end;
                break;
            }
            b = a;
            ub = ua;
            fb = fa;
            a = guess - width * scale;
            if (a < lo_end) a = lo_end;
            ua = libm::log(a / s.K);
            fa = memo_critical_func(ua, &memo);
        } else {  // above b
            if (b == hi_end) {  // a call's spot past the last probe, a put's at the strike
                S_star = call ? 2 * hi_end : hi_end;
                break;
            }
            a = b;
            ua = ub;
            fa = fb;
            b = guess + width * scale;
            if (b > hi_end) b = hi_end;
            ub = libm::log(b / s.K);
            fb = memo_critical_func(ub, &memo);
        }
    }
    if (fa != fa || fb != fb) return Critical::FAILED;
    const bool root = fa * fb <= 0;
    if (root) {
        // 4 eps absolute in u is 4 eps relative in the spot, as TIGHT_CRITICAL
        const double u_star = brentq_known_ends(memo_critical_func, &memo, ua, fa, ub, fb,
                                                4 * _DBL_EPS, 4 * _DBL_EPS, CRITICAL_MAXITER);
        S_star = s.K * libm::exp(u_star);
        N1 = std::numeric_limits<double>::quiet_NaN();
        for (int i = 0; i < 3; ++i) {
            if (memo.last_u[i] == u_star) {
                S_star = memo.last_Sc[i];
                N1 = memo.last_N1[i];
            }
        }
        if (extrapolated) s.miss = std::fabs(S_star - guess) / scale;
        ratio = seeded ? S_star / seed : std::numeric_limits<double>::quiet_NaN();
        if (N1 == N1) return Critical::ROOT;
    }
    const double d1_star = libm::log(s.carry * S_star / s.K) / sigma + sigma / 2;
    N1 = _norm_cdf(call ? d1_star : -d1_star);
    return root ? Critical::ROOT : Critical::FALLBACK;
}

// The American price at sigma as american_price gives it (the critical spot to TIGHT_CRITICAL),
// with false where the warm critical search failed.
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
    const double q_exp = call ? (-N_val + e.sqrt_disc) / 2 : (-N_val - e.sqrt_disc) / 2;
    if (call ? s.D * s.carry >= 1 || q_exp <= 0 : q_exp >= 0) {
        price = european_floored(bsm, s.S, s.K, s.q);
        return true;
    }
    double S_star, N1, ratio;
    const Critical found = warm_critical(s, sigma, N_val, q_exp, S_star, N1, ratio);
    if (found == Critical::FAILED) return false;
    if (found == Critical::ROOT) {  // a fixed fallback does not move with sigma
        if (s.trials == 2) {
            s.trial_sigma[0] = s.trial_sigma[1];
            s.trial_star[0] = s.trial_star[1];
            s.trial_ratio[0] = s.trial_ratio[1];
        }
        const int slot = s.trials == 2 ? 1 : s.trials++;
        s.trial_sigma[slot] = sigma;
        s.trial_star[slot] = S_star;
        s.trial_ratio[slot] = ratio;
    }
    if (call ? s.S >= S_star : s.S <= S_star) {
        price = call ? s.S - s.K : s.K - s.S;
        return true;
    }
    const double A = (S_star / q_exp) * (1 - s.D * s.carry * N1);
    price = bsm + (call ? A : -A) * libm::pow(s.S / S_star, q_exp);
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
        if (!(sigma_lo > IV_SIGMA_LO)) sigma_lo = IV_SIGMA_LO;  // the general search's end
        f_lo = search_objective(sigma_lo, &objective);
        if (objective.failed || f_lo != f_lo) return false;
        if (f_lo <= 0) break;
        if (sigma_lo == IV_SIGMA_LO || i == 6) return false;
        step *= 4;
    }
    root = brentq_known_ends(search_objective, &objective, sigma_lo, f_lo, sigma_hi, f_hi,
                             _IV_TOL, _IV_TOL, IV_MAXITER);
    return !objective.failed;
}

// Returns 0.0 for a price at or below spot intrinsic value plus _IV_TOL, -1.0 when no
// volatility can be bracketed, otherwise the root found by brentq.
inline double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    const double intrinsic = spot_intrinsic(S, K, q);
    if (price <= intrinsic + _IV_TOL) return 0.0;
    const bool ordinary = S > 0 && S < HUGE_VAL && K > 0 && K < HUGE_VAL && F > 0 &&
                          F < HUGE_VAL && D > 0 && D < HUGE_VAL && price < HUGE_VAL;
    if (ordinary) {
        IVSearch s{S, K, D, F, price, q == 1 ? 1 : -1, libm::log(F / K), F / S, 0.0,
                   D == 1 ? 0.0 : -2 * libm::log(D), 0, {0, 0}, {0, 0}, {0, 0}, 0.0};
        s.log_carry = libm::log(s.carry);
        double root;
        if (implied_vol_near_black(s, root)) return root;
    }
    return implied_vol_by_growth(price, S, K, D, F, q);
}

}  // namespace kelvo::kernel

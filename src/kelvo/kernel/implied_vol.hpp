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

constexpr double IV_FIRST_SIGMA_HI = 1.0;
constexpr double IV_LAST_SIGMA_HI = 8.0;  // the largest upper end the general search prices

// Whether price lies at a value every small sigma reproduces: at it, or below it by no more
// than _IV_TOL (or 4 ulps).
inline bool at_zero_volatility_value(double price, double value) {
    return price <= value && price >= value - (_IV_TOL + 4 * _DBL_EPS * value);
}

// Quotes that carry no volatility, answered 0.0: at or below spot intrinsic value plus _IV_TOL,
// or above it at the zero-volatility value D max(F - K, 0) (D max(K - F, 0) for a put) to within
// _IV_TOL (or 4 ulps) below it. Every sigma up to where the price starts to rise reproduces
// such a quote, as rounding leaves it (N(d) = 1 to the last bit).
inline bool carries_no_volatility(double price, double S, double K, double D, double F, int q) {
    if (price <= spot_intrinsic(S, K, q) + _IV_TOL) return true;
    return at_zero_volatility_value(price, (q == 1 ? F - K : K - F) * D);
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

// One search's quote, and the last trial's critical spot and its sensitivity to sigma, from
// which the next trial's search starts.
struct IVSearch {
    Quote m;
    double price;
    bool have_last;
    double sigma_last, u_last, du_last;
};

// What a trial price gives the search: the price minus the quote and, where asked, the price's
// slope in sigma (the premium's from premium_vega, which also gives the critical spot's own
// slope, for the next trial's guess) and its curvature, taken as Black's (volga = vega d1 d2 /
// sigma).
struct TrialAnswer {
    double f, vega, curve;
    double terms;  // the size of the price's terms: D F N(d1) (N(-d1) for a put) and the price
};

inline TrialAnswer answer_of(IVSearch &s, const AmericanPrice &a, double sigma, bool with_vega) {
    TrialAnswer t{a.price - s.price, 0.0, 0.0, 0.0};
    if (!with_vega) return t;
    t.terms = std::fabs(a.price) + s.m.D * s.m.F * a.N_d1;
    const bool priced = a.regime == Regime::PREMIUM ||
                        (a.regime == Regime::EUROPEAN && a.price == a.bsm);
    t.vega = priced ? s.m.D * s.m.F * _norm_pdf(a.d1) : 0.0;
    t.curve = t.vega * a.d1 * (a.d1 - sigma) / sigma;
    if (a.regime == Regime::PREMIUM) {
        const PremiumVega p = premium_vega(a, s.m.S, s.m.D, s.m.q == 1);
        t.vega += p.vega;
        s.have_last = a.root_found && a.u_star == a.u_star && p.dlog_S_star == p.dlog_S_star;
        s.sigma_last = sigma;
        s.u_last = a.u_star;
        s.du_last = p.dlog_S_star;
    }
    return t;
}

// The critical search of a trial starts from the last one's spot moved along its slope.
inline double trial_guess(const IVSearch &s, double sigma) {
    return s.have_last ? s.u_last + s.du_last * (sigma - s.sigma_last) : HUGE_VAL;
}

inline double trial(IVSearch &s, double sigma) {
    return answer_of(s, price_of_quote(s.m, sigma, trial_guess(s, sigma)), sigma, false).f;
}

inline double trial_objective(double sigma, void *search) {
    return trial(*static_cast<IVSearch *>(search), sigma);
}

// Black's implied volatility of the quote by Halley's method (the volga over the vega is
// d1 d2 / sigma) from Corrado and Miller's approximation, or from the inflection point of the
// price in sigma where that has none; false outside Black's no-arbitrage bounds. Only a start:
// the steps stop once one is below 1e-4 of sigma, where the next would be below 1e-12.
inline bool black_vol_start(const IVSearch &s, double &sigma) {
    const Quote &m = s.m;
    const bool call = m.q == 1;
    const double forward_intrinsic = call ? m.F - m.K : m.K - m.F;
    const double lower = m.D * (forward_intrinsic > 0 ? forward_intrinsic : 0.0);
    const double upper = m.D * (call ? m.F : m.K);
    if (!(s.price > lower && s.price < upper)) return false;
    // Corrado-Miller on the undiscounted call (a put's by parity)
    const double call_value = s.price / m.D + (call ? 0.0 : m.F - m.K);
    const double half_gap = call_value - (m.F - m.K) / 2;
    const double disc = half_gap * half_gap - (m.F - m.K) * (m.F - m.K) / 3.141592653589793;
    sigma = disc >= 0 ? 2.5066282746310002 / (m.F + m.K) * (half_gap + std::sqrt(disc)) : 0.0;
    if (!(sigma > 0 && sigma < HUGE_VAL)) sigma = std::sqrt(2 * std::fabs(m.log_FK));
    if (sigma < 1e-3) sigma = 2.5066282746310002 * (s.price / m.D) / std::sqrt(m.F * m.K);
    for (int i = 0; i < 10; ++i) {
        const double d1 = m.log_FK / sigma + sigma / 2;
        const double vega = m.D * m.F * _norm_pdf(d1);
        double step = (black_price_at(m.log_FK, m.K, m.D, m.F, sigma, m.q) - s.price) / vega;
        if (!(std::fabs(step) < sigma)) {  // a flat price or a NaN: halve or double instead
            if (!(vega > 0) || step != step) return false;
            sigma = step > 0 ? sigma / 2 : 2 * sigma;
            continue;
        }
        const double correction = 1 - 0.5 * step * d1 * (d1 - sigma) / sigma;
        if (correction > 0.5 && correction < 2) step /= correction;
        sigma -= step;
        if (std::fabs(step) < 1e-4 * sigma) break;
    }
    return sigma > 0 && sigma == sigma;
}

constexpr int IV_NEWTON_STEPS = 12;

// brentq (xtol = rtol = _IV_TOL) returns an end of a bracket narrower than this at once.
inline double iv_closing_width(double lower_end) { return _IV_TOL * (1 + lower_end); }

// brentq on a bracket of the search's trials; the ends are known.
inline double close_bracket(IVSearch &s, double a, double f_a, double b, double f_b) {
    return brentq_known_ends(trial_objective, &s, a, f_a, b, f_b, _IV_TOL, _IV_TOL, IV_MAXITER);
}

// The search next to Black's volatility, an upper bound of the American one: Halley's steps in
// sigma with the American vega, until a step is inside brentq's tolerance; then one more price
// just past where it lands, so that brentq gets a bracket it closes at once and returns the end
// nearer the root; or, once a step is sure to land within a small fraction of that tolerance, a
// pair of prices either side of its landing. Written, as the critical search is, as a sequence
// of requests for prices, so that the searches of several quotes (and the two prices of a pair)
// run side by side, each computing exactly what it would alone. It gives up (and the quote goes
// to the general search) wherever it cannot be trusted to decide as the general one would: no
// Black volatility, a NaN, a flat price, a step to the general search's lower end or no
// convergence.
struct IVTask {
    enum Phase { START, NEWTON, PARTNER, PAIR, DONE } phase;
    IVSearch s;
    int count;            // prices asked for, 1 or 2 (a pair)
    double ask[2];        // their sigmas
    bool with_vega;
    double sigma, f, vega, curve;  // the trial the steps go from
    double terms;                  // the size of the price's terms there
    double lo, f_lo, hi, f_hi;     // the closest trials below and above the root (lo 0: none)
    int nudges, rounds;
    bool found;           // DONE with a root (else the general search decides)
    double root;
};

inline void iv_ask(IVTask &t, IVTask::Phase phase, double sigma, bool with_vega) {
    t.phase = phase;
    t.count = 1;
    t.ask[0] = sigma;
    t.with_vega = with_vega;
}

inline void iv_done(IVTask &t, bool found, double root = 0.0) {
    t.phase = IVTask::DONE;
    t.found = found;
    t.root = root;
}

// False where the search cannot start (no Black volatility below the general search's last
// upper end).
inline bool iv_start(IVTask &t) {
    double sigma;
    if (!black_vol_start(t.s, sigma) || !(sigma < IV_LAST_SIGMA_HI)) return false;
    t.sigma = sigma;
    t.nudges = 0;
    iv_ask(t, IVTask::START, sigma, true);
    return true;
}

// A trial joins the bracket; true (and done) once the bracket is inside brentq's tolerance.
inline bool iv_bracket(IVTask &t, double sigma, double f) {
    if (f <= 0 && sigma > t.lo) {
        t.lo = sigma;
        t.f_lo = f;
    }
    if (f >= 0 && sigma < t.hi) {
        t.hi = sigma;
        t.f_hi = f;
    }
    if (t.lo > 0 && t.hi - t.lo < iv_closing_width(t.lo)) {
        iv_done(t, true, close_bracket(t.s, t.lo, t.f_lo, t.hi, t.f_hi));
        return true;
    }
    return false;
}

// The next step from the trial at t.sigma.
inline void iv_step(IVTask &t) {
    if (t.rounds++ == IV_NEWTON_STEPS) return iv_done(t, false);
    if (t.f == 0) return iv_done(t, true, t.sigma);
    if (!(t.vega > 0)) return iv_done(t, false);
    const double sigma = t.sigma;
    double step = -t.f / t.vega;
    // more than rounding can hide: a few ulps of the price's terms, in sigma
    const double margin = 2e-15 * (1 + sigma) + 8 * _DBL_EPS * t.terms / t.vega;
    const double closing = iv_closing_width(sigma);
    if (std::fabs(step) < 0.4 * closing) {
        // past the root by a little of the step as well
        const double past = std::fabs(step) / 256 + margin;
        return iv_ask(t, IVTask::PARTNER, sigma + step + (step > 0 ? past : -past), false);
    }
    const double correction = 1 + 0.5 * step * t.curve / t.vega;  // Halley's
    if (correction > 0.5 && correction < 2) step /= correction;
    // the curvature is Black's alone: the landing is good to about step^2 (1/sigma + volga/vega)
    const double predicted = 4 * step * step * (1 / sigma + std::fabs(t.curve) / t.vega);
    double next = sigma + step;
    if (8 * predicted < 0.4 * closing && next > t.lo && next < t.hi) {
        double half_width = 8 * predicted + margin;
        if (half_width > 0.4 * closing) half_width = 0.4 * closing;
        if (next - half_width > IV_SIGMA_LO) {
            iv_ask(t, IVTask::PAIR, next - half_width, false);
            t.count = 2;
            t.ask[1] = next + half_width;
            return;
        }
    }
    if (t.lo > 0 && !(next > t.lo && next < t.hi)) next = 0.5 * (t.lo + t.hi);
    if (!(next > IV_SIGMA_LO)) return iv_done(t, false);  // the general search decides there
    t.sigma = next;
    iv_ask(t, IVTask::NEWTON, next, true);
}

// Resumes the search with the prices it asked for.
inline void iv_resume(IVTask &t, const TrialAnswer *a) {
    switch (t.phase) {
    case IVTask::START:
        // a start a little short of Black's volatility moves up until the price is reached
        if (a[0].f < 0) {
            if (t.nudges++ == 4) return iv_done(t, false);
            t.sigma *= 1.0001;
            if (t.sigma > IV_LAST_SIGMA_HI) return iv_done(t, false);
            return iv_ask(t, IVTask::START, t.sigma, true);
        }
        if (a[0].f != a[0].f) return iv_done(t, false);
        t.f = a[0].f;
        t.vega = a[0].vega;
        t.curve = a[0].curve;
        t.terms = a[0].terms;
        t.lo = 0.0;
        t.f_lo = 0.0;
        t.hi = t.sigma;
        t.f_hi = t.f;
        t.rounds = 0;
        return iv_step(t);
    case IVTask::NEWTON:
        if (a[0].f != a[0].f) return iv_done(t, false);
        t.f = a[0].f;
        t.vega = a[0].vega;
        t.curve = a[0].curve;
        t.terms = a[0].terms;
        if (iv_bracket(t, t.sigma, t.f)) return;
        return iv_step(t);
    case IVTask::PARTNER: {
        const double x = t.ask[0], f_x = a[0].f;
        if (f_x != f_x) return iv_done(t, false);
        if (t.f * f_x <= 0 && std::fabs(x - t.sigma) < iv_closing_width(std::fmin(x, t.sigma))) {
            return iv_done(t, true,
                           x > t.sigma ? close_bracket(t.s, t.sigma, t.f, x, f_x)
                                       : close_bracket(t.s, x, f_x, t.sigma, t.f));
        }
        t.sigma = x;  // not past it: on from there with the same slope
        t.f = f_x;
        if (iv_bracket(t, x, f_x)) return;
        return iv_step(t);
    }
    case IVTask::PAIR: {
        const double below = t.ask[0], above = t.ask[1];
        const double f_below = a[0].f, f_above = a[1].f;
        if (f_below != f_below || f_above != f_above) return iv_done(t, false);
        if (f_below <= 0 && f_above >= 0) {
            return iv_done(t, true, close_bracket(t.s, below, f_below, above, f_above));
        }
        // the root is not between them: on from the one nearer it, with the same slope
        const bool take_below = std::fabs(f_below) < std::fabs(f_above);
        t.sigma = take_below ? below : above;
        t.f = take_below ? f_below : f_above;
        if (iv_bracket(t, below, f_below) || iv_bracket(t, above, f_above)) return;
        return iv_step(t);
    }
    case IVTask::DONE:
        return;
    }
}

// The prices several searches asked for, side by side: each set up, their critical searches in
// step, each ended.
inline void iv_answer(IVTask *const *tasks, int n, TrialAnswer (*answers)[2]) {
    AmericanPrice prices[MAX_SIDE_BY_SIDE];
    CriticalSearch searches[MAX_SIDE_BY_SIDE];
    const CriticalSearch *seeded[MAX_SIDE_BY_SIDE] = {};  // GCC 16 with sanitizers cannot see it filled
    CriticalTask criticals[MAX_SIDE_BY_SIDE];
    bool runs[MAX_SIDE_BY_SIDE];
    int k = 0, found = 0;
    for (int i = 0; i < n; ++i) {
        IVTask &t = *tasks[i];
        for (int j = 0; j < t.count; ++j, ++k) {
            double guess;
            runs[k] = price_setup(t.s.m, t.ask[j], trial_guess(t.s, t.ask[j]), PRICE_CRITICAL,
                                  prices[k], searches[k], guess);
            if (runs[k]) {
                seeded[found] = &searches[k];
                critical_start(criticals[found++], guess);
            }
        }
    }
    seeded_criticals(seeded, criticals, found);
    k = 0;
    found = 0;
    for (int i = 0; i < n; ++i) {
        IVTask &t = *tasks[i];
        for (int j = 0; j < t.count; ++j, ++k) {
            AmericanPrice &a = prices[k];
            if (runs[k]) {
                price_with_critical(t.s.m, a, criticals[found++].result);
            } else if (a.regime == Regime::PREMIUM) {
                price_bracketed(t.s.m, a, BRACKETED_CRITICAL);
            }
            answers[i][j] = answer_of(t.s, a, t.ask[j], t.with_vega);
        }
    }
}

// How a quote is answered before or without the search next to Black's volatility.
enum class IVStart { ANSWERED, SEARCH };

// A quote that carries volatility is searched for as the prices are made: with a strike below
// SMALL_STRIKE scaled by a power of two (price, S, K and F, which iv_end reads so too).
inline IVStart iv_begin(IVTask &t, double &price, double &S, double &K, double D, double &F,
                        int q, double &answer) {
    if (carries_no_volatility(price, S, K, D, F, q)) {
        answer = 0.0;
        return IVStart::ANSWERED;
    }
    const int k = strike_scale_exponent(S, K, F);
    if (k != 0) {
        price = std::ldexp(price, k);
        S = std::ldexp(S, k);
        K = std::ldexp(K, k);
        F = std::ldexp(F, k);
    }
    const bool ordinary = S > 0 && S < HUGE_VAL && K > 0 && K < HUGE_VAL && F > 0 &&
                          F < HUGE_VAL && D > 0 && D < HUGE_VAL && price < HUGE_VAL;
    if (ordinary) {
        t.s = IVSearch{quote_of(S, K, D, F, q), price, false, 0.0, 0.0, 0.0};
        if (iv_start(t)) return IVStart::SEARCH;
    }
    answer = implied_vol_by_growth(price, S, K, D, F, q);
    return IVStart::ANSWERED;
}

// The answer of a finished search: its root, or the general search's.
inline double iv_end(const IVTask &t, double price, double S, double K, double D, double F,
                     int q) {
    return t.found ? t.root : implied_vol_by_growth(price, S, K, D, F, q);
}

// The implied volatilities of quotes begin to end - 1, LANES of them in flight: the searches of
// different quotes share nothing, so the CPU overlaps their chains of dependent operations.
// read(i, price, S, K, D, F, q) gives quote i, write(i, value) takes its answer, as
// _baw_implied_vol_c gives it, bit for bit; answers are written as they are found, not in order.
template <int LANES, typename Read, typename Write>
void implied_vols(std::int64_t begin, std::int64_t end, Read read, Write write) {
    static_assert(2 * LANES <= MAX_SIDE_BY_SIDE, "each search asks for up to two prices");
    struct Lane {
        IVTask task;
        std::int64_t index;
        double price, S, K, D, F;
        int q;
    };
    Lane lanes[LANES];
    IVTask *live[LANES];
    int live_lanes[LANES];
    std::int64_t next = begin;
    // The next quote that needs a search goes into the lane; those that do not are answered.
    const auto fill = [&](Lane &lane) {
        while (next < end) {
            const std::int64_t i = next++;
            read(i, lane.price, lane.S, lane.K, lane.D, lane.F, lane.q);
            double answer;
            if (iv_begin(lane.task, lane.price, lane.S, lane.K, lane.D, lane.F, lane.q, answer) ==
                IVStart::SEARCH) {
                lane.index = i;
                return true;
            }
            write(i, answer);
        }
        return false;
    };
    bool running[LANES];
    for (int l = 0; l < LANES; ++l) running[l] = fill(lanes[l]);
    for (;;) {
        int n = 0;
        for (int l = 0; l < LANES; ++l) {
            if (running[l]) {
                live[n] = &lanes[l].task;
                live_lanes[n++] = l;
            }
        }
        if (n == 0) return;
        TrialAnswer answers[LANES][2];
        iv_answer(live, n, answers);
        for (int j = 0; j < n; ++j) {
            Lane &lane = lanes[live_lanes[j]];
            iv_resume(lane.task, answers[j]);
            if (lane.task.phase != IVTask::DONE) continue;
            write(lane.index,
                  iv_end(lane.task, lane.price, lane.S, lane.K, lane.D, lane.F, lane.q));
            running[live_lanes[j]] = fill(lane);
        }
    }
}

// Returns 0.0 for a quote that carries no volatility (at or below spot intrinsic value plus
// _IV_TOL, or at the zero-volatility value), -1.0 when no volatility can be bracketed, otherwise
// the root found by brentq.
inline double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    double answer = 0.0;
    implied_vols<1>(
        0, 1,
        [&](std::int64_t, double &p, double &s, double &k, double &d, double &f, int &flag) {
            p = price, s = S, k = K, d = D, f = F, flag = q;
        },
        [&](std::int64_t, double value) { answer = value; });
    return answer;
}

}  // namespace kelvo::kernel

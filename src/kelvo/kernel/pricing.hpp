// Normal distribution, Black's price in forward form, and the Barone-Adesi-Whaley (1987)
// American price with its early-exercise boundary.
//
// Forward form: S spot, K strike, D discount factor, F forward, sigma total standard deviation.
// carry = F / S is the growth of the spot to expiry, so D * carry = exp((b - r) T) and
// sigma^2 stands for sigma^2 T of the textbook formulas.
#pragma once

#include <cmath>
#include <cstdint>
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
// sigma > 0, with log(F / K) given (an implied-volatility search works it out once); with d1 and
// N(d1) for a call, N(-d1) for a put.
struct Black {
    double price, d1, N_d1;
};

inline Black black_terms(double log_FK, double K, double D, double F, double sigma, int q) {
    const double d1 = log_FK / sigma + sigma / 2;
    const double d2 = d1 - sigma;
    // The put takes N at the negated arguments rather than 1 - N, which would cancel.
    if (q == 1) {
        const double N1 = _norm_cdf(d1);
        return {D * (F * N1 - K * _norm_cdf(d2)), d1, N1};
    }
    const double N1 = _norm_cdf(-d1);
    return {D * (K * _norm_cdf(-d2) - F * N1), d1, N1};
}

inline double black_price_at(double log_FK, double K, double D, double F, double sigma, int q) {
    return black_terms(log_FK, K, D, F, sigma, q).price;
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
inline double critical_in_spot(double Sc, const void *params, bool call) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = *static_cast<const CriticalTerms *>(params);
    const double d1c = libm::log(t.carry_over_K * Sc) * t.inv_sigma + t.half_sigma;
    double h;
    return critical_equation(t, Sc, d1c, call, h);
}

inline double _call_critical_func(double Sc, void *params) {
    return critical_in_spot(Sc, params, true);
}

inline double _put_critical_func(double Sc, void *params) {
    return critical_in_spot(Sc, params, false);
}

constexpr double CRITICAL_BRACKET_OFFSET = 1e-10;
constexpr int CRITICAL_PROBES = 20;
constexpr int CRITICAL_MAXITER = 100;

// How a critical spot is searched: seeded, in u = log(Sc / K) from a guess refined by Halley's
// steps (xtol, rtol in u: 1e-10 and 0 put the spot within 1e-10 relative), or bracketed, in the
// spot from the fixed ends and probes (xtol, rtol in the spot), which the seeded search falls
// back on and a tight reference uses with the spot to a few ulps.
struct CriticalTolerance {
    double xtol, rtol;
    bool seeded;
};
constexpr CriticalTolerance PRICE_CRITICAL{_BRENTQ_XTOL, 0.0, true};
constexpr CriticalTolerance BRACKETED_CRITICAL{_BRENTQ_XTOL, _BRENTQ_XTOL, false};
constexpr CriticalTolerance TIGHT_CRITICAL{0.0, 4 * _DBL_EPS, false};

// found_root, where given, tells whether the boundary is a root of the equation (so that it
// moves with sigma) or one of the fixed fallbacks.
inline double _solve_call_critical(CriticalParams *critical, bool *found_root = nullptr,
                                   CriticalTolerance tol = BRACKETED_CRITICAL) {
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
                                  CriticalTolerance tol = BRACKETED_CRITICAL) {
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

// The ends of the critical spot's domain, as the bracketed search takes them: beyond the strike
// by its fixed offset, up to its last probe for a call (past which its fallback is 2^21 K).
inline double critical_lo_end(double K, bool call) {
    return call ? K + CRITICAL_BRACKET_OFFSET : CRITICAL_BRACKET_OFFSET;
}
inline double critical_hi_end(double K, bool call) {
    return call ? K * 1048576.0 : K - CRITICAL_BRACKET_OFFSET;
}

// The critical-price equation in u = log(Sc / K) at one sigma. In u no logarithm stands before
// the normal distribution in the chain of each evaluation (the spot's exp runs beside it), and an
// absolute tolerance on u is a relative one on the spot.
struct CriticalSearch {
    CriticalTerms terms;
    double D, carry, log_carry;
    double u_lo, u_hi;  // the domain, inside the bracketed search's ends
    bool call;
};

// One trial point: the spot, d1 there, the premium's coefficient h and the equation's value.
struct CriticalPoint {
    double u, Sc, d1, h, value;
};

// With slope and curve (both or neither), the first two derivatives in u, for Halley's steps:
// Sc times the slope in the spot, in which the two density terms of Black's price cancel
// (Fc n(d1) = K n(d2)), and its own derivative.
inline CriticalPoint critical_point(const CriticalSearch &m, double u, double *slope = nullptr,
                                   double *curve = nullptr) {
    KELVO_TALLY(critical);
    const CriticalTerms &t = m.terms;
    CriticalPoint p;
    p.u = u;
    p.Sc = t.K * libm::exp(u);
    p.d1 = (m.log_carry + u) * t.inv_sigma + t.half_sigma;
    p.value = critical_equation(t, p.Sc, p.d1, m.call, p.h);
    if (slope != nullptr) {
        const double h = p.h;
        const double density = t.D_carry * _norm_pdf(p.d1) * t.inv_sigma;
        const double bracket = m.call ? h * (t.inv_q - 1) - density * t.inv_q
                                      : h * (1 - t.inv_q) - density * t.inv_q;
        *slope = p.Sc * bracket;
        // d/du of the bracket: h moves with N(d1), the density with -d1
        *curve = *slope + p.Sc * density * ((1 - t.inv_q) + p.d1 * t.inv_sigma * t.inv_q);
    }
    return p;
}

inline double critical_value(double u, void *params) {
    return critical_point(*static_cast<const CriticalSearch *>(params), u).value;
}

enum class Critical {
    ROOT,      // a root of the equation, found by brentq
    FALLBACK,  // the sign change lies past an end of the domain: the bracketed search's fixed end
    FAILED,    // no bracket found: the caller takes the bracketed search
};

struct CriticalRoot {
    Critical kind;
    CriticalPoint at;  // the critical spot (value: the equation's there, 0 for a fallback)
    double width;      // in u, of brentq's last bracket: the spot is within it of the root
};

constexpr int CRITICAL_HALLEY_STEPS = 8;
constexpr int CRITICAL_WIDENINGS = 40;

// Halley's step for value, slope and curve, with one division; Newton's where the correction
// would more than halve or double it. predicted_error bounds where the step lands: about
// |step|^3 ((curve / slope)^2 + 1) from a cubically converging step, four times that here.
struct HalleyStep {
    double step, predicted_error;
};

inline HalleyStep halley_step(double value, double slope, double curve) {
    const double slope2 = slope * slope;
    const double denominator = 2 * slope2 - value * curve;  // 2 slope^2 x the correction
    const double step = denominator > slope2 && denominator < 4 * slope2
                            ? -2 * value * slope / denominator
                            : -value / slope;
    const double cube = std::fabs(step) * step * step;
    return {step, 4 * cube * (curve * curve / slope2 + 1)};
}

// The side of a point the root lies on, as the bracketed search reads the signs at its ends:
// +1 above, -1 below (a call's equation falls through its root, a put's rises). An exact zero
// (a root, or a value lost to underflow far below the strike) reads as below; brentq returns a
// bracket's end that is exactly zero.
inline double root_side(const CriticalSearch &m, double value) {
    return (m.call ? value > 0 : value < 0) ? 1.0 : -1.0;
}

// One seeded critical search, from a guess inside the domain to brentq's tolerance of 1e-10 in
// u: Halley's steps until the next one is within that tolerance, then a far end just past where
// it lands; or, once a step is sure to land within a small fraction of the tolerance, a pair of
// points either side of its landing. brentq then gets a bracket already inside its tolerance and
// returns an end of it, the one nearer the root. Where the far end turns out not to be past the
// root the bracket widens four times at a time; where the sign change lies past an end of the
// domain the spot is the bracketed search's fixed fallback for that end.
//
// The search is written as a sequence of requests for points of the equation, so that the
// searches of several prices can run side by side, each round evaluating what every search asks
// for and then resuming each: the points of independent searches then overlap in the CPU, while
// each search computes exactly what it would alone.
struct CriticalTask {
    enum Phase { HALLEY, PAIR, FAR, DONE } phase;
    int count;         // points requested, 1 or 2 (a pair)
    bool derivatives;  // the point is asked for with slope and curve
    double u[2];
    CriticalPoint a;   // the best point so far
    HalleyStep halley;
    int steps;         // Halley's steps taken (-1: the guess is not yet evaluated)
    int widenings;
    double distance;   // from a to the next far end
    CriticalRoot result;
};

constexpr double CRITICAL_STOP = 0.5 * _BRENTQ_XTOL;  // brentq closes a bracket under 1e-10
constexpr double CRITICAL_PAIR_HALF_WIDTH = 0.4 * CRITICAL_STOP;

inline void critical_request(CriticalTask &t, CriticalTask::Phase phase, double u, bool derivatives) {
    t.phase = phase;
    t.count = 1;
    t.u[0] = u;
    t.derivatives = derivatives;
}

inline void critical_start(CriticalTask &t, double u_guess) {
    t.steps = -1;
    t.widenings = 0;
    t.halley = {0.0, 0.0};
    t.distance = 0.0;
    critical_request(t, CriticalTask::HALLEY, u_guess, true);
}

// brentq on the bracket a, b, which it closes at once unless it is wider than its tolerance.
inline void critical_finish(CriticalTask &t, const CriticalSearch &m, const CriticalPoint &a,
                            const CriticalPoint &b) {
    t.phase = CriticalTask::DONE;
    const double u = brentq_known_ends(critical_value, const_cast<CriticalSearch *>(&m), a.u,
                                       a.value, b.u, b.value, _BRENTQ_XTOL, 0.0,
                                       CRITICAL_MAXITER);
    const double width = std::fabs(b.u - a.u);
    if (u == b.u) {
        t.result = {Critical::ROOT, b, width};
    } else if (u == a.u) {
        t.result = {Critical::ROOT, a, width};
    } else {
        const CriticalPoint root = critical_point(m, u);  // brentq had to search: rare
        t.result = {root.value == root.value ? Critical::ROOT : Critical::FAILED, root,
                    _BRENTQ_XTOL};
    }
}

// The next far end, from a towards the root by t.distance, clipped to the domain.
inline void critical_request_far(CriticalTask &t, const CriticalSearch &m) {
    if (t.widenings == CRITICAL_WIDENINGS) {
        t.phase = CriticalTask::DONE;
        t.result = {Critical::FAILED, t.a, 0.0};
        return;
    }
    const double side = root_side(m, t.a.value);
    double u = t.a.u + side * t.distance;
    if (side > 0 ? !(u < m.u_hi) : !(u > m.u_lo)) u = side > 0 ? m.u_hi : m.u_lo;
    critical_request(t, CriticalTask::FAR, u, false);
}

// Halley's steps are over: a pair about the last one's landing, or a far end.
inline void critical_bracket(CriticalTask &t, const CriticalSearch &m, bool pair) {
    const CriticalPoint &a = t.a;
    if (a.value != a.value) {
        t.phase = CriticalTask::DONE;
        t.result = {Critical::FAILED, a, 0.0};
        return;
    }
    const double margin = 1e-14 * (1 + std::fabs(a.u));
    t.distance = 1e-3 * (1 + std::fabs(a.u));  // a step the wrong way, or a NaN one
    if (pair) {
        const double landing = a.u + t.halley.step;
        double half_width = 8 * t.halley.predicted_error + margin;
        if (half_width > CRITICAL_PAIR_HALF_WIDTH) half_width = CRITICAL_PAIR_HALF_WIDTH;
        const double u_below = landing - half_width, u_above = landing + half_width;
        if (u_below > m.u_lo && u_above < m.u_hi) {
            critical_request(t, CriticalTask::PAIR, u_below, false);
            t.count = 2;
            t.u[1] = u_above;
            return;
        }
    } else if (t.halley.step * root_side(m, a.value) > 0) {
        // a little past Halley's landing, and by more than rounding can hide
        t.distance = std::fabs(t.halley.step) * (1 + 1.0 / 256) + margin;
    }
    critical_request_far(t, m);
}

// After a Halley step from a: another step, or the bracket.
inline void critical_after_step(CriticalTask &t, const CriticalSearch &m) {
    if (t.steps < CRITICAL_HALLEY_STEPS && !(std::fabs(t.halley.step) < CRITICAL_STOP)) {
        double u = t.a.u + t.halley.step;
        if (u > m.u_lo && u < m.u_hi) {
            if (8 * t.halley.predicted_error < CRITICAL_PAIR_HALF_WIDTH) {
                critical_bracket(t, m, true);
                return;
            }
        } else if (t.halley.step == t.halley.step) {
            // a step out of the domain goes halfway to its end instead
            u = 0.5 * (t.a.u + (t.halley.step > 0 ? m.u_hi : m.u_lo));
            t.halley.step = u - t.a.u;
        }
        if (u > m.u_lo && u < m.u_hi) {
            critical_request(t, CriticalTask::HALLEY, u, true);
            return;
        }
    }
    critical_bracket(t, m, false);
}

// Resumes the search with the points it asked for (slope and curve with the first, where
// asked).
inline void critical_resume(CriticalTask &t, const CriticalSearch &m, const CriticalPoint *p,
                            double slope, double curve) {
    switch (t.phase) {
    case CriticalTask::HALLEY: {
        const HalleyStep halley = halley_step(p[0].value, slope, curve);
        if (t.steps < 0) {  // the guess
            t.a = p[0];
            t.halley = halley;
            t.steps = 0;
            critical_after_step(t, m);
            return;
        }
        if (!(std::fabs(p[0].value) < std::fabs(t.a.value))) {  // no better: bracket from a
            critical_bracket(t, m, false);
            return;
        }
        t.a = p[0];
        const bool shrinking = std::fabs(halley.step) < std::fabs(t.halley.step);
        t.halley = halley;
        if (!shrinking) {
            critical_bracket(t, m, false);
            return;
        }
        ++t.steps;
        critical_after_step(t, m);
        return;
    }
    case CriticalTask::PAIR: {
        const CriticalPoint &below = p[0], &above = p[1];
        if (below.value != below.value || above.value != above.value) {
            t.phase = CriticalTask::DONE;
            t.result = {Critical::FAILED, t.a, 0.0};
            return;
        }
        if (root_side(m, below.value) > 0 && root_side(m, above.value) < 0) {
            critical_finish(t, m, below, above);
            return;
        }
        // the root is not between them: on from the one next to it
        t.a = root_side(m, below.value) < 0 ? below : above;
        t.distance = 4 * CRITICAL_PAIR_HALF_WIDTH;
        critical_request_far(t, m);
        return;
    }
    case CriticalTask::FAR: {
        const CriticalPoint &b = p[0];
        if (b.value != b.value) {
            t.phase = CriticalTask::DONE;
            t.result = {Critical::FAILED, t.a, 0.0};
            return;
        }
        const double side = root_side(m, t.a.value);
        if (root_side(m, b.value) != side) {
            const CriticalPoint a = t.a;
            critical_finish(t, m, a, b);
            return;
        }
        if (side > 0 ? b.u == m.u_hi : b.u == m.u_lo) {
            // the sign change lies past the end: the bracketed search's fixed fallback there
            const double K = m.terms.K;
            CriticalPoint end;
            end.Sc = side > 0 ? (m.call ? 2 * critical_hi_end(K, true) : critical_hi_end(K, false))
                              : critical_lo_end(K, m.call);
            end.d1 = libm::log(m.carry * end.Sc / K) / m.terms.sigma + m.terms.sigma / 2;
            end.h = premium_coefficient(m.D, m.carry, end.d1, m.call);
            end.u = std::numeric_limits<double>::quiet_NaN();
            end.value = 0.0;
            t.phase = CriticalTask::DONE;
            t.result = {Critical::FALLBACK, end, 0.0};
            return;
        }
        t.a = b;
        t.distance *= 4;
        ++t.widenings;
        critical_request_far(t, m);
        return;
    }
    case CriticalTask::DONE:
        return;
    }
}

// Evaluates what a search asks for.
inline void critical_evaluate(CriticalTask &t, const CriticalSearch &m, CriticalPoint *p,
                              double &slope, double &curve) {
    if (t.derivatives) {
        p[0] = critical_point(m, t.u[0], &slope, &curve);
    } else {
        p[0] = critical_point(m, t.u[0]);
        if (t.count == 2) p[1] = critical_point(m, t.u[1]);
    }
}

inline CriticalRoot seeded_critical(const CriticalSearch &m, double u_guess) {
    CriticalTask t;
    critical_start(t, u_guess);
    while (t.phase != CriticalTask::DONE) {
        CriticalPoint p[2];
        double slope = 0.0, curve = 0.0;
        critical_evaluate(t, m, p, slope, curve);
        critical_resume(t, m, p, slope, curve);
    }
    return t.result;
}

// Several searches side by side (n at most MAX_SIDE_BY_SIDE), each as it would run alone.
constexpr int MAX_SIDE_BY_SIDE = 8;

inline void seeded_criticals(const CriticalSearch *const *m, CriticalTask *tasks, int n) {
    for (;;) {
        CriticalPoint p[MAX_SIDE_BY_SIDE][2];
        double slope[MAX_SIDE_BY_SIDE], curve[MAX_SIDE_BY_SIDE];
        bool running = false;
        for (int i = 0; i < n; ++i) {
            if (tasks[i].phase == CriticalTask::DONE) continue;
            running = true;
            slope[i] = curve[i] = 0.0;
            critical_evaluate(tasks[i], *m[i], p[i], slope[i], curve[i]);
        }
        if (!running) return;
        for (int i = 0; i < n; ++i) {
            if (tasks[i].phase != CriticalTask::DONE) {
                critical_resume(tasks[i], *m[i], p[i], slope[i], curve[i]);
            }
        }
    }
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

// One quote's inputs with what every volatility shares: the logarithms and, where an
// early-exercise premium can apply at all, the critical spot's domain in u.
struct Quote {
    double S, K, D, F;
    int q;                 // 1 call, -1 put
    double log_FK;         // log(F / K)
    double carry;          // F / S
    bool may_exercise;     // D <= 1, and for a call D F / S < 1 (or a NaN among them)
    double log_carry;      // from here on set where may_exercise
    double log_SK;         // log(S / K), the premium's power exp(q (log_SK - u*))
    double minus_2_log_D;  // M sigma^2; 0 at D == 1
    bool has_domain;       // u_lo < u_hi: the seeded search can run
    double u_lo, u_hi;
};

inline Quote quote_of(double S, double K, double D, double F, int q) {
    Quote m;
    m.S = S;
    m.K = K;
    m.D = D;
    m.F = F;
    m.q = q == 1 ? 1 : -1;
    m.log_FK = libm::log(F / K);
    m.carry = F / S;
    m.may_exercise = !(D > 1) && !(q == 1 && D * m.carry >= 1);
    if (!m.may_exercise) return m;
    m.log_carry = libm::log(m.carry);
    m.log_SK = m.log_FK - m.log_carry;
    m.minus_2_log_D = D == 1 ? 0.0 : -2 * libm::log(D);
    // the domain's ends over K: 1 + e and 2^20 for a call, e and 1 - e for a put (e = 1e-10 /
    // K); log(1 +- e) by its series where e is small
    const double e = CRITICAL_BRACKET_OFFSET / K;
    if (q == 1) {
        m.has_domain = e > 0 && e < 1;
        m.u_lo = e < 1e-4 ? e * (1 - e * (0.5 - e * (1.0 / 3))) : libm::log(1 + e);
        m.u_hi = 13.862943611198906;  // log 2^20
    } else {
        m.has_domain = e > 0 && e < 0.5;
        m.u_lo = libm::log(e);
        m.u_hi = e < 1e-4 ? -e * (1 + e * (0.5 + e * (1.0 / 3))) : libm::log(1 - e);
    }
    return m;
}

// A first guess of the critical spot, in u: between the boundary at expiry and that of the
// perpetual option (the exponent without the 1 - D of finite maturity) by exp(h), h from the
// carry and the total standard deviation (where h < 0), as in Barone-Adesi and Whaley's seed,
// whose boundary at expiry is the strike. Bjerksund and Stensland's is closer: a call's is
// max(K, K r / (r - b)), a put's min(K, K r / (r - b)), far below the strike where the yield
// exceeds the rate (the put's search took 8 to 18 points from the strike there, 4 or 5 from
// this). NaN where it is no guess.
inline double critical_seed(const Quote &m, double sigma, double N_val) {
    const bool call = m.q == 1;
    const double M = m.minus_2_log_D / (sigma * sigma);
    const double root = std::sqrt(N_val * N_val + 4 * M);
    const double q_perpetual = call ? (-N_val + root) / 2 : (-N_val - root) / 2;
    const double ratio = 1 / (1 - 1 / q_perpetual);  // the perpetual boundary over K
    // r / (r - b) with r T = -log D and b T = log carry
    const double r = 0.5 * m.minus_2_log_D, r_minus_b = r - m.log_carry;
    double at_expiry = 1.0;
    if (call ? r_minus_b > 0 && r > r_minus_b : r > 0 && r_minus_b > r) at_expiry = r / r_minus_b;
    if (!(call ? at_expiry < ratio : at_expiry > ratio)) at_expiry = 1.0;
    const double h = call ? -(m.log_carry + 2 * sigma) * at_expiry / (ratio - at_expiry)
                          : (m.log_carry - 2 * sigma) * at_expiry / (at_expiry - ratio);
    // a carry beyond 2 sigma the wrong way makes h positive: the perpetual boundary itself
    const double seed = at_expiry + (ratio - at_expiry) * (h <= 0 ? 1 - libm::exp(h) : 1.0);
    const double u = libm::log(seed);
    return u > m.u_lo && u < m.u_hi ? u : std::numeric_limits<double>::quiet_NaN();
}

// A table of critical spots, the seeded search's first guess wherever a quote lies inside it:
// u* on a grid of three coordinates, interpolated linearly in each. Within the table's ranges
// the guess is within 1e-2 of the root for nine quotes in ten, where the formula above is for
// one call in five and one put in three; it also costs less than the formula's chain of
// divisions, exp and log, which stands before the search's first point. The coordinates, with
// r T = -log D and q T = r T - log carry (the yield), are
//   t = +-log2(1 + |X|), X = log2(r / q): the rate against the yield, finest where they are
//                      equal (where the boundary at expiry has its kink); a put without yield
//                      and a call without rate are held at the table's end;
//   log2((r + q) T) - 2 log2(sigma) and log2(sigma),
// each logarithm taken coarsely (coarse_log2: exact at powers of two, linear between, a few
// integer operations), which is monotone and continuous: the table is built on the same
// coordinates, so it costs nothing in accuracy. It is filled once while the module starts
// (build_critical_table), and is read-only afterwards; before, every guess is the formula's.
#define KELVO_CRITICAL_TABLE 1  // for the benchmarks that build earlier kernels too
namespace critical_table {
constexpr int T_NODES = 75, Y_NODES = 24, V_NODES = 19;
constexpr double T_END = 3.7;            // |X| up to 12.6: r / q from 1/6000 to 6000
constexpr double Y_LO = -10, Y_HI = 13;  // (r + q) T / sigma^2 from 1e-3 to 8e3
constexpr double V_LO = -7, V_HI = 2;    // sigma from 1/128 to 4
constexpr double T_STEP = 2 * T_END / (T_NODES - 1);
constexpr double Y_STEP = (Y_HI - Y_LO) / (Y_NODES - 1);
constexpr double V_STEP = (V_HI - V_LO) / (V_NODES - 1);
constexpr double T_PER = 1 / T_STEP, Y_PER = 1 / Y_STEP, V_PER = 1 / V_STEP;
struct Table {
    float u[2][T_NODES][Y_NODES][V_NODES];  // [0] calls, [1] puts; NaN where no root
    bool ready;
};
inline Table table;

// log2 x at powers of two, linear between; x a positive normal double.
inline double coarse_log2(double x) {
    using namespace exp_log_detail;
    const std::uint64_t u = bits_of(x);
    const double mantissa = double_of((u & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    return static_cast<double>(static_cast<int>(u >> 52) - 1023) + (mantissa - 1);
}

// Its inverse, for the table's nodes.
inline double coarse_exp2(double z) {
    const double whole = std::floor(z);
    return std::ldexp(1 + (z - whole), static_cast<int>(whole));
}

inline bool positive_normal(double x) {
    return x >= std::numeric_limits<double>::min() && x <= std::numeric_limits<double>::max();
}

// Position on an axis of n nodes from lo, per_step nodes a unit: the cell's first node and the
// fraction past it; false outside the axis (or NaN).
inline bool cell(double z, double lo, double per_step, int n, int &index, double &fraction) {
    const double position = (z - lo) * per_step;
    if (!(position >= 0 && position <= n - 1)) return false;
    index = static_cast<int>(position);
    if (index > n - 2) index = n - 2;
    fraction = position - index;
    return true;
}
}  // namespace critical_table

// The table's guess for a quote that may exercise; NaN outside the table (or before it is built).
inline double table_guess(const Quote &m, double sigma) {
    using namespace critical_table;
    if (!table.ready) return std::numeric_limits<double>::quiet_NaN();
    const bool call = m.q == 1;
    const double rate = 0.5 * m.minus_2_log_D, yield = rate - m.log_carry;
    double t;
    if (rate > 0 && yield > 1e-9 * rate) {
        const double X = coarse_log2(rate / yield);
        t = std::copysign(coarse_log2(1 + std::fabs(X)), X);
    } else if (rate > 0 && yield >= -1e-9 * rate) {
        t = HUGE_VAL;  // no yield, to rounding
    } else {
        t = rate == 0 && yield > 0 ? -HUGE_VAL : std::numeric_limits<double>::quiet_NaN();
    }
    // towards no yield a put's boundary settles, and towards no rate a call's; the other ends
    // run off (a call's boundary rises without bound as the yield vanishes)
    if (call ? t < -T_END : t > T_END) t = call ? -T_END : T_END;
    const double total = rate + yield;  // (r + q) T
    if (!(positive_normal(total) && positive_normal(sigma))) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double V = coarse_log2(sigma), Y = coarse_log2(total) - 2 * V;
    int i, j, k;
    double ft, fy, fv;
    if (!(cell(t, -T_END, T_PER, T_NODES, i, ft) && cell(Y, Y_LO, Y_PER, Y_NODES, j, fy) &&
          cell(V, V_LO, V_PER, V_NODES, k, fv))) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto &u = table.u[call ? 0 : 1];
    const auto along_v = [&](int a, int b) {
        return u[a][b][k] + fv * (static_cast<double>(u[a][b][k + 1]) - u[a][b][k]);
    };
    const auto along_y = [&](int a) {
        const double lo = along_v(a, j);
        return lo + fy * (along_v(a, j + 1) - lo);
    };
    const double lo = along_y(i);
    return lo + ft * (along_y(i + 1) - lo);
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
    double d1;         // Black's d1
    double N_d1;       // N(d1) for a call, N(-d1) for a put
    double carry;      // F / S
    double N_val;      // 2 log(carry) / sigma^2 - 1
    double four_M_over_k2;
    double sqrt_disc;
    double q_exp;      // q2 for a call, q1 for a put
    double S_star;     // critical spot
    double u_star;     // log(S_star / K), where the seeded search found the spot
    bool root_found;   // S_star is a root of the critical equation (else a fixed fallback)
    double d1_star;    // d1 at the critical spot
    double h_star;     // the premium's coefficient h there
    double log_S_over_star;  // log(S / S_star), where the seeded search found a root; else NaN
    double power;      // (S / S_star)^q
    double premium;    // A (S / S_star)^q
};

// Black's price plus the premium, short of the critical spot; where rounding leaves the sum below
// immediate exercise (a premium that vanishes with 1 - D c, say), the value of exercising; where
// it leaves the sum above what the option can be worth (the spot a call delivers, the strike a
// put pays: at total deviations above some 1e5 the premium's factors lose every digit), that.
inline AmericanPrice with_premium(AmericanPrice &r, double bsm, double exercise, double ceiling) {
    r.price = bsm + r.premium;
    r.regime = Regime::PREMIUM;
    if (r.price < exercise) {
        r.price = exercise;
        r.regime = Regime::EXERCISE;
    } else if (r.price > ceiling) {
        r.price = ceiling;
    }
    return r;
}

// The American price of an ordinary sigma (SIGMA_FLOOR to SIGMA_CEILING) on a quote, in three
// parts so that the critical searches of several prices can run side by side: price_setup does
// all but the search and returns true where a seeded search is to run (filling search and its
// guess: u_guess where it lies inside the domain, else BAW's seed); price_with_critical ends the
// price from its result (from the bracketed search where the seeded one failed); price_bracketed
// is the price where no seeded search runs.
inline bool price_setup(const Quote &m, double sigma, double u_guess, CriticalTolerance tol,
                        AmericanPrice &r, CriticalSearch &search, double &guess) {
    KELVO_TALLY(american);
    const double S = m.S, K = m.K, D = m.D;
    const int q = m.q;
    const bool call = q == 1;
    r.sigma = sigma;
    const Black black = black_terms(m.log_FK, K, D, m.F, sigma, q);
    r.bsm = black.price;
    r.d1 = black.d1;
    r.N_d1 = black.N_d1;
    r.regime = Regime::EUROPEAN;
    r.carry = m.carry;
    if (!m.may_exercise) {
        r.price = european_floored(r.bsm, S, K, q);
        return false;
    }
    const PremiumExponents e = premium_exponents(m.log_carry, D, m.minus_2_log_D, sigma);
    r.N_val = e.N_val;
    r.four_M_over_k2 = e.four_M_over_k2;
    r.sqrt_disc = e.sqrt_disc;
    const double q_exp = premium_exponent(e, call);
    r.q_exp = q_exp;
    if (call ? q_exp <= 0 : q_exp >= 0) {
        r.price = european_floored(r.bsm, S, K, q);
        return false;
    }
    r.regime = Regime::PREMIUM;  // the search decides
    if (!(tol.seeded && m.has_domain)) return false;
    const CriticalParams params{K, D, m.carry, sigma, q_exp};
    search = {critical_terms(params), D, m.carry, m.log_carry, m.u_lo, m.u_hi, call};
    guess = u_guess > m.u_lo && u_guess < m.u_hi ? u_guess : table_guess(m, sigma);
    if (!(guess > m.u_lo && guess < m.u_hi)) guess = critical_seed(m, sigma, e.N_val);
    if (guess != guess) guess = call ? 0.6931471805599453 : -0.6931471805599453;
    return true;
}

// The premium from a critical spot, or immediate exercise at or past it.
inline void price_from_spot(const Quote &m, AmericanPrice &r) {
    const bool call = m.q == 1;
    const double exercise = call ? m.S - m.K : m.K - m.S;
    if (call ? m.S >= r.S_star : m.S <= r.S_star) {
        r.price = exercise;
        r.regime = Regime::EXERCISE;
        return;
    }
    with_premium(r, r.bsm, exercise, call ? m.S : m.K);
}

inline void price_bracketed(const Quote &m, AmericanPrice &r, CriticalTolerance tol) {
    const double S = m.S, K = m.K, sigma = r.sigma, q_exp = r.q_exp;
    const bool call = m.q == 1;
    CriticalParams params{K, m.D, m.carry, sigma, q_exp};
    const double S_star = call ? _solve_call_critical(&params, &r.root_found, tol)
                               : _solve_put_critical(&params, &r.root_found, tol);
    r.S_star = S_star;
    r.u_star = std::numeric_limits<double>::quiet_NaN();
    r.d1_star = libm::log(m.carry * S_star / K) / sigma + sigma / 2;
    r.h_star = premium_coefficient(m.D, m.carry, r.d1_star, call);
    r.log_S_over_star = std::numeric_limits<double>::quiet_NaN();
    r.power = libm::pow(S / S_star, q_exp);
    r.premium = (call ? 1.0 : -1.0) * (S_star / q_exp) * r.h_star * r.power;
    price_from_spot(m, r);
}

inline void price_with_critical(const Quote &m, AmericanPrice &r, const CriticalRoot &root) {
    if (root.kind == Critical::FAILED) {
        price_bracketed(m, r, BRACKETED_CRITICAL);
        return;
    }
    const CriticalPoint &at = root.at;
    const double q_exp = r.q_exp;
    const double sign = m.q == 1 ? 1.0 : -1.0;
    r.S_star = at.Sc;
    r.u_star = at.u;
    r.root_found = root.kind == Critical::ROOT;
    r.d1_star = at.d1;
    r.h_star = at.h;
    if (r.root_found) {
        // A from smooth pasting, +-(S* / q) h, moves with the spot's error times about 1 + |q|;
        // from value matching, S* - K - c(S*) for a call and K - S* - p(S*) for a put, it is
        // stationary in the spot (its error only squared) but takes the equation's rounding, a
        // few ulps of S* + K, whole: the one that errs less, never a negative premium
        r.log_S_over_star = m.log_SK - at.u;
        r.power = libm::exp(q_exp * r.log_S_over_star);
        const double pasting = sign * (at.Sc / q_exp) * at.h;
        const double matching = pasting - at.value;
        const double pasting_error = std::fabs(pasting) * (1 + std::fabs(q_exp)) * root.width;
        const double matching_error = 8 * _DBL_EPS * (at.Sc + m.K);
        const bool match = matching_error < pasting_error && matching > 0;
        r.premium = (match ? matching : pasting) * r.power;
    } else {
        r.log_S_over_star = std::numeric_limits<double>::quiet_NaN();
        r.power = libm::pow(m.S / at.Sc, q_exp);
        r.premium = sign * (at.Sc / q_exp) * at.h * r.power;
    }
    price_from_spot(m, r);
}

// u_guess, where inside the domain, starts the seeded critical search in place of BAW's seed.
inline AmericanPrice price_of_quote(const Quote &m, double sigma, double u_guess = HUGE_VAL,
                                    CriticalTolerance tol = PRICE_CRITICAL) {
    AmericanPrice r;  // each regime sets what it defines; greeks read no more
    CriticalSearch search;
    double guess;
    if (price_setup(m, sigma, u_guess, tol, r, search, guess)) {
        price_with_critical(m, r, seeded_critical(search, guess));
    } else if (r.regime == Regime::PREMIUM) {  // no domain, or the bracketed search asked for
        price_bracketed(m, r, tol.seeded ? BRACKETED_CRITICAL : tol);
    }
    return r;
}

inline AmericanPrice american_price(double S, double K, double D, double F, double sigma, int q,
                                    CriticalTolerance tol = PRICE_CRITICAL) {
    AmericanPrice r;
    if (sigma <= 0) {
        KELVO_TALLY(american);
        r.price = spot_intrinsic(S, K, q);
        r.regime = Regime::NO_VOLATILITY;
        return r;
    }
    if (sigma != sigma) {
        // every price past the limits below depends on sigma (a NaN spot or rate may not: a
        // European price needs no spot); left to the formulas, a NaN's sign bit, which differs
        // with the operation and the compiler, would steer the critical search
        KELVO_TALLY(american);
        r.price = std::numeric_limits<double>::quiet_NaN();
        r.regime = Regime::DEGENERATE;
        return r;
    }
    if (sigma < SIGMA_FLOOR) {
        sigma = SIGMA_FLOOR;
    } else if (sigma > SIGMA_CEILING) {
        sigma = SIGMA_CEILING;
    }
    if (degenerate_price(S, K, D, F, q, &r.price)) {
        KELVO_TALLY(american);
        r.sigma = sigma;
        r.regime = Regime::DEGENERATE;
        return r;
    }
    return price_of_quote(quote_of(S, K, D, F, q), sigma, HUGE_VAL, tol);
}

// The critical spot by Halley's steps alone from a guess close to it, to 1e-9 in u (a table's
// node needs no more); NaN where four steps do not get there inside the domain.
inline double halley_critical(const CriticalSearch &m, double u) {
    for (int step = 0; step < 4; ++step) {
        double slope, curve;
        const CriticalPoint p = critical_point(m, u, &slope, &curve);
        const HalleyStep h = halley_step(p.value, slope, curve);
        u += h.step;
        if (!(u > m.u_lo && u < m.u_hi)) break;
        if (std::fabs(h.step) < 1e-9) return u;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

// Fills the table of critical spots (above), on spot and strike 1: each node by Halley's steps
// from its neighbour's spot along t, or by the seeded search where those do not converge (the
// first node of each row, from the formula's guess). Called once while a module starts, before
// any price is asked for; some 11 ms.
inline void build_critical_table() {
    using namespace critical_table;
    if (table.ready) return;
    for (int side = 0; side < 2; ++side) {
        for (int j = 0; j < Y_NODES; ++j) {
            for (int k = 0; k < V_NODES; ++k) {
                const double V = V_LO + k * V_STEP;
                const double sigma = coarse_exp2(V);
                const double total = coarse_exp2(Y_LO + j * Y_STEP + 2 * V);  // (r + q) T
                double previous = HUGE_VAL;
                for (int i = 0; i < T_NODES; ++i) {
                    const double t = -T_END + i * T_STEP;
                    const double X = std::copysign(coarse_exp2(std::fabs(t)) - 1, t);
                    const double ratio = coarse_exp2(X);  // r / q
                    const double rate = total * ratio / (1 + ratio), yield = total / (1 + ratio);
                    double u = std::numeric_limits<double>::quiet_NaN();
                    if (rate <= 50 && yield <= 50) {  // a discount or growth above 1e-21
                        const Quote m = quote_of(1.0, 1.0, libm::exp(-rate),
                                                 libm::exp(rate - yield), side == 0 ? 1 : -1);
                        AmericanPrice r;
                        CriticalSearch search;
                        double guess;
                        if (price_setup(m, sigma, previous, PRICE_CRITICAL, r, search, guess)) {
                            u = halley_critical(search, guess);
                            if (u != u) {
                                const CriticalRoot root = seeded_critical(search, guess);
                                if (root.kind == Critical::ROOT) u = root.at.u;
                            }
                        }
                    }
                    table.u[side][i][j][k] = static_cast<float>(u);
                    previous = u == u ? u : HUGE_VAL;
                }
            }
        }
    }
    table.ready = true;
}

// Below a strike of 1 the critical search's absolute offsets and tolerances (1e-10 in the spot)
// weigh more in the price: at 1e-6 by parts in 1e4, at 1e-10 a put turned negative. A price is
// homogeneous of degree one in S, K and F, and a power of two scales them exactly.
constexpr double SMALL_STRIKE = 1.0;

// k such that K 2^k lies in [1, 2) where K is below `below` or above `above` (and S 2^k and F 2^k
// are finite), else 0.
inline int strike_scale_exponent(double S, double K, double F, double below = SMALL_STRIKE,
                                 double above = HUGE_VAL) {
    if (!(K > 0 && (K < below || K > above))) return 0;
    int exponent;
    std::frexp(K, &exponent);  // K = m 2^exponent, m in [0.5, 1)
    const int k = 1 - exponent;
    return std::ldexp(S, k) < HUGE_VAL && std::ldexp(F, k) < HUGE_VAL ? k : 0;
}

inline double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    const int k = strike_scale_exponent(S, K, F);
    if (k != 0) {
        return std::ldexp(american_price(std::ldexp(S, k), std::ldexp(K, k), D, std::ldexp(F, k),
                                         sigma, q).price, -k);
    }
    return american_price(S, K, D, F, sigma, q).price;
}

// The premium's sensitivity to sigma, P = A (S / S*)^q, with the critical spot's own
// sigma-derivative by implicit differentiation of the critical-price equation (none where the
// boundary is a fixed fallback, not a root): dP/dsigma and d log(S*)/dsigma.
struct PremiumVega {
    double vega;
    double dlog_S_star;
};

inline PremiumVega premium_vega(const AmericanPrice &a, double S, double D, bool call) {
    const double sig = a.sigma, q_exp = a.q_exp, S_star = a.S_star, P = a.premium;
    // dq/dsigma: N = 2 log(c) / sigma^2 - 1 and 4 M / k2 both scale as sigma^-2.
    const double dN = -2 * (a.N_val + 1) / sig;
    const double d_disc = 2 * a.N_val * dN - 2 * a.four_M_over_k2 / sig;
    const double d_sqrt = a.sqrt_disc > 0 ? d_disc / (2 * a.sqrt_disc) : 0.0;
    const double dq = call ? (-dN + d_sqrt) / 2 : (-dN - d_sqrt) / 2;

    // At the critical spot: d1*, d2*, and h = 1 - D c N(+-d1*), the premium's coefficient
    // A = +-(S* / q) h; D c N(+-d1*) = 1 - h, for a put at a zero rate too.
    const double d1s = a.d1_star, d2s = d1s - sig;
    const double pdf1s = _norm_pdf(d1s);
    const double Dc = D * a.carry;
    const double sign = call ? 1.0 : -1.0;
    const double h = a.h_star;
    // The critical-price equations G(S*, sigma) = 0, G = Black(S*) + (S* / q) h - (S* - K) for
    // the call and Black_p(S*) - (S* / q) h - (K - S*) for the put, give dS*/dsigma = -G_s / G_S.
    double dS_star = 0.0;
    if (a.root_found) {
        const double dh_dS = -sign * Dc * pdf1s / (S_star * sig);  // partial in S*
        const double dh_dsig = sign * Dc * pdf1s * d2s / sig;      // partial in sigma
        const double black_dS = sign * (1 - h);
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
    const double log_S_over_star =
        a.log_S_over_star == a.log_S_over_star ? a.log_S_over_star : libm::log(S / S_star);
    // Total sigma-derivative of h along the boundary, then of P = A (S / S*)^q.
    const double dd1s = dS_star / (S_star * sig) - d2s / sig;
    const double dh = -sign * Dc * pdf1s * dd1s;
    const double vega = P * ((1 - q_exp) * dS_star / S_star - dq / q_exp + dq * log_S_over_star) +
                        sign * (S_star / q_exp) * a.power * dh;
    return {vega, dS_star / S_star};
}

struct Greeks {
    double price;
    double delta;  // dV/dS, with D and the carry F / S held: the forward moves with the spot
    double gamma;  // d2V/dS2, likewise
    double vega;   // dV/dsigma, per unit of total standard deviation
    // dV/dF and dV/dD, the other inputs held: what theta and rho are made of
    double dF = std::numeric_limits<double>::quiet_NaN();
    double dD = std::numeric_limits<double>::quiet_NaN();
};

// Black's delta, gamma, vega and dV/dF in forward form with F = carry S, at sigma > 0, from its
// d1 and N(d1) (N(-d1) for a put).
inline void black_sensitivities(Greeks &g, double S, double D, double F, double carry,
                                double sigma, double d1, double N_d1, bool call) {
    const double pdf1 = _norm_pdf(d1);
    g.delta = call ? D * carry * N_d1 : -D * carry * N_d1;
    g.gamma = D * carry * pdf1 / (S * sigma);
    g.vega = D * F * pdf1;
    g.dF = call ? D * N_d1 : -D * N_d1;
}

// The premium's sensitivities to the carry c = F / S and to D, P = A (S / S*)^q with
// A = +-(S* / q) h and h = 1 - D c N(+-d1*): through q (whose N holds log c and whose M / k2
// holds D), through h, and through the critical spot, whose derivatives come from the
// critical-price equation G(S*, c, D) = 0 as for vega (none where the boundary is a fixed
// fallback). dP/dF is dP/dc / S.
struct PremiumCarry {
    double dc;
    double dD;
};

inline PremiumCarry premium_carry(const AmericanPrice &a, double S, double K, double D,
                                  bool call) {
    const double sig = a.sigma, q_exp = a.q_exp, S_star = a.S_star, P = a.premium, c = a.carry;
    const double s = call ? 1.0 : -1.0;
    const double sig2 = sig * sig;
    // q = (-N + s sqrt(N^2 + 4 M/k2)) / 2, N = 2 log c / sig^2 - 1,
    // M/k2 = -2 log D / (sig^2 (1 - D)), whose D-derivative is -2 / sig^2 (e / D + log D) / e^2
    // with e = 1 - D: by its series 1/2 + 2e/3 + 3e^2/4 + ... where that would cancel
    const double dN_dc = 2 / (c * sig2);
    const double e = 1 - D;
    const double ratio = e < 1e-3 ? 0.5 + e * (2.0 / 3 + e * (0.75 + e * (0.8 + e * (5.0 / 6))))
                                   : (e / D + libm::log(D)) / (e * e);
    const double dMk_dD = -2 / sig2 * ratio;
    const double root = a.sqrt_disc;
    const double dq_dc = root > 0 ? (-dN_dc + s * a.N_val * dN_dc / root) / 2 : -dN_dc / 2;
    const double dq_dD = root > 0 ? s * dMk_dD / root : 0.0;
    // h = 1 - D c N(s d1*) at the critical spot, and its partials there
    const double pdf1s = _norm_pdf(a.d1_star), h = a.h_star;
    const double dh_dc = -(1 - h) / c - s * D * pdf1s / sig;
    const double dh_dD = -(1 - h) / D;
    const double dh_dS = -s * D * c * pdf1s / (S_star * sig);
    // G = B_s(S*) + s (S* / q) h - s (S* - K) = 0 moves the spot: dS* = -G_theta / G_S*, with
    // B_s(S*) = s (S* - K) - s (S* / q) h at the root
    double dS_dc = 0.0, dS_dD = 0.0;
    if (a.root_found) {
        const double G_S = s * (1 - h) + s * h / q_exp + s * S_star * dh_dS / q_exp - s;
        const double through_q = s * S_star * h / (q_exp * q_exp);
        const double G_c = s * S_star * (1 - h) / c + s * S_star * dh_dc / q_exp - through_q * dq_dc;
        const double black = s * (S_star - K) - s * S_star * h / q_exp;
        const double G_D = black / D + s * S_star * dh_dD / q_exp - through_q * dq_dD;
        if (G_S != 0) {
            dS_dc = -G_c / G_S;
            dS_dD = -G_D / G_S;
        }
    }
    const double log_S_over_star =
        a.log_S_over_star == a.log_S_over_star ? a.log_S_over_star : libm::log(S / S_star);
    const auto premium_change = [&](double dS, double dq, double dh) {
        return P * ((1 - q_exp) * dS / S_star - dq / q_exp + dq * log_S_over_star) +
               s * (S_star / q_exp) * a.power * (dh + dh_dS * dS);
    };
    return {premium_change(dS_dc, dq_dc, dh_dc), premium_change(dS_dD, dq_dD, dh_dD)};
}

// The price of _baw_price, bit for bit, with its sensitivities in closed form. The critical spot
// does not depend on S, so delta and gamma of the premium A (S / S*)^q are those of a power of
// S; its vega is premium_vega's.
inline Greeks _baw_greeks(double S, double K, double D, double F, double sigma, int q) {
    const int k = strike_scale_exponent(S, K, F);
    if (k != 0) {  // as _baw_price: each sensitivity by its degree in S, K and F
        Greeks g = _baw_greeks(std::ldexp(S, k), std::ldexp(K, k), D, std::ldexp(F, k), sigma, q);
        g.price = std::ldexp(g.price, -k);
        g.gamma = std::ldexp(g.gamma, k);
        g.vega = std::ldexp(g.vega, -k);
        g.dD = std::ldexp(g.dD, -k);
        return g;
    }
    const AmericanPrice a = american_price(S, K, D, F, sigma, q);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (a.price != a.price) return {a.price, nan, nan, nan};
    Greeks g{a.price, 0.0, 0.0, 0.0};
    const bool call = q == 1;
    if (a.regime == Regime::PREMIUM && a.price == (call ? S : K)) {
        // at its ceiling (with_premium), where the price no longer moves
        g.delta = call ? 1.0 : 0.0;
        g.dF = g.dD = 0.0;
        return g;
    }
    switch (a.regime) {
    case Regime::NO_VOLATILITY:
    case Regime::EXERCISE:
        // intrinsic value: the slope of the payoff, which neither F nor D moves
        g.delta = call ? (S > K ? 1.0 : 0.0) : (S < K ? -1.0 : 0.0);
        g.dF = g.dD = 0.0;
        return g;
    case Regime::DEGENERATE:
        if (a.price != 0.0) g.delta = g.gamma = g.vega = nan;
        else g.dF = g.dD = 0.0;
        return g;
    case Regime::EUROPEAN:
    case Regime::PREMIUM:
        break;
    }
    const double sig = a.sigma;
    if (a.regime == Regime::EUROPEAN && a.price != a.bsm) {  // floored at immediate exercise
        g.delta = call ? 1.0 : -1.0;
        g.dF = g.dD = 0.0;
        return g;
    }
    black_sensitivities(g, S, D, F, a.carry, sig, a.d1, a.N_d1, call);
    g.dD = a.bsm / D;
    if (a.regime == Regime::EUROPEAN) return g;

    const double q_exp = a.q_exp, P = a.premium;
    g.delta += P * q_exp / S;
    g.gamma += P * q_exp * (q_exp - 1) / (S * S);
    g.vega += premium_vega(a, S, D, call).vega;
    const PremiumCarry carried = premium_carry(a, S, K, D, call);
    g.dF += carried.dc / S;
    g.dD += carried.dD;
    return g;
}

}  // namespace kelvo::kernel

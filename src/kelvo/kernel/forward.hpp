// Forward search: Brent's bounded minimiser and the call/put implied-volatility gap.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "constants.hpp"
#include "implied_vol.hpp"

namespace kelvo::kernel {

using minimize_func_t = double (*)(double x, void *args);

struct BoundedMinimum {
    double x;   // best point found
    double fx;  // objective there
};

// The minimiser's tolerance at x: a minimum at an end of its interval, which it never evaluates,
// is returned within 2 tol1 of that end.
inline double minimiser_tol1(double x, double xatol) {
    return _SQRT_EPS * std::fabs(x) + xatol / 3;
}

// Golden-section search with parabolic steps through the three best points (Brent 1973), on
// [xa, xb]. At most maxiter + 1 evaluations; every trial point lies strictly inside the
// current interval and at least tol1 from x.
inline BoundedMinimum _fminbound(minimize_func_t f, double xa, double xb, void *args,
                                 double xatol, int maxiter) {
    double a = xa;
    double b = xb;
    double x = a + _GOLDEN * (b - a);
    double w = x, v = x;
    double fx = f(x, args);
    double fw = fx, fv = fx;
    double d = 0.0, e = 0.0;

    for (int i = 0; i < maxiter; ++i) {
        const double midpoint = (a + b) * 0.5;
        const double tol1 = minimiser_tol1(x, xatol);
        const double tol2 = 2 * tol1;
        if (std::fabs(x - midpoint) <= tol2 - 0.5 * (b - a)) break;

        bool parabolic = false;
        if (std::fabs(e) > tol1) {
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2 * (q - r);
            if (q > 0) p = -p;
            q = std::fabs(q);
            const double e_old = e;
            // Accept only a step that is smaller than half the one before last and lands
            // inside (a, b); otherwise the parabola is not to be trusted.
            if (std::fabs(p) < std::fabs(0.5 * q * e_old) && p > q * (a - x) && p < q * (b - x)) {
                e = d;
                d = p / q;
                const double u = x + d;
                if ((u - a) < tol2 || (b - u) < tol2) d = x < midpoint ? tol1 : -tol1;
                parabolic = true;
            }
        }
        if (!parabolic) {
            e = x >= midpoint ? a - x : b - x;  // into the larger part
            d = _GOLDEN * e;
        }

        double u;
        if (std::fabs(d) >= tol1) {
            u = x + d;
        } else {
            u = d > 0 ? x + tol1 : x - tol1;
        }
        const double fu = f(u, args);

        if (fu <= fx) {  // a tie moves x as well
            if (u >= x) a = x; else b = x;
            v = w; fv = fw;
            w = x; fw = fx;
            x = u; fx = fu;
        } else {
            if (u < x) a = u; else b = u;
            if (fu <= fw || w == x) {
                v = w; fv = fw;
                w = u; fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u; fv = fu;
            }
        }
    }
    return {x, fx};
}

struct ForwardParams {
    double S;
    double D;
    const double *sel_calls;
    const double *sel_puts;
    const double *sel_strikes;
    std::int64_t n;
    // Asked between strikes whether to go on (the caller's interrupt check); once it says no,
    // every evaluation returns NaN at once and the minimiser runs out its iterations.
    int (*keep_going)(void *context) = nullptr;
    void *keep_going_context = nullptr;
    bool stopped = false;
    // Another model's implied volatility (price, S, K, D, F, q), negative where none; null:
    // the BAW search's.
    double (*implied_vol)(double, double, double, double, double, int) = nullptr;
};

// Objective value when no strike can be inverted on both sides.
constexpr double FORWARD_NO_CONTRIBUTION = 1e10;

// The rules of the forward search, here once for the module, the command line and the
// benchmarks: strikes within DEFAULT_STRIKE_PCT of the spot, widening through FALLBACK_WIDTHS
// until a window holds a strike (all strikes if none does); the parity estimate of the
// forward; the search within SEARCH_BAND of it, to FORWARD_XATOL, the side of the band whose
// edge holds the minimum doubled up to SEARCH_WIDENINGS times.
constexpr double DEFAULT_STRIKE_PCT = 0.01;
constexpr double FALLBACK_WIDTHS[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};
constexpr int N_FALLBACK_WIDTHS = sizeof FALLBACK_WIDTHS / sizeof FALLBACK_WIDTHS[0];
constexpr double SEARCH_BAND = 0.03;
constexpr int SEARCH_WIDENINGS = 3;  // a side of 3 % goes to 6, 12, then 24 %
constexpr double FORWARD_XATOL = 1e-6;
constexpr int FORWARD_MAXITER = 100;

// Put-call parity on the forward, C - P = D (F - K), solved at each strike and averaged; the
// spot where there is no strike.
inline double parity_forward(const double *calls, const double *puts, const double *strikes,
                             std::int64_t n, double S, double D) {
    double sum = 0.0;
    for (std::int64_t j = 0; j < n; ++j) sum += strikes[j] + (calls[j] - puts[j]) / D;
    return n > 0 ? sum / static_cast<double>(n) : S;
}

// The objective is smooth between breakpoints, where a side stops inverting: a call where
// D (F - K) reaches its price, a put where D (K - F) does (no volatility then gives so low a
// price). The nearest such forward beyond x in direction (+1 or -1), strictly inside (lo, hi);
// NaN where there is none.
inline double next_breakpoint(const ForwardParams &quotes, double x, double direction,
                              double lo, double hi) {
    double nearest = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t j = 0; j < quotes.n; ++j) {
        const double K = quotes.sel_strikes[j];
        const double ends[2] = {K + quotes.sel_calls[j] / quotes.D,
                                K - quotes.sel_puts[j] / quotes.D};
        for (const double b : ends) {
            if (!(b > lo && b < hi && (b - x) * direction > 0)) continue;
            if (!((b - nearest) * direction >= 0)) nearest = b;
        }
    }
    return nearest;
}

constexpr int PIECE_HOPS = 4;

// Where a strike's quote is inconsistent with the true forward (a stale deep in-the-money
// mid below D (F - K)), the objective jumps down at that strike's breakpoint, and the minimum
// found may be a local one of a neighbouring piece that still counts the strike (a forward
// 0.05 % off, implying a dividend that is not there). Each side's nearest breakpoint is probed
// just beyond; where a probe is lower, its piece is searched, and its minimum taken where it
// also lies nearer the parity estimate and away from the band's edges: a lower mean gap alone
// may come from leaving out a sound quote (a put of a cent's time value two days from expiry),
// which moves the forward away from parity. The probing goes on from a minimum taken. Where
// none is taken the minimum found stands, bit for bit.
inline BoundedMinimum lowest_piece(minimize_func_t f, void *args, const ForwardParams &quotes,
                                   BoundedMinimum best, double lo, double hi, double xatol,
                                   double parity) {
    for (int hop = 0; hop < PIECE_HOPS; ++hop) {
        BoundedMinimum probe{std::numeric_limits<double>::quiet_NaN(), best.fx};
        double edge = 0, direction = 0;
        constexpr double SIDES[2] = {-1.0, 1.0};
        for (const double side : SIDES) {
            const double b = next_breakpoint(quotes, best.x, side, lo, hi);
            if (b != b) continue;
            const double x = b + side * 2 * minimiser_tol1(b, xatol);
            if (!(x > lo && x < hi)) continue;
            const double fx = f(x, args);
            if (fx < probe.fx) probe = {x, fx}, edge = b, direction = side;
        }
        if (probe.x != probe.x) return best;
        double end = next_breakpoint(quotes, probe.x, direction, lo, hi);
        if (end != end) end = direction > 0 ? hi : lo;
        const BoundedMinimum found = _fminbound(f, std::fmin(edge, end), std::fmax(edge, end),
                                                args, xatol, FORWARD_MAXITER);
        const BoundedMinimum lower = found.fx <= probe.fx ? found : probe;
        const double margin = 3 * minimiser_tol1(lower.x, xatol);
        if (!(std::fabs(lower.x - parity) < std::fabs(best.x - parity) &&
              lower.x - lo > margin && hi - lower.x > margin)) {
            return best;
        }
        best = lower;
    }
    return best;
}

// The bounded search around the parity estimate, with objective f (normally _fwd_iv_abs_diff).
// American premia bias the parity estimate, most for long, volatile, high-rate expiries, so a
// minimum at an edge of the band (within 3 tol1 of it) means the forward may lie beyond: that
// side of the band doubles and the search runs again. A minimum still at an edge after
// SEARCH_WIDENINGS doublings gives NaN. Where no strike contributes, or the objective is NaN (a
// stopped search), the first search's point stands. With quotes (the objective's), a minimum
// inside the band is checked against the pieces beside it (lowest_piece).
inline BoundedMinimum search_forward(minimize_func_t f, void *args, double F_init,
                                     const ForwardParams *quotes = nullptr) {
    // FORWARD_XATOL is absolute: for forwards below some 1e-5 wider than the band itself (a
    // chain's forward 1.8 % off at 1e-5 of its scale, NaN below). Below 1 it shrinks with the
    // forward's binade, so that a chain scaled by a power of two finds its forward so scaled.
    double xatol = FORWARD_XATOL;
    if (F_init > 0 && F_init < 1) {
        int exponent;
        std::frexp(F_init, &exponent);
        xatol = std::ldexp(FORWARD_XATOL, exponent);
    }
    double below = SEARCH_BAND, above = SEARCH_BAND;
    for (int widening = 0;; ++widening) {
        const double lo = F_init * (1.0 - below), hi = F_init * (1.0 + above);
        const BoundedMinimum best = _fminbound(f, lo, hi, args, xatol, FORWARD_MAXITER);
        if (!(F_init > 0 && F_init < HUGE_VAL) || best.fx == FORWARD_NO_CONTRIBUTION ||
            best.fx != best.fx) {
            return best;
        }
        const double edge = 3 * minimiser_tol1(best.x, xatol);
        const bool at_lo = best.x - lo <= edge, at_hi = hi - best.x <= edge;
        if (!at_lo && !at_hi) {
            return quotes == nullptr
                       ? best
                       : lowest_piece(f, args, *quotes, best, lo, hi, xatol, F_init);
        }
        if (widening == SEARCH_WIDENINGS) {
            return {std::numeric_limits<double>::quiet_NaN(), best.fx};
        }
        if (at_lo) below *= 2;
        if (at_hi) above *= 2;
    }
}

// Mean |call IV - put IV| over the strikes where both sides invert, at forward F_trial.
inline double _fwd_iv_abs_diff(double F_trial, void *params) {
    ForwardParams &p = *static_cast<ForwardParams *>(params);
    double total = 0.0;
    std::int64_t count = 0;
    for (std::int64_t j = 0; j < p.n; ++j) {
        if (p.keep_going != nullptr && !p.stopped && !p.keep_going(p.keep_going_context)) {
            p.stopped = true;
        }
        if (p.stopped) return std::numeric_limits<double>::quiet_NaN();
        double iv[2];
        if (p.implied_vol != nullptr) {
            iv[0] = p.implied_vol(p.sel_calls[j], p.S, p.sel_strikes[j], p.D, F_trial, 1);
            iv[1] = p.implied_vol(p.sel_puts[j], p.S, p.sel_strikes[j], p.D, F_trial, -1);
        } else {
        // the call's and the put's searches side by side, each as _baw_implied_vol_c's
        implied_vols<2>(
            0, 2,
            [&](std::int64_t side, double &price, double &S, double &K, double &D, double &F,
                int &q) {
                price = side == 0 ? p.sel_calls[j] : p.sel_puts[j];
                S = p.S, K = p.sel_strikes[j], D = p.D, F = F_trial, q = side == 0 ? 1 : -1;
            },
            [&](std::int64_t side, double value) { iv[side] = value; });
        }
        const double iv_c = iv[0], iv_p = iv[1];
        if (iv_c <= 0 || iv_p <= 0) continue;  // at or below intrinsic, or unbracketable
        double diff = iv_c - iv_p;
        if (diff < 0) diff = -diff;
        total += diff;
        ++count;
    }
    if (count == 0) return FORWARD_NO_CONTRIBUTION;
    return total / static_cast<double>(count);
}

}  // namespace kelvo::kernel

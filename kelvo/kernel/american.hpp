// The American price by the early-exercise boundary's integral equation, after Andersen, Lake
// and Offengeim (2016): the boundary of the put as a polynomial interpolant from Li's QD+
// approximation (2010) as first guess, then the price as Black's price plus the early-exercise
// premium, an integral along the boundary. Calls are the puts of put-call symmetry.
//
// With constant rates the problem depends on r T, q T and sigma^2 T only, so time runs over
// [0, 1] (the option's life) and r, q stand for r T and q T: from the forward-form inputs,
// r = -log D and q = -log(D F / S). sigma is kelvo's total standard deviation.
//
// The put's boundary B(tau) (tau the time to expiry) satisfies value matching,
//   B e^{-q tau} [N(d+(tau, B/K)) + q int_0^tau e^{q u} N(d+(tau - u, B(tau)/B(u))) du]
//     = K e^{-r tau} [N(d-(tau, B/K)) + r int_0^tau e^{r u} N(d-(tau - u, B(tau)/B(u))) du],
// d+-(t, z) = (log z + (r - q) t) / (sigma sqrt t) +- sigma sqrt(t) / 2, with
// B(0+) = X = K min(1, r/q) (K when q <= 0). The unknowns are x = log(B / X) at Chebyshev points
// in w = tau^(1/4), interpolated as H = x^2: H is about tau log(1/tau) near expiry, which
// w^4 log w makes smooth enough for a short interpolant (the paper's sqrt(tau) needs more points
// for the same error).
// The equations are solved by Newton's method with the whole Jacobian (the interpolant ties every
// node to every other), which from QD+ converges in three or four steps where the paper's
// fixed-point iteration takes ten or more. The integrals substitute u = tau sin^4(theta), which
// keeps both ends smooth: u^(1/4) = tau^(1/4) sin(theta) and sqrt(tau - u) is sqrt(tau)
// cos(theta) times a smooth factor.
//
// The premium,
//   int_0^1 [r K e^{-r t} N(-d-(t, S/B(1 - t))) - q S e^{-q t} N(-d+(t, S/B(1 - t)))] dt,
// is integrated in two parts: the lags t up to 1/2 with sqrt(t) = c sinh(y), c the distance of S
// from the boundary at inception in standard deviations (the integrand turns from 0 to its full
// value over lags of that order, faster than any polynomial follows near t = 0), and the times
// u = 1 - t up to 1/2 with u = w^4 as on the grid.
#pragma once

#include <cmath>
#include <limits>

#include "alo_tables.hpp"
#include "chebyshev.hpp"
#include "libm.hpp"
#include "pricing.hpp"

namespace kelvo::kernel {
namespace alo {

using alo_tables::BoundaryRule;
using alo_tables::Chebyshev;
using alo_tables::Legendre;

// The fixed numbers of a setting: Chebyshev intervals of the boundary's grid (N; chebyshev.hpp
// says which of its points are nodes), quadrature points of each node's integrals, Newton steps
// with a fresh Jacobian and then with the last one kept (chord steps), and the points of the
// premium's two parts; with COARSE_N > 0, a coarser grid's Newton steps from QD+ start the grid
// (cheaper than QD+ at every node and two more steps on the fine grid).
// NU_MAX bounds max(|r|, |q|, |r - q|) / sigma: beyond it the boundary runs from X to near its
// perpetual level over a share of the option's life too short for the grid to follow.
struct FastScheme {
    static constexpr int COARSE_N = 0, COARSE_L = 0, COARSE_STEPS = 0;
    static constexpr int N = 8, L = 8, JACOBIAN_STEPS = 2, CHORD_STEPS = 1;
    static constexpr int LAG_POINTS = 16, EARLY_POINTS = 8;
    static constexpr double NU_MAX = 5.0;
};

struct AccurateScheme {
    static constexpr int COARSE_N = 8, COARSE_L = 8, COARSE_STEPS = 2;
    static constexpr int N = 16, L = 16, JACOBIAN_STEPS = 2, CHORD_STEPS = 1;
    static constexpr int LAG_POINTS = 32, EARLY_POINTS = 16;
    static constexpr double NU_MAX = 8.0;
};

// Above this total standard deviation the grid no longer resolves the boundary (it falls to a
// fraction of X within the first day of a year's option); implied volatilities stop at 8.
constexpr double SIGMA_MAX = 20.0;

// w^4 = 1/2: the premium's two parts meet at u = t = 1/2.
constexpr double EARLY_W = 0.84089641525371454;  // 2^(-1/4)
constexpr double EARLY_U = EARLY_W * EARLY_W * EARLY_W * EARLY_W;

// The put in put coordinates, over the option's life.
struct Problem {
    double S, K;
    double r, q, sigma;
    double X;       // B(0+)
    double KX;      // K / X
    double log_XK;  // log(X / K)
    double log_SX;  // log(S / X)
    double x_perpetual;  // log(B / X) of the perpetual put, below the boundary at every tau
};

// The values of the cardinal functions of the N - 1 unknown nodes at a fixed set of points.
template <int N>
inline constexpr int UNKNOWNS = chebyshev::COUNT<N> - 1;

template <int N, int POINTS>
struct CardinalTable {
    double v[POINTS * UNKNOWNS<N>];
};

// At the points of the boundary's integrals: node k = 1..N-1, point m, w = w_k sin(theta_m).
template <int N, int L>
constexpr CardinalTable<N, UNKNOWNS<N> * L> boundary_cardinal() {
    CardinalTable<N, UNKNOWNS<N> * L> t{};
    for (int k = 1; k <= UNKNOWNS<N>; ++k) {
        for (int m = 0; m < L; ++m) {
            const double w = chebyshev::node<N>(k) * BoundaryRule<L>::sin[m];
            chebyshev::cardinal_values<N>(w, t.v + ((k - 1) * L + m) * UNKNOWNS<N>);
        }
    }
    return t;
}

// At the premium's early points w = EARLY_W y_m.
template <int N, int P>
constexpr CardinalTable<N, P> early_cardinal() {
    CardinalTable<N, P> t{};
    for (int m = 0; m < P; ++m) {
        chebyshev::cardinal_values<N>(EARLY_W * Legendre<P>::node[m], t.v + m * UNKNOWNS<N>);
    }
    return t;
}

template <int N, int L>
inline constexpr CardinalTable<N, UNKNOWNS<N> * L> BOUNDARY_CARDINAL = boundary_cardinal<N, L>();
template <int N, int P>
inline constexpr CardinalTable<N, P> EARLY_CARDINAL = early_cardinal<N, P>();

// Gaussian elimination with partial pivoting of the n x n row-major a, in place; false when a
// pivot is zero or not a number.
template <int N>
inline bool lu_factor(double *a, int *pivot) {
    for (int c = 0; c < N; ++c) {
        int best = c;
        for (int r = c + 1; r < N; ++r) {
            if (std::fabs(a[r * N + c]) > std::fabs(a[best * N + c])) best = r;
        }
        pivot[c] = best;
        if (best != c) {
            for (int k = 0; k < N; ++k) {
                const double t = a[c * N + k];
                a[c * N + k] = a[best * N + k];
                a[best * N + k] = t;
            }
        }
        const double d = a[c * N + c];
        if (!(d != 0 && d == d)) return false;
        for (int r = c + 1; r < N; ++r) {
            const double f = a[r * N + c] / d;
            a[r * N + c] = f;
            for (int k = c + 1; k < N; ++k) a[r * N + k] -= f * a[c * N + k];
        }
    }
    return true;
}

// Solves with the factors of lu_factor: the row exchanges in their order (whole rows were
// exchanged, multipliers included), then the two triangles.
template <int N>
inline void lu_solve(const double *a, const int *pivot, double *b) {
    for (int c = 0; c < N; ++c) {
        const double t = b[c];
        b[c] = b[pivot[c]];
        b[pivot[c]] = t;
    }
    for (int c = 0; c < N; ++c) {
        for (int r = c + 1; r < N; ++r) b[r] -= a[r * N + c] * b[c];
    }
    for (int c = N - 1; c >= 0; --c) {
        for (int k = c + 1; k < N; ++k) b[c] -= a[c * N + k] * b[k];
        b[c] /= a[c * N + c];
    }
}

// 1 - exp(-a) without the cancellation of the difference for small a.
inline double one_minus_exp_neg(double a) {
    const double e = libm::exp(-a);
    if (e == 1.0) return a;
    return (1 - e) * a / -libm::log(e);
}

// QD+ evaluations at the first node, from a guess at the scale of the boundary near expiry, and
// at each node after it, from the last node's.
constexpr int QD_FIRST_EVALUATIONS = 8, QD_EVALUATIONS = 4;

// Li's QD+ critical price of the put at time to expiry tau, as x = log(S* / X): the root of
//   (1 - e^{-q tau} N(-d1)) S + (lambda + c0) (K - S - p(S)) = 0,
// p Black's put, lambda the exponent of the quadratic approximation at h = 1 - e^{-r tau} and c0
// Li's correction from the put's theta; written with a = 2 r / (sigma^2 h), which stays finite as
// r goes to 0.
struct QdPlus {
    const Problem &p;
    double tau, sqrt_tau, st, er, eq, a, D, sqrt_D, lambda, two_over_sig2;

    QdPlus(const Problem &problem, double tau_) : p(problem), tau(tau_) {
        sqrt_tau = std::sqrt(tau);
        st = p.sigma * sqrt_tau;
        er = libm::exp(-p.r * tau);
        eq = libm::exp(-p.q * tau);
        const double sig2 = p.sigma * p.sigma;
        two_over_sig2 = 2 / sig2;
        a = p.r == 0 ? two_over_sig2 / tau : two_over_sig2 * p.r / one_minus_exp_neg(p.r * tau);
        const double beta_1 = two_over_sig2 * (p.r - p.q) - 1;
        D = beta_1 * beta_1 + 4 * a;
        sqrt_D = std::sqrt(D);
        lambda = (-beta_1 - sqrt_D) / 2;
    }

    double operator()(double x) const {
        const double S = p.X * libm::exp(x);
        const double d1 = (x + p.log_XK + (p.r - p.q) * tau) / st + st / 2;
        const double d2 = d1 - st;
        const double Nm1 = _norm_cdf(-d1), Nm2 = _norm_cdf(-d2);
        const double put = p.K * er * Nm2 - S * eq * Nm1;
        const double theta = p.r * p.K * er * Nm2 - p.q * S * eq * Nm1 -
                             p.sigma * S * eq * _norm_pdf(d1) / (2 * sqrt_tau);
        const double eps = p.K - S - put;
        const double c0 = (er * (a - a * a / D) - two_over_sig2 * theta / eps) / sqrt_D;
        return (1 - eq * Nm1) * S + (lambda + c0) * eps;
    }
};

// The root from a guess, within at most `evaluations` values. The value is positive above the
// root (towards x = 0; a NaN counts as above) and levels off below it, where a secant would
// overshoot: so a bracket first, grown from the guess by factors 1.15, 1.3, 1.6, ..., then
// regula falsi with the Illinois rule. Newton's method needs the start to about a per cent.
inline double qd_plus_boundary(const Problem &p, double tau, double guess, int evaluations) {
    const QdPlus f(p, tau);
    const auto above = [](double v) { return !(v < 0); };
    double lo = guess, f_lo = f(guess), hi = guess, f_hi = f_lo;
    int used = 1;
    double factor = 1.15;
    if (above(f_lo)) {
        while (above(f_lo)) {
            if (used == evaluations) return lo;
            hi = lo;
            f_hi = f_lo;
            lo *= factor;
            factor *= factor;
            f_lo = f(lo);
            ++used;
        }
    } else {
        while (!above(f_hi)) {
            if (used == evaluations) return hi;
            lo = hi;
            f_lo = f_hi;
            hi /= factor;
            factor *= factor;
            f_hi = f(hi);
            ++used;
        }
    }
    if (!(f_hi == f_hi)) f_hi = -f_lo;  // a NaN above: a secant through the middle
    int side = 0;
    while (used < evaluations) {
        double x = (lo * f_hi - hi * f_lo) / (f_hi - f_lo);
        if (!(x > lo && x < hi)) x = 0.5 * (lo + hi);
        double fx = f(x);
        ++used;
        if (above(fx)) {
            if (!(fx == fx)) fx = -f_lo;
            hi = x;
            f_hi = fx;
            if (side == 1) f_lo *= 0.5;  // the end kept twice weighs half
            side = 1;
        } else {
            lo = x;
            f_lo = fx;
            if (side == -1) f_hi *= 0.5;
            side = -1;
        }
    }
    const double x = (lo * f_hi - hi * f_lo) / (f_hi - f_lo);
    return x > lo && x < hi ? x : 0.5 * (lo + hi);
}

constexpr double X_FLOOR = -700.0;  // log(B / X): a boundary this far below X is 0 in doubles

// One grid: N Chebyshev intervals, U = N - 1 unknown nodes (the node at expiry, x = 0, is fixed),
// L points in each node's integrals.
template <int N, int L>
struct Grid {
    static constexpr int U = UNKNOWNS<N>;
    static constexpr int POINTS = U * L;
    double x[U];
    // fixed by the problem at each point (node-major): 1 / (sigma sqrt lag), sigma sqrt lag, the
    // drift part of d+, and the weights with e^{-q lag} and e^{-r lag}
    double inv_sl[POINTS], sl[POINTS], drift[POINTS], wq[POINTS], wr[POINTS];
    // at the nodes: sigma sqrt tau, the rest of d+ at B / K, e^{-q tau}, e^{-r tau}, sqrt tau
    double st[U], shift[U], eq[U], er[U], sqrt_tau[U];
    double lu[U * U];
    int pivot[U];
    bool factored = false;

    static double tau_of(int k) {
        const double w = chebyshev::node<N>(k + 1);
        return (w * w) * (w * w);
    }

    void prepare(const Problem &p) {
        for (int k = 0; k < U; ++k) {
            const double w = chebyshev::node<N>(k + 1);
            const double root = w * w;  // sqrt(tau)
            const double tau = root * root;
            sqrt_tau[k] = root;
            st[k] = p.sigma * root;
            shift[k] = (p.log_XK + (p.r - p.q) * tau) / st[k] + st[k] / 2;
            eq[k] = libm::exp(-p.q * tau);
            er[k] = libm::exp(-p.r * tau);
            for (int m = 0; m < L; ++m) {
                const int at = k * L + m;
                const double lag = tau * BoundaryRule<L>::one_minus_sin4[m];
                const double s = st[k] * BoundaryRule<L>::sqrt_one_minus_sin4[m];
                sl[at] = s;
                inv_sl[at] = 1 / s;
                drift[at] = (p.r - p.q) * lag / s + s / 2;
                const double weight = tau * BoundaryRule<L>::weight[m];
                wq[at] = p.q == 0 ? weight : weight * libm::exp(-p.q * lag);
                wr[at] = p.r == 0 ? weight : weight * libm::exp(-p.r * lag);
            }
        }
    }

    // QD+ at each node. The first from sigma sqrt(tau log(1/tau)), the size of the boundary's
    // distance from X near expiry; the others from the power law through the two nodes before
    // (the second: sqrt(tau)).
    void start(const Problem &p) {
        const double tau0 = tau_of(0);
        for (int k = 0; k < U; ++k) {
            double guess;
            if (k == 0) {
                guess = -p.sigma * std::sqrt(tau0 * -libm::log(tau0));
            } else {
                const double w = chebyshev::node<N>(k + 1), w1 = chebyshev::node<N>(k);
                double power = 2.0;
                if (k > 1) {
                    const double w2 = chebyshev::node<N>(k - 1);
                    power = libm::log(x[k - 1] / x[k - 2]) / libm::log(w1 / w2);
                    if (!(power > 0 && power < 4)) power = power > 0 ? 4.0 : 0.0;
                }
                guess = x[k - 1] * libm::exp(power * libm::log(w / w1));
            }
            const double x_k = qd_plus_boundary(p, tau_of(k), guess,
                                                k == 0 ? QD_FIRST_EVALUATIONS : QD_EVALUATIONS);
            x[k] = x_k > p.x_perpetual ? x_k : p.x_perpetual;
        }
    }

    // One Newton step on the value-matching equations (scaled by 1/X): with jacobian, the
    // Jacobian at x (kept, factored, for the steps after); without, the last one kept (a chord
    // step, which needs no densities). With dx_dsigma (and jacobian), also the boundary's
    // sensitivity to sigma from the same Jacobian. False when no factored Jacobian is at hand
    // (x is then left as it was).
    bool newton_step(const Problem &p, bool jacobian, double *dx_dsigma = nullptr) {
        double xsq[U];
        for (int j = 0; j < U; ++j) xsq[j] = x[j] * x[j];
        double residual[U], dsigma[U];
        for (int k = 0; k < U; ++k) {
            const double xk = x[k];
            const double *card = BOUNDARY_CARDINAL<N, L>.v + k * L * U;
            double sum_q = 0, sum_r = 0, g_sum = 0, sig_sum = 0;
            double coupling[U] = {};
            for (int m = 0; m < L; ++m) {
                const int at = k * L + m;
                const double *row = card + m * U;
                const double H = chebyshev::dot<U>(row, xsq);
                const double xu = H > 0 ? -std::sqrt(H) : 0.0;
                const double dp = (xk - xu) * inv_sl[at] + drift[at];
                const double dm = dp - sl[at];
                sum_q += wq[at] * _norm_cdf(dp);
                sum_r += wr[at] * _norm_cdf(dm);
                if (!jacobian) continue;
                // d(residual)/d(x_k - xu) at this point, over e^{x_k}
                const double density = wq[at] * _norm_pdf(dp);
                const double rK_over_Bu = p.r * p.KX * libm::exp(-xu);
                const double g = density * inv_sl[at] * (p.q - rK_over_Bu);
                g_sum += g;
                if (xu < 0) {
                    // xu = -sqrt(sum l_j x_j^2): dxu/dx_j = l_j x_j / xu
                    const double gx = g / xu;
                    for (int j = 0; j < U; ++j) coupling[j] += gx * row[j];
                }
                if (dx_dsigma != nullptr) sig_sum += density * (rK_over_Bu * dp - p.q * dm);
            }
            const double e = libm::exp(xk);
            const double d1 = xk / st[k] + shift[k];
            const double d2 = d1 - st[k];
            const double Dt = eq[k] * _norm_cdf(d1) + p.q * sum_q;
            const double Nt = er[k] * _norm_cdf(d2) + p.r * sum_r;
            residual[k] = e * Dt - p.KX * Nt;
            if (!jacobian) continue;
            double *jac_row = lu + k * U;
            for (int j = 0; j < U; ++j) jac_row[j] = -e * coupling[j] * x[j];
            jac_row[k] += e * (Dt + g_sum);
            if (dx_dsigma != nullptr) {
                // node: K e^{-r tau} n(d2) sqrt(tau), as e^{x_k} e^{-q tau} n(d1) sqrt(tau)
                dsigma[k] = e * (eq[k] * _norm_pdf(d1) * sqrt_tau[k] + sig_sum / p.sigma);
            }
        }
        if (jacobian) factored = lu_factor<U>(lu, pivot);
        if (!factored) return false;
        for (int j = 0; j < U; ++j) residual[j] = -residual[j];
        lu_solve<U>(lu, pivot, residual);
        // At most a factor 2 either way (x < 0: below X) and one sigma sqrt(tau) of the node,
        // and never below the perpetual option's boundary, which lies below the boundary at
        // every tau. Where rates are small beside sigma^2 the value-matching equation is flat in
        // x to first order (exercising a little earlier or later is worth about the same), so
        // that a full step would wander far on the equation's small terms; the price, for the
        // same reason, hardly depends on where in that flat stretch the node settles. A NaN step
        // keeps the node.
        for (int k = 0; k < U; ++k) {
            double step = residual[k];
            if (step > st[k]) step = st[k];
            if (step < -st[k]) step = -st[k];
            double next = x[k] + step;
            if (next < 2 * x[k]) next = 2 * x[k];
            if (next > 0.5 * x[k]) next = 0.5 * x[k];
            if (next < p.x_perpetual) next = p.x_perpetual;
            if (next == next) x[k] = next;
        }
        if (jacobian && dx_dsigma != nullptr) {
            for (int j = 0; j < U; ++j) dsigma[j] = -dsigma[j];
            lu_solve<U>(lu, pivot, dsigma);
            for (int j = 0; j < U; ++j) dx_dsigma[j] = dsigma[j];
        }
        return true;
    }
};

// The put's price in put coordinates and its sensitivities: dP/dS, d2P/dS2, dP/dsigma.
struct PutValue {
    double price, delta, gamma, vega;
    bool exercised;
};

// The premium and, with GREEKS, its sensitivities, from the boundary x at the unknown nodes of
// an N-interval grid; dx_dsigma the boundary's sensitivity to sigma.
template <class Scheme, bool GREEKS>
inline PutValue premium(const Problem &p, const double *x, const double *dx_dsigma) {
    constexpr int N = Scheme::N, U = UNKNOWNS<N>;
    PutValue v{0, 0, 0, 0, false};
    const double x_end = x[U - 1];
    if (!(p.log_SX > x_end)) {  // at or below the boundary at inception
        v.exercised = true;
        return v;
    }
    double xsq[U];
    for (int j = 0; j < U; ++j) xsq[j] = x[j] * x[j];
    const double S_over_X = p.S / p.X;
    double by_node[U] = {};  // sum over points of weight df/dxu l_j / xu
    // f(u, lag) in units of X, with its sensitivities; returns df/dxu (over X)
    const auto point = [&](double weight, double xu, double lag, double s /* sqrt lag */) {
        const double sl = p.sigma * s;
        const double dp = (p.log_SX - xu + (p.r - p.q) * lag) / sl + sl / 2;
        const double dm = dp - sl;
        const double eq = p.q == 0 ? 1.0 : libm::exp(-p.q * lag);
        const double er = p.r == 0 ? 1.0 : libm::exp(-p.r * lag);
        v.price +=
            weight * (p.r * p.KX * er * _norm_cdf(-dm) - p.q * S_over_X * eq * _norm_cdf(-dp));
        if (!GREEKS) return 0.0;
        const double density = eq * _norm_pdf(dp);
        const double rK_over_Bu = p.r * p.KX * libm::exp(-xu);
        // dP/dS (S and X cancel), d2P/dS2 times X, dP/dsigma at fixed B over X
        v.delta += weight * (-p.q * eq * _norm_cdf(-dp) + density * (p.q - rK_over_Bu) / sl);
        v.gamma += weight * density / (S_over_X * sl) * (p.q - (p.q - rK_over_Bu) * dp / sl);
        v.vega += weight * S_over_X * density / p.sigma * (rK_over_Bu * dp - p.q * dm);
        return weight * S_over_X * density * (rK_over_Bu - p.q) / sl;
    };
    const auto along_boundary = [&](double d_xu, double xu, const double *card) {
        if (!GREEKS || !(xu < 0)) return;
        const double gx = d_xu / xu;
        for (int j = 0; j < U; ++j) by_node[j] += gx * card[j];
    };

    // Lags up to 1 - EARLY_U: sqrt(lag) = scale sinh(Y y).
    const double top = std::sqrt(1 - EARLY_U);
    double scale = (p.log_SX - x_end) / p.sigma;
    if (scale > top) scale = top;
    if (scale < 1e-12 * top) scale = 1e-12 * top;
    const double ratio = top / scale;
    const double Y = libm::log(ratio + std::sqrt(ratio * ratio + 1));
    constexpr int P1 = Scheme::LAG_POINTS;
    for (int m = 0; m < P1; ++m) {
        const double e = libm::exp(Y * Legendre<P1>::node[m]);
        const double s = scale * 0.5 * (e - 1 / e);
        const double ds = scale * 0.5 * (e + 1 / e) * Y * Legendre<P1>::weight[m];
        const double lag = s * s;
        double card[U];
        chebyshev::cardinal_values<N>(std::sqrt(std::sqrt(1 - lag)), card);
        const double H = chebyshev::dot<U>(card, xsq);
        const double xu = H > 0 ? -std::sqrt(H) : 0.0;
        along_boundary(point(2 * s * ds, xu, lag, s), xu, card);
    }
    // Times u up to EARLY_U: u = (EARLY_W y)^4.
    constexpr int P2 = Scheme::EARLY_POINTS;
    for (int m = 0; m < P2; ++m) {
        const double y = Legendre<P2>::node[m];
        const double w = EARLY_W * y;
        const double u = (w * w) * (w * w);
        const double *card = EARLY_CARDINAL<N, P2>.v + m * U;
        const double H = chebyshev::dot<U>(card, xsq);
        const double xu = H > 0 ? -std::sqrt(H) : 0.0;
        const double lag = 1 - u;
        const double weight = 4 * EARLY_U * y * y * y * Legendre<P2>::weight[m];
        along_boundary(point(weight, xu, lag, std::sqrt(lag)), xu, card);
    }
    v.price *= p.X;
    if (GREEKS) {
        v.gamma /= p.X;
        // along the boundary: sum_j dP/dx_j dx_j/dsigma, dP/dx_j = sum df/dxu l_j x_j / xu
        double along = 0;
        for (int j = 0; j < U; ++j) along += by_node[j] * x[j] * dx_dsigma[j];
        v.vega = p.X * (v.vega + along);
    }
    return v;
}

// Solves the boundary on the scheme's grid and integrates the premium.
// The boundary at the nodes of a finer grid from a coarser one's: where a node is a coarse node,
// its value; elsewhere the polynomial through log(-x / w^2) at the coarse nodes (expiry's left
// out), which varies slowly all the way to expiry (x is about -sigma w^2 sqrt(log(1 / w^4))
// there), so that the start is as good relative to the boundary's own scale near expiry as far
// from it.
template <int NC, int NF>
inline void refine(const double *coarse, double *fine) {
    constexpr int UC = UNKNOWNS<NC>;
    double g[UC];
    for (int j = 0; j < UC; ++j) {
        const double w = chebyshev::node<NC>(j + 1);
        g[j] = libm::log(-coarse[j] / (w * w));
    }
    for (int i = 0; i < UNKNOWNS<NF>; ++i) {
        const double w = chebyshev::node<NF>(i + 1);
        double num = 0, den = 0;
        int at = -1;
        for (int j = 0; j < UC; ++j) {
            const double d = w - chebyshev::node<NC>(j + 1);
            if (d == 0) {
                at = j;
                break;
            }
            const double t = chebyshev::WEIGHTS<NC, 1>.v[j] / d;
            num += t * g[j];
            den += t;
        }
        fine[i] = at >= 0 ? coarse[at] : -(w * w) * libm::exp(num / den);
    }
}

// Solves the boundary on the scheme's grids and integrates the premium. With a coarse grid
// (COARSE_N > 0), QD+ starts the coarse grid, whose Newton steps start the fine one.
template <class Scheme, bool GREEKS>
inline PutValue put_premium(const Problem &p) {
    constexpr int NF = Scheme::N;
    Grid<NF, Scheme::L> grid;
    grid.prepare(p);
    if constexpr (Scheme::COARSE_N > 0) {
        constexpr int NC = Scheme::COARSE_N;
        Grid<NC, Scheme::COARSE_L> coarse;
        coarse.prepare(p);
        coarse.start(p);
        for (int step = 0; step < Scheme::COARSE_STEPS; ++step) coarse.newton_step(p, true);
        refine<NC, NF>(coarse.x, grid.x);
        for (int k = 0; k < UNKNOWNS<NF>; ++k) {
            if (!(grid.x[k] < 0)) grid.x[k] = grid.x[k] == grid.x[k] ? -1e-300 : grid.x[k];
            if (grid.x[k] < p.x_perpetual) grid.x[k] = p.x_perpetual;
        }
    } else {
        grid.start(p);
    }
    constexpr int STEPS = Scheme::JACOBIAN_STEPS + Scheme::CHORD_STEPS;
    double dx_dsigma[UNKNOWNS<NF>] = {};
    for (int step = 0; step < STEPS; ++step) {
        // the last Jacobian gives the boundary's sensitivity to sigma as well; the chord steps
        // after it move the boundary by far less than that sensitivity's own error
        const bool jacobian = step < Scheme::JACOBIAN_STEPS;
        const bool last_jacobian = step + 1 == Scheme::JACOBIAN_STEPS;
        grid.newton_step(p, jacobian, GREEKS && last_jacobian ? dx_dsigma : nullptr);
    }
    for (int k = 0; k < UNKNOWNS<NF>; ++k) {
        if (!(grid.x[k] <= 0)) return {std::numeric_limits<double>::quiet_NaN(), 0, 0, 0, false};
    }
    return premium<Scheme, GREEKS>(p, grid.x, dx_dsigma);
}

// An upper bound of the premium that needs no boundary: B <= X at every tau, so N(-d+-(t, S/B)) <=
// N(-d+-(t, S/X)) (the q term only adds where q < 0). Points in sqrt(lag); a bound to within a
// small factor is all that is asked of it.
inline double premium_bound(const Problem &p) {
    constexpr int P = 16;
    double sum = 0;
    for (int m = 0; m < P; ++m) {
        const double s = Legendre<P>::node[m];
        const double lag = s * s;
        const double sl = p.sigma * s;
        const double dp = (p.log_SX + (p.r - p.q) * lag) / sl + sl / 2;
        const double dm = dp - sl;
        double f = p.r * p.K * libm::exp(-p.r * lag) * _norm_cdf(-dm);
        if (p.q < 0) f -= p.q * p.S * libm::exp(-p.q * lag) * _norm_cdf(-dp);
        sum += 2 * s * Legendre<P>::weight[m] * f;
    }
    return sum;
}

// A premium this small beside Black's price is left out where the grid cannot be trusted.
constexpr double NEGLIGIBLE_PREMIUM = 1e-13;

// The put of put-call symmetry, C(S, K, r, q) = P(K, S, q, r), in put coordinates, with Black's
// price and sensitivities (in those coordinates) and the problem of its premium.
struct PutSide {
    double S, K, D, F;  // put spot, strike, discount factor, forward
    double r, q;        // r T and q T of the put
};

inline PutSide put_side(double S, double K, double D, double F, int q_flag) {
    const double r = -libm::log(D);
    const double carry = -libm::log(D * F / S);  // q T of the underlying
    if (q_flag == 1) return {K, S, D * F / S, K * S / F, carry, r};
    return {S, K, D, F, r, carry};
}

// The regimes of the put: an early-exercise boundary from X = K min(1, r/q) (r > 0, or r == 0
// with q < 0: exercise always earns the short position's yield), none (r <= 0 and q >= r: the
// put is European), or two boundaries (r < 0 and q < r), which the method does not cover.
enum class PutRegime { BOUNDARY, EUROPEAN, TWO_BOUNDARIES };

inline PutRegime put_regime(double r, double q) {
    if (r > 0 || (r == 0 && q < 0)) return PutRegime::BOUNDARY;
    if (q >= r) return PutRegime::EUROPEAN;
    return PutRegime::TWO_BOUNDARIES;
}

inline Problem put_problem(const PutSide &side, double sigma) {
    Problem p;
    p.S = side.S;
    p.K = side.K;
    p.r = side.r;
    p.q = side.q;
    p.sigma = sigma;
    const bool below_strike = side.q > 0 && side.r < side.q;
    p.X = below_strike ? side.K * (side.r / side.q) : side.K;
    p.KX = below_strike ? side.q / side.r : 1.0;
    p.log_XK = below_strike ? libm::log(side.r / side.q) : 0.0;
    p.log_SX = libm::log(side.S / side.K) - p.log_XK;
    // B = K lambda / (lambda - 1), lambda the negative root of sigma^2/2 l (l - 1) + (r - q) l - r
    const double sig2 = sigma * sigma;
    const double beta_1 = 2 * (side.r - side.q) / sig2 - 1;
    const double lambda = (-beta_1 - std::sqrt(beta_1 * beta_1 + 8 * side.r / sig2)) / 2;
    const double x_perpetual = libm::log(lambda / (lambda - 1)) - p.log_XK;
    p.x_perpetual = x_perpetual > X_FLOOR ? x_perpetual : X_FLOOR;
    return p;
}

}  // namespace alo

// The American price by the boundary's integral equation (Scheme: alo::FastScheme or
// alo::AccurateScheme), with its sensitivities when GREEKS: delta and gamma in the spot with D and
// the carry F / S held, vega in the total standard deviation, by the method's own derivatives
// (the premium's at fixed boundary, and along the boundary's own sensitivity to sigma from the
// Newton system). NaN where the method does not apply.
template <class Scheme, bool GREEKS>
inline Greeks alo_value(double S, double K, double D, double F, double sigma, int q) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool call = q == 1;
    if (S != S || K != K || D != D || F != F || sigma != sigma) return {nan, nan, nan, nan};
    if (sigma <= 0) {
        const double intrinsic = spot_intrinsic(S, K, q);
        const double slope = call ? (S > K ? 1.0 : 0.0) : (S < K ? -1.0 : 0.0);
        return {intrinsic, slope, 0.0, 0.0};
    }
    double degenerate;
    if (degenerate_price(S, K, D, F, q, &degenerate)) {
        const double g = degenerate == 0.0 ? 0.0 : nan;
        return {degenerate, g, g, g};
    }
    if (!(S > 0 && K > 0 && D > 0 && F > 0 && S < HUGE_VAL && K < HUGE_VAL && D < HUGE_VAL &&
          F < HUGE_VAL && sigma < HUGE_VAL)) {
        return {nan, nan, nan, nan};
    }
    const alo::PutSide side = alo::put_side(S, K, D, F, q);
    const alo::PutRegime regime = alo::put_regime(side.r, side.q);
    if (regime == alo::PutRegime::TWO_BOUNDARIES) return {nan, nan, nan, nan};

    // Black's put in put coordinates
    const double log_FK = libm::log(side.F / side.K);
    const double d1 = log_FK / sigma + sigma / 2;
    double price = black_price_at(log_FK, side.K, side.D, side.F, sigma, -1);
    double delta = 0, gamma = 0, vega = 0;
    if (GREEKS) {
        const double DF_over_S = side.D * side.F / side.S;  // e^{-q T}
        const double density = _norm_pdf(d1);
        delta = -DF_over_S * _norm_cdf(-d1);
        gamma = DF_over_S * density / (side.S * sigma);
        vega = side.D * side.F * density;
    }
    if (regime == alo::PutRegime::BOUNDARY) {
        const alo::Problem problem = alo::put_problem(side, sigma);
        const double rate = std::fmax(std::fabs(side.r), std::fabs(side.q));
        const double nu = std::fmax(rate, std::fabs(side.r - side.q)) / sigma;
        alo::PutValue premium;
        if (nu <= Scheme::NU_MAX && sigma <= alo::SIGMA_MAX) {
            premium = alo::put_premium<Scheme, GREEKS>(problem);
        } else if (problem.log_SX <= problem.x_perpetual) {
            // below the perpetual boundary, and so below the boundary at every tau
            premium = {0, 0, 0, 0, true};
        } else if (alo::premium_bound(problem) <= alo::NEGLIGIBLE_PREMIUM * price) {
            premium = {0, 0, 0, 0, false};
        } else {
            return {nan, nan, nan, nan};
        }
        if (premium.exercised) {
            price = side.K - side.S;
            delta = -1;
            gamma = vega = 0;
        } else {
            price += premium.price;
            delta += premium.delta;
            gamma += premium.gamma;
            vega += premium.vega;
        }
    }
    // never below exercising now (rounding at the edge of the exercise region)
    const double intrinsic = side.K > side.S ? side.K - side.S : 0.0;
    if (price < intrinsic) price = intrinsic;
    if (!call) return {price, delta, gamma, vega};
    // The call is the put with spot and strike exchanged; the put is homogeneous of degree one
    // in the two, so dC/dS = dP/dK = (P - S_p dP/dS_p) / K_p and d2C/dS2 = (S_p / K_p)^2 d2P/dS_p2.
    const double ratio = side.S / side.K;
    return {price, (price - side.S * delta) / side.K, ratio * ratio * gamma, vega};
}

}  // namespace kelvo::kernel

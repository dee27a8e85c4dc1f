// The American price by the early-exercise boundary's integral equation, after Andersen, Lake
// and Offengeim (2016): the boundary of the put as a polynomial interpolant, from Li's QD+
// approximation (2010) as first guess, then the price as Black's price plus the early-exercise
// premium, an integral along the boundary. Calls are the puts of put-call symmetry.
//
// With constant rates the problem depends on r T, q T and sigma^2 T only, so time runs over
// [0, 1] (the option's life) and r, q stand for r T and q T: from the forward-form inputs,
// r = -log D and q = -log(D F / S). sigma is kelvo's total standard deviation.
//
// The put's boundary B(tau) (tau the time to expiry) satisfies smooth pasting, dV/dS = -1 at
// S = B, which with d+(t, z) = (log z + (r - q) t) / (sigma sqrt t) + sigma sqrt(t) / 2 reads
//   e^{-q tau} N(d+(tau, B/K))
//     + int_0^tau e^{-q l} [q N(d+) + phi(d+) (q - r K / B(u)) / (sigma sqrt l)] du = 0,
// l = tau - u the lag and d+ = d+(l, B(tau) / B(u)) inside the integral: the equation of the
// paper's FP-A scheme without the terms it adds to both sides. Beside value matching it takes
// one normal distribution value per point instead of two, and its derivatives in the boundary
// none. B(0+) = X = K min(1, r/q) (K when q <= 0).
//
// The unknowns are x = log(B / X) at Chebyshev points in z, interpolated as H = x^2, where
// tau = z^4. Near expiry H is about sigma^2 tau log(1/tau) where X = K, a z^4 log z that limits
// any polynomial's accuracy: that leading term is known exactly, and the interpolant carries H
// less it. Where q > r, H is a multiple of tau near expiry, but the boundary turns, at times of
// the order of tau_c = (log(q/r) / sigma)^2, to the shape it has where the payoff's kink at K is
// felt: a switch like e^{-c / tau}, which no short polynomial in z follows; there the clock is
// tau = tau_s (e^{lambda z^4} - 1), lambda = log(1 + 1/tau_s), z^4 near expiry and logarithmic
// beyond tau_s = tau_c / 4.
//
// The equations are solved by Newton's method with the whole Jacobian (the interpolant ties
// every node to every other) on grids from coarse to fine, the coarsest from QD+, each started
// from the one before; on the finest until a step is below a tolerance. The integrals substitute
// z = z(tau) sin(theta), which keeps both ends smooth, with fewer points for the nodes near
// expiry; where the rates are large beside sigma, each node's integrand turns over lags of the
// order of (sigma / (r - q))^2, and every node takes the wide rule. The boundary falls with tau,
// and the integrands take it so (B(u) >= B(tau)): an interpolant far from the solution, which
// near expiry may swing well below the boundary, then leaves the equations sane.
//
// The premium,
//   int_0^1 [r K e^{-r t} N(-d-(t, S/B(1 - t))) - q S e^{-q t} N(-d+(t, S/B(1 - t)))] dt,
// is integrated in two parts: the lags t from 0 with sqrt(t) = c sinh(y), c the distance of S
// from the boundary at inception in standard deviations (the integrand turns from 0 to its full
// value over lags of that order, faster than any polynomial follows near t = 0), and the times
// u = 1 - t up to z = 2^(-1/4) on the grid's own clock.
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
using alo_tables::Legendre;

// The fixed numbers of a setting: the grids from coarse to fine (Chebyshev intervals N, points
// of the last node's integral L, Newton steps; a middle grid with N2 = 0 is left out; on the
// finest at most STEPS3 steps, until one is below STEP_TOL (WIDE_STEP_TOL on the wide grids), or
// the first below FIRST_STEP_TOL), and the points of the premium's two parts. Where the rates
// are large beside sigma (Wide), every node's integrand turns over short lags, and every node
// takes L points (UNIFORM). On the carry clock a setting may take grids of its own (Carry).
template <int N1_, int L1_, int STEPS1_, int N2_, int L2_, int STEPS2_, int N3_, int L3_,
          int STEPS3_, int LAG_POINTS_, int EARLY_POINTS_, bool UNIFORM_>
struct Levels {
    static constexpr int N1 = N1_, L1 = L1_, STEPS1 = STEPS1_;
    static constexpr int N2 = N2_, L2 = L2_, STEPS2 = STEPS2_;
    static constexpr int N3 = N3_, L3 = L3_, STEPS3 = STEPS3_;
    static constexpr int LAG_POINTS = LAG_POINTS_, EARLY_POINTS = EARLY_POINTS_;
    static constexpr bool UNIFORM = UNIFORM_;
};

struct FastScheme {
    using Narrow = Levels<8, 8, 2, 0, 0, 0, 12, 12, 3, 24, 12, false>;
    // Where the rates are several times sigma sixteen intervals leave up to 8e-6 (r 10 %, q -5 %
    // over five to ten years at 5 %), which steps to 1e-4 hid at some options only: twenty-four,
    // to 1e-6.
    using Wide = Levels<8, 16, 3, 0, 0, 0, 24, 32, 6, 32, 16, true>;
    static constexpr double STEP_TOL = 1e-4, FIRST_STEP_TOL = 0, WIDE_STEP_TOL = 1e-6;
    // the least tau_s that takes the carry clock (below, the power clock)
    static constexpr double CARRY_CLOCK_FROM = 1e-2;
    // Twelve intervals do not follow the switch of the boundary's shape to 1e-6 where sigma is
    // large: on the carry clock sixteen.
    using Carry = Levels<8, 8, 2, 0, 0, 0, 16, 12, 2, 24, 12, false>;
};

struct AccurateScheme {
    using Narrow = Levels<8, 8, 2, 16, 12, 1, 28, 20, 3, 32, 16, false>;
    using Wide = Levels<8, 16, 3, 16, 32, 1, 32, 32, 8, 48, 24, true>;
    // The finest grid starts from the middle grid's boundary: a first step below 3e-5 shows the
    // start within the reach of Newton's quadratic convergence, and leaves an error of the order
    // of its square (about 1e-9 of the boundary's scale), which the price does not see. After a
    // larger first step convergence may not yet be quadratic, and the steps go on to 1e-7.
    static constexpr double STEP_TOL = 1e-7, FIRST_STEP_TOL = 3e-5;
    // Where the rates are many times sigma the steps converge slowly (one of 1e-7 may still
    // leave 5e-9 in the price): the wide grid goes on to 1e-9, in up to eight steps.
    static constexpr double WIDE_STEP_TOL = 1e-9;
    // A switch before a hundredth of the life is still followed best on the carry clock, its
    // scale held at CARRY_CLOCK_MIN, by the finer grids (fast's do better on the power clock).
    static constexpr double CARRY_CLOCK_FROM = 0;
    using Carry = Narrow;
};

// Above this total standard deviation the grid no longer resolves the boundary (it falls to a
// fraction of X within the first day of a year's option); implied volatilities stop at 8.
constexpr double SIGMA_MAX = 20.0;
// Rates up to NU_WIDE times sigma take the narrow rules, up to NU_MAX the wide ones; beyond, the
// boundary runs from X to near its perpetual level over a share of the option's life too short
// for the wide rules to follow.
constexpr double NU_WIDE = 2.0, NU_MAX = 12.0;
// Beyond NU_FAR times a sigma below SIGMA_FAR_MIN (volatilities of a few tenths of a per cent a
// year) the wide rules' price jumps at isolated sigmas, by up to 2.7 times: priced as beyond
// NU_MAX. Every such case met had sigma below 0.025; the rules are exact beyond NU_FAR from
// sigma 0.1 (ten years at 5 %) up.
constexpr double NU_FAR = 8.0, SIGMA_FAR_MIN = 0.03;
// Total rates (r T, q T in put coordinates) beyond RATE_MAX, a forward beyond e^5 = 148 times
// the spot or below its 148th, are past what the grids were checked on: near 7 at sigma 5 to 8
// the price was off by parts in a thousand. Priced as beyond NU_MAX.
constexpr double RATE_MAX = 5.0;
// Below this sigma beta_1^2 of the perpetual boundary overflows (at some 1e-77); there every
// price has long reached its limit, exercise now or Black's.
constexpr double SIGMA_FLOOR = 1e-60;
// Strikes outside these are priced scaled to [1, 2): the call's put coordinates multiply K by
// S / F, which may leave the doubles' range.
constexpr double SCALED_BELOW = 0x1p-100, SCALED_ABOVE = 0x1p100;

// The premium's two parts meet at z = 2^(-1/4).
constexpr double EARLY_W = 0.84089641525371454;  // 2^(-1/4)

// The clock where q > r: tau_s = (CARRY_CLOCK log(q / r) / sigma)^2, where it is below 1 and not
// below the scheme's CARRY_CLOCK_FROM, held at CARRY_CLOCK_MIN or above (a switch nearer expiry
// than that the grids do not resolve, and the prices hardly see). Below CARRY_CLOCK_MIN only
// where sigma is at most CARRY_CLOCK_SIGMA: beyond, the switch falls so early that the clock
// held at CARRY_CLOCK_MIN follows the boundary worse than the power clock.
constexpr double CARRY_CLOCK = 0.5, CARRY_CLOCK_MIN = 1e-2, CARRY_CLOCK_SIGMA = 5.0;

// The put in put coordinates, over the option's life.
struct Problem {
    double S, K;
    double r, q, sigma;
    double X;       // B(0+)
    double KX;      // K / X
    double rho;     // r K / X
    double log_XK;  // log(X / K)
    double log_SX;  // log(S / X)
    double x_perpetual;  // log(B / X) of the perpetual put, below the boundary at every tau
    bool power_clock;    // tau = z^4; otherwise tau = tau_s (e^{lambda z^4} - 1)
    double tau_s, lambda;
    double singular;     // the interpolant carries H - singular tau log(1/tau)
};

// 1 - e^{-b} for b >= 0, to a few ulps also where b is small.
inline double one_minus_exp_neg(double b) {
    if (b < 0.125) {
        double t = 1;
        for (int n = 14; n >= 2; --n) t = 1 - b / n * t;
        return b * t;
    }
    return 1 - libm::exp(-b);
}

// tau at z^4 = z4.
inline double tau_at(const Problem &p, double z4) {
    if (p.power_clock) return z4;
    const double a = p.lambda * z4;
    return p.tau_s * libm::exp(a) * one_minus_exp_neg(a);
}

// z^4 at tau = u (not small: the premium's lag part only).
inline double z4_at(const Problem &p, double u) {
    return p.power_clock ? u : libm::log(1 + u / p.tau_s) / p.lambda;
}

// The values of the cardinal functions of the unknown nodes at fixed sets of points.
template <int N>
inline constexpr int UNKNOWNS = chebyshev::COUNT<N> - 1;

template <int N, int POINTS>
struct CardinalTable {
    double v[POINTS * UNKNOWNS<N>];
};

// The rule of each node's integral. A node near expiry integrates over a short stretch of the
// interpolant, which fewer points follow: node k of U takes L (k + 1 + RULE_EXTRA) / (U +
// RULE_EXTRA) points, at least RULE_MIN, rounded up to a rule of the tables; a negative L means
// -L points at every node.
constexpr int RULE_MIN = 6, RULE_EXTRA = 12;

constexpr int rule_size_at_least(int want) {
    constexpr int sizes[] = {4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48};
    for (int s : sizes) {
        if (s >= want) return s;
    }
    return 48;
}

template <int N, int L>
constexpr int rule_size(int k) {
    if (L < 0) return -L;  // -L: L points at every node
    constexpr int U = UNKNOWNS<N>;
    int want = (L * (k + 1 + RULE_EXTRA) + (U + RULE_EXTRA) - 1) / (U + RULE_EXTRA);
    if (want < RULE_MIN) want = RULE_MIN;
    if (want > L) want = L;
    return rule_size_at_least(want);
}

template <int N, int L>
constexpr int rule_points() {
    int total = 0;
    for (int k = 0; k < UNKNOWNS<N>; ++k) total += rule_size<N, L>(k);
    return total;
}

template <int N, int L>
struct NodeRules {
    static constexpr int U = UNKNOWNS<N>, TOTAL = rule_points<N, L>();
    int offset[U + 1];
    double sin[TOTAL], log_sin[TOTAL], one_minus_sin4[TOTAL], sqrt_one_minus_sin4[TOTAL],
        weight[TOTAL];
};

template <int S, class Rules>
constexpr void copy_rule(Rules &t, int at) {
    for (int m = 0; m < S; ++m) {
        t.sin[at + m] = BoundaryRule<S>::sin[m];
        t.log_sin[at + m] = BoundaryRule<S>::log_sin[m];
        t.one_minus_sin4[at + m] = BoundaryRule<S>::one_minus_sin4[m];
        t.sqrt_one_minus_sin4[at + m] = BoundaryRule<S>::sqrt_one_minus_sin4[m];
        t.weight[at + m] = BoundaryRule<S>::weight[m];
    }
}

template <int N, int L>
constexpr NodeRules<N, L> node_rules() {
    NodeRules<N, L> t{};
    int at = 0;
    for (int k = 0; k < UNKNOWNS<N>; ++k) {
        t.offset[k] = at;
        const int size = rule_size<N, L>(k);
        switch (size) {
            case 4: copy_rule<4>(t, at); break;
            case 6: copy_rule<6>(t, at); break;
            case 8: copy_rule<8>(t, at); break;
            case 10: copy_rule<10>(t, at); break;
            case 12: copy_rule<12>(t, at); break;
            case 14: copy_rule<14>(t, at); break;
            case 16: copy_rule<16>(t, at); break;
            case 20: copy_rule<20>(t, at); break;
            case 24: copy_rule<24>(t, at); break;
            case 32: copy_rule<32>(t, at); break;
            default: copy_rule<48>(t, at); break;
        }
        at += size;
    }
    t.offset[UNKNOWNS<N>] = at;
    return t;
}

template <int N, int L>
inline constexpr NodeRules<N, L> NODE_RULES = node_rules<N, L>();

// At the points of the boundary's integrals: node k = 1..N-1, point m, z = z_k sin(theta_m).
template <int N, int L>
constexpr CardinalTable<N, NodeRules<N, L>::TOTAL> boundary_cardinal() {
    CardinalTable<N, NodeRules<N, L>::TOTAL> t{};
    const NodeRules<N, L> rules = node_rules<N, L>();
    for (int k = 1; k <= UNKNOWNS<N>; ++k) {
        for (int at = rules.offset[k - 1]; at < rules.offset[k]; ++at) {
            const double z = chebyshev::node<N>(k) * rules.sin[at];
            chebyshev::cardinal_values<N>(z, t.v + at * UNKNOWNS<N>);
        }
    }
    return t;
}

// At the premium's early points z = EARLY_W y_m.
template <int N, int P>
constexpr CardinalTable<N, P> early_cardinal() {
    CardinalTable<N, P> t{};
    for (int m = 0; m < P; ++m) {
        chebyshev::cardinal_values<N>(EARLY_W * Legendre<P>::node[m], t.v + m * UNKNOWNS<N>);
    }
    return t;
}

// At the unknown nodes of a finer grid NF, the polynomial through the unknown nodes of NC alone
// (expiry's node left out: refine carries log(-x / z^2) on it, which is finite there).
template <int NC, int NF>
constexpr CardinalTable<NC, UNKNOWNS<NF>> refine_cardinal() {
    constexpr int UC = UNKNOWNS<NC>;
    CardinalTable<NC, UNKNOWNS<NF>> t{};
    for (int i = 0; i < UNKNOWNS<NF>; ++i) {
        const double z = chebyshev::node<NF>(i + 1);
        double *out = t.v + i * UC;
        double sum = 0;
        int at = -1;
        for (int j = 0; j < UC; ++j) {
            const double d = z - chebyshev::node<NC>(j + 1);
            if (d == 0) at = j;
            out[j] = d == 0 ? 0.0 : chebyshev::WEIGHTS<NC, 1>.v[j] / d;
            sum += out[j];
        }
        for (int j = 0; j < UC; ++j) out[j] = at >= 0 ? (j == at ? 1.0 : 0.0) : out[j] / sum;
    }
    return t;
}

// u log(1/u) at the nodes (u = z^4), at each node's points (u = z_k^4 sin^4) and at the
// premium's early points (u = (EARLY_W y_m)^4): the singular part per unit sigma^2, on the power
// clock (the only one it is taken on).
template <int COUNT>
struct SingularTable {
    double v[COUNT];
};

template <int N>
constexpr SingularTable<UNKNOWNS<N>> node_singular() {
    SingularTable<UNKNOWNS<N>> t{};
    for (int k = 1; k <= UNKNOWNS<N>; ++k) {
        const double z = chebyshev::node<N>(k);
        t.v[k - 1] = -4 * ((z * z) * (z * z)) * chebyshev::log_node<N>(k);
    }
    return t;
}

template <int N, int L>
constexpr SingularTable<NodeRules<N, L>::TOTAL> point_singular() {
    SingularTable<NodeRules<N, L>::TOTAL> t{};
    const NodeRules<N, L> rules = node_rules<N, L>();
    for (int k = 1; k <= UNKNOWNS<N>; ++k) {
        const double z = chebyshev::node<N>(k), log_z = chebyshev::log_node<N>(k);
        for (int at = rules.offset[k - 1]; at < rules.offset[k]; ++at) {
            const double sn = rules.sin[at];
            const double u = ((z * z) * (z * z)) * ((sn * sn) * (sn * sn));
            t.v[at] = -4 * u * (log_z + rules.log_sin[at]);
        }
    }
    return t;
}

constexpr double LOG_EARLY_W = -0.17328679513998632;  // -log(2) / 4

template <int P>
constexpr SingularTable<P> early_singular() {
    SingularTable<P> t{};
    for (int m = 0; m < P; ++m) {
        const double z = EARLY_W * Legendre<P>::node[m];
        t.v[m] = -4 * ((z * z) * (z * z)) * (LOG_EARLY_W + Legendre<P>::log_node[m]);
    }
    return t;
}

template <int N, int L>
inline constexpr CardinalTable<N, NodeRules<N, L>::TOTAL> BOUNDARY_CARDINAL =
    boundary_cardinal<N, L>();
template <int N>
inline constexpr SingularTable<UNKNOWNS<N>> NODE_SINGULAR = node_singular<N>();
template <int N, int L>
inline constexpr SingularTable<NodeRules<N, L>::TOTAL> POINT_SINGULAR = point_singular<N, L>();
template <int P>
inline constexpr SingularTable<P> EARLY_SINGULAR = early_singular<P>();
template <int N, int P>
inline constexpr CardinalTable<N, P> EARLY_CARDINAL = early_cardinal<N, P>();
template <int NC, int NF>
inline constexpr CardinalTable<NC, UNKNOWNS<NF>> REFINE_CARDINAL = refine_cardinal<NC, NF>();

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

// Nodes nearer expiry than this are not waited for: there the equations hardly depend on where
// the boundary is, and neither does the price.
constexpr double SETTLE_TAU = 1e-6;

// One grid: N Chebyshev intervals, U unknown nodes (the node at expiry, x = 0, is fixed), the
// node rules of L (NodeRules).
template <int N, int L>
struct Grid {
    static constexpr int U = UNKNOWNS<N>;
    static constexpr int POINTS = NodeRules<N, L>::TOTAL;
    double x[U];
    // fixed by the problem at each point (node-major): 1 / (sigma sqrt lag), sigma sqrt lag, the
    // drift part of d+, the weight with e^{-q lag}, and the singular part of H
    double inv_sl[POINTS], sl[POINTS], drift[POINTS], wq[POINTS];
    double sing[POINTS];
    // at the nodes: tau, sigma sqrt tau, the rest of d+ at B / K, e^{-q tau}
    double tau[U], st[U], shift[U], eq[U], sing_node[U];
    double lu[U * U];
    int pivot[U];

    void prepare(const Problem &p) {
        for (int k = 0; k < U; ++k) {
            const double z = chebyshev::node<N>(k + 1);
            const double z4 = (z * z) * (z * z);
            double growth = 1;  // e^{lambda z^4}
            if (p.power_clock) {
                tau[k] = z4;
            } else {
                const double a = p.lambda * z4;
                growth = libm::exp(a);
                tau[k] = p.tau_s * growth * one_minus_exp_neg(a);
            }
            st[k] = p.sigma * std::sqrt(tau[k]);
            shift[k] = (p.log_XK + (p.r - p.q) * tau[k]) / st[k] + st[k] / 2;
            eq[k] = libm::exp(-p.q * tau[k]);
            const NodeRules<N, L> &rules = NODE_RULES<N, L>;
            for (int at = rules.offset[k]; at < rules.offset[k + 1]; ++at) {
                double lag, s, weight;
                if (p.power_clock) {
                    lag = tau[k] * rules.one_minus_sin4[at];
                    s = st[k] * rules.sqrt_one_minus_sin4[at];
                    weight = tau[k] * rules.weight[at];
                } else {
                    // tau_k - tau(z) = tau_s e^{lambda z_k^4} (1 - e^{-lambda z_k^4 (1 - sin^4)})
                    const double b = p.lambda * z4 * rules.one_minus_sin4[at];
                    lag = p.tau_s * growth * one_minus_exp_neg(b);
                    s = p.sigma * std::sqrt(lag);
                    // du = 4 lambda (tau_s + u) z^3 dz
                    weight = z4 * p.lambda * (p.tau_s + (tau[k] - lag)) * rules.weight[at];
                }
                sl[at] = s;
                inv_sl[at] = 1 / s;
                drift[at] = (p.r - p.q) * lag / s + s / 2;
                wq[at] = p.q == 0 ? weight : weight * libm::exp(-p.q * lag);
                sing[at] = p.singular * POINT_SINGULAR<N, L>.v[at];
            }
            sing_node[k] = p.singular * NODE_SINGULAR<N>.v[k];
        }
    }

    // QD+ at each node. The first from sigma sqrt(tau log(1/tau)), the size of the boundary's
    // distance from X near expiry; the others from the power law through the two nodes before
    // (the second: sqrt(tau)).
    void start(const Problem &p) {
        for (int k = 0; k < U; ++k) {
            double guess;
            if (k == 0) {
                guess = -p.sigma * std::sqrt(tau[0] * -libm::log(tau[0] < 0.5 ? tau[0] : 0.5));
            } else {
                double power = 0.5;
                if (k > 1) {
                    power = libm::log(x[k - 1] / x[k - 2]) / libm::log(tau[k - 1] / tau[k - 2]);
                    if (!(power > 0 && power < 1)) power = power > 0 ? 1.0 : 0.0;
                }
                guess = x[k - 1] * libm::exp(power * libm::log(tau[k] / tau[k - 1]));
            }
            const double x_k = qd_plus_boundary(p, tau[k], guess,
                                                k == 0 ? QD_FIRST_EVALUATIONS : QD_EVALUATIONS);
            x[k] = x_k > p.x_perpetual ? x_k : p.x_perpetual;
        }
    }

    // The smooth-pasting equations at x: their residuals, their Jacobian (in lu, row-major) and,
    // with dsigma, their derivatives in sigma.
    void evaluate(const Problem &p, double *residual, double *dsigma) {
        double xsq[U];
        for (int j = 0; j < U; ++j) xsq[j] = x[j] * x[j] - sing_node[j];
        const bool with_q = p.q != 0, with_r = p.r != 0;
        for (int k = 0; k < U; ++k) {
            const double xk = x[k];
            double sum = 0, direct = 0, sig_sum = 0;
            double coupling[U] = {};
            for (int at = NODE_RULES<N, L>.offset[k]; at < NODE_RULES<N, L>.offset[k + 1]; ++at) {
                const double *row = BOUNDARY_CARDINAL<N, L>.v + at * U;
                const double H = chebyshev::dot<U>(row, xsq) + sing[at];
                // The boundary falls with tau: B(u) >= B(tau). Held to it, an interpolant far
                // from the solution (near expiry, where H is small beside its error) keeps the
                // equations sane.
                const bool below = !(H < xk * xk);
                const double xu = below ? xk : H > 0 ? -std::sqrt(H) : 0.0;
                const double dp = (xk - xu) * inv_sl[at] + drift[at];
                // a = w e^{-q l} phi(d+) / (sigma sqrt l), ae = a r K / B(u)
                double a = 0, ae, Np = 0;
                if (with_q) {
                    a = wq[at] * _norm_pdf(dp) * inv_sl[at];
                    Np = _norm_cdf(dp);
                    ae = with_r ? a * p.rho * libm::exp(-xu) : 0.0;
                } else {
                    ae = wq[at] * inv_sl[at] * p.rho * _ONE_OVER_SQRT_TWO_PI *
                         libm::exp(-0.5 * dp * dp - xu);
                }
                const double g_a = p.q * a - ae;
                sum += p.q * wq[at] * Np + g_a;
                // d/dx_k of the point's term; d/dxu = -d/dx_k + a e
                const double d_xk = p.q * a - dp * g_a * inv_sl[at];
                if (below) {
                    direct += ae;  // xu = x_k
                } else {
                    direct += d_xk;
                    if (xu < 0) {
                        // xu = -sqrt(sum l_j x_j^2): dxu/dx_j = l_j x_j / xu
                        const double gx = (ae - d_xk) / xu;
                        for (int j = 0; j < U; ++j) coupling[j] += gx * row[j];
                    }
                }
                if (dsigma != nullptr) {
                    const double dm = dp - sl[at];
                    sig_sum += -p.q * a * sl[at] * dm + g_a * (dp * dm - 1);
                    // the singular part grows with sigma^2 at fixed nodes: dH/dsigma = 2 (its
                    // value here less its interpolant) / sigma
                    if (!below && xu < 0 && p.singular != 0) {
                        const double dH = sing[at] - chebyshev::dot<U>(row, sing_node);
                        sig_sum += (ae - d_xk) * dH / xu;
                    }
                }
            }
            const double d1 = xk / st[k] + shift[k];
            const double n1 = eq[k] * _norm_pdf(d1);
            residual[k] = eq[k] * _norm_cdf(d1) + sum;
            double *jac_row = lu + k * U;
            for (int j = 0; j < U; ++j) jac_row[j] = coupling[j] * x[j];
            jac_row[k] += n1 / st[k] + direct;
            if (dsigma != nullptr) dsigma[k] = (sig_sum - n1 * (d1 - st[k])) / p.sigma;
        }
    }

    // One Newton step; with dx_dsigma, also the boundary's sensitivity to sigma. Returns the
    // largest change of a node beside the boundary's scale, NaN when the Jacobian cannot be
    // factored (x is then left as it was).
    double newton_step(const Problem &p, double *dx_dsigma = nullptr) {
        double residual[U], dsigma[U];
        evaluate(p, residual, dx_dsigma != nullptr ? dsigma : nullptr);
        if (!lu_factor<U>(lu, pivot)) return std::numeric_limits<double>::quiet_NaN();
        for (int j = 0; j < U; ++j) residual[j] = -residual[j];
        lu_solve<U>(lu, pivot, residual);
        // At most a factor 2 either way (x < 0: below X) and one sigma sqrt(tau) of the node,
        // and never below the perpetual option's boundary, which lies below the boundary at
        // every tau. Where rates are small beside sigma^2 the equations are flat in x to first
        // order (exercising a little earlier or later is worth about the same), so that a full
        // step would wander far on their small terms. A NaN step keeps the node.
        double change = 0;
        for (int k = 0; k < U; ++k) {
            double step = residual[k];
            if (step > st[k]) step = st[k];
            if (step < -st[k]) step = -st[k];
            double next = x[k] + step;
            if (next < 2 * x[k]) next = 2 * x[k];
            if (next > 0.5 * x[k]) next = 0.5 * x[k];
            if (next < p.x_perpetual) next = p.x_perpetual;
            if (next == next) {
                if (tau[k] >= SETTLE_TAU) change = std::fmax(change, std::fabs(next - x[k]));
                x[k] = next;
            }
        }
        if (dx_dsigma != nullptr) {
            for (int j = 0; j < U; ++j) dsigma[j] = -dsigma[j];
            lu_solve<U>(lu, pivot, dsigma);
            for (int j = 0; j < U; ++j) dx_dsigma[j] = dsigma[j];
        }
        return change / std::fabs(x[U - 1]);
    }
};

// The boundary at the nodes of a finer grid from a coarser one's: where a node is a coarse node,
// its value; elsewhere the polynomial through log(-x / z^2) at the coarse nodes (expiry's left
// out), which varies slowly all the way to expiry (x is about -sigma z^2 sqrt(log(1 / z^4))
// there), so that the start is as good relative to the boundary's own scale near expiry as far
// from it.
template <int NC, int NF>
inline void refine(const Problem &p, const double *coarse, double *fine) {
    constexpr int UC = UNKNOWNS<NC>;
    double g[UC];
    for (int j = 0; j < UC; ++j) {
        const double z = chebyshev::node<NC>(j + 1);
        g[j] = libm::log(-coarse[j] / (z * z));
    }
    for (int i = 0; i < UNKNOWNS<NF>; ++i) {
        const double z = chebyshev::node<NF>(i + 1);
        double v = -(z * z) * libm::exp(chebyshev::dot<UC>(REFINE_CARDINAL<NC, NF>.v + i * UC, g));
        if (!(v < 0)) v = v == v ? -1e-300 : v;
        fine[i] = v < p.x_perpetual ? p.x_perpetual : v;
    }
}

// The put's price in put coordinates and its sensitivities: dP/dS, d2P/dS2, dP/dsigma.
struct PutValue {
    double price, delta, gamma, vega;
    bool exercised;
};

// The premium and, with GREEKS, its sensitivities, from the boundary x at the unknown nodes of
// an N-interval grid; dx_dsigma the boundary's sensitivity to sigma.
template <int N, int LAG_POINTS, int EARLY_POINTS, bool GREEKS>
inline PutValue premium(const Problem &p, const double *x, const double *dx_dsigma) {
    constexpr int U = UNKNOWNS<N>;
    PutValue v{0, 0, 0, 0, false};
    const double x_end = x[U - 1];
    if (!(p.log_SX > x_end)) {  // at or below the boundary at inception
        v.exercised = true;
        return v;
    }
    double xsq[U], node_sing[U];
    for (int j = 0; j < U; ++j) {
        node_sing[j] = p.singular * NODE_SINGULAR<N>.v[j];
        xsq[j] = x[j] * x[j] - node_sing[j];
    }
    double along_sigma = 0;  // sum df/dxu dxu/dsigma at fixed nodes (the singular part's share)
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
            weight * (p.rho * er * _norm_cdf(-dm) - p.q * S_over_X * eq * _norm_cdf(-dp));
        if (!GREEKS) return 0.0;
        const double density = eq * _norm_pdf(dp);
        const double rK_over_Bu = p.rho * libm::exp(-xu);
        // dP/dS (S and X cancel), d2P/dS2 times X, dP/dsigma at fixed B over X
        v.delta += weight * (-p.q * eq * _norm_cdf(-dp) + density * (p.q - rK_over_Bu) / sl);
        v.gamma += weight * density / (S_over_X * sl) * (p.q - (p.q - rK_over_Bu) * dp / sl);
        v.vega += weight * S_over_X * density / p.sigma * (rK_over_Bu * dp - p.q * dm);
        return weight * S_over_X * density * (rK_over_Bu - p.q) / sl;
    };
    // the boundary at u from the cardinals there, and its record for the sensitivities
    const auto boundary = [&](const double *card, double singular) {
        const double H = chebyshev::dot<U>(card, xsq) + singular;
        const double xu = H > 0 ? -std::sqrt(H) : 0.0;
        return xu < x_end ? x_end : xu;
    };
    const auto along_boundary = [&](double d_xu, double xu, const double *card, double singular) {
        if (!GREEKS || !(xu < 0)) return;
        const double gx = d_xu / xu;
        if (xu == x_end) {  // held at the boundary at inception: moves with the last node
            by_node[U - 1] += gx;
            return;
        }
        for (int j = 0; j < U; ++j) by_node[j] += gx * card[j];
        if (p.singular != 0) along_sigma += gx * (singular - chebyshev::dot<U>(card, node_sing));
    };

    // Lags up to 1 - tau(EARLY_W): sqrt(lag) = scale sinh(Y y).
    const double early_z4 = (EARLY_W * EARLY_W) * (EARLY_W * EARLY_W);
    const double early_u = tau_at(p, early_z4);
    const double top = std::sqrt(1 - early_u);
    double scale = (p.log_SX - x_end) / p.sigma;
    if (scale > top) scale = top;
    if (scale < 1e-12 * top) scale = 1e-12 * top;
    const double ratio = top / scale;
    const double Y = libm::log(ratio + std::sqrt(ratio * ratio + 1));
    for (int m = 0; m < LAG_POINTS; ++m) {
        const double e = libm::exp(Y * Legendre<LAG_POINTS>::node[m]);
        const double s = scale * 0.5 * (e - 1 / e);
        const double ds = scale * 0.5 * (e + 1 / e) * Y * Legendre<LAG_POINTS>::weight[m];
        const double lag = s * s;
        double card[U];
        chebyshev::cardinal_values<N>(std::sqrt(std::sqrt(z4_at(p, 1 - lag))), card);
        const double u = 1 - lag;
        const double singular = p.singular == 0 ? 0.0 : p.singular * u * -libm::log(u);
        const double xu = boundary(card, singular);
        along_boundary(point(2 * s * ds, xu, lag, s), xu, card, singular);
    }
    // Times u up to early_u: z = EARLY_W y, u = tau(z).
    for (int m = 0; m < EARLY_POINTS; ++m) {
        const double y = Legendre<EARLY_POINTS>::node[m];
        const double z = EARLY_W * y;
        const double z4 = (z * z) * (z * z);
        const double *card = EARLY_CARDINAL<N, EARLY_POINTS>.v + m * U;
        double u, du_dz4;
        if (p.power_clock) {
            u = z4;
            du_dz4 = 1;
        } else {
            u = tau_at(p, z4);
            du_dz4 = p.lambda * (p.tau_s + u);
        }
        const double singular = p.singular * EARLY_SINGULAR<EARLY_POINTS>.v[m];
        const double xu = boundary(card, singular);
        const double lag = 1 - u;
        const double weight =
            4 * early_z4 * y * y * y * Legendre<EARLY_POINTS>::weight[m] * du_dz4;
        along_boundary(point(weight, xu, lag, std::sqrt(lag)), xu, card, singular);
    }
    v.price *= p.X;
    if (GREEKS) {
        v.gamma /= p.X;
        // along the boundary: sum_j dP/dx_j dx_j/dsigma, dP/dx_j = sum df/dxu l_j x_j / xu
        // (and the singular part's growth with sigma: 2 (its value less its interpolant) / sigma,
        // over 2 xu)
        double along = along_sigma / p.sigma;
        for (int j = 0; j < U; ++j) along += by_node[j] * x[j] * dx_dsigma[j];
        v.vega = p.X * (v.vega + along);
    }
    return v;
}

// Newton steps on grid NF from the boundary x_coarse of grid NC (NC = 0: from QD+): STEPS of
// them, or with TOL > 0 at most STEPS, until one changes the boundary by less than TOL of its
// scale (the first one: by less than FIRST_TOL), each on a fresh Jacobian. The last step's
// Jacobian gives the boundary's sensitivity to sigma when GREEKS. The boundary and that
// sensitivity into x and dx_dsigma; false when a node is left at or above X or not a number.
template <int NC, int NF, int L, int STEPS, bool GREEKS>
inline bool solve_grid(const Problem &p, const double *x_coarse, double *x, double *dx_dsigma,
                       double tol, double first_tol) {
    Grid<NF, L> grid;
    grid.prepare(p);
    if constexpr (NC == 0) {
        grid.start(p);
    } else {
        refine<NC, NF>(p, x_coarse, grid.x);
    }
    for (int step = 0; step < STEPS; ++step) {
        const double change = grid.newton_step(p, GREEKS ? dx_dsigma : nullptr);
        if (change != change) break;
        if (tol > 0 && change < (step == 0 && first_tol > tol ? first_tol : tol)) break;
    }
    for (int k = 0; k < UNKNOWNS<NF>; ++k) {
        if (!(grid.x[k] < 0)) return false;
        x[k] = grid.x[k];
    }
    return true;
}

// Solves the boundary on the grids of Levels and integrates the premium.
template <class Levels, bool GREEKS>
inline PutValue put_premium(const Problem &p, double step_tol, double first_step_tol) {
    const PutValue failed{std::numeric_limits<double>::quiet_NaN(), 0, 0, 0, false};
    constexpr int N1 = Levels::N1, N2 = Levels::N2, N3 = Levels::N3;
    // a negative count: as many points at every node
    constexpr int SIGN = Levels::UNIFORM ? -1 : 1;
    constexpr int L1 = SIGN * Levels::L1, L2 = SIGN * Levels::L2, L3 = SIGN * Levels::L3;
    double x1[UNKNOWNS<N1>], x3[UNKNOWNS<N3>], dx_dsigma[UNKNOWNS<N3>] = {};
    if (!solve_grid<0, N1, L1, Levels::STEPS1, false>(p, nullptr, x1, nullptr, 0, 0)) return failed;
    if constexpr (N2 > 0) {
        double x2[UNKNOWNS<N2>];
        if (!solve_grid<N1, N2, L2, Levels::STEPS2, false>(p, x1, x2, nullptr, 0, 0) ||
            !solve_grid<N2, N3, L3, Levels::STEPS3, GREEKS>(p, x2, x3, dx_dsigma, step_tol,
                                                            first_step_tol)) {
            return failed;
        }
    } else {
        if (!solve_grid<N1, N3, L3, Levels::STEPS3, GREEKS>(p, x1, x3, dx_dsigma, step_tol,
                                                            first_step_tol)) {
            return failed;
        }
    }
    return premium<N3, Levels::LAG_POINTS, Levels::EARLY_POINTS, GREEKS>(p, x3, dx_dsigma);
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

// A rate whose discount factor is within a few ulps of 1 is rounding of a zero one: without
// this a call without dividends at a negative rate (D F / S = 1 + 1 ulp) would take the put's
// regime of two boundaries.
inline double rounded_rate(double rate) { return std::fabs(rate) <= 8 * _DBL_EPS ? 0.0 : rate; }

inline PutSide put_side(double S, double K, double D, double F, int q_flag) {
    const double r = rounded_rate(-libm::log(D));
    const double carry = rounded_rate(-libm::log(D * F / S));  // q T of the underlying
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

// The least sigma the grids take (rates up to NU_MAX times sigma, up to NU_FAR times one below
// SIGMA_FAR_MIN): below it a price is exact (exercise now, or a premium too small to matter) or
// NaN, the NaN ones a band up to it. 0 where there is no boundary (Black's price, or NaN at
// every sigma).
inline double least_grid_sigma(double S, double K, double D, double F, int q_flag) {
    const PutSide side = put_side(S, K, D, F, q_flag);
    if (put_regime(side.r, side.q) != PutRegime::BOUNDARY) return 0.0;
    const double rate = std::fmax(std::fmax(std::fabs(side.r), std::fabs(side.q)),
                                  std::fabs(side.r - side.q));
    return std::fmax(rate / NU_MAX, std::fmin(SIGMA_FAR_MIN, rate / NU_FAR)) * (1 + 1e-12);
}

inline Problem put_problem(const PutSide &side, double sigma, double carry_clock_from) {
    Problem p;
    p.S = side.S;
    p.K = side.K;
    p.r = side.r;
    p.q = side.q;
    p.sigma = sigma;
    const bool below_strike = side.q > 0 && side.r < side.q;
    p.X = below_strike ? side.K * (side.r / side.q) : side.K;
    p.KX = below_strike ? side.q / side.r : 1.0;
    p.rho = side.r * p.KX;
    p.log_XK = below_strike ? libm::log(side.r / side.q) : 0.0;
    p.log_SX = libm::log(side.S / side.K) - p.log_XK;
    // B = K lambda / (lambda - 1), lambda the negative root of sigma^2/2 l (l - 1) + (r - q) l - r
    const double sig2 = sigma * sigma;
    const double beta_1 = 2 * (side.r - side.q) / sig2 - 1;
    const double root = std::sqrt(beta_1 * beta_1 + 8 * side.r / sig2);
    // where beta_1 < 0 the difference loses every digit as sigma falls (sigma 5e-9 with q > r
    // put the boundary above the spot): there the roots' product, -2 r / sigma^2, gives it
    const double lambda = beta_1 >= 0 ? (-beta_1 - root) / 2
                                       : -4 * side.r / sig2 / (root - beta_1);
    const double x_perpetual = libm::log(lambda / (lambda - 1)) - p.log_XK;
    p.x_perpetual = x_perpetual > X_FLOOR ? x_perpetual : X_FLOOR;
    const double layer = CARRY_CLOCK * -p.log_XK / sigma;
    const double tau_s = layer * layer;
    p.power_clock = !(below_strike && tau_s < 1 && tau_s >= carry_clock_from &&
                      (tau_s >= CARRY_CLOCK_MIN || sigma <= CARRY_CLOCK_SIGMA));
    p.tau_s = p.power_clock ? 1.0 : tau_s > CARRY_CLOCK_MIN ? tau_s : CARRY_CLOCK_MIN;
    p.lambda = libm::log(1 + 1 / p.tau_s);
    p.singular = !below_strike && p.power_clock ? sig2 : 0.0;
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
    // the call's put, struck at K S / F, would underflow or overflow: priced with S, K and F
    // scaled by a power of two, exactly, the price being homogeneous of degree one in them
    const int k = strike_scale_exponent(S, K, F, alo::SCALED_BELOW, alo::SCALED_ABOVE);
    if (k != 0) {
        const Greeks g = alo_value<Scheme, GREEKS>(std::ldexp(S, k), std::ldexp(K, k), D,
                                                   std::ldexp(F, k), sigma, q);
        return {std::ldexp(g.price, -k), g.delta, std::ldexp(g.gamma, k), std::ldexp(g.vega, -k)};
    }
    if (sigma > 0 && sigma < alo::SIGMA_FLOOR) sigma = alo::SIGMA_FLOOR;
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
    const bool finite = S < HUGE_VAL && K < HUGE_VAL && D < HUGE_VAL && F < HUGE_VAL &&
                        sigma < HUGE_VAL;
    if (finite && K == 0 && S > 0 && D > 0 && F > 0) {
        // a put of no strike is worthless; a call of none is the underlying, taken now or at
        // expiry, whichever is worth more (its value at time t, e^{-r t} E S_t, is monotone)
        if (!call) return {0.0, 0.0, 0.0, 0.0};
        return D * F > S ? Greeks{D * F, D * F / S, 0.0, 0.0} : Greeks{S, 1.0, 0.0, 0.0};
    }
    if (finite && S == 0 && F == 0 && K > 0 && D > 0 && D <= 1 && !call) {
        return {K, -1.0, 0.0, 0.0};  // at no spot a put is exercised: nothing is gained by waiting
    }
    if (!(S > 0 && K > 0 && D > 0 && F > 0 && finite)) return {nan, nan, nan, nan};
    const alo::PutSide side = alo::put_side(S, K, D, F, q);
    const alo::PutRegime regime = alo::put_regime(side.r, side.q);
    if (regime == alo::PutRegime::TWO_BOUNDARIES) return {nan, nan, nan, nan};

    // Black's put in put coordinates
    const Black black = black_terms(libm::log(side.F / side.K), side.K, side.D, side.F, sigma, -1);
    double price = black.price;
    double delta = 0, gamma = 0, vega = 0;
    if (GREEKS) {
        const double DF_over_S = side.D * side.F / side.S;  // e^{-q T}
        const double density = _norm_pdf(black.d1);
        delta = -DF_over_S * black.N_d1;  // N(-d1) for the put
        gamma = DF_over_S * density / (side.S * sigma);
        vega = side.D * side.F * density;
    }
    if (regime == alo::PutRegime::BOUNDARY) {
        const alo::Problem problem = alo::put_problem(side, sigma, Scheme::CARRY_CLOCK_FROM);
        const double rate = std::fmax(std::fabs(side.r), std::fabs(side.q));
        const double nu = std::fmax(rate, std::fabs(side.r - side.q)) / sigma;
        alo::PutValue premium;
        if (problem.log_SX <= problem.x_perpetual) {
            // below the perpetual boundary, and so below the boundary at every tau
            premium = {0, 0, 0, 0, true};
        } else if (nu <= alo::NU_WIDE && sigma <= alo::SIGMA_MAX && rate <= alo::RATE_MAX) {
            premium = problem.power_clock
                          ? alo::put_premium<typename Scheme::Narrow, GREEKS>(
                                problem, Scheme::STEP_TOL, Scheme::FIRST_STEP_TOL)
                          : alo::put_premium<typename Scheme::Carry, GREEKS>(
                                problem, Scheme::STEP_TOL, Scheme::FIRST_STEP_TOL);
        } else if (nu <= alo::NU_MAX && sigma <= alo::SIGMA_MAX && rate <= alo::RATE_MAX &&
                   (nu <= alo::NU_FAR || sigma >= alo::SIGMA_FAR_MIN)) {
            // the boundary nears its perpetual level long before log(1/tau) is spent
            alo::Problem wide = problem;
            wide.singular = 0;
            premium = alo::put_premium<typename Scheme::Wide, GREEKS>(
                wide, Scheme::WIDE_STEP_TOL, Scheme::FIRST_STEP_TOL);
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

// alo_value's greeks with dV/dF and dV/dD by central differences of its price at steps of 1e-4
// sigma of F and D (sigma up to 1: a step h of F moves q T, and of D r T, by h, and the premium
// bends in them over about sigma^2); within about 1e-3 of the derivatives at worst on random
// options, and far closer as a rule. Near the exercise region (whose price, the payoff, has
// slope 0 in F and D) the price bends over the distance to the boundary: where a step moves the
// value above the payoff by more than a tenth, it shrinks tenfold, down to 1e-7, and then the
// difference is one-sided, away from the boundary; so it is below D where D + h would pass 1
// (beyond which the engine answers otherwise). Exercised now, 0.
template <class Scheme>
inline Greeks alo_greeks(double S, double K, double D, double F, double sigma, int q) {
    Greeks g = alo_value<Scheme, true>(S, K, D, F, sigma, q);
    const double intrinsic = spot_intrinsic(S, K, q);
    if (!(g.price > intrinsic)) {
        g.dF = g.dD = g.price == g.price ? 0.0 : g.price;
        return g;
    }
    // whether a neighbour lies too near the boundary for the step (out of the money the
    // exercise region is out of reach)
    const double above = g.price - intrinsic;
    const auto near = [&](double price) {
        return !(price > intrinsic) ||
               (intrinsic > 0 && std::fabs(price - intrinsic - above) > 0.1 * above);
    };
    // relative to the input; below a sigma of 1e-6 a step of 1e-10 (at 1e-12 steps of 1e-16
    // were lost in F's rounding)
    const double first_step = 1e-4 * std::fmin(std::fmax(sigma, 1e-6), 1.0);
    // the slope along a step of one input, x its value, price_at(t) the price at x + t
    const auto slope = [&](double x, bool up_allowed, auto price_at) {
        double h = first_step * x, up = intrinsic, down = intrinsic;
        for (int shrink = 0;; ++shrink, h *= 0.1) {
            up = up_allowed ? price_at(h) : intrinsic;
            down = price_at(-h);
            if (!near(up) && !near(down)) return (up - down) / (2 * h);
            if (shrink == 3 || (!up_allowed && !near(down))) break;
        }
        if (down > intrinsic) return (3 * g.price - 4 * down + price_at(-2 * h)) / (2 * h);
        if (up > intrinsic) return (4 * up - 3 * g.price - price_at(2 * h)) / (2 * h);
        return 0.0;  // a premium too small to tell from its neighbours'
    };
    g.dF = slope(F, true, [&](double t) {
        return alo_value<Scheme, false>(S, K, D, F + t, sigma, q).price;
    });
    g.dD = slope(D, D * (1 + first_step) <= 1, [&](double t) {
        return alo_value<Scheme, false>(S, K, D + t, F, sigma, q).price;
    });
    return g;
}

}  // namespace kelvo::kernel

// An independent solution of the American put's early-exercise boundary equation, the check of
// bench/alo_accuracy.py: written apart from kernel/american.hpp, sharing none of its code,
// tables or discretisation. Extended precision (long double) throughout.
//
// The boundary x(tau) = log(B / X) is carried as G = x^2 / tau, a function of s = log(tau):
// near expiry G grows like log(1/tau) (or tends to a constant where q > r), which in s is a
// straight line, so that G is smooth on every scale of tau. G is a piecewise polynomial: on each
// interval of s of width WIDTH from log(1e-20) to 0, the interpolant through M + 1 Chebyshev
// extrema (below 1e-20, G is held at its first value). Value matching is a Volterra equation
// (the equation at tau involves the boundary at u <= tau only), so the intervals are solved one
// after the other, from expiry back, each by Newton's method on its own M unknowns. Every
// integral is a tanh-sinh rule of step 1/STEPS on [-4, 4]; the premium's is cut at the lags
// where its integrand turns on (and has twice the points). Calls are the puts of put-call symmetry.
//
//   alo_independent RECORDS OUT [M [WIDTH [STEPS [THREADS]]]]
// reads records of six doubles (S, K, D, F, sigma, q) and writes one price each (NaN where the
// boundary is not found, or for a put with r < 0 and q < r, which has two boundaries).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using real = long double;
const real PI = 3.141592653589793238462643383279502884L;
const real S_FIRST = -23.0L;  // log(1e-10)

real cdf(real z) { return 0.5L * std::erfc(-z / std::sqrt(2.0L)); }
real pdf(real z) { return std::exp(-0.5L * z * z) / std::sqrt(2 * PI); }

// tanh-sinh on [0, 1]: points t from the left end, their distances 1 - t from the right end
// (each kept in full), and weights.
struct Rule {
    std::vector<real> t, t_right, weight;
};

Rule tanh_sinh(int steps) {
    Rule rule;
    const real h = 1.0L / steps;
    for (int i = -4 * steps; i <= 4 * steps; ++i) {
        const real a = PI / 2 * std::sinh(i * h);
        const real e = std::exp(-2 * std::fabs(a));
        const real small = e / (1 + e), large = 1 / (1 + e);  // (1 -+ tanh|a|) / 2
        const real c = std::cosh(a);
        const real w = h * PI / 2 * std::cosh(i * h) / (c * c) / 2;
        if (w < 1e-300L) continue;
        rule.t.push_back(a < 0 ? small : large);
        rule.t_right.push_back(a < 0 ? large : small);
        rule.weight.push_back(w);
    }
    return rule;
}

struct Put {
    real S, K, r, q, sigma;
    real X, KX, log_XK, log_SX, x_perpetual;
};

struct Boundary {
    int m = 8, intervals = 46;
    real width = 1;
    std::vector<real> G;     // intervals * (m + 1): each interval's values, its first shared
    std::vector<real> cheb;  // extrema on [0, 1]

    void setup(int m_, real width_) {
        m = m_;
        width = width_;
        intervals = static_cast<int>(std::ceil(-S_FIRST / width - 1e-9L));
        G.assign(static_cast<size_t>(intervals) * (m + 1), 0);
        cheb.resize(m + 1);
        for (int j = 0; j <= m; ++j) cheb[j] = (1 - std::cos(j * PI / m)) / 2;
    }
    real start(int i) const { return S_FIRST + i * width; }
    real node_s(int i, int j) const {
        const real hi = i + 1 == intervals ? 0 : start(i + 1);
        return start(i) + (hi - start(i)) * cheb[j];
    }
    int interval_of(real s) const {
        int i = static_cast<int>(std::floor((s - S_FIRST) / width));
        return i < 0 ? -1 : (i >= intervals ? intervals - 1 : i);
    }
    // the cardinal functions of interval i at s
    void cardinals(int i, real s, real *card) const {
        const real hi = i + 1 == intervals ? 0 : start(i + 1);
        const real y = (s - start(i)) / (hi - start(i));
        real sum = 0;
        for (int j = 0; j <= m; ++j) {
            if (y == cheb[j]) {
                for (int k = 0; k <= m; ++k) card[k] = k == j ? 1 : 0;
                return;
            }
            card[j] = (j % 2 ? -1.0L : 1.0L) * (j == 0 || j == m ? 0.5L : 1.0L) / (y - cheb[j]);
            sum += card[j];
        }
        for (int j = 0; j <= m; ++j) card[j] /= sum;
    }
    // G at tau = e^s, its interval (-1 below the first) and cardinals
    real G_at(real s, int &i, real *card) const {
        i = interval_of(s);
        if (i < 0) return G[0];
        cardinals(i, s, card);
        real g = 0;
        for (int j = 0; j <= m; ++j) g += card[j] * G[i * (m + 1) + j];
        return g;
    }
    real x_at(real u, real *card) const {
        if (!(u > 0)) return 0;
        int i;
        const real g = G_at(std::log(u), i, card);
        return g > 0 ? -std::sqrt(u * g) : 0;
    }
};

// Value matching at tau = e^s, with the boundary at tau's node given as x_k; with jac, its
// derivatives in the values G of interval `unknown` (the node itself through dx_k).
real residual(const Put &p, const Boundary &b, const Rule &rule, real s, real xk, int unknown,
              real *jac, real &d_xk) {
    const real tau = std::exp(s);
    const int m = b.m;
    std::vector<real> card(m + 1);
    if (jac != nullptr)
        for (int j = 0; j <= m; ++j) jac[j] = 0;
    const real st = p.sigma * std::sqrt(tau);
    const real d1 = (xk + p.log_XK + (p.r - p.q) * tau) / st + st / 2, d2 = d1 - st;
    const real ek = std::exp(xk);
    real A = std::exp(-p.q * tau) * cdf(d1), Bt = std::exp(-p.r * tau) * cdf(d2);
    real dA = std::exp(-p.q * tau) * pdf(d1) / st, dB = std::exp(-p.r * tau) * pdf(d2) / st;
    for (size_t n = 0; n < rule.t.size(); ++n) {
        const real u = tau * rule.t[n], lag = tau * rule.t_right[n], w = tau * rule.weight[n];
        int i;
        const real g = b.G_at(s + std::log(rule.t[n]), i, card.data());
        const real xu = g > 0 ? -std::sqrt(u * g) : 0;
        const real sl = p.sigma * std::sqrt(lag);
        const real dp = (xk - xu + (p.r - p.q) * lag) / sl + sl / 2, dm = dp - sl;
        const real wq = p.q * w * std::exp(-p.q * lag), wr = p.r * w * std::exp(-p.r * lag);
        A += wq * cdf(dp);
        Bt += wr * cdf(dm);
        if (jac == nullptr) continue;
        const real gq = wq * pdf(dp) / sl, gr = wr * pdf(dm) / sl;
        dA += gq;
        dB += gr;
        if (!(g > 0) || i != unknown) continue;
        // d/dxu of e^{xk} A - KX Bt; dxu/dG_j = xu l_j / (2 g)
        const real dxu = (-ek * gq + p.KX * gr) * xu / (2 * g);
        for (int j = 0; j <= m; ++j) jac[j] += dxu * card[j];
    }
    d_xk = ek * (A + dA) - p.KX * dB;
    return ek * A - p.KX * Bt;
}

bool solve_linear(std::vector<real> &a, std::vector<real> &rhs, int n) {
    for (int c = 0; c < n; ++c) {
        int best = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[best * n + c])) best = r;
        if (!(a[best * n + c] != 0)) return false;
        for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[best * n + k]);
        std::swap(rhs[c], rhs[best]);
        for (int r = c + 1; r < n; ++r) {
            const real f = a[r * n + c] / a[c * n + c];
            for (int k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            rhs[r] -= f * rhs[c];
        }
    }
    for (int c = n - 1; c >= 0; --c) {
        for (int k = c + 1; k < n; ++k) rhs[c] -= a[c * n + k] * rhs[k];
        rhs[c] /= a[c * n + c];
    }
    return true;
}

// Newton's method on interval i's unknowns j = 1..m (j = 0 is the last of the interval before,
// or on the first interval the constant found by first_value), with the step halved while the
// next Newton correction is not smaller than this one.
bool solve_interval(const Put &p, Boundary &b, const Rule &rule, int i) {
    const int m = b.m, first = 1, n = m;
    real *G = &b.G[i * (m + 1)];
    std::vector<real> jac(n * n), f(n), row(m + 1);
    auto evaluate = [&](bool with_jac) {
        for (int j = first; j <= m; ++j) {
            const real s = b.node_s(i, j), tau = std::exp(s);
            const real xk = -std::sqrt(tau * G[j]);
            real d_xk;
            f[j - first] = residual(p, b, rule, s, xk, i, with_jac ? row.data() : nullptr, d_xk);
            if (!with_jac) continue;
            row[j] += d_xk * xk / (2 * G[j]);  // dxk/dG_k
            for (int c = first; c <= m; ++c) jac[(j - first) * n + c - first] = row[c];
        }
    };
    auto correction = [&](std::vector<real> &step) {
        std::vector<real> a(jac);
        step = f;
        for (real &v : step) v = -v;
        return solve_linear(a, step, n);
    };
    std::vector<real> step, next_step, saved(m + 1);
    real last_size = HUGE_VALL;
    for (int iteration = 0; iteration < 50; ++iteration) {
        evaluate(true);
        if (!correction(step)) return false;
        real size = 0, scale = 0;
        for (int j = 0; j < n; ++j) {
            size = std::fmax(size, std::fabs(step[j]));
            scale = std::fmax(scale, std::fabs(G[j + first]));
        }
        if (!(size == size)) return false;
        // converged: to the arithmetic, or as far as it resolves the equation (near expiry
        // value matching is a difference of nearly equal terms)
        if (size <= 1e-17L * scale || (size >= last_size / 2 && size <= 1e-9L * scale)) {
            if (std::getenv("ALO_STALLS") && size > 1e-15L * scale)
                std::fprintf(stderr, "stall tau=%Lg size=%Lg\n", std::exp(b.node_s(i, m)), size / scale);
            return true;
        }
        last_size = size;
        for (int j = 0; j <= m; ++j) saved[j] = G[j];
        // no value more than a quarter from where it is in one step
        real lambda = 1;
        for (int j = 0; j < n; ++j)
            if (std::fabs(step[j]) * lambda > G[j + first] / 4) lambda = G[j + first] / 4 / std::fabs(step[j]);
        for (int halving = 0;; ++halving, lambda /= 2) {
            for (int j = first; j <= m; ++j) {
                real next = saved[j] + lambda * step[j - first];
                G[j] = next > saved[j] / 16 ? next : saved[j] / 16;
            }
            if (halving == 20) break;
            evaluate(false);
            if (!correction(next_step)) return false;
            real next_size = 0;
            for (real v : next_step) next_size = std::fmax(next_size, std::fabs(v));
            if (next_size < size || size <= 1e-14L * scale) break;
        }
    }
    return false;
}

real premium(const Put &p, const Boundary &b, const Rule &rule) {
    std::vector<real> card(b.m + 1);
    // the integrand turns on over lags of the order of c^2, c the spot's distance from the
    // boundary at inception in standard deviations: pieces cut there geometrically
    const real c = (p.log_SX - b.x_at(1, card.data())) / p.sigma;
    std::vector<real> cuts{0};
    for (real at = c * c / 256; at < 1; at *= 4)
        if (at > 1e-30L) cuts.push_back(at);
    cuts.push_back(1);
    real sum = 0;
    for (size_t piece = 0; piece + 1 < cuts.size(); ++piece) {
        const real lo = cuts[piece], hi = cuts[piece + 1], width = hi - lo;
        for (size_t n = 0; n < rule.t.size(); ++n) {
            const real t = lo + width * rule.t[n];
            const real u = piece + 2 == cuts.size() ? width * rule.t_right[n] : 1 - t;
            const real xu = b.x_at(u, card.data());
            const real st = p.sigma * std::sqrt(t);
            const real dp = (p.log_SX - xu + (p.r - p.q) * t) / st + st / 2, dm = dp - st;
            sum += width * rule.weight[n] *
                   (p.r * p.K * std::exp(-p.r * t) * cdf(-dm) -
                    p.q * p.S * std::exp(-p.q * t) * cdf(-dp));
        }
    }
    return sum;
}

double price(const double *record, int m, real width, const Rule &rule,
             const Rule &premium_rule) {
    const real S0 = record[0], K0 = record[1], D = record[2], F = record[3];
    const real r0 = -std::log(D), q0 = -std::log(D * F / S0);
    Put p;
    p.sigma = record[4];
    if (static_cast<int>(record[5]) == 1) {
        p.S = K0, p.K = S0, p.r = q0, p.q = r0;
    } else {
        p.S = S0, p.K = K0, p.r = r0, p.q = q0;
    }
    const real st = p.sigma;
    const real dp = (std::log(p.S / p.K) + p.r - p.q) / st + st / 2, dm = dp - st;
    const real european = p.K * std::exp(-p.r) * cdf(-dm) - p.S * std::exp(-p.q) * cdf(-dp);
    if (!(p.r > 0 || (p.r == 0 && p.q < 0))) return p.q >= p.r ? static_cast<double>(european) : NAN;
    const bool below = p.q > 0 && p.r < p.q;
    p.X = below ? p.K * p.r / p.q : p.K;
    p.KX = p.K / p.X;
    p.log_XK = std::log(p.X / p.K);
    p.log_SX = std::log(p.S / p.X);

    Boundary b;
    b.setup(m, width);
    // G at the first node, with G constant up to it: by bisection in log G, value matching being
    // positive for a boundary too near X
    real lo = -60, hi = 20;
    for (int halving = 0; halving < 120; ++halving) {
        const real mid = (lo + hi) / 2;
        for (real &g : b.G) g = std::exp(mid);
        real d_xk;
        const real f = residual(p, b, rule, S_FIRST, -std::sqrt(std::exp(S_FIRST + mid)), -2,
                                nullptr, d_xk);
        (f > 0 ? lo : hi) = mid;
    }
    for (real &g : b.G) g = std::exp((lo + hi) / 2);
    for (int i = 0; i < b.intervals; ++i) {
        if (i > 0) {  // the line through the last two values of the interval before
            const real *before = &b.G[(i - 1) * (m + 1)];
            const real slope = (before[m] - before[m - 1]) / (b.node_s(i - 1, m) - b.node_s(i - 1, m - 1));
            for (int j = 0; j <= m; ++j) {
                const real g = before[m] + slope * (b.node_s(i, j) - b.node_s(i, 0));
                b.G[i * (m + 1) + j] = g > before[m] / 2 ? g : before[m] / 2;
            }
        }
        if (!solve_interval(p, b, rule, i)) return NAN;
    }
    std::vector<real> card(m + 1);
    if (!(p.log_SX > b.x_at(1, card.data()))) return static_cast<double>(p.K - p.S);
    return static_cast<double>(european + premium(p, b, premium_rule));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: alo_independent RECORDS OUT [M [WIDTH [STEPS [THREADS]]]]\n");
        return 2;
    }
    const int m = argc > 3 ? std::atoi(argv[3]) : 7;
    const real width = argc > 4 ? std::strtold(argv[4], nullptr) : 0.5L;
    const int steps = argc > 5 ? std::atoi(argv[5]) : 16;
    const int threads = argc > 6 ? std::atoi(argv[6]) : 2;
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 1;
    std::vector<double> records;
    double record[6];
    while (std::fread(record, sizeof(double), 6, in) == 6)
        records.insert(records.end(), record, record + 6);
    std::fclose(in);
    const size_t count = records.size() / 6;
    std::vector<double> prices(count);
    const Rule rule = tanh_sinh(steps), premium_rule = tanh_sinh(2 * steps);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (size_t i = t; i < count; i += threads)
                prices[i] = price(&records[6 * i], m, width, rule, premium_rule);
        });
    }
    for (auto &th : pool) th.join();
    std::FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr) return 1;
    std::fwrite(prices.data(), sizeof(double), count, out);
    std::fclose(out);
    return 0;
}

// Polynomial interpolation on [0, 1] for the early-exercise boundary of american.hpp, through
// w = 0 and the Chebyshev extrema w_j = (1 - cos(j pi / N)) / 2 but those nearest expiry (below).
// Barycentric weights and the values of the cardinal functions at fixed points are worked out at
// compile time from the generated tables, so that no C library cosine enters and the same bits
// come out everywhere.
#pragma once

#include "alo_tables.hpp"

namespace kelvo::kernel::chebyshev {

using alo_tables::Chebyshev;

// Interior extrema this close to expiry (w^4 below TAU_FIRST) are left out: there the boundary's
// distance from X is far below what an interpolant of the whole boundary resolves, and the
// equation at such a node would be set by the interpolant's error.
constexpr double TAU_FIRST = 1e-9;

template <int N>
constexpr int skipped() {
    int j = 1;
    while (j < N) {
        const double w = Chebyshev<N>::point[j];
        if ((w * w) * (w * w) >= TAU_FIRST) break;
        ++j;
    }
    return j - 1;
}

// The number of nodes, expiry's included.
template <int N>
inline constexpr int COUNT = N + 1 - skipped<N>();

// Node k = 0..COUNT - 1: w = 0, then the extrema kept.
template <int N>
constexpr double node(int k) {
    return k == 0 ? 0.0 : Chebyshev<N>::point[k + skipped<N>()];
}

// log of node k = 1..COUNT - 1.
template <int N>
constexpr double log_node(int k) {
    return Chebyshev<N>::log_point[k + skipped<N>()];
}

// Barycentric weights of the nodes FIRST..COUNT - 1 (FIRST = 1 leaves expiry's node out).
template <int N, int FIRST>
struct Weights {
    double v[COUNT<N> - FIRST];
};

template <int N, int FIRST>
constexpr Weights<N, FIRST> barycentric_weights() {
    Weights<N, FIRST> t{};
    for (int j = FIRST; j < COUNT<N>; ++j) {
        double product = 1;
        for (int k = FIRST; k < COUNT<N>; ++k) {
            if (k != j) product *= node<N>(j) - node<N>(k);
        }
        t.v[j - FIRST] = 1 / product;
    }
    return t;
}

template <int N, int FIRST = 0>
inline constexpr Weights<N, FIRST> WEIGHTS = barycentric_weights<N, FIRST>();

// The cardinal functions l_k (l_k = 1 at node k, 0 at the others) of nodes k = 1..N-1 at w, in
// out[0..N-2]; node 0 carries the value 0 and needs none. Barycentric formula of the second kind.
template <int N>
constexpr void cardinal_values(double w, double *out) {
    double t[COUNT<N>] = {};
    double sum = 0;
    for (int k = 0; k < COUNT<N>; ++k) {
        const double d = w - node<N>(k);
        if (d == 0) {
            for (int j = 1; j < COUNT<N>; ++j) out[j - 1] = j == k ? 1.0 : 0.0;
            return;
        }
        t[k] = WEIGHTS<N>.v[k] / d;
        sum += t[k];
    }
    for (int k = 1; k < COUNT<N>; ++k) out[k - 1] = t[k] / sum;
}

// sum a[j] b[j], j < N, in four running sums: a chain a quarter as long as one sum's, in a fixed
// order, so the same bits everywhere.
template <int N>
inline double dot(const double *a, const double *b) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int j = 0;
    for (; j + 4 <= N; j += 4) {
        s0 += a[j] * b[j];
        s1 += a[j + 1] * b[j + 1];
        s2 += a[j + 2] * b[j + 2];
        s3 += a[j + 3] * b[j + 3];
    }
    for (; j < N; ++j) s0 += a[j] * b[j];
    return (s0 + s1) + (s2 + s3);
}

}  // namespace kelvo::kernel::chebyshev

// kelvo's own exp, log and pow, so that the kernel gives the same bits with every C library and
// on every x86-64 CPU (the C library picks its code by the CPU, and rounds differently with and
// without fused multiply-adds): plain double arithmetic, which the build keeps unfused, and
// tables from tools/make_exp_log_tables.py. Each is within 1 ulp of the true value (about 0.52
// ulp at most outside the subnormal range), with the C standard's special values.
//
//   exp(x):    x = k ln2/64 + r exactly, 2^(k/64) from a table of pairs, exp(r) - 1 by its
//              Taylor series (|r| <= ln2/128);
//   log(x):    x = 2^e z with z in [0.703, 1.414), z c - 1 = r formed exactly for c a 26-bit
//              reciprocal of the centre of z's piece (1 on the two pieces next to 1), then
//              e ln2 - log c + log1p(r), the large terms summed exactly;
//   pow(x, y): exp(y log x) with log x as a pair good to about 2^-67 relative and the product
//              formed exactly, so that the exponent's error stays far below an ulp.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "exp_log_tables.hpp"

namespace kelvo::kernel {
namespace exp_log_detail {

inline std::uint64_t bits_of(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline double double_of(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// 2^m for -1022 <= m <= 1023.
inline double pow2(int m) { return double_of(static_cast<std::uint64_t>(m + 1023) << 52); }

// y 2^m with one rounding, also where the result is subnormal (m down to -1100) or y 2^m needs
// m = 1024.
inline double scale(double y, int m) {
    if (m > 1023) return (y * pow2(m - 1)) * 2.0;
    if (m >= -1022) return y * pow2(m);
    return (y * pow2(m + 200)) * pow2(-200);  // the first product is exact
}

// exp(a + b) = (hi + lo) 2^m for -750 <= a <= 710 and |b| tiny beside 1/64: a = k ln2/64 + r
// exactly, then 2^(k/64) from the table and exp(r) - 1 by its Taylor series (|r| <= ln2/128,
// so the first neglected term is below 2^-64).
struct ScaledExp {
    double hi, lo;
    int m;
};

inline ScaledExp exp_scaled(double a, double b) {
    using namespace exp_log_tables;
    constexpr double ROUNDER = 0x1.8p52;  // adding and subtracting it rounds to an integer
    const double kd = (a * INV_LN2_64 + ROUNDER) - ROUNDER;
    const int k = static_cast<int>(kd);
    const double r = (a - kd * LN2_64_HI) + (b - kd * LN2_64_LO);
    const int j = k & 63;
    const double r2 = r * r;  // in pairs (Estrin), for a shorter chain than Horner's
    const double p = r + r2 * ((0.5 + r * (1.0 / 6)) +
                               r2 * ((1.0 / 24 + r * (1.0 / 120)) + r2 * (1.0 / 720)));
    return {EXP2_HI[j], EXP2_LO[j] + EXP2_HI[j] * p, (k - j) / 64};
}

// a b = hi + lo exactly (Dekker's product: no fused multiply-add is assumed). |a|, |b| below
// 2^995, so that the splitting cannot overflow.
inline void exact_product(double a, double b, double &hi, double &lo) {
    constexpr double SPLITTER = 134217729.0;  // 2^27 + 1
    const double ca = SPLITTER * a, cb = SPLITTER * b;
    const double a_hi = ca - (ca - a), a_lo = a - a_hi;
    const double b_hi = cb - (cb - b), b_lo = b - b_hi;
    hi = a * b;
    lo = ((a_hi * b_hi - hi) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

// a + b = s + e exactly, given |a| >= |b| or a = 0.
inline void fast_two_sum(double a, double b, double &s, double &e) {
    s = a + b;
    e = b - (s - a);
}

// exp(a + b) rounded once, for any a (b tiny beside 1/64, and 0 where a is out of range).
inline double exp_of_pair(double a, double b) {
    if (!(a < 709.8)) return a > 0 ? HUGE_VAL : a + a;  // overflow, or NaN
    if (!(a > -746.0)) return 0.0;  // below half the least subnormal
    const ScaledExp e = exp_scaled(a, b);
    return scale(e.hi + e.lo, e.m);
}

// x > 0 and finite, as 2^e z with z in [0.703, 1.414) and the reduction r = z c - 1 of z's
// piece (r_hi + r_lo exactly, |r| < 2^-7), and what it leaves of log x:
//   log x = big + r + (small + log1p(r) - r),  big = e LN2_HI - log c (exact), small its rest.
struct LogReduction {
    double big, small;
    double r_hi, r_lo;
};

inline LogReduction log_reduce(double x) {
    using namespace exp_log_tables;
    std::uint64_t u = bits_of(x);
    int e = 0;
    if (u < (std::uint64_t{1} << 52)) {  // subnormal: scaled into the normal range
        u = bits_of(x * 0x1p54);
        e = -54;
    }
    const int piece = static_cast<int>((u >> 45) & 127);
    const std::uint64_t mantissa = u & ((std::uint64_t{1} << 52) - 1);
    const int halved = piece >= LOG_HALVED_FROM ? 1 : 0;
    e += static_cast<int>(u >> 52) - 1023 + halved;
    const double z = double_of(mantissa | (static_cast<std::uint64_t>(1023 - halved) << 52));
    const LogPiece &t = LOG_PIECES[piece];
    // z c = hi + lo exactly: c has 26 bits, so with z split into halves of 26 bits each partial
    // product is exact (Dekker)
    constexpr double SPLITTER = 134217729.0;
    const double cz = SPLITTER * z;
    const double z_hi = cz - (cz - z), z_lo = z - z_hi;
    const double hi = z * t.c;
    const double lo = (z_hi * t.c - hi) + z_lo * t.c;
    const double ed = e;
    return {ed * LN2_HI + t.minus_log_c_hi, ed * LN2_LO + t.minus_log_c_lo, hi - 1.0, lo};
}

// log1p(r) - r + r^2/2 for |r| < 2^-7: r^3 (1/3 - r/4 + ... - r^7/10), whose first neglected
// term is below 2^-73 r.
inline double log1p_cubic_tail(double r) {
    const double r2 = r * r;
    const double first = (1.0 / 3 - r * 0.25) + r2 * (0.2 - r * (1.0 / 6));
    const double second = (1.0 / 7 - r * 0.125) + r2 * (1.0 / 9 - r * 0.1);
    return r2 * r * (first + (r2 * r2) * second);
}

// log1p(r_hi + r_lo) - log1p(r_hi) = r_lo / (1 + r_hi), to 2^-77 (|r_lo| < 2^-53).
inline double r_lo_term(const LogReduction &d) { return d.r_lo * (1 - d.r_hi * (1 - d.r_hi)); }

// log x = hi + lo to about 2^-67 relative, for x > 0 and finite.
inline void log_pair(double x, double &hi, double &lo) {
    const LogReduction d = log_reduce(x);
    // big and r are summed exactly: |big| >= 2^-7.5 > |r| wherever big is not 0
    double s, e1;
    fast_two_sum(d.big, d.r_hi, s, e1);
    // r^2 / 2 exactly as well, the largest term of log1p(r) - r
    double sq_hi, sq_lo;
    exact_product(d.r_hi, d.r_hi, sq_hi, sq_lo);
    double s2, e2;
    fast_two_sum(s, -0.5 * sq_hi, s2, e2);
    const double rest = (e1 + e2) + (r_lo_term(d) - 0.5 * sq_lo) +
                        (log1p_cubic_tail(d.r_hi) + d.small);
    fast_two_sum(s2, rest, hi, lo);
}

}  // namespace exp_log_detail

inline double exp(double x) {
    if (x != x) return x + x;
    return exp_log_detail::exp_of_pair(x, 0.0);
}

inline double log(double x) {
    using namespace exp_log_detail;
    if (!(x > 0 && x < HUGE_VAL)) {
        if (x == 0) return -HUGE_VAL;
        return x == HUGE_VAL ? x : (x - x) / (x - x);  // NaN for NaN and negative x
    }
    const LogReduction d = log_reduce(x);
    double s, e1;
    fast_two_sum(d.big, d.r_hi, s, e1);  // as in log_pair
    const double r = d.r_hi;
    const double log1p_rest = r * r * -0.5 + log1p_cubic_tail(r);
    return s + ((e1 + r_lo_term(d)) + (log1p_rest + d.small));
}

namespace exp_log_detail {

// For finite y: 0 for an even integer (every double from 2^53 on is one), 1 for an odd one, -1
// for a number that is not an integer.
inline int integer_parity(double y) {
    if (!(std::fabs(y) < 0x1p53)) return 0;
    const double truncated = static_cast<double>(static_cast<std::int64_t>(y));
    if (truncated != y) return -1;
    return static_cast<int>(static_cast<std::int64_t>(y) & 1);
}

}  // namespace exp_log_detail

// The C standard's pow, special values included.
inline double pow(double x, double y) {
    using namespace exp_log_detail;
    if (y == 0 || x == 1) return 1.0;
    if (x != x || y != y) return x + y;
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (ay == HUGE_VAL) {
        if (ax == 1) return 1.0;
        return (ax > 1) == (y > 0) ? HUGE_VAL : 0.0;
    }
    const int parity = integer_parity(y);
    double sign = 1.0;
    if (x < 0 || (x == 0 && std::signbit(x))) {
        // a finite negative base with y not an integer
        if (x < 0 && ax != HUGE_VAL && parity < 0) return (x - x) / (x - x);
        if (parity == 1) sign = -1.0;
    }
    if (ax == 0) return y < 0 ? sign * HUGE_VAL : sign * 0.0;
    if (ax == HUGE_VAL) return y < 0 ? sign * 0.0 : sign * HUGE_VAL;
    double l_hi, l_lo;
    log_pair(ax, l_hi, l_lo);
    const double estimate = y * l_hi;
    if (!(estimate < 709.8)) return sign * HUGE_VAL;
    if (!(estimate > -746.0)) return sign * 0.0;
    // |y| < 2^62 here (|l_hi| >= 2^-53), so the splitting cannot overflow
    double p_hi, p_lo;
    exact_product(y, l_hi, p_hi, p_lo);
    return sign * exp_of_pair(p_hi, p_lo + y * l_lo);
}

}  // namespace kelvo::kernel

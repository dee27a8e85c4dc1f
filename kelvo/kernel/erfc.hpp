// kelvo's own erfc, so that the normal distribution gives the same bits with every C library
// and on every x86-64 CPU: plain double arithmetic (the build forbids contraction into fused
// multiply-adds), no call into the C library, within 2 ulp of the true value everywhere.
//
//   |x| < 7.125 (all the normal distribution asks for): erfc |x| a polynomial on one of 228
//               intervals of width 1/32 (the first centred on 0, so that erfc 0 is 1);
//   beyond:     erfc |x| = exp(-x^2) erfcx(|x|), erfcx a polynomial on one of 24 intervals, and
//               exp(-x^2) taken from x^2 = hi + lo split exactly (hi the square of x cut to 26
//               bits), so that the square's rounding never reaches the exponential; both
//               factors carry a low part and their product is formed exactly, so that in all
//               the result rounds about once;
//   x < 0:      erfc x = 2 - erfc |x|.
#pragma once

#include <cstdint>
#include <cstring>

#include "erfc_tables.hpp"

namespace kelvo::kernel {
namespace erfc_detail {

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

// y 2^m with one rounding, also where the result is subnormal (m down to -1100).
inline double scale(double y, int m) {
    if (m >= -1022) return y * pow2(m);
    return (y * pow2(m + 200)) * pow2(-200);  // the first product is exact
}

// exp(a + b) = (hi + lo) 2^m for -750 <= a <= 0 and |b| tiny beside 1/64: a = k ln2/64 + r
// exactly, then 2^(k/64) from the table and exp(r) - 1 by its Taylor series (|r| <= ln2/128, so
// the first neglected term is below 2^-64).
struct ScaledExp {
    double hi, lo;
    int m;
};

inline ScaledExp exp_scaled(double a, double b) {
    using namespace erfc_tables;
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

// a b = hi + lo exactly (Dekker's product: no fused multiply-add is assumed).
inline void exact_product(double a, double b, double &hi, double &lo) {
    constexpr double SPLITTER = 134217729.0;  // 2^27 + 1
    const double ca = SPLITTER * a, cb = SPLITTER * b;
    const double a_hi = ca - (ca - a), a_lo = a - a_hi;
    const double b_hi = cb - (cb - b), b_lo = b - b_hi;
    hi = a * b;
    lo = ((a_hi * b_hi - hi) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

// c[0] + c[1] t + ... + c[11] t^11 by Estrin's scheme, whose chain of dependent operations is
// four deep where Horner's is eleven.
inline double estrin12(const double *c, double t) {
    const double t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
    const double p0 = c[0] + c[1] * t, p1 = c[2] + c[3] * t, p2 = c[4] + c[5] * t;
    const double p3 = c[6] + c[7] * t, p4 = c[8] + c[9] * t, p5 = c[10] + c[11] * t;
    const double q0 = p0 + p1 * t2, q1 = p2 + p3 * t2, q2 = p4 + p5 * t2;
    return (q0 + q1 * t4) + q2 * t8;
}

}  // namespace erfc_detail

inline double erfc(double x) {
    using namespace erfc_tables;
    using namespace erfc_detail;
    if (x != x) return x + x;
    const double ax = x < 0 ? -x : x;
    double tail = 0.0;  // erfc(27.3) is below half the least subnormal
    if (ax < DIRECT_END) {
        // erfc itself on pieces of width 1/32: one polynomial, its constant a pair
        const ErfcxPiece &piece = DIRECT[static_cast<int>(ax * DIRECT_PER_UNIT)];
        const double t = ax - piece.mid;  // exact (ax and mid within a factor 2) or mid 0
        tail = piece.c[0] + (piece.c0_lo + t * estrin12(piece.c + 1, t));
    } else if (ax < 27.3) {
        const std::uint64_t u = bits_of(ax);
        const int exponent = static_cast<int>(u >> 52) - 1023;  // 2 .. 4
        const int piece_index = 8 * (exponent - 2) + static_cast<int>((u >> 49) & 7);
        const ErfcxPiece &piece = ERFCX[piece_index];
        const double t = ax - piece.mid;  // exact: ax and mid are within a factor 2
        // erfcx = c[0] + erfcx_lo and exp(-x^2) = (e.hi + e.lo) 2^m, each kept as a pair so that
        // only the last sum rounds
        static_assert(ERFCX_MAX_DEGREE <= 12, "estrin12 takes c[1] to c[12]");
        const double erfcx_lo = piece.c0_lo + t * estrin12(piece.c + 1, t);
        const double cut = double_of(u & ~((std::uint64_t{1} << 27) - 1));
        const double hi = cut * cut;                 // exact: 26 bits squared
        const double lo = (ax - cut) * (ax + cut);  // x^2 - hi, to a relative 2^-53
        const ScaledExp e = exp_scaled(-hi, -lo);
        double head, head_lo;
        exact_product(e.hi, piece.c[0], head, head_lo);
        const double y = head + (head_lo + (e.hi * erfcx_lo + e.lo * (piece.c[0] + erfcx_lo)));
        tail = scale(y, e.m);
    }
    return x < 0 ? 2.0 - tail : tail;  // erfc(-|x|) = 2 - erfc|x|
}

}  // namespace kelvo::kernel

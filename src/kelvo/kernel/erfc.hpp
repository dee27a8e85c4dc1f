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

#include "erfc_tables.hpp"
#include "exp_log.hpp"

namespace kelvo::kernel {
namespace erfc_detail {

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
    using namespace exp_log_detail;
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

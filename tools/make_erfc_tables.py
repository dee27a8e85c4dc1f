"""Writes kelvo/kernel/erfc_tables.hpp: the coefficients of kelvo's own erfc, computed with
mpmath at 256 bits and rounded once to double.

    python3 tools/make_erfc_tables.py [--check N]

- ERFCX: erfcx(x) = exp(x * x) erfc(x) on 24 intervals covering [4, 32), of which erfc uses
  those from 7.125 (below, DIRECT serves): each octave [2^e, 2^(e+1)), e = 2..4, split in
  eight by the top three bits of the mantissa, as a polynomial in t = x - mid (mid the
  interval's centre, so that x - mid is exact).
- DIRECT: erfc(x) itself on [0, 7.125) (the arguments the normal distribution passes), in
  pieces of width 1/32, as a polynomial in t = x - mid: one polynomial, no exponential. The
  first piece is fitted on [-1/32, 1/32) around 0, so that erfc(0) is 1 exactly.
- EXP2_TABLE: 2^(j/64), j = 0..63, as a pair of doubles hi + lo.

Each polynomial is the Chebyshev interpolant of its interval, of the lowest degree whose error
is below 2^-62 relative, converted to powers of t. --check N evaluates the polynomials in double
arithmetic (as the kernel does) at N points per interval against mpmath and prints the worst
error in units of 2^-53.
"""
import argparse
from pathlib import Path

import mpmath as mp

mp.mp.prec = 256
TARGET = mp.mpf(2) ** -62
OUT = Path(__file__).resolve().parent.parent / "kelvo" / "kernel" / "erfc_tables.hpp"
OCTAVES = range(2, 5)
MAX_DEGREE = 30


def erfcx(x):
    return mp.exp(x * x) * mp.erfc(x)


def chebyshev_powers(f, a, b, n):
    """Coefficients c_k of sum c_k (x - m)^k, m = (a + b) / 2, interpolating f at n + 1
    Chebyshev nodes of [a, b]."""
    m, h = (a + b) / 2, (b - a) / 2
    nodes = [mp.cos(mp.pi * (j + mp.mpf(1) / 2) / (n + 1)) for j in range(n + 1)]
    values = [f(m + h * u) for u in nodes]
    cheb = [2 * mp.fsum(v * mp.cos(mp.pi * k * (j + mp.mpf(1) / 2) / (n + 1))
                        for j, v in enumerate(values)) / (n + 1) for k in range(n + 1)]
    cheb[0] /= 2
    # T_k(u) in powers of u, by the recurrence T_{k+1} = 2u T_k - T_{k-1}
    power = [mp.mpf(0)] * (n + 1)
    t_prev, t_cur = [mp.mpf(1)], [mp.mpf(0), mp.mpf(1)]
    for k, c in enumerate(cheb):
        poly = t_prev if k == 0 else t_cur
        for i, p in enumerate(poly):
            power[i] += c * p
        if k >= 1:
            t_next = [mp.mpf(0)] + [2 * p for p in t_cur]
            for i, p in enumerate(t_prev):
                t_next[i] -= p
            t_prev, t_cur = t_cur, t_next
    return [p / h ** i for i, p in enumerate(power)]


def horner(coefficients, t):
    """In double arithmetic, as the kernel evaluates it."""
    acc = coefficients[-1]
    for c in reversed(coefficients[:-1]):
        acc = c + t * acc
    return acc


def fit(f, a, b):
    m = (a + b) / 2
    probe = [(x, f(x)) for x in (a + (b - a) * mp.mpf(i) / 400 for i in range(401))]
    for n in range(4, MAX_DEGREE):
        c = chebyshev_powers(f, a, b, n)
        worst = max(abs(mp.polyval(c[::-1], x - m) / fx - 1) for x, fx in probe)
        if worst < TARGET:
            return c, float(m)
    raise RuntimeError(f"no degree below {MAX_DEGREE} fits [{a}, {b}]")


PIECES_PER_OCTAVE = 8
DIRECT_END, DIRECT_PER_UNIT = mp.mpf(57) / 8, 32


def intervals():
    for e in OCTAVES:
        for q in range(PIECES_PER_OCTAVE):
            base = mp.mpf(2) ** e
            yield (base * (1 + mp.mpf(q) / PIECES_PER_OCTAVE),
                   base * (1 + mp.mpf(q + 1) / PIECES_PER_OCTAVE))


def check(name, f, a, b, coefficients, c0_lo, mid, n):
    import random

    rng = random.Random(1)
    worst = 0.0
    for _ in range(n):
        x = float(a) + (float(b) - float(a)) * rng.random()
        t = x - mid
        # as the kernel: hi = c0, lo = c0_lo + t (c1 + t (c2 + ...)), kept as a pair
        lo = c0_lo + t * horner(coefficients[1:], t) if len(coefficients) > 1 else c0_lo
        got = mp.mpf(coefficients[0]) + mp.mpf(lo)
        want = f(mp.mpf(x))
        worst = max(worst, float(abs(got - want) / abs(want) * 2 ** 53))
    print(f"{name} [{float(a):.6g}, {float(b):.6g}): degree {len(coefficients) - 1}, "
          f"worst {worst:.3f} x 2^-53")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", type=int, default=0)
    args = parser.parse_args()
    fits = []
    for a, b in intervals():
        c, mid = fit(erfcx, a, b)
        # the constant term as a pair hi + lo: its rounding would otherwise be the largest error
        fits.append((a, b, [float(v) for v in c], float(c[0] - mp.mpf(float(c[0]))), mid))
    direct = []
    for i in range(int(DIRECT_END * DIRECT_PER_UNIT)):
        a = mp.mpf(i) / DIRECT_PER_UNIT
        b = a + mp.mpf(1) / DIRECT_PER_UNIT
        c, mid = fit(mp.erfc, -b if i == 0 else a, b)
        direct.append((a, b, [float(v) for v in c], float(c[0] - mp.mpf(float(c[0]))), mid))
    table = [(mp.mpf(2) ** (mp.mpf(j) / 64)) for j in range(64)]
    ln2_64 = mp.log(2) / 64
    scale = mp.mpf(2) ** (36 - 1 - int(mp.floor(mp.log(ln2_64, 2))))
    ln2_hi = float(mp.nint(ln2_64 * scale) / scale)
    lines = [
        "// Generated by tools/make_erfc_tables.py (mpmath, 256 bits, each number rounded once);",
        "// do not edit. The coefficients of erfc in erfc.hpp and the table of its exp.",
        "#pragma once",
        "",
        "namespace kelvo::kernel::erfc_tables {",
        "",
        "// erfcx(x) = c0_lo + sum c_k (x - mid)^k on [2^e (1 + q/8), 2^e (1 + (q+1)/8)),",
        "// interval 8 (e - 2) + q; unused high coefficients are 0",
        f"constexpr int ERFCX_INTERVALS = {len(fits)};",
        "constexpr int ERFCX_MAX_DEGREE = 12;",
        "struct ErfcxPiece {",
        "    double mid;",
        "    int degree;",
        "    double c0_lo;",
        "    double c[ERFCX_MAX_DEGREE + 1];",
        "};",
        "constexpr ErfcxPiece ERFCX[ERFCX_INTERVALS] = {",
    ]
    for a, b, c, c0_lo, mid in fits:
        lines.append(f"    {{{mid.hex()}, {len(c) - 1}, {c0_lo.hex()}, {{"
                     + ", ".join(v.hex() for v in c) + f"}}}},  // [{float(a):g}, {float(b):g})")
    lines += [
        "};",
        "",
        "// erfc(x) itself = c0_lo + sum c_k (x - mid)^k on [i/32, (i+1)/32), the range the",
        "// normal distribution uses (mid 0 for the first); unused high coefficients are 0",
        f"constexpr int DIRECT_PIECES = {len(direct)};",
        f"constexpr double DIRECT_END = {float(DIRECT_END)!r};",
        f"constexpr double DIRECT_PER_UNIT = {DIRECT_PER_UNIT}.0;",
        f"static_assert({max(len(c) for _, _, c, _, _ in direct) - 1} <= ERFCX_MAX_DEGREE);",
        "constexpr ErfcxPiece DIRECT[DIRECT_PIECES] = {",
        *[f"    {{{mid.hex()}, {len(c) - 1}, {c0_lo.hex()}, {{" + ", ".join(v.hex() for v in c)
          + f"}}}},  // [{float(a):g}, {float(b):g})" for a, b, c, c0_lo, mid in direct],
        "};",
        "",
        "// x = k ln2/64 + r: 64/ln2, and ln2/64 as HI (36 bits, so that k HI is exact) + LO",
        f"constexpr double INV_LN2_64 = {float(64 / mp.log(2)).hex()};",
        f"constexpr double LN2_64_HI = {ln2_hi.hex()};",
        f"constexpr double LN2_64_LO = {float(mp.log(2) / 64 - mp.mpf(ln2_hi)).hex()};",
        "",
        "// 2^(j/64) = EXP2_HI[j] + EXP2_LO[j]",
        "constexpr double EXP2_HI[64] = {" + ", ".join(float(v).hex() for v in table) + "};",
        "constexpr double EXP2_LO[64] = {" + ", ".join(
            float(v - mp.mpf(float(v))).hex() for v in table) + "};",
        "",
        "}  // namespace kelvo::kernel::erfc_tables",
        "",
    ]
    OUT.write_text("\n".join(lines))
    print(f"wrote {OUT}")
    if args.check:
        for a, b, c, c0_lo, mid in fits:
            check("erfcx", erfcx, a, b, c, c0_lo, mid, args.check)
        for a, b, c, c0_lo, mid in direct:
            check("erfc", mp.erfc, a, b, c, c0_lo, mid, args.check)


if __name__ == "__main__":
    main()

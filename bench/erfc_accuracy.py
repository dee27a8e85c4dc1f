"""kelvo's erfc (kernel/erfc.hpp) and the system erfc against mpmath (80 bits), in ulps of the
true value: on uniform points over every range the normal distribution's argument can take
(and on to underflow), on the arguments the kernel itself passes while inverting the bench_iv
grid, and on the special values, which must be C's.

    python3 -P bench/erfc_accuracy.py [--n 200000] [--grid 20000]
"""
import argparse
import math
import platform
import sys
import tempfile
from multiprocessing import Pool
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_iv import mixed_quotes  # noqa: E402
from native import build_kernel_bench, run  # noqa: E402

# erfc(-z / sqrt 2) for z above -10 (the kernel's range ends at 7.0711), then on to underflow
RANGES = [(-9.0, -0.5), (-0.5, 0.5), (0.5, 2.0), (2.0, 4.0), (4.0, 7.08), (7.08, 26.5),
          (26.5, 27.3)]
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 27.3, 40.0, -40.0, 5e-324, 1e-300, -1e-300]


def true_ulps(pair_chunk):
    import mpmath as mp

    mp.mp.prec = 80
    out = []
    for x, got in pair_chunk:
        want = mp.erfc(mp.mpf(x))
        out.append(float(abs(mp.mpf(got) - want)) / math.ulp(float(want)))
    return out


def ulps_against_mpmath(xs, values, pool):
    pairs = list(zip(xs.tolist(), values.tolist()))
    chunks = [pairs[i:i + 5000] for i in range(0, len(pairs), 5000)]
    return np.concatenate([np.array(c) for c in pool.map(true_ulps, chunks)])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000, help="uniform points per range")
    parser.add_argument("--grid", type=int, default=20_000, help="bench_iv quotes to record")
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    with tempfile.TemporaryDirectory() as tmp:
        plain = build_kernel_bench(tmp)
        counting = build_kernel_bench(tmp, defines=["KELVO_COUNT_CALLS"], name="kernel_count")
        prices, S, K, D, F, flags, _ = mixed_quotes(args.grid)
        grid = Path(tmp) / "grid.bin"
        q = np.where(np.array(flags) == "c", 1.0, -1.0)
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(grid)
        run(counting, "erfc-args", grid, repeats=1)
        recorded = np.fromfile(str(grid) + ".erfc")
        groups = [(f"[{lo}, {hi}]", rng.uniform(lo, hi, args.n)) for lo, hi in RANGES]
        groups.append(("kernel's own arguments", recorded))
        groups.append(("special values", np.array(SPECIAL)))
        xs = np.concatenate([x for _, x in groups])
        data = Path(tmp) / "x.bin"
        xs.tofile(data)
        run(plain, "erfc", data, repeats=1)
        own, system = np.fromfile(str(data) + ".out").reshape(-1, 2).T
    print(f"glibc {platform.libc_ver()[1]}; {len(xs) - len(SPECIAL)} points against mpmath")
    print(f"{'range':>24} {'points':>8} {'kelvo max ulp':>14} {'> 1 ulp':>8} {'system max ulp':>15}")
    start = 0
    with Pool() as pool:
        for name, x in groups[:-1]:
            sl = slice(start, start + len(x))
            start += len(x)
            mine, theirs = (ulps_against_mpmath(x, v[sl], pool) for v in (own, system))
            print(f"{name:>24} {len(x):8d} {mine.max():14.3f} {int((mine > 1).sum()):8d} "
                  f"{theirs.max():15.3f}")
    got, want = own[start:], np.array([math.erfc(v) for v in SPECIAL])
    same = all((g == w and math.copysign(1, g) == math.copysign(1, w)) or (g != g and w != w)
               for g, w in zip(got, want))
    print(f"special values {SPECIAL}: {'identical' if same else 'DIFFERENT'} to math.erfc")


if __name__ == "__main__":
    main()

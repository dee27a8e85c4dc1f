"""Cody's erfc (bench/cody_erfc.hpp) against the system erfc, math.erfc and erfcl (x87 extended,
rounded to double) over the range the normal distribution uses, far tail and special values
included; ulp distances where the reference is a normal number.

    python3 -P bench/erfc_accuracy.py [--n 1000000] [-D KELVO_DOUBLE_ONLY]
"""
import argparse
import math
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from native import build_kernel_bench  # noqa: E402

# erfc(-z / sqrt 2) for z above -10, the switch to the asymptotic series, and on to underflow
RANGES = [(-40.0, -0.46875), (-0.46875, 0.46875), (0.46875, 4.0), (4.0, 7.08), (7.08, 26.5),
          (26.5, 27.3)]
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 27.3, 40.0, -40.0, 5e-324, 1e-300]


def ulps(a, b):
    """|a - b| in units of the last place of b, counted on the integer line of doubles."""
    ia, ib = (np.asarray(v, dtype=np.float64).view(np.int64) for v in (a, b))
    return np.abs(ia - ib)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("-D", dest="defines", action="append", default=[])
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_kernel_bench(tmp, defines=["KELVO_CODY_ERFC", *args.defines])
        points = [rng.uniform(lo, hi, args.n) for lo, hi in RANGES] + [np.array(SPECIAL)]
        data = Path(tmp) / "x.bin"
        np.concatenate(points).tofile(data)
        subprocess.run([str(exe), "erfc", str(data)], check=True)
        cody, system, extended = np.fromfile(str(data) + ".out").reshape(-1, 3).T
    print(f"glibc {platform.libc_ver()[1]}" + (f", {' '.join(args.defines)}" if args.defines else ""))
    print(f"{'range':>22} {'vs system':>10} {'vs math':>8} {'vs erfcl':>9} {'system vs erfcl':>16}")
    start = 0
    for (lo, hi), x in zip(RANGES, points):
        sl = slice(start, start + len(x))
        start += len(x)
        normal = np.abs(extended[sl]) >= np.finfo(float).tiny
        c, s, e = cody[sl][normal], system[sl][normal], extended[sl][normal]
        m = np.array([math.erfc(v) for v in x[normal][:20000]])
        print(f"{f'[{lo}, {hi}]':>22} {ulps(c, s).max():10d} {ulps(c[:len(m)], m).max():8d} "
              f"{ulps(c, e).max():9d} {ulps(s, e).max():16d}")
    got, want = cody[start:], np.array([math.erfc(v) for v in SPECIAL])
    same = all((g == w and math.copysign(1, g) == math.copysign(1, w)) or (g != g and w != w)
               for g, w in zip(got, want))
    print(f"special values {SPECIAL}: {'identical' if same else 'DIFFERENT'} to math.erfc")


if __name__ == "__main__":
    main()

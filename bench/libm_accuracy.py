"""kelvo's erfc (kernel/erfc.hpp), exp, log and pow (kernel/exp_log.hpp) and the system's
against mpmath, in ulps of the true value: on uniform points over the ranges each function
meets (and on to overflow and underflow), on the arguments the kernel itself passes while
inverting the bench_iv grid, and on the special values, which must be C's.

    python3 bench/libm_accuracy.py [--n 200000] [--grid 20000] [--only erfc,exp,log,pow]
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

INF, NAN = math.inf, math.nan
# erfc(-z / sqrt 2) for z above -10 (the kernel's range ends at 7.0711), then on to underflow
ERFC_RANGES = [(-9.0, -0.5), (-0.5, 0.5), (0.5, 2.0), (2.0, 4.0), (4.0, 7.08), (7.08, 26.5),
               (26.5, 27.3)]
EXP_RANGES = [(-745.2, -708.0), (-708.0, -1.0), (-1.0, 1.0), (-1e-6, 1e-6), (1.0, 709.78)]
# log: uniform in log10 of x
LOG_DECADES = [(-323.5, -307.0), (-307.0, -1.0), (-1.0, 1.0), (1.0, 308.0)]
LOG_NEAR_ONE = [(0.99, 1.01), (1 - 1e-9, 1 + 1e-9), (0.5, 2.0)]
SPECIAL = {
    "erfc": [0.0, -0.0, INF, -INF, NAN, 27.3, 40.0, -40.0, 5e-324, 1e-300, -1e-300],
    "exp": [0.0, -0.0, INF, -INF, NAN, 709.79, -746.0, 5e-324, -5e-324, 1e300, -1e300],
    "log": [1.0, 0.0, -0.0, INF, -INF, NAN, -1.0, 5e-324, 2.0, 0.5, 1.7976931348623157e308],
    "pow": [(x, y) for x in (0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, -0.5, INF, -INF, NAN)
            for y in (0.0, -0.0, 1.0, -1.0, 2.0, 3.0, -3.0, 0.5, -0.5, INF, -INF, NAN)],
}
MATH = {"erfc": math.erfc, "exp": math.exp, "log": math.log, "pow": math.pow}


def true_value(name, x):
    import mpmath as mp

    if name == "erfc":
        return mp.erfc(x)
    if name == "exp":
        return mp.exp(x)
    if name == "log":
        return mp.log(x)
    return mp.power(x[0], x[1])


def true_ulps(chunk):
    import mpmath as mp

    name, items = chunk
    mp.mp.prec = 160
    out = []
    for x, got in items:
        want = true_value(name, tuple(mp.mpf(v) for v in x) if name == "pow" else mp.mpf(x))
        rounded = float(want)
        if not math.isfinite(rounded) or got != got:  # infinities and NaN: equal, or inf
            out.append(0.0 if got == rounded or (got != got and rounded != rounded) else math.inf)
        else:
            out.append(float(abs(mp.mpf(got) - want) / math.ulp(rounded)))
    return out


def ulps_against_mpmath(name, xs, values, pool):
    xs = [tuple(p) for p in xs.tolist()] if name == "pow" else xs.tolist()
    pairs = list(zip(xs, values.tolist()))
    chunks = [(name, pairs[i:i + 5000]) for i in range(0, len(pairs), 5000)]
    return np.concatenate([np.array(c) for c in pool.map(true_ulps, chunks)])


def groups_of(name, rng, n, recorded):
    """(label, points) per range; pow's points are rows (x, y)."""
    if name == "erfc":
        groups = [(f"[{lo}, {hi}]", rng.uniform(lo, hi, n)) for lo, hi in ERFC_RANGES]
    elif name == "exp":
        groups = [(f"[{lo}, {hi}]", rng.uniform(lo, hi, n)) for lo, hi in EXP_RANGES]
    elif name == "log":
        groups = [(f"10^[{lo}, {hi}]", 10.0 ** rng.uniform(lo, hi, n)) for lo, hi in LOG_DECADES]
        groups += [(f"[{lo}, {hi}]", rng.uniform(lo, hi, n)) for lo, hi in LOG_NEAR_ONE]
    else:
        # results from subnormal to near overflow, and bases next to 1 with large exponents
        x = rng.uniform(0.0, 4.0, n)
        y = rng.uniform(-700, 700, n) / np.maximum(np.abs(np.log(x)), 1e-3)
        near = 1 + rng.uniform(-1e-6, 1e-6, n)
        groups = [("x in (0, 4), y up to 700 / |log x|", np.column_stack([x, y])),
                  ("x within 1e-6 of 1, |y| < 1e8",
                   np.column_stack([near, rng.uniform(-1e8, 1e8, n)]))]
    if name == "pow":
        recorded = recorded.reshape(-1, 2)
    if len(recorded):
        groups.append(("kernel's own arguments", recorded))
    return groups


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000, help="uniform points per range")
    parser.add_argument("--grid", type=int, default=20_000, help="bench_iv quotes to record")
    parser.add_argument("--only", default="erfc,exp,log,pow")
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    names = args.only.split(",")
    print(f"glibc {platform.libc_ver()[1]}; ulps of the true value (mpmath, 160 bits)")
    print(f"{'function':>8} {'range':>38} {'points':>8} {'kelvo max':>10} {'> 1 ulp':>8} "
          f"{'system max':>11}")
    with tempfile.TemporaryDirectory() as tmp, Pool() as pool:
        plain = build_kernel_bench(tmp)
        counting = build_kernel_bench(tmp, defines=["KELVO_COUNT_CALLS"], name="kernel_count")
        prices, S, K, D, F, flags, _ = mixed_quotes(args.grid)
        grid = Path(tmp) / "grid.bin"
        q = np.where(np.array(flags) == "c", 1.0, -1.0)
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(grid)
        run(counting, "args", grid, repeats=1)
        for name in names:
            recorded = np.fromfile(f"{grid}.{name}")
            groups = groups_of(name, rng, args.n, recorded)
            special = np.array(SPECIAL[name], dtype=np.float64)
            data = Path(tmp) / f"{name}.bin"
            np.concatenate([g for _, g in groups] + [special]).ravel().tofile(data)
            run(plain, name, data, repeats=1)
            own, system = np.fromfile(f"{data}.out").reshape(-1, 2).T
            start = 0
            for label, x in groups:
                sl = slice(start, start + len(x))
                start += len(x)
                mine, theirs = (ulps_against_mpmath(name, x, v[sl], pool) for v in (own, system))
                print(f"{name:>8} {label:>38} {len(x):8d} {mine.max():10.3f} "
                      f"{int((mine > 1).sum()):8d} {theirs.max():11.3f}")
            got = own[start:]
            want = [C(*s) if name == "pow" else C(s) for s, C in
                    zip(SPECIAL[name], [c_function(name)] * len(SPECIAL[name]))]
            same = all((g == w and math.copysign(1, g) == math.copysign(1, w))
                       or (g != g and w != w) for g, w in zip(got, want))
            print(f"{name:>8} {'special values':>38} {len(got):8d} "
                  f"{'identical to C' if same else 'DIFFERENT from C'}")


def c_function(name):
    """The C standard's value, from Python's math where it raises instead."""
    def value(*x):
        try:
            return MATH[name](*x)
        except OverflowError:
            return math.inf
        except ValueError:
            if name == "log" and x[0] == 0:
                return -math.inf
            if name == "pow" and x[0] == 0:  # 0 to a negative power: a pole
                odd = x[1] == int(x[1]) and int(x[1]) % 2 == 1
                return math.copysign(math.inf, x[0]) if odd else math.inf
            return math.nan
    return value


if __name__ == "__main__":
    main()

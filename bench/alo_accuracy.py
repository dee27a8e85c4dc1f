"""Accuracy of the accurate American engine (model="alo") on the grid r 0-10 %, q -5-10 %,
T 1 day-10 years, volatility 5-150 %, K/S 0.2-5, calls and puts, and random options in those
ranges: its two settings against an independent solution of the same equation
(bench/alo_independent.cpp: extended precision, a piecewise polynomial in log time solved
interval by interval, tanh-sinh integrals) and against the same method at high resolution
(bench/alo_reference.cpp), the two references against each other, and QuantLib's fixed-point
engine in its high-precision scheme on every option and its finite-difference engine on a fine
grid with Richardson extrapolation on a sample (each price with the extrapolation's own error
estimate).

    python3 bench/alo_accuracy.py [--random N] [--fd N] [--seed S] [--threads T]

The independent solution takes about ten minutes on two threads for the default 6,480 options.
Relative errors are over prices of at least 1e-8 of the spot (smaller ones are counted apart);
NaN answers (where the engine declines) are counted, not compared. Needs a C++ compiler, and
QuantLib for its rows.
"""
import argparse
import itertools
import math
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quantlib_american import QuantLibAmerican, fd_richardson, ql  # noqa: E402

from kelvo._arrays import vectorized_alo_price  # noqa: E402

RATES = (0.0, 0.02, 0.05, 0.10)
YIELDS = (-0.05, 0.0, 0.03, 0.10)
TIMES = (1 / 365, 1 / 12, 0.5, 2.0, 10.0)
VOLS = (0.05, 0.2, 0.5, 1.5)
MONEYNESS = (0.2, 0.5, 0.8, 1.0, 1.25, 2.0, 5.0)
PRICE_FLOOR = 1e-8  # of the spot


def grid_options():
    rows = list(itertools.product(RATES, YIELDS, TIMES, VOLS, MONEYNESS, (1, -1)))
    return np.array(rows, dtype=np.float64)


def random_options(n, seed):
    rng = np.random.default_rng(seed)
    return np.column_stack([
        rng.uniform(0, 0.10, n), rng.uniform(-0.05, 0.10, n),
        np.exp(rng.uniform(math.log(1 / 365), math.log(10), n)),
        np.exp(rng.uniform(math.log(0.05), math.log(1.5), n)),
        np.exp(rng.uniform(math.log(0.2), math.log(5), n)), rng.choice([1.0, -1.0], n)])


def forward_form(params):
    """(S, K, D, F, sigma, q) records from rows (r, q, T, vol, K/S, +-1)."""
    r, q, T, vol, ks, flag = params.T
    S = np.full(len(params), 100.0)
    return np.column_stack([S, S * ks, np.exp(-r * T), S * np.exp((r - q) * T), vol * np.sqrt(T),
                            flag])


def build(source, directory):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        sys.exit("no C++ compiler for the references")
    exe = Path(directory) / Path(source).stem
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-pthread",
                    "-fconstexpr-ops-limit=2000000000", "-I", str(HERE.parent / "src" / "kelvo"),
                    str(HERE / source), "-o", str(exe)], check=True)
    return exe


def run_prices(exe, records, directory, *args):
    path = Path(directory) / "records.bin"
    records.astype(np.float64).tofile(path)
    subprocess.run([str(exe), str(path), str(path) + ".out", *map(str, args)], check=True)
    return np.fromfile(str(path) + ".out")


def kelvo_prices(records, precision):
    S, K, D, F, sigma, flag = records.T
    flags = np.where(flag > 0, "c", "p").tolist()
    return vectorized_alo_price(S, K, D, F, sigma, flags, precision)


def error_row(name, value, ref, S):
    usable = np.isfinite(ref) & np.isfinite(value) & (ref >= PRICE_FLOOR * S)
    rel = np.abs(value[usable] - ref[usable]) / ref[usable]
    q = np.quantile(rel, [0.5, 0.9, 0.99, 0.999]) if len(rel) else [math.nan] * 4
    share = [f"{np.mean(rel > bound) * 100:.1f} %" for bound in (1e-9, 1e-6)]
    return (f"| {name} | {usable.sum()} | {q[0]:.1e} | {q[1]:.1e} | {q[2]:.1e} | {q[3]:.1e} | "
            f"{rel.max():.1e} | {share[0]} | {share[1]} |")


def table(rows):
    print("| | options | median | 90 % | 99 % | 99.9 % | max | > 1e-9 | > 1e-6 |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--random", type=int, default=2000, help="random options (default 2000)")
    parser.add_argument("--fd", type=int, default=12, help="finite-difference checks (default 12)")
    parser.add_argument("--seed", type=int, default=29)
    parser.add_argument("--threads", type=int, default=2, help="of the independent solution")
    args = parser.parse_args()

    params = np.vstack([grid_options(), random_options(args.random, args.seed)])
    records = forward_form(params)
    S = records[:, 0]
    with tempfile.TemporaryDirectory() as tmp:
        t = time.time()
        same = run_prices(build("alo_reference.cpp", tmp), records, tmp)
        t_same = time.time() - t
        t = time.time()
        # 7 points on each half unit of log time, tanh-sinh of step 1/16
        ref = run_prices(build("alo_independent.cpp", tmp), records, tmp, 7, 0.5, 16,
                         args.threads)
        t_ref = time.time() - t
    print(f"{len(records)} options ({len(grid_options())} on the grid, {args.random} random); "
          f"independent solution in {t_ref:.0f} s, same method at high resolution in "
          f"{t_same:.0f} s")
    accurate = kelvo_prices(records, "accurate")
    fast = kelvo_prices(records, "fast")
    tiny = np.isfinite(ref) & (ref < PRICE_FLOOR * S)
    print(f"declined (NaN): accurate {np.isnan(accurate).sum()}, fast {np.isnan(fast).sum()}, "
          f"independent {np.isnan(ref).sum()}, same method {np.isnan(same).sum()}; prices below "
          f"{PRICE_FLOOR:g} of spot: {tiny.sum()} (largest absolute error there: accurate "
          f"{np.nanmax(np.abs(accurate - ref)[tiny], initial=0):.1e})\n")

    print("Relative error against the independent solution:\n")
    rows = [error_row(f"{p}, all", v, ref, S) for p, v in (("accurate", accurate), ("fast", fast))]
    T = params[:, 2]
    for lo, hi, label in ((0, 1 / 12, "T < 1 month"), (1 / 12, 1, "1 month - 1 year"),
                          (1, 99, "T > 1 year")):
        part = (T >= lo) & (T < hi)
        rows.append(error_row(f"accurate, {label}", accurate[part], ref[part], S[part]))
    for flag, label in ((1, "calls"), (-1, "puts")):
        part = params[:, 5] == flag
        rows.append(error_row(f"accurate, {label}", accurate[part], ref[part], S[part]))
    table(rows)
    print("\nAgainst the same method at high resolution, and the two references against each "
          "other:\n")
    table([error_row("accurate", accurate, same, S), error_row("fast", fast, same, S),
           error_row("same method against the independent", same, ref, S)])

    if ql is None:
        print("\n(QuantLib not installed: no independent check)")
        return
    print("\nQuantLib's fixed-point engine, high-precision scheme, against the independent "
          "solution:\n")
    engine = QuantLibAmerican("qdfp", "high")
    qd = np.array([engine.price(s, k, d, f, sg, fl > 0) for s, k, d, f, sg, fl in records])
    table([error_row("QuantLib high precision", qd, ref, S)])

    print(f"\nThe independent solution against QuantLib's finite differences (2000 and 4000 steps "
          f"in time and spot, Richardson), on {args.fd} options:\n")
    rng = np.random.default_rng(args.seed + 1)
    # options with an early-exercise boundary (r > 0 for a put, q > 0 for a call)
    early = np.where(params[:, 5] > 0, params[:, 1] > 0, params[:, 0] > 0)
    candidates = np.flatnonzero(np.isfinite(ref) & (ref >= 1e-4 * S) & (params[:, 2] >= 1 / 12)
                                & early)
    print("| r | q | T | vol | K/S | type | independent | FD + Richardson | its error estimate | "
          "difference |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for i in rng.choice(candidates, size=min(args.fd, len(candidates)), replace=False):
        s, k, d, f, sg, fl = records[i]
        fd, err = fd_richardson(s, k, d, f, sg, fl > 0, grid=(2000, 2000))
        r, q, T, vol, ks, _ = params[i]
        kind = "call" if fl > 0 else "put"
        print(f"| {r:.3f} | {q:.3f} | {T:.3f} | {vol:.2f} | {ks:.2f} | {kind} "
              f"| {ref[i]:.10f} | {fd:.10f} | {err:.1e} | {fd - ref[i]:.1e} |")


if __name__ == "__main__":
    main()

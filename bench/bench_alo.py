"""Speed of the accurate American engine (model="alo") beside QuantLib's accurate American
engine (QdFpAmericanEngine, accurateScheme) on the same options, in one run: CPU microseconds
per option on one core for prices, greeks and implied volatilities, and the ratios.

    python3 bench/bench_alo.py [--options N] [--repeat R]

The options: r 0-5 %, q 0-3 %, T a week to two years, volatility 10-60 %, K/S 0.7-1.4, calls and
puts. kelvo's figures are its array functions over all of them (one thread); QuantLib's are a
Python loop re-quoting one option per price (its implied volatility: QuantLib's Brent solver on
the same engine, to 1e-10), on the first options only. Medians of the repeats.

    python3 bench/bench_alo.py --before REV

sets the kernel alone (bench/kernel_bench.cpp, a C++ loop) of an earlier commit beside this
checkout's on the same options, in one run: prices of both settings and the accurate implied
vol, the best of the repeats, alternating.
"""
import argparse
import math
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from quantlib_american import QuantLibAmerican, ql  # noqa: E402

from kelvo import _arrays  # noqa: E402
from kelvo.baw_core import vectorized_baw_implied_vol  # noqa: E402


def options(n, seed=27):
    rng = np.random.default_rng(seed)
    r, q = rng.uniform(0, 0.05, n), rng.uniform(0, 0.03, n)
    T = np.exp(rng.uniform(math.log(7 / 365), math.log(2), n))
    vol = rng.uniform(0.1, 0.6, n)
    S = np.full(n, 100.0)
    K = S * np.exp(rng.uniform(math.log(0.7), math.log(1.4), n))
    flags = np.where(rng.random(n) < 0.5, "c", "p").tolist()
    return S, K, np.exp(-r * T), S * np.exp((r - q) * T), vol * np.sqrt(T), flags


def cpu_us(fn, count, repeat):
    times = []
    for _ in range(repeat):
        start = time.process_time()
        fn()
        times.append((time.process_time() - start) / count * 1e6)
    return statistics.median(times)


def kernel_side_by_side(S, K, D, F, sigma, flags, prices, revision, repeat):
    import tempfile
    from cost_model import earlier_kernel
    from native import build_kernel_bench, run
    q = np.array([1.0 if f == "c" else -1.0 for f in flags])
    with tempfile.TemporaryDirectory() as tmp:
        records = Path(tmp) / "records.bin"
        quotes = Path(tmp) / "quotes.bin"
        np.column_stack([S, K, D, F, sigma, q]).tofile(records)
        np.column_stack([prices, S, K, D, F, q]).tofile(quotes)
        exes = {"before": build_kernel_bench(tmp, name="kernel_before",
                                             kernel_root=earlier_kernel(tmp, revision, None)[0]),
                "after": build_kernel_bench(tmp, name="kernel_after")}
        best = {}
        for _ in range(repeat):
            for label, exe in exes.items():
                for mode, data in (("alo-accurate", records), ("alo-fast", records),
                                   ("alo-iv", quotes)):
                    us = run(exe, mode, data, 1)[0]
                    best[label, mode] = min(us, best.get((label, mode), us))
    print(f"\nThe kernel alone (C++ loop, one core, best of {repeat}), {revision} -> this checkout\n")
    print("| us per option | before | after | after / before |")
    print("|---|---|---|---|")
    for mode in ("alo-accurate", "alo-fast", "alo-iv"):
        b, a = best["before", mode], best["after", mode]
        print(f"| {mode} | {b:.2f} | {a:.2f} | {a / b:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--options", type=int, default=2000)
    parser.add_argument("--quantlib", type=int, default=200, help="options QuantLib prices")
    parser.add_argument("--quantlib-iv", type=int, default=20, help="options QuantLib inverts")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--before", help="git revision whose kernel to set beside this one's")
    args = parser.parse_args()
    S, K, D, F, sigma, flags = options(args.options)
    n = args.options
    prices = _arrays.vectorized_alo_price(S, K, D, F, sigma, flags, "accurate")
    if args.before:
        kernel_side_by_side(S, K, D, F, sigma, flags, prices, args.before, args.repeat)
        return
    rows = {}
    for precision in ("accurate", "fast"):
        rows[f"price, {precision}"] = cpu_us(
            lambda: _arrays.vectorized_alo_price(S, K, D, F, sigma, flags, precision), n,
            args.repeat)
        rows[f"greeks, {precision}"] = cpu_us(
            lambda: _arrays.vectorized_alo_greeks(S, K, D, F, sigma, flags, precision), n,
            args.repeat)
        rows[f"implied vol, {precision}"] = cpu_us(
            lambda: _arrays.vectorized_alo_implied_vol(prices, S, K, D, F, flags, precision), n,
            args.repeat)
    rows["price, BAW"] = cpu_us(lambda: _arrays.vectorized_baw_price(S, K, D, F, sigma, flags),
                                n, args.repeat)
    rows["implied vol, BAW"] = cpu_us(
        lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flags), n, args.repeat)

    quantlib = {}
    if ql is not None:
        engine = QuantLibAmerican("qdfp", "accurate")
        m = min(args.quantlib, n)
        quantlib["price"] = cpu_us(
            lambda: [engine.price(S[i], K[i], D[i], F[i], sigma[i], flags[i] == "c")
                     for i in range(m)], m, args.repeat)
        m = min(args.quantlib_iv, n)
        quantlib["implied vol"] = cpu_us(
            lambda: [engine.implied_vol(prices[i], S[i], K[i], D[i], F[i], flags[i] == "c")
                     for i in range(m)], m, 1)

    print(f"{n} options, one core, CPU microseconds per option (medians of {args.repeat})\n")
    print("| | kelvo | QuantLib QdFp accurate | QuantLib / kelvo |")
    print("|---|---|---|---|")
    for name, us in rows.items():
        kind = "implied vol" if name.startswith("implied vol") else (
            "price" if name.startswith("price") else None)
        ql_us = quantlib.get(kind) if kind else None
        if ql_us is None or "BAW" in name:
            print(f"| {name} | {us:.2f} | | |")
        else:
            print(f"| {name} | {us:.2f} | {ql_us:.1f} | {ql_us / us:.1f} |")


if __name__ == "__main__":
    main()

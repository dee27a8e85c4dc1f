"""Microseconds per implied volatility: (a) vectorized_baw_implied_vol on 100,000 mixed quotes,
(b) a Python loop of baw_implied_vol, (c) QuantLib's American impliedVolatility with the BAW
engine on a sample, (d) the kernel alone in a C++ loop; the two-thread speed-up of (a); and the
peak memory of (a) on contiguous float64 inputs.

    python3 -P bench/bench_iv.py [--n 100000]
"""
import argparse
import os
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from native import build_kernel_bench, run  # noqa: E402
from quantlib_baw import QuantLibBAW, ql  # noqa: E402

from kelvo.baw_core import baw_implied_vol, baw_price, vectorized_baw_implied_vol  # noqa: E402


def mixed_quotes(n, seed=7):
    """Calls and puts, moneyness 0.7 to 1.3, D 0.9 to 1, carry 0.95 to 1.05, sigma 0.05 to 1."""
    rng = np.random.default_rng(seed)
    S = rng.uniform(50, 150, n)
    K = S * rng.uniform(0.7, 1.3, n)
    D = rng.uniform(0.9, 1.0, n)
    F = S * rng.uniform(0.95, 1.05, n)
    sigma = rng.uniform(0.05, 1.0, n)
    flags = np.where(rng.random(n) < 0.5, "c", "p")
    prices = np.array([baw_price(*a) for a in zip(S, K, D, F, sigma, flags.tolist())])
    return prices, S, K, D, F, flags.tolist(), sigma


def best_of(func, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - start)
    return best


def kernel_loop(quotes):
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_kernel_bench(tmp)
        if exe is None:
            return None
        prices, S, K, D, F, flags, _ = quotes
        q = np.where(np.array(flags) == "c", 1.0, -1.0)
        data = Path(tmp) / "quotes.bin"
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(data)
        return run(exe, "iv", data)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--quantlib-sample", type=int, default=2_000)
    args = parser.parse_args()
    n = args.n
    quotes = mixed_quotes(n)
    prices, S, K, D, F, flags, sigma = quotes
    vec_args = (prices, S, K, D, F, flags)

    t_vec = best_of(lambda: vectorized_baw_implied_vol(*vec_args)) / n * 1e6
    result = vectorized_baw_implied_vol(*vec_args)
    solved = np.isfinite(result) & (result > 0)
    print(f"quotes {n}, solved {solved.sum()}, within 1e-8 of their sigma "
          f"{(np.abs(result - sigma) < 1e-8).sum()} (the rest are flat in sigma)")
    print(f"(a) vectorized_baw_implied_vol:        {t_vec:8.3f} us per IV")

    half = n // 2
    halves = [tuple(a[:half] for a in vec_args), tuple(a[half:] for a in vec_args)]

    def two_threads():
        threads = [threading.Thread(target=vectorized_baw_implied_vol, args=h) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # measured before QuantLib's objects exist; best of five, as this machine's cores are shared
    one = best_of(lambda: vectorized_baw_implied_vol(*vec_args), repeat=5)
    two = best_of(two_threads, repeat=5)
    print(f"    two threads on halves: speed-up x{one / two:.2f} on {os.cpu_count()} cores")

    rows = list(zip(prices.tolist(), S.tolist(), K.tolist(), D.tolist(), F.tolist(), flags))
    t_loop = best_of(lambda: [baw_implied_vol(*r) for r in rows], repeat=3) / n * 1e6
    print(f"(b) Python loop of baw_implied_vol:    {t_loop:8.3f} us per IV")

    if ql is not None:
        engine = QuantLibBAW()
        sample = rows[: args.quantlib_sample]

        def quantlib_all():
            for p, s, k, d, f, flag in sample:
                try:
                    engine.implied_vol(p, s, k, d, f, flag == "c")
                except RuntimeError:
                    pass

        t_ql = best_of(quantlib_all, repeat=1) / len(sample) * 1e6
        print(f"(c) QuantLib impliedVolatility (BAW):  {t_ql:8.3f} us per IV   "
              f"(a) faster x{t_ql / t_vec:.0f}")
    else:
        print("(c) QuantLib not installed")

    t_kernel = kernel_loop(quotes)
    if t_kernel is not None:
        print(f"(d) kernel alone, C++ loop:            {t_kernel:8.3f} us per IV   "
              f"(a)/(d) = {t_vec / t_kernel:.3f}")

    big = 1_000_000
    inputs = [np.ascontiguousarray(np.resize(a, big)) for a in (prices, S, K, D, F)]
    big_flags = ["c", "p"] * (big // 2)
    tracemalloc.start()
    tracemalloc.reset_peak()
    vectorized_baw_implied_vol(*inputs, big_flags)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(f"peak traced memory for {big} contiguous float64 quotes: {peak / 1e6:.1f} MB "
          f"(output 8.0 MB, selectors 12.0 MB; one input copy would add 8.0 MB)")


if __name__ == "__main__":
    main()

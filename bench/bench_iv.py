"""Microseconds per implied volatility on 100,000 mixed quotes, one core, ratios from one run:
(a) vectorized_baw_implied_vol, kelvo._arrays' (two quotes in flight) on one thread, and the
former's two-thread speed-up on halves; (b) a Python loop of baw_implied_vol; (c) European
implied vols of the same prices on one thread: kelvo's and py_vollib_vectorized's (Jaeckel's
method through numba), where it is installed; (d) QuantLib on a sample: its BAW engine
inverted by SciPy's brentq on kelvo's bracket and tolerances, and its own impliedVolatility,
which on an American option prices with a finite-difference engine, not BAW; (e) the kernel
alone in a C++ loop, one quote at a time and two and four in flight; and the peak memory of (a)
on contiguous float64 inputs.

    python3 bench/bench_iv.py [--n 100000] [--quantlib-sample 2000]

py_vollib_vectorized needs `pip install py_vollib_vectorized`; its 0.1.1 needs the numba-jitted
py_lets_be_rational 1.0.1 of the source distribution (the wheel of that number calls plain
Python).
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

from kelvo._arrays import vectorized_baw_implied_vol as arrays_baw_implied_vol  # noqa: E402
from kelvo._arrays import vectorized_european_implied_vol  # noqa: E402
from kelvo.baw_core import baw_implied_vol, baw_price, vectorized_baw_implied_vol  # noqa: E402

try:
    import py_vollib_vectorized as pvv
except ImportError:  # pragma: no cover - optional
    pvv = None


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


def kernel_loops(quotes):
    """us per implied vol of the kernel alone: one quote at a time, two and four in flight."""
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_kernel_bench(tmp)
        if exe is None:
            return None
        prices, S, K, D, F, flags, _ = quotes
        q = np.where(np.array(flags) == "c", 1.0, -1.0)
        data = Path(tmp) / "quotes.bin"
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(data)
        return {mode: run(exe, mode, data)[0] for mode in ("iv", "iv2", "iv4")}


def pvv_european(prices, D, F, K, flags):
    """py_vollib_vectorized's Black (forward) implied vol over a year of constant rate -log D."""
    return pvv.vectorized_implied_volatility_black(prices, F, K, -np.log(D), np.ones(len(F)),
                                                   np.asarray(flags), return_as="numpy")


def alternating(functions, repeat=5):
    """Best seconds of each function, run in turn repeat times, so that every ratio comes from
    the same stretch of a shared machine's time."""
    best = [float("inf")] * len(functions)
    for _ in range(repeat):
        for i, func in enumerate(functions):
            start = time.perf_counter()
            func()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--quantlib-sample", type=int, default=2_000)
    args = parser.parse_args()
    n = args.n
    quotes = mixed_quotes(n)
    prices, S, K, D, F, flags, sigma = quotes
    vec_args = (prices, S, K, D, F, flags)
    flag_array = np.array(flags)

    result = vectorized_baw_implied_vol(*vec_args)
    solved = np.isfinite(result) & (result > 0)
    print(f"quotes {n}, solved {solved.sum()}, within 1e-8 of their sigma "
          f"{(np.abs(result - sigma) < 1e-8).sum()} (the rest are flat in sigma)")
    functions = [lambda: vectorized_baw_implied_vol(*vec_args),
                 lambda: vectorized_european_implied_vol(prices, S, K, D, F, flag_array,
                                                         threads=1),
                 lambda: arrays_baw_implied_vol(prices, S, K, D, F, flag_array, threads=1)]
    if pvv is not None:
        pvv_european(prices[:100], D[:100], F[:100], K[:100], flags[:100])  # compiled first
        functions.append(lambda: pvv_european(prices, D, F, K, flags))
    times = [t / n * 1e6 for t in alternating(functions)]
    t_vec = times[0]
    print(f"(a) vectorized_baw_implied_vol:        {t_vec:8.3f} us per IV")
    print(f"    kelvo._arrays' on one thread, two quotes in flight: {times[2]:.3f} us per IV")

    half = n // 2
    halves = [tuple(a[:half] for a in vec_args), tuple(a[half:] for a in vec_args)]

    def two_threads():
        threads = [threading.Thread(target=vectorized_baw_implied_vol, args=h) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # measured before QuantLib's objects exist, in turn, as this machine's cores are shared
    one, two = alternating([lambda: vectorized_baw_implied_vol(*vec_args), two_threads])
    print(f"    two threads on halves: speed-up x{one / two:.2f} on {os.cpu_count()} cores")

    rows = list(zip(prices.tolist(), S.tolist(), K.tolist(), D.tolist(), F.tolist(), flags))
    t_loop = best_of(lambda: [baw_implied_vol(*r) for r in rows], repeat=3) / n * 1e6
    print(f"(b) Python loop of baw_implied_vol:    {t_loop:8.3f} us per IV")

    print(f"(c) European implied vols of the same prices, arrays:\n"
          f"    kelvo (vectorized_european_implied_vol): {times[1]:7.3f} us   "
          f"American / European x{t_vec / times[1]:.2f}")
    if pvv is not None:
        print(f"    py_vollib_vectorized (Black, numba):     {times[3]:7.3f} us   "
              f"kelvo's American / this x{t_vec / times[3]:.2f} "
              f"(two in flight x{times[2] / times[3]:.2f})")
    else:
        print("    py_vollib_vectorized not installed")

    if ql is not None:
        engine = QuantLibBAW()
        sample = rows[: args.quantlib_sample]
        fd_sample = sample[: max(1, len(sample) // 10)]

        def quantlib(solve, quotes):
            def run_all():
                for p, s, k, d, f, flag in quotes:
                    try:
                        solve(p, s, k, d, f, flag == "c")
                    except RuntimeError:
                        pass
            return run_all

        t_brent = best_of(quantlib(engine.implied_vol_brent, sample), repeat=1) / len(sample)
        t_fd = best_of(quantlib(engine.implied_vol_fd, fd_sample), repeat=1) / len(fd_sample)
        print(f"(d) QuantLib, {len(sample)} quotes:\n"
              f"    BAW engine under SciPy's brentq:         {t_brent * 1e6:9.1f} us   "
              f"/ (a) x{t_brent * 1e6 / t_vec:.0f}\n"
              f"    impliedVolatility (finite differences, {len(fd_sample)} quotes): "
              f"{t_fd * 1e6:9.1f} us   / (a) x{t_fd * 1e6 / t_vec:.0f}")
    else:
        print("(d) QuantLib not installed")

    loops = kernel_loops(quotes)
    if loops is not None:
        print(f"(e) kernel alone, C++ loop: {loops['iv']:.3f} us per IV; two in flight "
              f"{loops['iv2']:.3f}, four {loops['iv4']:.3f}; (a)/(e) = {t_vec / loops['iv']:.3f}")

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

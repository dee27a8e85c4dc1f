"""Microseconds per option of the array functions on 10^6 mixed quotes: vectorized_baw_price
against the C++ loop over the kernel's price (target within 1.1x), vectorized_baw_greeks against
the price (target at most 3x); the broadcasting layer (kelvo.price, kelvo.greeks) against the
native call on the same quotes (target at most 10 % more), and per call on one element (target
at most 5 us over the native call).

    python3 bench/bench_arrays.py [--n 1000000]
"""
import argparse
import sys
import tempfile
import timeit
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_iv import best_of, mixed_quotes  # noqa: E402
from native import build_kernel_bench, run  # noqa: E402

import kelvo  # noqa: E402
from kelvo import baw_price, vectorized_baw_greeks, vectorized_baw_price  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    args = parser.parse_args()
    n = args.n
    _, S, K, D, F, flag_list, sigma = mixed_quotes(n)
    flags = np.array(flag_list)
    per = 1e6 / n

    price_s = best_of(lambda: vectorized_baw_price(S, K, D, F, sigma, flag_list), repeat=3)
    greeks_s = best_of(lambda: vectorized_baw_greeks(S, K, D, F, sigma, flag_list), repeat=3)
    print(f"vectorized_baw_price  {price_s * per:.3f} us per option")
    print(f"vectorized_baw_greeks {greeks_s * per:.3f} us per option, "
          f"{greeks_s / price_s:.2f}x the price")
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_kernel_bench(tmp)
        if exe is not None:
            data = Path(tmp) / "quotes.bin"
            q = np.where(flags == "c", 1.0, -1.0)
            np.column_stack([S, K, D, F, sigma, q]).astype(np.float64).tofile(data)
            kernel_us = run(exe, "price", data, 3)[0]
            print(f"C++ loop over the kernel's price {kernel_us:.3f} us per option; "
                  f"vectorized_baw_price / loop = {price_s * per / kernel_us:.3f}")

    layer_s = best_of(lambda: kelvo.price(S, K, D, F, sigma, flags), repeat=3)
    print(f"kelvo.price on {n} elements: {layer_s / price_s - 1:+.1%} over the native call")
    layer_g = best_of(lambda: kelvo.greeks(S, K, D, F, sigma, flags), repeat=3)
    print(f"kelvo.greeks on {n} elements: {layer_g / greeks_s - 1:+.1%} over the native call")

    calls = 100_000
    one = min(timeit.repeat(lambda: kelvo.price(100.0, 100.0, 0.99, 101.0, 0.2, "c"),
                            number=calls, repeat=5)) / calls * 1e6
    bare = min(timeit.repeat(lambda: baw_price(100.0, 100.0, 0.99, 101.0, 0.2, "c"),
                             number=calls, repeat=5)) / calls * 1e6
    arrays = [np.array([x]) for x in (100.0, 100.0, 0.99, 101.0, 0.2)]
    one_array = min(timeit.repeat(lambda: kelvo.price(*arrays, "c"), number=calls // 10,
                                  repeat=5)) / (calls // 10) * 1e6
    native_one = min(timeit.repeat(lambda: vectorized_baw_price(*arrays, ["c"]),
                                   number=calls // 10, repeat=5)) / (calls // 10) * 1e6
    print(f"one element: kelvo.price on scalars {one:.2f} us ({one - bare:+.2f} over baw_price); "
          f"on 1-element arrays {one_array:.2f} us ({one_array - native_one:+.2f} over "
          f"vectorized_baw_price)")


if __name__ == "__main__":
    main()

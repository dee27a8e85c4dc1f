"""Two threads against one on a free-threaded interpreter with the GIL off: (a) Python loops of
baw_price and baw_implied_vol, each thread doing the whole loop; (b) vectorized_baw_implied_vol,
each thread on one half of the quotes, against one thread on all of them.

    PYTHON_GIL=0 python3.14t bench/bench_free_threading.py [--n 200000] [--loop 20000]

Speed-up of (a) is the work done per second (two loops in the two-thread time against one loop
in the one-thread time); of (b) the one-thread time over the two-thread time.
"""
import argparse
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_iv import best_of, mixed_quotes  # noqa: E402

from kelvo.baw_core import baw_implied_vol, baw_price, vectorized_baw_implied_vol


def in_threads(jobs):
    threads = [threading.Thread(target=job) for job in jobs]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--loop", type=int, default=20_000)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}")
    if gil:
        print("the GIL is on: run a free-threaded interpreter with PYTHON_GIL=0")

    prices, S, K, D, F, flags, sigma = mixed_quotes(args.n)
    rows = list(zip(prices[: args.loop].tolist(), S.tolist(), K.tolist(), D.tolist(),
                    F.tolist(), sigma.tolist(), flags))

    def scalar_loop():
        for price, s, k, d, f, sig, flag in rows:
            baw_price(s, k, d, f, sig, flag)
            baw_implied_vol(price, s, k, d, f, flag)

    one = best_of(lambda: in_threads([scalar_loop]), repeat=3)
    two = best_of(lambda: in_threads([scalar_loop, scalar_loop]), repeat=3)
    per = one / len(rows) * 1e6
    print(f"scalar loops: 1 thread {per:.2f} us per price+iv; 2 threads x{2 * one / two:.2f}")

    half = args.n // 2
    parts = [(prices[a:b], S[a:b], K[a:b], D[a:b], F[a:b], flags[a:b])
             for a, b in ((0, half), (half, args.n))]
    whole = (prices, S, K, D, F, flags)
    one = best_of(lambda: in_threads([lambda: vectorized_baw_implied_vol(*whole)]), repeat=3)
    two = best_of(lambda: in_threads([lambda p=p: vectorized_baw_implied_vol(*p) for p in parts]),
                  repeat=3)
    print(f"vectorized: 1 thread {one / args.n * 1e6:.2f} us per iv; 2 threads on halves "
          f"x{one / two:.2f}")


if __name__ == "__main__":
    main()

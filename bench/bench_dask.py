"""Quotes per second for implied volatilities of 2,000,000 quotes: in-process (one call, one
thread), kelvo.dask on the threaded scheduler with 2 threads, and on a LocalCluster of 2 worker
processes (loopback, the inputs sent with the graph, a warm-up run first), with the cluster's
overhead against the threaded figure.

    python3 bench/bench_dask.py [--n 2000000] [--chunk 100000]
"""
import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_iv import mixed_quotes  # noqa: E402

import dask.array as da  # noqa: E402
import distributed  # noqa: E402

from kelvo import dask as kd  # noqa: E402
from kelvo import vectorized_baw_implied_vol  # noqa: E402


def timed(func):
    start = time.perf_counter()
    result = func()
    return time.perf_counter() - start, result


def main():
    warnings.filterwarnings("ignore", "Sending large graph")
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--chunk", type=int, default=100_000)
    args = parser.parse_args()
    base = mixed_quotes(100_000)
    reps = -(-args.n // 100_000)
    prices, S, K, D, F = (np.tile(a, reps)[:args.n] for a in base[:5])
    flags = (base[5] * reps)[:args.n]

    t_in, expected = timed(lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flags))
    arrays = [da.from_array(a, chunks=args.chunk) for a in (prices, S, K, D, F)]
    lazy_flags = da.from_array(np.array(flags), chunks=args.chunk)
    lazy = kd.implied_vol(*arrays, lazy_flags)
    t_threads, got = timed(lambda: lazy.compute(scheduler="threads", num_workers=2))
    assert got.tobytes() == expected.tobytes()

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        client.compute(kd.implied_vol(*(a[:1000] for a in arrays), lazy_flags[:1000])).result()
        t_cluster, got = timed(lambda: client.compute(lazy).result())
        assert got.tobytes() == expected.tobytes()

    rate = lambda t: args.n / t
    print(f"{args.n} quotes, chunks of {args.chunk}")
    print(f"in-process, one thread:         {rate(t_in):10.0f} quotes/s")
    print(f"threaded scheduler, 2 threads:  {rate(t_threads):10.0f} quotes/s   x{t_in / t_threads:.2f}")
    print(f"LocalCluster, 2 processes:      {rate(t_cluster):10.0f} quotes/s   x{t_in / t_cluster:.2f}"
          f"   (inputs sent with the graph; {t_cluster / t_threads - 1:+.0%} time vs threads)")


if __name__ == "__main__":
    main()

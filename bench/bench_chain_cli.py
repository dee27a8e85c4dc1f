"""Rows per second of `kelvo FILE --rate R -q -o OUT` on a table of contracts as data vendors
export it (1,000,000 contracts: 8 expiries of each of 1,602 underlyings, unsorted), against the bare
throughput of kelvo._arrays.vectorized_baw_implied_vol on every core on the same quotes (three
inversions a row: mid, bid and ask), and the command's peak memory for two file sizes (target:
0.9 of bare, memory bounded by the chunk size and the near-the-money quotes, not by the file).

    python3 bench/bench_chain_cli.py [--rows 1000000] [--chunk-size 16384] [--before PYTHON]
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_cli import compare  # noqa: E402

from kelvo import vectorized_baw_price  # noqa: E402
from kelvo._arrays import vectorized_baw_implied_vol  # noqa: E402

RATE = 0.04
DAYS = (7, 14, 30, 60, 91, 182, 365, 730)
QUOTE_DATE = pd.Timestamp("2026-12-08")


def make(path, rows, seed=1):
    """rows contracts: underlyings x 8 expiries x strikes x call and put, in random order."""
    rng = np.random.default_rng(seed)
    per_expiry = 2 * 39
    n_under = max(1, rows // (len(DAYS) * per_expiry))
    spot = np.repeat(rng.uniform(20, 500, n_under), len(DAYS) * per_expiry)
    days = np.tile(np.repeat(DAYS, per_expiry), n_under)
    T = days / 365
    x = np.tile(np.repeat(np.linspace(-0.3, 0.3, 39), 2), n_under * len(DAYS)) * np.sqrt(T)
    F = spot * np.exp((RATE - 0.01) * T)
    K = np.round(F * np.exp(x), 2)
    flags = np.tile(["call", "put"], len(spot) // 2)
    vol = 0.25 - 0.1 * np.log(K / F) / np.sqrt(T)
    mid = vectorized_baw_price(spot, K, np.exp(-RATE * T), F, vol * np.sqrt(T),
                               [f[0] for f in flags])
    frame = pd.DataFrame({
        "UnderlyingSymbol": np.repeat([f"S{i:04d}" for i in range(n_under)], len(DAYS) * per_expiry),
        "UnderlyingPrice": np.round(spot, 2), "Type": flags,
        "Expiration": (QUOTE_DATE + pd.to_timedelta(days, unit="D")).strftime("%m/%d/%Y"),
        "DataDate": QUOTE_DATE.strftime("%m/%d/%Y"), "Strike": K,
        "Bid": np.round(mid * 0.99, 4), "Ask": np.round(mid * 1.01, 4),
    }).sample(frac=1.0, random_state=seed)
    frame.to_csv(path, index=False)
    return len(frame)


def bare(path):
    """Seconds of the three inversions of every row on every core, the inputs made ready
    beforehand."""
    frame = pd.read_csv(path)
    T = ((pd.to_datetime(frame["Expiration"], format="%m/%d/%Y") - QUOTE_DATE).dt.days / 365).to_numpy()
    S = frame["UnderlyingPrice"].to_numpy(float)
    D = np.exp(-RATE * T)
    F = S * np.exp((RATE - 0.01) * T)
    K = frame["Strike"].to_numpy(float)
    flags = np.array([t[0] for t in frame["Type"]])
    bid, ask = frame["Bid"].to_numpy(float), frame["Ask"].to_numpy(float)
    start = time.perf_counter()
    for prices in ((bid + ask) / 2, bid, ask):
        vectorized_baw_implied_vol(prices, S, K, D, F, flags)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--chunk-size", type=int, default=16384)
    parser.add_argument("--before", help="an interpreter with an earlier kelvo, to compare")
    args = parser.parse_args()
    compare(make, bare, args.rows, args.chunk_size, extra=("--rate", str(RATE)),
            unit="contracts", per_row="three inversions a row", before=args.before)


if __name__ == "__main__":
    main()

"""The sha256 of 100,000 American prices and the implied volatilities that invert them, on a
lattice of quotes made with exact arithmetic only (so that every interpreter and NumPy builds the
same inputs): two runs that print the same digest computed the same bits.

    python3 tools/digest.py [--save FILE.npy] [--compare FILE.npy]

--save keeps the prices and vols; --compare says how many differ from a saved run, and by how
much.
"""
import argparse
import hashlib

import numpy as np

from kelvo import vectorized_baw_implied_vol, vectorized_baw_price

N = 100_000


def lattice():
    i = np.arange(N, dtype=np.int64)
    S = np.full(N, 100.0)
    K = 100.0 * (0.6 + 0.8 * ((i % 997) / 997.0))
    D = 1.0 - 0.12 * (((i // 7) % 13) / 13.0)
    F = S * (0.9 + 0.2 * (((i * 7) % 101) / 101.0))
    sigma = 0.005 + 1.5 * (((i * 13) % 89) / 89.0)
    flags = np.where(i % 2 == 0, "c", "p").tolist()
    return S, K, D, F, sigma, flags


def values():
    S, K, D, F, sigma, flags = lattice()
    prices = vectorized_baw_price(S, K, D, F, sigma, flags)
    vols = vectorized_baw_implied_vol(prices, S, K, D, F, flags)
    # one NaN for every NaN: its sign and payload are not results
    return [np.where(np.isnan(a), np.nan, a).astype("<f8") for a in (prices, vols)]


def digest(canonical):
    return hashlib.sha256(b"".join(a.tobytes() for a in canonical)).hexdigest()


def compare(mine, saved):
    for name, a, b in zip(("prices", "vols"), mine, saved):
        same = (a == b) | (np.isnan(a) & np.isnan(b))
        both = ~same & np.isfinite(a) & np.isfinite(b)
        scale = np.maximum(np.abs(a[both]), np.abs(b[both]))
        rel = np.abs(a[both] - b[both]) / np.where(scale > 0, scale, 1)
        print(f"{name}: {int((~same).sum())} of {a.size} differ, largest relative difference "
              f"{rel.max(initial=0.0):.3g}; NaN in one only: {int((~same & ~both).sum())}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--save")
    parser.add_argument("--compare")
    args = parser.parse_args()
    canonical = values()
    print(digest(canonical))
    if args.save:
        np.save(args.save, np.stack(canonical))
    if args.compare:
        compare(canonical, np.load(args.compare))

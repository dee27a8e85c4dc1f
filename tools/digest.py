"""The sha256 of 100,000 American prices and the implied volatilities that invert them, on a
lattice of quotes made with exact arithmetic only (so that every interpreter and NumPy builds the
same inputs): two runs that print the same digest computed the same bits.

    python3 -P tools/digest.py
"""
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


def digest():
    S, K, D, F, sigma, flags = lattice()
    prices = vectorized_baw_price(S, K, D, F, sigma, flags)
    vols = vectorized_baw_implied_vol(prices, S, K, D, F, flags)
    # one NaN for every NaN: its sign and payload are not results
    canonical = [np.where(np.isnan(a), np.nan, a).astype("<f8") for a in (prices, vols)]
    return hashlib.sha256(b"".join(a.tobytes() for a in canonical)).hexdigest()


if __name__ == "__main__":
    print(digest())

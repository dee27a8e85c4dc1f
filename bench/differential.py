"""Largest relative difference between two builds of kelvo on the same random cases: 100,000
prices, the implied vols of those prices, and 200 forward searches.

    python3 bench/differential.py --before DIR [--after DIR] [--n 100000]

DIR is a folder holding a kelvo package (pip install --target DIR .); without --after the
installed kelvo is the one compared.
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

RUN = r"""
import sys
import numpy as np
from kelvo import baw_price, find_forward_baw, vectorized_baw_implied_vol
cases = np.load(sys.argv[1])
S, K, D, F, sigma, q = cases.T
flags = ["c" if v > 0 else "p" for v in q]
prices = np.array([baw_price(*a) for a in zip(S, K, D, F, sigma, flags)])
ivs = vectorized_baw_implied_vol(prices, S, K, D, F, flags)
forwards = []
for j in range(200):
    k = K[j * 20:(j + 1) * 20]
    s, d, f = S[j * 20], D[j * 20], F[j * 20]
    strikes = s * k / S[j * 20:(j + 1) * 20]  # the cases' moneyness around this spot
    calls, puts = (np.array([baw_price(s, x, d, f, y, flag)
                             for x, y in zip(strikes, sigma[j * 20:(j + 1) * 20])])
                   for flag in "cp")
    forwards.append(find_forward_baw(calls, puts, strikes, s, d, 0.05))
np.save(sys.argv[2], np.concatenate([prices, ivs, forwards]))
"""


def run(site, cases, out):
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = str(site)
    subprocess.run([sys.executable, "-P", "-c", RUN, str(cases), str(out)], env=env, check=True)
    return np.load(out)


def largest_relative(a, b):
    both = np.isfinite(a) & np.isfinite(b)
    scale = np.maximum(np.abs(a[both]), np.abs(b[both]))
    rel = np.abs(a[both] - b[both]) / np.where(scale > 0, scale, 1)
    return (rel.max(initial=0.0), np.abs(a[both] - b[both]).max(initial=0.0),
            int(np.count_nonzero(a[both] != b[both])),
            int(np.count_nonzero(np.isnan(a) != np.isnan(b))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", required=True)
    parser.add_argument("--after")
    parser.add_argument("--n", type=int, default=100_000)
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    n = args.n
    S = rng.uniform(20, 200, n)
    cases = np.column_stack([S, S * rng.uniform(0.5, 1.5, n), rng.uniform(0.8, 1.0, n),
                             S * rng.uniform(0.9, 1.1, n), rng.uniform(0.01, 1.5, n),
                             np.where(rng.random(n) < 0.5, 1.0, -1.0)])
    with tempfile.TemporaryDirectory() as tmp:
        np.save(Path(tmp) / "cases.npy", cases)
        before = run(args.before, Path(tmp) / "cases.npy", Path(tmp) / "before.npy")
        after = run(args.after, Path(tmp) / "cases.npy", Path(tmp) / "after.npy")
    for name, part in (("baw_price", slice(0, n)), ("implied vol", slice(n, 2 * n)),
                       ("forward", slice(2 * n, None))):
        rel, absolute, differ, nan_in_one = largest_relative(before[part], after[part])
        print(f"{name:>12}: {before[part].size} values, {differ} differ, largest difference "
              f"{rel:.3g} relative, {absolute:.3g} absolute; NaN in one build only: {nan_in_one}")


if __name__ == "__main__":
    main()

"""Writes an option chain of N rows (default 1,000,000) to a CSV for the command-line benchmark:
strikes spread geometrically over 1 to 10,000 (about 0.2 % of them within 1 % of the spot), one spot, discount factor and expiry, the sample smile.

    python3 bench/make_big_chain.py OUT.csv [--rows N]
"""
import argparse
import csv
import math

import numpy as np

from kelvo import baw_price
from kelvo.sample import DISCOUNT, EXPIRY, FORWARD, SPOT


def sigma(k):
    x = math.log(k / FORWARD)
    return (0.24 - 0.25 * x + 0.6 * x * x) * math.sqrt(EXPIRY)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--rows", type=int, default=1_000_000)
    args = parser.parse_args()
    with open(args.out, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["strike", "call", "put", "spot", "discount", "expiry"])
        for k in np.geomspace(1.0, 10000.0, args.rows).tolist():
            s = sigma(k)
            out.writerow([repr(k), repr(baw_price(SPOT, k, DISCOUNT, FORWARD, s, "c")),
                          repr(baw_price(SPOT, k, DISCOUNT, FORWARD, s, "p")), "100.0",
                          repr(DISCOUNT), repr(EXPIRY)])


if __name__ == "__main__":
    main()

"""Sample run: American prices on a strike ladder, their implied volatilities, and the implied
forward of the chain they make.

The sample: spot 100, rate 2 % and dividend yield 1 % for one year, so D = exp(-0.02) and
F = 100 exp(0.01); total standard deviation 0.2 at the money with a linear smile of -0.3 per
unit of log-moneyness; strikes 80 to 120.
"""
import argparse
import math
import sys

import numpy as np

from kelvo import baw_price, find_forward_baw, vectorized_baw_implied_vol

SPOT = 100.0
DISCOUNT = math.exp(-0.02)
FORWARD = SPOT * math.exp(0.01)
STRIKES = np.arange(80.0, 121.0, 5.0)


def smile(strike):
    return 0.2 - 0.3 * math.log(strike / FORWARD)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="kelvo", description=__doc__.split("\n\n")[0])
    parser.parse_args(argv)

    sigmas = np.array([smile(k) for k in STRIKES])
    calls = np.array([baw_price(SPOT, k, DISCOUNT, FORWARD, s, "c") for k, s in zip(STRIKES, sigmas)])
    puts = np.array([baw_price(SPOT, k, DISCOUNT, FORWARD, s, "p") for k, s in zip(STRIKES, sigmas)])

    forward = find_forward_baw(calls, puts, STRIKES, SPOT, DISCOUNT)
    n = len(STRIKES)
    prices = np.concatenate([calls, puts])
    strikes = np.concatenate([STRIKES, STRIKES])
    flags = ["c"] * n + ["p"] * n
    ivs = vectorized_baw_implied_vol(prices, np.full(2 * n, SPOT), strikes, np.full(2 * n, DISCOUNT),
                                     np.full(2 * n, forward), flags)

    out = sys.stdout
    out.write(f"spot {SPOT:.2f}  discount factor {DISCOUNT:.6f}  forward {FORWARD:.6f}\n")
    out.write(f"implied forward {forward:.6f}  (error {forward - FORWARD:+.2e})\n\n")
    out.write(f"{'strike':>8} {'sigma':>8} {'call':>10} {'put':>10} {'call IV':>10} {'put IV':>10}\n")
    for i, k in enumerate(STRIKES):
        out.write(f"{k:8.2f} {sigmas[i]:8.4f} {calls[i]:10.4f} {puts[i]:10.4f} "
                  f"{ivs[i]:10.6f} {ivs[n + i]:10.6f}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

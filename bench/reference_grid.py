"""kelvo against the independent high-precision reference (tests/reference.py) on the whole grid
that the tests sample: prices, continuity across D = 1, implied-volatility round trips (quotes
at the model price, at spot intrinsic, at the zero-volatility value and just above it), greeks
against differences of the reference, and forwards of chains priced at a known forward.

    python3 bench/reference_grid.py [--sample N] [--jobs 2] [--worst 8]

The whole grid (17,160 contracts) takes about 10 minutes of CPU; --sample N takes N of them.
"""
import argparse
import math
import sys
from collections import Counter
from multiprocessing import Pool
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as R  # noqa: E402

import mpmath as mp  # noqa: E402

from kelvo import (baw_implied_vol, baw_price, find_forward_baw,  # noqa: E402
                   vectorized_baw_greeks, vectorized_baw_implied_vol, vectorized_baw_price)


def intrinsic(S, K, flag):
    return max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)


def price_case(point):
    """(point, kernel price, reference, allowance, critical spot, zero-volatility value)"""
    S, K, D, F, sigma, flag = point
    call = flag == "c"
    ref, S_star = R.american(S, K, D, F, sigma, call)
    allowance = R.price_allowance(S, K, D, F, sigma, call, ref, S_star)
    zero_vol = float(R.price(S, K, D, F, 1e-8, call))
    return point, baw_price(*point), float(ref), float(allowance), S_star is not None, zero_vol


def continuity_case(below):
    """(|P(1) - P(below)| / P, the same beyond the reference's step, point, reference's step)"""
    S, K, _, F, sigma, flag = below
    at_one = (S, K, 1.0, F, sigma, flag)
    call = flag == "c"
    ref_step = float(abs(R.price(*at_one[:5], call) - R.price(*below[:5], call)))
    step = abs(baw_price(*at_one) - baw_price(*below))
    scale = max(abs(baw_price(*at_one)), 4 * R.EPS * max(S, K, F) / 1e-12)
    return step / scale, max(step - ref_step, 0.0) / scale, at_one, ref_step / scale


def iv_case(args):
    """One quote: (kind, point, quote, iv, reference price at iv, kernel price at iv, what is
    wrong or None)."""
    kind, point, quote = args
    S, K, D, F, sigma, flag = point
    iv = baw_implied_vol(quote, S, K, D, F, flag)
    ref = float(R.price(S, K, D, F, iv, flag == "c")) if iv > 0 else math.nan
    kernel = baw_price(S, K, D, F, iv, flag) if iv > 0 else math.nan
    fault = R.implied_vol_fault(point, quote, iv, baw_price, sigma if kind == "model" else None)
    return kind, point, quote, iv, ref, kernel, fault


def greeks_case(point):
    S, K, D, F, sigma, flag = point
    p, delta, gamma, vega, S_star = R.greeks(S, K, D, F, sigma, flag == "c")
    g = vectorized_baw_greeks([S], [K], [D], [F], [sigma], [flag])
    near = S_star is not None and abs(S - S_star) < 1e-6 * S
    return point, [float(x) for x in (delta, gamma, vega)], [float(g[k][0]) for k in
                                                               ("delta", "gamma", "vega")], near


def forward_case(args):
    S, D, carry, sigma = args
    F = S * (1 + carry)
    strikes = S * (1 + 0.01 * np.arange(-3, 4))
    calls = [float(R.price(S, k, D, F, sigma, True)) for k in strikes]
    puts = [float(R.price(S, k, D, F, sigma, False)) for k in strikes]
    return args, F, find_forward_baw(calls, puts, strikes, S, D)


def relative(a, b, floor=0.0):
    return abs(a - b) / max(abs(b), floor) if (a != b) else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sample", type=int, default=0, help="contracts of the grid (0: all)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--worst", type=int, default=8)
    args = parser.parse_args()
    points = R.sample(args.sample, 7) if args.sample else list(R.grid())
    with Pool(args.jobs) as pool:
        prices = pool.map(price_case, points, chunksize=64)
        print(f"prices: {len(prices)} contracts of the grid")
        within = beyond = below = 0
        reasons = Counter()
        worst = []
        for point, got, ref, allowance, premium, _ in prices:
            S, K, D, F, sigma, flag = point
            err = abs(got - ref)
            below += got < intrinsic(S, K, flag)
            if err <= 1e-12 * abs(ref):
                within += 1
                continue
            worst.append((err > allowance, err / max(abs(ref), 1e-300), err, allowance, point,
                          got, ref))
            if err <= 4 * R.EPS * max(S, K, F):
                reasons["absolute error within the rounding of the inputs' scale"] += 1
            elif err <= allowance:
                reasons["within what the critical spot's tolerance moves the price"] += 1
            else:
                beyond += 1
                reasons["BEYOND the allowance"] += 1
        print(f"  within 1e-12 of the reference: {within}; below intrinsic: {below}; beyond the "
              f"allowance: {beyond}")
        for reason, count in reasons.most_common():
            print(f"  not within 1e-12, {reason}: {count}")
        for out, rel, err, allowance, point, got, ref in sorted(worst, reverse=True)[:args.worst]:
            print(f"    {'BEYOND ' if out else ''}{rel:.3g} relative ({err:.3g} absolute, allowed "
                  f"{allowance:.3g}) at {point}: {got!r} vs {ref!r}")
        for low in (1e-6, 1e-3, 1e-2):
            big = [w[1:] for w in worst if w[6] > 1e-6 and w[4][4] >= low]
            if big:
                print(f"  largest relative error of prices above 1e-6 at sigma >= {low:g}: "
                      f"{max(big)[0]:.3g} at {max(big)[3]}")

        # continuity: D = 1 against the double just below, beside the reference's own step
        below = [(S, K, math.nextafter(1.0, 0.0), F, sigma, flag)
                 for S, K, D, F, sigma, flag in points if D == 1.0]
        steps = pool.map(continuity_case, below, chunksize=64)
        if steps:
            top = max(steps)
            own = max(steps, key=lambda x: x[1])
            print(f"  continuity over {len(steps)} contracts at D = 1: largest |P(1) - "
                  f"P(1 - 2^-53)| / P beyond the reference's own step {own[1]:.3g} at {own[2]}; "
                  f"largest step {top[0]:.3g} at {top[2]}, the reference's {top[3]:.3g}")

        # implied volatilities of quotes of four kinds
        quotes = []
        for point, got, ref, _, _, zero_vol in prices:
            S, K, D, F, sigma, flag = point
            floor = intrinsic(S, K, flag)
            quotes.append(("model", point, ref))
            quotes.append(("intrinsic", point, floor))
            if zero_vol > floor + 1e-10:
                quotes.append(("zero-vol", point, zero_vol))
                quotes.append(("just above", point, zero_vol + 1e-9 * (1 + zero_vol)))
        trips = pool.map(iv_case, quotes, chunksize=64)
        print(f"implied vols: {len(trips)} quotes")
        outcome = Counter()
        worst_ref = worst_kernel = (0.0, ())
        loose = Counter()  # round trips beyond 1e-9 (all within what sigma's tolerance allows)
        faults = [t for t in trips if t[6] is not None]
        for kind, point, quote, iv, ref, kernel, _ in trips:
            if math.isnan(iv):
                outcome[kind, "NaN"] += 1
            elif iv == 0.0:
                outcome[kind, "0.0"] += 1
            else:
                outcome[kind, "root"] += 1
                if max(abs(ref - quote), abs(kernel - quote)) > 1e-9 * abs(quote):
                    loose["iv < 1e-3" if iv < 1e-3 else "iv >= 1e-3"] += 1
                # where the search's 1e-10 in sigma moves the price by less than 1e-9 of it
                if iv < 1e-3:
                    continue
                scale = max(abs(quote), 1e-300)
                worst_ref = max(worst_ref, (abs(ref - quote) / scale, (kind, point, quote, iv)))
                worst_kernel = max(worst_kernel, (abs(kernel - quote) / scale,
                                                  (kind, point, quote, iv)))
        for (kind, result), count in sorted(outcome.items()):
            print(f"  {kind:>10} quotes giving {result}: {count}")
        print(f"  answers not as promised: {len(faults)}")
        print(f"  round trips beyond 1e-9 of the quote, where brentq's 1e-10 in sigma (or the "
              f"critical spot's tolerance) moves the price more: {dict(loose)}")
        for fault in faults[:args.worst]:
            print(f"    {fault[0]} {fault[1]} {fault[2]!r}: {fault[6]}")
        print(f"  largest round trip |price(iv) - quote| / quote, iv >= 1e-3: reference "
              f"{worst_ref[0]:.3g} at {worst_ref[1]}; kelvo {worst_kernel[0]:.3g} at "
              f"{worst_kernel[1]}")

        # vectorised functions: the scalar ones bit for bit
        S, K, D, F, sigma, flags = (list(x) for x in zip(*points))
        vec_price = vectorized_baw_price(S, K, D, F, sigma, flags)
        greeks = vectorized_baw_greeks(S, K, D, F, sigma, flags)
        scalar = np.array([p[1] for p in prices])
        qs = np.array([q[2] for q in quotes])
        vec_iv = vectorized_baw_implied_vol(qs, *([q[1][i] for q in quotes] for i in range(4)),
                                            [q[1][5] for q in quotes])
        same = (vec_price.tobytes() == scalar.tobytes()
                and greeks["price"].tobytes() == scalar.tobytes()
                and np.array_equal(vec_iv, np.array([t[3] for t in trips]), equal_nan=True))
        print(f"vectorised price, greeks' price and implied vols equal to the scalar ones: {same}")

        # greeks, away from the exercise boundary, where the premium is priced
        sample = [p[0] for p in prices if p[4] and p[0][4] >= 1e-3][::max(1, len(prices) // 3000)]
        rows = pool.map(greeks_case, sample, chunksize=16)
        worst_greek = {}
        for point, ref, got, near in rows:
            if near:
                continue
            S = point[0]
            for name, r, g, scale in zip(("delta", "gamma", "vega"), ref, got, (1, 1 / S, S)):
                # relative, with 1e-3 of the greek's scale (1, 1 / S, S) as its floor
                err = abs(g - r) / (abs(r) + 1e-3 * scale)
                if err > worst_greek.get(name, (0,))[0]:
                    worst_greek[name] = (err, point, g, r)
        print(f"greeks: {len(rows)} contracts with a premium, sigma >= 1e-3")
        for name, (err, point, g, r) in worst_greek.items():
            print(f"  {name}: largest relative error (floor 1e-3 of its scale) {err:.3g} at {point} "
                  f"({g!r} vs {r!r})")

        chains = [(100.0, D, carry, sigma) for D in R.DISCOUNTS for carry in R.CARRIES
                  for sigma in (0.05, 0.2, 0.5, 1.0)]
        found = pool.map(forward_case, chains, chunksize=4)
        errs = [(abs(got - F) if not math.isnan(got) else math.inf, case, F, got)
                for case, F, got in found]
        top = max(errs)
        print(f"forwards: {len(found)} chains of 7 strikes 1 % apart priced by the reference; "
              f"largest |found - F| {top[0]:.3g} at {top[1]} ({top[3]!r} vs {top[2]!r})")


if __name__ == "__main__":
    main()

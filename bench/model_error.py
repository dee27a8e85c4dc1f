"""How far BAW's implied volatilities are from the accurate American engine's on option chains:
each quote's mid price inverted by both models at the forward and discount factor that
kelvo.chain.surface finds, the difference in volatility points by maturity, moneyness, carry
and type, beside half the bid-ask spread.

    python3 -P bench/model_error.py FILE [FILE ...] --rate R [--quote-date DATE]
                                    [--column ROLE=NAME ...] [--precision accurate|fast]

What this takes from kelvo.chain.surface's table: the columns T, D and forward, sd_mid (BAW's
total standard deviation of the mid price; iv_mid = sd_mid / sqrt(T)) and, when there, iv_bid and
iv_ask; and from the input, the spot, strike and type columns, found by the names of
kelvo.chain.ROLES (or --column ROLE=NAME). The mid price is BAW's price at sd_mid, which is the
quote's mid to the inversion's tolerance, so that the script needs no rule of its own for mids.
"""
import argparse
import math
import sys

import numpy as np
import pandas as pd

from kelvo import chain
from kelvo._arrays import vectorized_alo_implied_vol, vectorized_baw_price

MATURITIES = ((0, 1 / 12, "< 1 month"), (1 / 12, 0.25, "1-3 months"), (0.25, 1, "3-12 months"),
              (1, 2, "1-2 years"), (2, math.inf, "> 2 years"))


def find_column(frame, role, overrides):
    if role in overrides:
        return overrides[role]
    names = {c.lower(): c for c in frame.columns}
    for candidate in chain.ROLES[role]:
        if candidate in names:
            return names[candidate]
    raise ValueError(f"no {role} column among {list(frame.columns)}; give --column {role}=NAME")


def model_error(table, overrides=None, precision="accurate"):
    """A frame of the quotes that BAW inverts: T, moneyness (log(K/F) in BAW standard
    deviations), carry F/S, type, BAW's and the engine's annualised volatilities, their
    difference in volatility points and half the bid-ask spread in volatility points (NaN
    without bids and asks)."""
    overrides = overrides or {}
    number = lambda role: pd.to_numeric(table[find_column(table, role, overrides)],
                                        errors="coerce").to_numpy(float)
    S, K = number("spot"), number("strike")
    kind = table[find_column(table, "type", overrides)].astype(str).str.strip().str.lower()
    call = kind.str.startswith("c").to_numpy()
    T, D, F = (table[c].to_numpy(float) for c in ("T", "D", "forward"))
    sd_baw = table["sd_mid"].to_numpy(float)
    keep = np.isfinite(sd_baw) & (sd_baw > 0) & (T > 0) & np.isfinite(S) & np.isfinite(K)
    S, K, T, D, F, sd_baw, call = (a[keep] for a in (S, K, T, D, F, sd_baw, call))
    flags = np.where(call, "c", "p").tolist()
    mid = vectorized_baw_price(S, K, D, F, sd_baw, flags)
    sd_alo = vectorized_alo_implied_vol(mid, S, K, D, F, flags, precision)
    half_spread = np.full(len(S), np.nan)
    if "iv_bid" in table and "iv_ask" in table:
        half_spread = 50 * (table["iv_ask"].to_numpy(float) - table["iv_bid"].to_numpy(float))[keep]
    root = np.sqrt(T)
    return pd.DataFrame({
        "T": T, "moneyness": np.log(K / F) / sd_baw, "carry": F / S,
        "type": np.where(call, "call", "put"), "iv_baw": sd_baw / root, "iv_alo": sd_alo / root,
        "difference": 100 * (sd_baw - sd_alo) / root, "half_spread": half_spread})


def summarise(errors, by):
    diff = errors["difference"].abs()
    # the share beyond half the spread among the quotes with a spread
    beyond = (diff > errors["half_spread"]).where(errors["half_spread"].notna())
    grouped = errors.assign(abs_diff=diff, beyond=beyond).groupby(by, observed=True)
    return pd.DataFrame({
        "quotes": grouped.size(),
        "median |BAW - ALO|": grouped["abs_diff"].median(),
        "90 % |BAW - ALO|": grouped["abs_diff"].quantile(0.9),
        "mean BAW - ALO": grouped["difference"].mean(),
        "beyond half spread": grouped["beyond"].mean(),
        "engine NaN": grouped["iv_alo"].apply(lambda v: int(v.isna().sum())),
    })


def markdown(frame):
    """frame as a Markdown table, its index (one or more levels) first; numbers to 3 places."""
    index_names = [n or "" for n in frame.index.names]
    lines = ["| " + " | ".join(index_names + list(frame.columns)) + " |",
             "|" + "---|" * (len(index_names) + len(frame.columns))]
    columns = [frame[c].tolist() for c in frame.columns]
    integer = [frame[c].dtype.kind in "iu" for c in frame.columns]
    for i, key in enumerate(frame.index):
        key = key if isinstance(key, tuple) else (key,)
        cells = [str(k) for k in key] + [str(col[i]) if is_int else f"{col[i]:.3f}"
                                         for col, is_int in zip(columns, integer)]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def report(errors):
    buckets = pd.cut(errors["T"], [lo for lo, _, _ in MATURITIES] + [math.inf], right=False,
                     labels=[label for _, _, label in MATURITIES])
    side = np.where(errors["type"] == "call", 1, -1) * errors["moneyness"]
    money = np.select([side < -0.5, side <= 0.5], ["in the money", "near the money"],
                      "out of the money")
    carry = np.where(errors["carry"] >= 1, "forward at or above spot", "forward below spot")
    frame = errors.assign(maturity=buckets, money=money, carry_side=carry)
    print("Implied volatility of the same mid, BAW minus the accurate engine, in volatility "
          "points\n")
    for title, by in (("maturity and type", ["maturity", "type"]),
                      ("moneyness and type", ["money", "type"]),
                      ("carry and type", ["carry_side", "type"])):
        print(f"By {title}:\n")
        print(markdown(summarise(frame, by)))
        print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--rate", type=float, required=True)
    parser.add_argument("--quote-date")
    parser.add_argument("--column", action="append", default=[], metavar="ROLE=NAME")
    parser.add_argument("--precision", default="accurate", choices=("accurate", "fast"))
    args = parser.parse_args()
    overrides = dict(item.split("=", 1) for item in args.column)
    frames = []
    for path in args.files:
        quotes = pd.read_csv(path)
        table, _ = chain.surface(quotes, rate=args.rate, quote_date=args.quote_date,
                                 columns=overrides or None)
        frames.append(model_error(table, overrides, args.precision))
        print(f"{path}: {len(frames[-1])} quotes inverted by BAW", file=sys.stderr)
    report(pd.concat(frames, ignore_index=True))


if __name__ == "__main__":
    main()

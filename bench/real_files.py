"""kelvo.chain.surface on the real end-of-day files in ../shared/data/real/: for each file, the
groups with two-sided quotes near the money and how many got a forward, how many forwards lie
inside their put-call parity band, and how many mid vols lie between their bid and ask vols.

The parity band of a group: at each of the (up to) four strikes nearest its forward whose call
and put both have 0 < bid <= ask, put-call parity C - P = D (F - K) with the quotes' spreads
gives F in [K + (C_bid - P_ask) / D, K + (C_ask - P_bid) / D]; the band is the intersection of
those intervals, or the nearest strike's where they do not meet (quotes that disagree with each
other). For American options parity holds only up to the early-exercise premia, small for the
short expiries and low rates of these files.

    python3 bench/real_files.py [DIRECTORY]
"""
import sys
from pathlib import Path

import numpy as np
import pandas as pd

from kelvo import chain

REAL = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"
# the options each file needs: its rate, and for the web dump the spot and the quote date
OPTIONS = {
    "dn_lower_SPXW_2018.csv": {"rate": 0.0145},
    "datashop_A_20171130_smallset.csv": {"rate": 0.0127},
    "datashop_calcs_SPX_20160104.csv": {"rate": 0.005},
    "yahoo_SPX_all_20260130.csv": {"rate": 0.036, "spot": 6936.0, "quote_date": "2026-01-30"},
}
NEAR = 4  # strikes around the forward for the band


def parity_bands(table, summary, names, options):
    """(group key, forward, band low, band high) of every group not yet expired with two-sided
    quotes on both sides at some strike (NaN forward and band where it got no forward)."""
    keys = list(zip(summary["symbol"], summary["quote_date"], summary["expiry"]))
    given = {k: v for k, v in options.items() if k in ("rate", "spot", "quote_date")}
    q = chain.Quotes.from_frame(table, names, quote_time=chain.quote_time_of(
        options.get("quote_time"), names), **given)
    frame = pd.DataFrame({"symbol": q.symbol(), "quote_date": q.quote_date, "expiry": q.expiry,
                          "flag": q.flag, "strike": q.strike, "bid": q.bid, "ask": q.ask,
                          "D": table["D"].to_numpy(), "forward": table["forward"].to_numpy()})
    two_sided = (frame["bid"] > 0) & (frame["ask"] >= frame["bid"])
    frame = frame[two_sided & frame["flag"].notna()]
    by_group = dict(tuple(frame.groupby(["symbol", "quote_date", "expiry"])))
    out = []
    for key, F, T in zip(keys, summary["forward"], summary["T"]):
        rows = by_group.get(key)
        if not T > 0:
            continue  # expired on its quote date: no forward to find
        if rows is None:
            continue
        calls = rows[rows["flag"] == "c"].drop_duplicates("strike").set_index("strike")
        puts = rows[rows["flag"] == "p"].drop_duplicates("strike").set_index("strike")
        both = calls.index.intersection(puts.index)
        if not len(both):
            continue
        out.append((key, F, both, calls, puts))
    bands = []
    for key, F, both, calls, puts in out:
        if not np.isfinite(F):
            bands.append((key, F, np.nan, np.nan))
            continue
        near = both[np.argsort(np.abs(both.to_numpy() - F), kind="stable")[:NEAR]]
        D = calls.loc[near, "D"].to_numpy()
        lo = near.to_numpy() + (calls.loc[near, "bid"].to_numpy() - puts.loc[near, "ask"]
                                .to_numpy()) / D
        hi = near.to_numpy() + (calls.loc[near, "ask"].to_numpy() - puts.loc[near, "bid"]
                                .to_numpy()) / D
        low, high = lo.max(), hi.min()
        if low > high:
            low, high = lo[0], hi[0]
        bands.append((key, F, low, high))
    return bands


def figures(path, options):
    frame = pd.read_csv(path, encoding="utf-8-sig")
    table, summary = chain.surface(frame, **options)
    names = chain.find_columns(list(frame.columns), sample=frame.head(1000),
                               spot=options.get("spot"))
    bands = parity_bands(table, summary, names, options)
    with_quotes = len(bands)
    found = [b for b in bands if np.isfinite(b[1])]
    inside = [b for b in found if b[2] - 1e-9 <= b[1] <= b[3] + 1e-9]
    iv = table[["iv_bid", "iv_mid", "iv_ask"]].to_numpy(dtype=float)
    has = np.isfinite(iv[:, 1]) & np.isfinite(iv[:, 2])
    bid = np.where(np.isfinite(iv[:, 0]), iv[:, 0], 0.0)
    between = has & (bid <= iv[:, 1] + 1e-12) & (iv[:, 1] <= iv[:, 2] + 1e-12)
    return {"groups": len(summary), "two-sided": with_quotes, "forwards": len(found),
            "inside band": len(inside), "mid vols": int(has.sum()),
            "between bid and ask": int(between.sum()), "outside": [
                (str(b[0][0]), str(np.datetime64(b[0][1], "D")), str(np.datetime64(b[0][2], "D")),
                 round(b[1], 4), round(b[2], 4), round(b[3], 4)) for b in found
                if not b[2] - 1e-9 <= b[1] <= b[3] + 1e-9]}


def main():
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else REAL
    for name, options in OPTIONS.items():
        path = directory / name
        if not path.exists():
            print(f"{name}: not found")
            continue
        f = figures(path, options)
        print(f"{name}: {f['groups']} groups, {f['two-sided']} not expired with two-sided "
              f"quotes at a strike; {f['forwards']} forwards, {f['inside band']} inside the parity band "
              f"({100 * f['inside band'] / max(f['forwards'], 1):.1f} %); "
              f"{f['between bid and ask']} of {f['mid vols']} mid vols between bid and ask "
              f"vols ({100 * f['between bid and ask'] / max(f['mid vols'], 1):.2f} %)")
        for row in f["outside"]:
            print("   outside:", row)


if __name__ == "__main__":
    main()

"""How far BAW's implied volatilities are from the accurate American engine's on the real files
(../shared/data/real/, with the options of bench/real_files.py): each file through
kelvo.chain.surface twice, as American options (model="baw", then model="alo": forwards and
vols each by its own model), and the difference of the mid vols in volatility points, by
maturity, moneyness (log(K / F) in standard deviations) and carry (the dividend yield
q = -log(D F / S) / T), beside half the bid-ask spread in volatility points.

The index files hold European options (kelvo reads them so by default); here they stand in for
American options on an underlying of their rates, yields and maturities.

    python3 bench/model_error.py [--precision accurate|fast] [DIRECTORY]
"""
import argparse
import math
import sys
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from real_files import OPTIONS, REAL  # noqa: E402

from kelvo import chain  # noqa: E402

MATURITIES = ((0, 1 / 12, "< 1 month"), (1 / 12, 0.25, "1-3 months"), (0.25, 1, "3-12 months"),
              (1, 2, "1-2 years"), (2, math.inf, "> 2 years"))
MONEYNESS = ((-math.inf, -1, "OTM put side, < -1 sd"), (-1, 1, "near the money, +-1 sd"),
             (1, math.inf, "OTM call side, > 1 sd"))
CARRY = ((-math.inf, 0.005, "yield < 0.5 %"), (0.005, 0.02, "yield 0.5-2 %"),
         (0.02, math.inf, "yield > 2 %"))


def differences(path, options, precision):
    """The quotes both models invert: T, moneyness, yield, the difference of the mid vols
    (BAW minus the engine) and half the spread, in volatility points."""
    frame = pd.read_csv(path, encoding="utf-8-sig")
    given = dict(options, style="american")
    baw, _ = chain.surface(frame, **given)
    alo, _ = chain.surface(frame, model="alo", precision=precision, **given)
    names = chain.find_columns(list(frame.columns), sample=frame.head(1000),
                               spot=options.get("spot"))
    q = chain.Quotes.from_frame(frame, names, **{k: v for k, v in options.items()
                                                 if k in ("rate", "spot", "quote_date")})
    T, D, F = (alo[c].to_numpy(float) for c in ("T", "D", "forward"))
    with np.errstate(invalid="ignore", divide="ignore"):
        out = pd.DataFrame({
            "T": T, "moneyness": np.log(q.strike / F) / (alo["iv_mid"].to_numpy(float)
                                                       * np.sqrt(T)),
            "yield": -np.log(D * F / q.spot) / T,
            "diff": 100 * (baw["iv_mid"] - alo["iv_mid"]).to_numpy(float),
            "half_spread": 50 * (alo["iv_ask"] - alo["iv_bid"]).to_numpy(float)})
    return out[np.isfinite(out["diff"])]


def table(rows, by, bins):
    lines = []
    for lo, hi, label in bins:
        part = rows[(rows[by] >= lo) & (rows[by] < hi)]
        if not len(part):
            continue
        size = part["diff"].abs()
        # only quotes whose bid and ask both have a vol have a half spread to compare with
        spread = part["half_spread"].notna()
        beyond = (size[spread] > part["half_spread"][spread]).mean() if spread.any() else math.nan
        lines.append(f"| {label} | {len(part)} | {size.median():.3f} | "
                     f"{size.quantile(0.9):.3f} | {size.max():.3f} | {100 * beyond:.1f} % "
                     f"of {int(spread.sum())} |")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory", nargs="?", default=str(REAL))
    parser.add_argument("--precision", default="accurate", choices=("accurate", "fast"))
    args = parser.parse_args()
    rows = []
    for name, options in OPTIONS.items():
        path = Path(args.directory) / name
        if path.exists():
            found = differences(path, options, args.precision)
            print(f"{name}: {len(found)} quotes")
            rows.append(found)
    rows = pd.concat(rows, ignore_index=True)
    header = ["| {} | quotes | median | 90 % | max | beyond half the spread |",
              "|---|---|---|---|---|---|"]
    for title, by, bins in (("maturity", "T", MATURITIES), ("moneyness", "moneyness", MONEYNESS),
                            ("carry", "yield", CARRY)):
        print(f"\nBAW minus the accurate engine, |mid vol difference| in vol points, by {title}\n")
        print(header[0].format(title))
        print(header[1])
        print("\n".join(table(rows, by, bins)))


if __name__ == "__main__":
    main()

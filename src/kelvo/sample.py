"""The sample option chains shipped with kelvo, and how they were made.

``OPTIONS_PATH``: the main job's sample, a day's end-of-day table of an American dividend-paying
stock in the layout data vendors use (one row per contract: UnderlyingSymbol, UnderlyingPrice,
Type, Expiration, DataDate, Strike, Bid, Ask, Volume, OpenInterest), made by ``write_options``:

- spot 187.25, quote date 2026-12-08, rate 4 % and dividend yield 1.2 % (continuous);
- 8 expiries from a week to two years, strikes on the listed grid around the forward, 20 to 24
  of them, wider for longer expiries;
- a skewed smile with a term structure: vol = 0.22 + 0.03 sqrt(T) - 0.18 x / sqrt(T) +
  0.45 x^2 / T with x = ln(K / F) (capped at 1.2);
- American prices by ``baw_price``, quoted to the cent with a spread that widens in the wings,
  a zero bid where the price is under 5 cents, and a few quotes missing (empty cells).

``PATH``: kelvo's own one-expiry layout (strike, call, put, spot, discount, expiry). One expiry, 41 strikes from 80 to 120, quoted as American calls and puts priced by
``baw_price`` from:

- spot 100, expiry 0.5 years;
- rate 3 % and dividend yield 1 %, so the discount factor is exp(-0.03 * 0.5) and the forward
  is 100 * exp((0.03 - 0.01) * 0.5) = 101.00501670841679;
- annualised volatility 0.24 at the forward with a skew of -0.25 per unit of log-moneyness and
  a curvature of 0.6: vol(K) = 0.24 - 0.25 x + 0.6 x^2 with x = ln(K / F), so the total standard
  deviation at strike K is vol(K) * sqrt(0.5).

Prices are stored with 17 significant digits, so inverting them recovers the forward and every
strike's sigma; ``python -m kelvo.sample`` writes the file again.
"""
import csv
import math
from pathlib import Path

SPOT = 100.0
EXPIRY = 0.5
RATE = 0.03
DIVIDEND_YIELD = 0.01
DISCOUNT = math.exp(-RATE * EXPIRY)
FORWARD = SPOT * math.exp((RATE - DIVIDEND_YIELD) * EXPIRY)
STRIKES = [80.0 + i for i in range(41)]
PATH = Path(__file__).resolve().parent / "data" / "sample_chain.csv"


def annual_vol(strike):
    x = math.log(strike / FORWARD)
    return 0.24 - 0.25 * x + 0.6 * x * x


def total_sigma(strike):
    return annual_vol(strike) * math.sqrt(EXPIRY)


def write(path=PATH):
    from kelvo import baw_price

    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["strike", "call", "put", "spot", "discount", "expiry"])
        for k in STRIKES:
            s = total_sigma(k)
            out.writerow([repr(k), repr(baw_price(SPOT, k, DISCOUNT, FORWARD, s, "c")),
                          repr(baw_price(SPOT, k, DISCOUNT, FORWARD, s, "p")),
                          repr(SPOT), repr(DISCOUNT), repr(EXPIRY)])


OPTIONS_PATH = Path(__file__).resolve().parent / "data" / "sample_options.csv"
OPTIONS_SYMBOL = "KLVO"
OPTIONS_SPOT = 187.25
OPTIONS_RATE = 0.04
OPTIONS_DIVIDEND_YIELD = 0.012
OPTIONS_QUOTE_DATE = "2026-12-08"
OPTIONS_DAYS = (7, 14, 30, 63, 100, 191, 373, 737)


def options_vol(x, T):
    return min(0.22 + 0.03 * math.sqrt(T) - 0.18 * x / math.sqrt(T) + 0.45 * x * x / T, 1.2)


def options_rows():
    """The sample table's rows, with the true forward and vol of each as extra fields."""
    import datetime
    import random

    from kelvo import baw_price

    rng = random.Random(20261208)
    quote = datetime.date.fromisoformat(OPTIONS_QUOTE_DATE)
    S = OPTIONS_SPOT
    for days in OPTIONS_DAYS:
        T = days / 365.0
        D = math.exp(-OPTIONS_RATE * T)
        F = S * math.exp((OPTIONS_RATE - OPTIONS_DIVIDEND_YIELD) * T)
        step = 2.5 if days <= 30 else 5.0 if days <= 200 else 10.0
        count = min(40, max(20, int(0.45 * S * math.sqrt(T) / step) * 2))
        centre = round(F / step) * step
        expiry = (quote + datetime.timedelta(days=days)).strftime("%m/%d/%Y")
        for i in range(-(count // 2), count - count // 2):
            K = centre + i * step
            if K <= 0:
                continue
            x = math.log(K / F)
            vol = options_vol(x, T)
            for kind in ("call", "put"):
                price = baw_price(S, K, D, F, vol * math.sqrt(T), kind[0])
                half = max(0.01, 0.005 * price + 0.02 * abs(x) / math.sqrt(T))
                bid = math.floor((price - half) * 100) / 100
                ask = math.ceil((price + half) * 100) / 100
                bid = 0.0 if price < 0.05 or bid < 0 else bid
                missing = rng.random() < 0.02
                yield {"UnderlyingSymbol": OPTIONS_SYMBOL, "UnderlyingPrice": f"{S:.2f}",
                       "Type": kind, "Expiration": expiry,
                       "DataDate": quote.strftime("%m/%d/%Y"), "Strike": f"{K:g}",
                       "Bid": "" if missing else f"{bid:.2f}",
                       "Ask": "" if missing else f"{ask:.2f}",
                       "Volume": rng.randrange(0, 2000), "OpenInterest": rng.randrange(0, 20000),
                       "_forward": F, "_vol": vol}


def write_options(path=OPTIONS_PATH):
    rows = list(options_rows())
    with open(path, "w", newline="") as f:
        out = csv.DictWriter(f, [k for k in rows[0] if not k.startswith("_")],
                             extrasaction="ignore")
        out.writeheader()
        out.writerows(rows)


if __name__ == "__main__":
    write()
    write_options()

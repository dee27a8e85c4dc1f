"""The sample option chain shipped with kelvo, and how it was made.

One expiry, 41 strikes from 80 to 120, quoted as American calls and puts priced by
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


if __name__ == "__main__":
    write()

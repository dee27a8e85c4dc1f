"""Independent reference formulas for the tests."""
import math


def black_price(K, D, F, sigma, call):
    """Discounted Black price, written independently of the module."""
    if sigma <= 0:
        return max((F - K) * D if call else (K - F) * D, 0.0)
    d1 = math.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    N = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
    if call:
        return D * (F * N(d1) - K * N(d2))
    return D * (K * N(-d2) - F * N(-d1))

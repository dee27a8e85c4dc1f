"""kelvo held to an independent high-precision reference of the BAW formula (reference.py) on
samples of a grid that visits every branch: D exactly 1, just below and above it; F = S and
F / S - 1 from +-1e-9 to +-5e-2; sigma from 1e-8 to 8; K / S from 0.01 to 100; calls and puts.
bench/reference_grid.py runs the whole grid."""
import math

import numpy as np
import pytest

R = pytest.importorskip("reference", reason="the reference needs mpmath")
from kelvo import (baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_greeks,
                   vectorized_baw_implied_vol, vectorized_baw_price)


def name(point):
    S, K, D, F, sigma, flag = point
    return f"{flag}-K{K:g}-D{D!r}-F{F!r}-s{sigma:g}"


@pytest.mark.parametrize("point", R.sample(150, 1), ids=name)
def test_price(point):
    S, K, D, F, sigma, flag = point
    ref, S_star = R.american(*point[:5], flag == "c")
    got = baw_price(*point)
    assert abs(got - ref) <= R.price_allowance(*point[:5], flag == "c", ref, S_star)
    assert got >= (max(S - K, 0.0) if flag == "c" else max(K - S, 0.0))
    if D == 1:  # continuous with the double just below, as the formula is
        D_below = math.nextafter(1.0, 0.0)
        step = abs(ref - R.price(S, K, D_below, F, sigma, flag == "c"))
        below = baw_price(S, K, D_below, F, sigma, flag)
        assert abs(got - below) <= step + 1e-12 * abs(got) + 4 * R.EPS * max(S, K, F)


# Quotes of four kinds: the reference's price at sigma, spot intrinsic value, the reference's
# price at vanishing volatility (1e-8) and just above it.
@pytest.mark.parametrize("kind", ["model", "intrinsic", "zero-vol", "above"])
@pytest.mark.parametrize("point", R.sample(40, 2), ids=name)
def test_implied_vol(point, kind):
    S, K, D, F, sigma, flag = point
    if kind == "model":
        quote = float(R.price(*point[:5], flag == "c"))
    elif kind == "intrinsic":
        quote = max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)
    else:
        quote = float(R.price(S, K, D, F, 1e-8, flag == "c"))
        if kind == "above":
            quote += 1e-9 * (1 + quote)
    iv = baw_implied_vol(quote, S, K, D, F, flag)
    assert R.implied_vol_fault(point, quote, iv, baw_price,
                               sigma if kind == "model" else None) is None


def grid_quotes():
    """Every contract of the grid with quotes of the four kinds, priced by kelvo."""
    S, K, D, F, sigma, flags = (np.array(x) for x in zip(*R.grid()))
    flags = flags.tolist()
    prices = vectorized_baw_price(S, K, D, F, sigma, flags)
    zero_vol = vectorized_baw_price(S, K, D, F, np.full(S.size, 1e-8), flags)
    intrinsic = np.where(np.array(flags) == "c", np.maximum(S - K, 0), np.maximum(K - S, 0))
    quotes = np.concatenate([prices, intrinsic, zero_vol, zero_vol + 1e-9 * (1 + zero_vol)])
    return (S, K, D, F, sigma, flags), quotes


@pytest.mark.parametrize("function", ["price", "greeks", "implied_vol"])
def test_vectorised_functions_are_the_scalar_ones_on_the_whole_grid(function):
    (S, K, D, F, sigma, flags), quotes = grid_quotes()
    if function == "implied_vol":
        columns = [np.tile(x, 4) for x in (S, K, D, F)]
        got = vectorized_baw_implied_vol(quotes, *columns, flags * 4)
        expected = [baw_implied_vol(*args) for args in zip(quotes, *columns, flags * 4)]
    else:
        got = (vectorized_baw_price(S, K, D, F, sigma, flags) if function == "price" else
               vectorized_baw_greeks(S, K, D, F, sigma, flags)["price"])
        expected = [baw_price(*args) for args in zip(S, K, D, F, sigma, flags)]
    assert np.array_equal(got, np.array(expected), equal_nan=True)


def ordinary(n, seed):
    """Contracts near the money at ordinary rates, carries and volatilities."""
    rng = np.random.default_rng(seed)
    return [(100.0, 100.0 * rng.uniform(0.8, 1.25), float(rng.choice([1.0, rng.uniform(0.9, 1)])),
             100.0 * rng.uniform(0.96, 1.03), rng.uniform(0.05, 0.8), flag)
            for flag in "cp" for _ in range(n)]


@pytest.mark.parametrize("point", [p for p in R.sample(120, 3) if p[4] >= 1e-3][:40]
                         + ordinary(10, 11), ids=name)
def test_greeks(point):
    S, K, D, F, sigma, flag = point
    _, delta, gamma, vega, _ = R.greeks(*point[:5], flag == "c")
    g = vectorized_baw_greeks([S], [K], [D], [F], [sigma], [flag])
    for got, ref, scale in ((g["delta"][0], delta, 1.0), (g["gamma"][0], gamma, 1 / S),
                            (g["vega"][0], vega, S)):
        assert abs(got - ref) <= 1e-7 * abs(ref) + 1e-10 * scale


# Chains of the strikes around the spot priced by the reference at a known forward.
@pytest.mark.parametrize("D, F, sigma", [point[2:5] for point in R.sample(16, 4)])
def test_forward(D, F, sigma):
    S = 100.0
    # below 0.05 the options away from the money carry no volatility; above 4 the inversion
    # meets its cap of 8 at trial forwards near F
    sigma = min(max(sigma, 0.05), 4.0)
    strikes = [99.0, 100.0, 101.0]
    calls, puts = ([float(R.price(S, k, D, F, sigma, call)) for k in strikes] for call in (1, 0))
    tol1 = 1.4901161193847656e-8 * F + 1e-6 / 3
    assert find_forward_baw(calls, puts, strikes, S, D) == pytest.approx(F, abs=5 * tol1)

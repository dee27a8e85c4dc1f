"""The accurate American engine (model="alo"): prices against an independent solution of the
boundary's equation (bench/alo_independent.cpp, in extended precision), its regimes and
conventions, put-call symmetry, its greeks against finite differences, and the implied
volatility with BAW's 0.0 / NaN rules."""
import math

import numpy as np
import pytest

import kelvo
from kelvo._arrays import vectorized_alo_greeks, vectorized_alo_implied_vol, vectorized_alo_price
from kelvo import baw_price
from helpers import black_price, richardson

# r, q, T, vol, K/S, type, price on a spot of 100 by bench/alo_independent.cpp
REFERENCE = [
    (0.05, 0.0, 1.0, 0.2, 1.0, "p", 6.0903705909600685),
    (0.05, 0.0, 1.0, 0.2, 1.1, "p", 11.972826444987541),
    (0.03, 0.06, 2.0, 0.3, 1.0, "c", 13.709811956336246),
    (0.05, 0.08, 0.5, 0.25, 1.2, "c", 1.2629723791595882),
    (0.05, -0.03, 1.0, 0.4, 1.3, "p", 32.81024075172057),
    (0.0, -0.04, 3.0, 0.3, 1.1, "p", 22.591743780779776),
    (0.08, 0.02, 0.02, 1.2, 0.9, "p", 2.5886143381846476),
    (0.02, 0.1, 5.0, 0.6, 0.5, "c", 52.40851146320569),
    (0.06, 0.03, 0.25, 0.35, 0.8, "p", 0.6801373115536126),
    (0.04, 0.04, 1.5, 0.8, 1.0, "p", 35.9172825061559),
    (0.1, -0.05, 10.0, 0.05, 1.0, "p", 0.3061371838376943),  # rates 9.5 sigma: the wide rules
    (0.02, 0.1, 10.0, 0.05, 1.0, "c", 0.5682010910484251),  # 6 sigma: the wide grid's slow steps
    (0.1, -0.05, 6.781, 0.0568, 1.00662, "p", 0.7326089052504359),  # 7 sigma: fast's wide grid
    (0.0944, 0.0885, 0.63, 1.127, 3.157, "c", 6.673903094157881),  # switch at 1e-3 of the life
    (0.02, 0.1, 10.0, 1.5, 0.2, "p", 17.625397119598116),  # sigma 4.7 on the carry clock
    (0.118, 0.132, 10.0, 2.0, 2.5, "p", 211.6048185161847),  # sigma 6.3: the power clock
]


def forward_form(r, q, T, vol, ks):
    return 100.0, 100.0 * ks, math.exp(-r * T), 100.0 * math.exp((r - q) * T), vol * math.sqrt(T)


def alo(S, K, D, F, sigma, flag, precision="accurate"):
    return float(vectorized_alo_price([S], [K], [D], [F], [sigma], [flag], precision)[0])


@pytest.mark.parametrize("precision, tolerance", [("accurate", 1e-9), ("fast", 1e-6)])
def test_prices_against_the_reference(precision, tolerance):
    args = np.array([forward_form(*row[:5]) for row in REFERENCE]).T
    flags = [row[5] for row in REFERENCE]
    expected = np.array([row[6] for row in REFERENCE])
    got = vectorized_alo_price(*args, flags, precision)
    np.testing.assert_allclose(got, expected, rtol=tolerance, atol=0)


@pytest.mark.parametrize("S, K, D, F, sigma, flag, expected", [
    (100, 90, 0.95, 102, 0.0, "c", 10.0),                # no volatility: spot intrinsic
    (100, 110, 0.95, 102, -1.0, "p", 10.0),
    (100, 300, 0.99, 101, 0.2, "p", 200.0),              # below the perpetual boundary: exercise
    (100, math.inf, 0.99, 101, 0.2, "p", math.inf),      # a strike of infinity, as BAW
    (100, 0, 0.99, 101, 0.2, "p", 0.0),                  # no strike: a put is worthless,
    (100, 0, 0.99, 110, 0.2, "c", 0.99 * 110),           # a call the underlying, now or later
    (0, 100, 0.99, 0, 0.2, "p", 100.0),                  # no spot: the put exercised
    (100, 100, 1.02, 99, 0.2, "p", "black"),             # r < 0, q >= r: European
    (100, 100, 0.97, 104, 0.3, "c", "black"),            # call without dividends: European
    (100, 100, 1.02, 103, 0.2, "p", math.nan),           # r < 0 and q < r: two boundaries
    # a call without dividends at r = -1 %, D F / S = 1 + 1 ulp: the put of r = 0 and q < 0
    (100, 100, math.exp(0.03), 100 * math.exp(-0.03), 0.2 * 3 ** 0.5, "c", 12.659237695372),
    (100, 100, math.nan, 101, 0.2, "p", math.nan),
    (100, 100, 0.95, 101, 1e-4, "p", math.nan),          # premium material, sigma far too small
    (100, 60, 0.95, 101, 0.005, "p", "black"),           # premium nil, sigma far too small
    (100, 100, 0.95, 101, 25.0, "p", math.nan),          # beyond SIGMA_MAX
    # q > r at sigma 4e-9: the perpetual boundary's root lost every digit and put it above
    # the spot (exercise value, 59.11, 17 % below Black's)
    (100, 159.1103, 0.8151910035321835, 71.94, 4.2862321226036274e-09, "p", "black"),
    # sigma 1e-80 (beta_1^2 overflowed): below the perpetual boundary, exercised
    (39, 100, math.exp(-0.02), 39 * math.exp(-0.03), 1e-80, "p", 61.0),
    # a forward 628 times the spot at sigma 5.6, beyond the rates checked: 101.27 > K before
    (100, 100, 0.999, 62758.75087329649, 5.6191883272006775, "p", math.nan),
    # rates 10.9 times a sigma of 0.1 %, where the wide rules' price jumps
    (100, 100, math.exp(-0.0125), 100 * math.exp(0.0125), 0.0011465277777777778, "p", math.nan),
])
def test_regimes_and_conventions(S, K, D, F, sigma, flag, expected):
    got = alo(S, K, D, F, sigma, flag)
    if expected == "black":
        expected = max(black_price(K, D, F, sigma, flag == "c"), 0.0)
        assert got == pytest.approx(expected, rel=1e-13)
    elif math.isnan(expected):
        assert math.isnan(got)
    elif expected > 1:
        assert got == pytest.approx(expected, rel=1e-12)
    else:
        assert got == expected


@pytest.mark.parametrize("scale", [1e-200, 1e-160, 1e154])
def test_a_price_scales_with_spot_strike_and_forward(scale):
    # the call's put is struck at K S / F, which left the doubles' range (95.9995 at 1e-200)
    for flag in "cp":
        expected = alo(100.0, 100.0, 0.95, 101.0, 0.3, flag)
        assert alo(100 * scale, 100 * scale, 0.95, 101 * scale, 0.3, flag) / scale == (
            pytest.approx(expected, rel=1e-12))


@pytest.mark.parametrize("precision", ["accurate", "fast"])
def test_call_is_the_put_with_spot_and_strike_exchanged(precision):
    # C(S, K; r, q) = P(K, S; q, r): in forward form D' = D F / S and F' = K S / F
    rng = np.random.default_rng(5)
    for _ in range(20):
        S, K, D, F = 100.0, rng.uniform(70, 140), rng.uniform(0.9, 1.0), rng.uniform(95, 106)
        sigma = rng.uniform(0.1, 0.6)
        call = alo(S, K, D, F, sigma, "c", precision)
        put = alo(K, S, D * F / S, K * S / F, sigma, "p", precision)
        assert call == pytest.approx(put, rel=1e-12, abs=1e-13)


@pytest.mark.parametrize("row", [0, 2, 4, 8, 10])
def test_greeks_match_extrapolated_differences(row):
    r, q, T, vol, ks, flag, _ = REFERENCE[row]
    S, K, D, F, sigma = forward_form(r, q, T, vol, ks)
    carry = F / S
    g = vectorized_alo_greeks([S], [K], [D], [F], [sigma], [flag])
    g = {k: float(v[0]) for k, v in g.items()}
    assert g["price"] == alo(S, K, D, F, sigma, flag)
    by_spot = lambda s: alo(s, K, D, s * carry, sigma, flag)
    by_sigma = lambda v: alo(S, K, D, F, v, flag)
    assert g["delta"] == pytest.approx(richardson(by_spot, S, 1e-3 * S, 1), rel=1e-6)
    assert g["gamma"] == pytest.approx(richardson(by_spot, S, 2e-3 * S, 2), rel=1e-4)
    assert g["vega"] == pytest.approx(richardson(by_sigma, sigma, 1e-3 * sigma, 1), rel=1e-6)


@pytest.mark.parametrize("K, T, r, q, vol, dF, dD", [
    # a step of 1e-4 of F or D would reach the exercise region: the slopes of small steps
    (64.83, 0.042, 0.051, 0.034, 0.36, 0.28398, 9.30963),
    (40.0, 0.5, 0.05, 0.04, 0.2, 0.0, 0.0),  # exercised now: the payoff, which neither moves
    # sigma 1e-12, where steps of 1e-16 were lost in F's rounding: D and F - K
    (90.0, 1.0, 0.02, 0.0, 1e-12, 0.9801986733067553, 12.020134002675581),
])
def test_forward_and_discount_slopes_near_the_exercise_region(K, T, r, q, vol, dF, dD):
    S, D = 100.0, math.exp(-r * T)
    g = vectorized_alo_greeks([S], [K], [D], [S * math.exp((r - q) * T)], [vol * T ** 0.5], ["c"])
    assert g["dF"][0] == pytest.approx(dF, rel=1e-4) and g["dD"][0] == pytest.approx(dD, rel=1e-4)


@pytest.mark.parametrize("precision", ["accurate", "fast"])
def test_implied_vol_inverts_the_price(precision):
    args = np.array([forward_form(*row[:5]) for row in REFERENCE]).T
    flags = [row[5] for row in REFERENCE]
    prices = vectorized_alo_price(*args, flags, precision)
    S, K, D, F, sigma = args
    np.testing.assert_allclose(vectorized_alo_implied_vol(prices, S, K, D, F, flags, precision),
                               sigma, rtol=1e-9)


@pytest.mark.parametrize("precision", ["accurate", "fast"])
@pytest.mark.parametrize("r, q, T, vol, ks, flag", [
    # rates over 12 sigma: the engine prices NaN over a band of sigma below the root
    (0.10, 0.15, 5.0, 0.03, 0.8, "p"),
    (0.08, 0.13, 5.0, 0.025, 0.95, "p"),  # and BAW's search finds no start
    (0.08, 0.15, 7.0, 0.024, 0.7, "p"),   # the root below the band
    # an in-the-money put whose price flattens below the root: Newton's steps stall
    (0.0581447701666093, 0.11922320676936994, 1.2980093593145459, 0.05473766592394973, 1.28858408,
     "p"),
    (0.14579, -0.01727, 8.60609, 0.01681, 2.93219, "c"),  # Black's price, flat below the root
])
def test_implied_vol_past_a_band_of_nan_prices_or_a_flat_price(precision, r, q, T, vol, ks, flag):
    S, K, D, F, sigma = forward_form(r, q, T, vol, ks)
    price = alo(S, K, D, F, sigma, flag, precision)
    got = float(vectorized_alo_implied_vol([price], [S], [K], [D], [F], [flag], precision)[0])
    assert alo(S, K, D, F, got, flag, precision) == pytest.approx(price, rel=1e-12)
    # a price between the band's ends: none
    if flag == "p" and ks == 0.8:
        assert math.isnan(vectorized_alo_implied_vol([1.85], [S], [K], [D], [F], [flag])[0])


@pytest.mark.parametrize("rT, K", [(0.003, 50.0), (0.05, 40.0)])  # the engine an ulp below, above
def test_implied_vol_at_the_zero_volatility_value_within_rounding(rT, K):
    D, F = math.exp(-rT), 100 * math.exp(rT)
    price = alo(100.0, K, D, F, 0.01, "c")
    for quote in (D * (F - K), price):
        assert vectorized_alo_implied_vol([quote], [100.0], [K], [D], [F], ["c"])[0] == 0.0


@pytest.mark.parametrize("price, flag, expected", [
    (10.0 + 1e-10, "c", 0.0),     # at intrinsic plus the tolerance: 0.0, as BAW
    (-1.0, "p", 0.0),
    (0.95 * (112.0 - 100.0), "c", 0.0),  # the zero-volatility value, which small sigmas give
    (110.5, "c", math.nan),       # above the spot: no sigma up to 8 reproduces it
    (math.nan, "c", math.nan),
    (math.inf, "c", math.nan),
])
def test_implied_vol_conventions(price, flag, expected):
    got = float(vectorized_alo_implied_vol([price], [110.0], [100.0], [0.95], [112.0], [flag])[0])
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_broadcasting_layer_and_its_arguments():
    D, F = math.exp(-0.05), 100 * math.exp(0.03)
    assert kelvo.price(100, 100, D, F, 0.25, "p", model="alo") == alo(100, 100, D, F, 0.25, "p")
    assert kelvo.price(100, 100, D, F, 0.25, "p") == baw_price(100, 100, D, F, 0.25, "p")
    strikes = np.array([90.0, 100.0, 110.0])
    prices = kelvo.price(100, strikes, D, F, 0.25, "p", model="alo", precision="fast")
    sigma = kelvo.implied_vol(prices, 100, strikes, D, F, "p", model="alo", precision="fast")
    np.testing.assert_allclose(sigma, 0.25, rtol=1e-9)
    g = kelvo.greeks(100, 100, D, F, 0.25, "c", model="alo")
    assert g["price"] == alo(100, 100, D, F, 0.25, "c") and g["delta"] > 0
    for kwargs, message in (({"model": "bs"}, "model"), ({"model": "alo", "precision": "exact"},
                                                          "precision"),
                            ({"precision": "fast"}, "model='alo'")):
        with pytest.raises(ValueError, match=message):
            kelvo.price(100, 100, D, F, 0.25, "p", **kwargs)
    with pytest.raises(ValueError, match="precision must be 'accurate' or 'fast'"):
        vectorized_alo_price([100], [100], [D], [F], [0.25], ["p"], "exact")

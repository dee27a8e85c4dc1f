"""American prices through kelvo.baw_core.baw_price."""
import itertools
import math

import pytest

from kelvo.baw_core import baw_implied_vol, baw_price
from helpers import black_price

K = 100.0
D = math.exp(-0.02)


@pytest.mark.parametrize("S, call, put", [
    (90, 0.5896488, 11.2510120),
    (100, 3.5249212, 4.3967494),
    (110, 10.3146017, 1.1179123),
    (130, 30.0, 0.0206971),
])
def test_worked_example(S, call, put):
    F = S * math.exp(-0.01)
    assert baw_price(S, K, D, F, 0.1, "c") == pytest.approx(call, abs=1e-7)
    assert baw_price(S, K, D, F, 0.1, "p") == pytest.approx(put, abs=1e-7)


def test_exercise_region_is_exact():
    # Critical spots of the worked example: calls at 114.544377, puts at 62.141394.
    carry = math.exp(-0.01)
    assert baw_price(114.6, K, D, 114.6 * carry, 0.1, "c") == 114.6 - K
    assert baw_price(114.5, K, D, 114.5 * carry, 0.1, "c") > 114.5 - K
    assert baw_price(62.1, K, D, 62.1 * carry, 0.1, "p") == K - 62.1
    assert baw_price(62.2, K, D, 62.2 * carry, 0.1, "p") > K - 62.2


def test_call_boundary_beyond_all_probes_uses_2_to_the_21_strikes():
    assert baw_price(100, 100, 0.99, 100, 1000, "c") == pytest.approx(99.9999687, abs=1e-7)


@pytest.mark.parametrize("sigma", [0.0, -0.5])
@pytest.mark.parametrize("S", [80.0, 100.0, 120.0])
def test_no_volatility_is_spot_intrinsic(sigma, S):
    for D_, F in [(0.9, 200.0), (1.2, 1.0), (math.nan, math.nan)]:
        assert baw_price(S, K, D_, F, sigma, "c") == max(S - K, 0.0)
        assert baw_price(S, K, D_, F, sigma, "p") == max(K - S, 0.0)


@pytest.mark.parametrize("D_", [1.0, 1.05])
@pytest.mark.parametrize("F", [90.0, 100.0, 112.0])
def test_no_positive_rate_is_european_where_that_beats_exercise(D_, F):
    S = F  # forward at spot: the European value is never below spot intrinsic
    for flag, call in [("c", True), ("p", False)]:
        assert baw_price(S, K, D_, F, 0.25, flag) == pytest.approx(
            black_price(K, D_, F, 0.25, call), rel=1e-13)


@pytest.mark.parametrize("S, F, flag, intrinsic", [
    (150.0, 140.0, "c", 50.0),   # dividends at zero rates: European call F - K < S - K
    (60.0, 66.0, "p", 40.0),     # negative rates' put with a forward above spot
])
def test_zero_rate_floor_at_immediate_exercise(S, F, flag, intrinsic):
    european = black_price(K, 1.0, F, 0.05, flag == "c")
    assert european < intrinsic
    assert baw_price(S, K, 1.0, F, 0.05, flag) == intrinsic


def test_call_without_early_exercise_is_european():
    # D * F / S >= 1: carry at least the discount rate
    S, F, D_ = 100.0, 103.0, 0.98
    assert baw_price(S, K, D_, F, 0.3, "c") == pytest.approx(black_price(K, D_, F, 0.3, True),
                                                             rel=1e-13)


def test_american_at_least_european_and_intrinsic():
    for S, F, D_, sigma in itertools.product([70, 100, 140], [0.9, 1.0, 1.1], [0.9, 0.99],
                                             [0.05, 0.3, 1.2]):
        F = S * F
        for flag, call in [("c", True), ("p", False)]:
            price = baw_price(S, K, D_, F, sigma, flag)
            assert price >= black_price(K, D_, F, sigma, call) - 1e-9
            assert price >= (max(S - K, 0) if call else max(K - S, 0)) - 1e-12


@pytest.mark.parametrize("scale", [1e-5, 1e-8, 1e-11, 2.0**-1000])
def test_a_price_scales_with_spot_strike_and_forward(scale):
    # at a small enough scale the critical search's absolute offsets made puts negative
    for S, K, D, F, sigma, flag in [
            (1.0, 0.8, 0.95, 1.0, 0.5, "p"), (1.0, 1.2, 0.95, 1.0, 0.5, "c"),
            (1.0, 1.0, 0.95, 1.0, 10.0, "p"), (1.0, 0.22, 0.27, 1.27, 10.6, "p")]:
        expected = baw_price(S, K, D, F, sigma, flag)
        got = baw_price(S * scale, K * scale, D, F * scale, sigma, flag)
        assert got / scale == pytest.approx(expected, rel=1e-12)
        if got > 1e-10 and sigma <= 8:  # a quote with a volatility the search reaches
            vol = baw_implied_vol(got, S * scale, K * scale, D, F * scale, flag)
            assert vol == pytest.approx(sigma, rel=1e-9)


SPECIAL = [0.0, -1.0, 1e-300, 1e300, math.inf, -math.inf, math.nan]


@pytest.mark.parametrize("position", range(5))
def test_bad_numbers_never_raise(position):
    base = [100.0, 100.0, 0.97, 101.0, 0.3]
    for value, flag in itertools.product(SPECIAL, ["c", "p"]):
        args = list(base)
        args[position] = value
        assert isinstance(baw_price(*args, flag), float)


# A zero rate (D == 1) takes the premium's limit as D -> 1 instead of dropping it, on every
# path of the put: with the forward a little above the spot its critical equation vanishes with
# the spot, and the sign there is the forward's side, not rounding.
@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("carry", [math.exp(-0.025), 1 - 1e-5, 1.0, 1 + 1e-9, 1 + 1e-5,
                                   math.exp(0.025)])
@pytest.mark.parametrize("S_", [80.0, 100.0, 120.0])
def test_zero_rate_is_the_limit_of_small_rates(S_, carry, flag):
    F = S_ * carry
    at_one = baw_price(S_, K, 1.0, F, 0.25, flag)
    for D_ in (1 - 1e-12, 1 - 1e-15):
        assert baw_price(S_, K, D_, F, 0.25, flag) == pytest.approx(at_one, rel=1e-9)
    if flag == "p" and carry == 1.0:  # zero rate, zero carry: a put is never exercised early
        assert at_one == pytest.approx(black_price(K, 1.0, F, 0.25, False), rel=1e-13)
    if at_one > max(S_ - K, K - S_, 0.0) + 1e-6:
        assert baw_implied_vol(at_one, S_, K, 1.0, F, flag) == pytest.approx(0.25, abs=1e-9)


def test_zero_rate_put_with_the_forward_above_spot_is_not_european():
    # was the European 99.99, below exercise
    assert baw_price(100, 200, 1.0, 100.01, 0.1, "p") == 100.0
    assert baw_price(100, 200, 1 - 1e-12, 100.01, 0.1, "p") == 100.0


def test_zero_rate_call_keeps_its_premium():
    assert baw_price(100, 100, 1.0, 100 * math.exp(-0.025), 0.25, "c") == pytest.approx(
        8.85265680, abs=1e-8)


# Inputs at the ends of their ranges give the value the formulas tend to, not NaN.
@pytest.mark.parametrize("S_, K_, D_, F, sigma, flag, expected", [
    (100.0, math.inf, 0.98, 99.0, 0.2, "p", math.inf),
    (100.0, math.inf, 0.98, 99.0, 0.2, "c", 0.0),
    (0.0, 100.0, 0.98, 0.0, 0.2, "c", 0.0),
    (0.0, 100.0, 0.98, 0.0, 0.2, "p", 100.0),
    (math.inf, 100.0, 0.98, math.inf, 0.2, "p", 0.0),
    (100.0, 100.0, 0.98, 99.0, 1e-170, "c", "sigma=1e-150"),
    (100.0, 100.0, 0.98, 99.0, 5e-324, "p", "sigma=1e-150"),
    (90.0, 100.0, 0.98, 89.0, 1e-200, "p", "sigma=1e-150"),
    (100.0, 100.0, 0.98, 99.0, math.inf, "c", "sigma=1e300"),
    (100.0, 100.0, 0.98, 99.0, math.inf, "p", "sigma=1e300"),
    # total deviations past some 1e5, where the premium's factors lose every digit: the most
    # a put can be worth, its strike (it was 3.7e17 at 8.64e13)
    (100.0, 110.0, 0.99, 101.0, 1.6e5, "p", 110.0),
    (100.0, 110.0, 0.99, 101.0, 8.64e13, "p", 110.0),
    (2.0**-10, 2.0**-10, 0.5, 2.0**-10, 1e4, "p", "sigma=1e4 K=1"),  # so at any scale
    # no meaning: NaN stays
    (100.0, math.inf, 0.0, 99.0, 0.2, "p", math.nan),
    (math.nan, math.inf, 0.98, 99.0, 0.2, "c", math.nan),
    (0.0, 100.0, 0.98, math.nan, 0.2, "c", math.nan),
])
def test_limits_of_the_formulas(S_, K_, D_, F, sigma, flag, expected):
    if isinstance(expected, str):
        given = dict(item.split("=") for item in expected.split())
        scale = float(given.get("K", K_)) / K_
        expected = baw_price(S_ * scale, K_ * scale, D_, F * scale, float(given["sigma"]),
                             flag) / scale
        assert math.isfinite(expected)
    got = baw_price(S_, K_, D_, F, sigma, flag)
    assert got == expected or (math.isnan(expected) and math.isnan(got))

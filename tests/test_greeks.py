"""Prices and sensitivities over arrays: their signs and bounds, smooth pasting at the exercise
boundary, and the broadcasting layer against the scalar functions (the greeks against
differences of the reference are in test_reference.py)."""
import itertools
import math

import numpy as np
import pytest

import kelvo
from kelvo import baw_implied_vol, baw_price, vectorized_baw_greeks, vectorized_baw_price
from helpers import quotes


def greeks_of(S, K, D, F, sigma, flag):
    g = vectorized_baw_greeks([S], [K], [D], [F], [sigma], [flag])
    return {name: float(values[0]) for name, values in g.items()}


def test_signs_and_bounds():
    # Where the carry outgrows the discount (D F / S > 1) a call's delta D (F/S) N(d1) rightly
    # exceeds 1, so the bounds are checked where D F / S <= 1.
    rng = np.random.default_rng(3)
    n = 20_000
    S = rng.uniform(1, 300, n)
    K = S * np.exp(rng.normal(0, 0.4, n))
    D = np.where(rng.random(n) < 0.1, 1.0, rng.uniform(0.5, 1.0, n))
    F = S * np.minimum(np.exp(rng.normal(0, 0.05, n)), 1 / D)
    sigma = np.exp(rng.uniform(np.log(1e-4), np.log(5), n))
    flags = rng.choice(["c", "p"], n).tolist()
    g = vectorized_baw_greeks(S, K, D, F, sigma, flags)
    call = np.array(flags) == "c"
    finite = np.isfinite(g["delta"]) & np.isfinite(g["gamma"]) & np.isfinite(g["vega"])
    assert finite.mean() > 0.99
    delta, gamma, vega = (g[k][finite] for k in ("delta", "gamma", "vega"))
    c = call[finite]
    tiny = 1e-12
    assert np.all(delta[c] >= -tiny) and np.all(delta[c] <= 1 + tiny)
    assert np.all(delta[~c] >= -1 - tiny) and np.all(delta[~c] <= tiny)
    assert np.all(gamma >= -tiny * (1 + np.abs(gamma))) and np.all(vega >= -tiny)


@pytest.mark.parametrize("flag, S, D, carry, sigma", [
    ("c", 100.0, math.exp(-0.02), math.exp(-0.01), 0.1),
    ("c", 100.0, 1.0, math.exp(-0.03), 0.3),
    ("p", 100.0, math.exp(-0.05), 1.0, 0.2),
    ("p", 100.0, math.exp(-0.02), math.exp(-0.01), 0.1),
])
def test_delta_is_continuous_at_the_exercise_boundary(flag, S, D, carry, sigma):
    K = 100.0
    reference = pytest.importorskip("reference", reason="the reference needs mpmath")
    S_star = float(reference.american(S, K, D, S * carry, sigma, flag == "c")[1])
    inside = 1 - 1e-8 if flag == "c" else 1 + 1e-8
    spot = S_star * inside  # just on the premium side
    g = greeks_of(spot, K, D, spot * carry, sigma, flag)
    assert g["delta"] == pytest.approx(1.0 if flag == "c" else -1.0, abs=1e-6)


@pytest.fixture(scope="module")
def mixed():
    prices, S, K, D, F, flags = quotes(500, seed=4)
    sigma = np.random.default_rng(4).uniform(0.01, 1.5, 500)
    return prices, S, K, D, F, sigma, flags


def test_array_functions_equal_the_scalar_ones_bit_for_bit(mixed):
    prices, S, K, D, F, sigma, flags = mixed
    expected = np.array([baw_price(*a) for a in zip(S, K, D, F, sigma, flags)])
    assert vectorized_baw_price(S, K, D, F, sigma, flags).tobytes() == expected.tobytes()
    assert vectorized_baw_greeks(S, K, D, F, sigma, flags)["price"].tobytes() == expected.tobytes()


def test_inputs_without_meaning_agree_on_every_path():
    # NaN, zeros and infinities in every input: each path gives the same answer, and a NaN
    # volatility NaN
    nan, inf = math.nan, math.inf
    S, K, D, F, sigma, flags = (np.array(v) for v in zip(*itertools.product(
        [nan, 0.0, 100.0, inf], [nan, 150.0, inf], [nan, 0.0, 0.99, 1.01], [nan, 100.0, inf],
        [nan, 0.0, 0.2, inf], ["c", "p"])))
    scalar = np.array([baw_price(*a) for a in zip(S, K, D, F, sigma, flags)])
    assert np.array_equal(vectorized_baw_price(S, K, D, F, sigma, flags), scalar, equal_nan=True)
    assert np.array_equal(kelvo.greeks(S, K, D, F, sigma, flags)["price"], scalar, equal_nan=True)
    assert np.isnan(scalar[np.isnan(sigma)]).all()
    vols = np.array([baw_implied_vol(5.0, *a) for a in zip(S, K, D, F, flags)])
    assert np.array_equal(kelvo.implied_vol(5.0, S, K, D, F, flags), vols, equal_nan=True)


pd = pytest.importorskip("pandas")


@pytest.mark.parametrize("args, kwargs, kind, shape", [
    ((100, 100, 0.99, 101, 0.2, "c"), {}, float, ()),
    ((100.0, [90.0, 100.0, 110.0], 0.99, 101.0, 0.2, "p"), {}, np.ndarray, (3,)),
    ((np.full((2, 1), 100.0), np.array([90.0, 100.0, 110.0]), 0.99, 101.0, 0.2),
     {"is_call": np.array([True, False, True])}, np.ndarray, (2, 3)),
    ((100.0, pd.Series([90.0, 110.0], index=["a", "b"]), 0.99, 101.0, 0.2, ["c", "p"]), {},
     pd.Series, (2,)),
    ((100.0, np.empty(0), 0.99, 101.0, 0.2, "c"), {}, np.ndarray, (0,)),
    ((np.float64(100.0), 100.0, 0.99, 101.0, 0.2, np.array("c")), {}, float, ()),
    # flags in the spellings tables use, read as kelvo.chain reads them
    ((100.0, [90.0, 100.0, 110.0], 0.99, 101.0, 0.2, ["Call", " PUT ", "C"]), {}, np.ndarray,
     (3,)),
    ((100.0, 100.0, 0.99, 101.0, 0.2, "Puts"), {}, float, ()),
    ((100.0, 110.0, 0.99, 101.0, 0.2, None), {}, float, ()),  # a missing flag: a put
    ((100.0, [90.0, 100.0, 110.0], 0.99, 101.0, 0.2, np.array(["c", "P", "C"])), {}, np.ndarray,
     (3,)),
    ((100.0, [90.0, 100.0, 110.0], 0.99, 101.0, 0.2, np.array([b"call", b" P ", b"C"])), {},
     np.ndarray, (3,)),
    ((100.0, [90.0, 100.0, 110.0], 0.99, 101.0, 0.2,
      np.array([b"call", "P", None], dtype=object)), {}, np.ndarray, (3,)),
    # pandas' missing value, as a string column holds it: a put
    ((100.0, [90.0, 110.0], 0.99, 101.0, 0.2, pd.array(["c", None], dtype="string")), {},
     np.ndarray, (2,)),
])
def test_broadcasting_layer(args, kwargs, kind, shape):
    got = kelvo.price(*args, **kwargs)
    assert isinstance(got, kind) and np.shape(got) == shape
    flag_src = kwargs["is_call"] if kwargs else args[5]
    expanded = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in args[:5]),
                                   np.asarray(flag_src, dtype=object))
    flat = [a.ravel() for a in expanded]
    text = lambda f: f.decode() if isinstance(f, bytes) else str(f)  # noqa: E731
    flags = [("c" if f is True or text(f).strip().lower() in ("c", "call") else "p")
             for f in flat[5]]
    expected = np.array([baw_price(*a, f) for *a, f in zip(*flat[:5], flags)]).reshape(shape)
    assert np.asarray(got).tobytes() == expected.tobytes()
    g = kelvo.greeks(*args, **kwargs)
    prices = g["price"]
    assert np.asarray(prices).tobytes() == expected.tobytes()
    if kind is pd.Series:
        assert list(got.index) == list(args[1].index) and list(g.columns) == list(kelvo.broadcast.GREEKS)
    # the inverse, broadcast the same way
    iv_args = (got,) + args[:4] + args[5:]
    ivs = kelvo.implied_vol(*iv_args, **kwargs)
    flat_prices = np.asarray(got, dtype=float).ravel()
    expected_iv = np.array([baw_implied_vol(p, *a, f) for p, *a, f in
                            zip(flat_prices, *flat[:4], flags)]).reshape(shape)
    assert np.asarray(ivs).tobytes() == expected_iv.tobytes()


@pytest.mark.parametrize("K, given", [
    (pd.Series([90.0, None], dtype="Float64"), {"flag": "c"}),
    (pd.Series([90, None], dtype="Int64"), {"flag": "c"}),
    (pd.Series([90.0, pd.NA], dtype=object), {"flag": "c"}),
    ([90.0, pd.NA], {"flag": "c"}),
    (pd.Series([90.0, 110.0]), {"is_call": pd.Series([True, None], dtype="boolean")}),
    (pd.Series([90.0, 110.0]), {"is_call": pd.Series([True, None], dtype=object)}),
])
def test_missing_values_of_pandas_columns(K, given):
    # a missing number is NaN, a missing is_call a put
    got = kelvo.price(100.0, K, 0.99, 101.0, 0.2, **given)
    assert got[0] == baw_price(100.0, 90.0, 0.99, 101.0, 0.2, "c")
    assert (math.isnan(got[1]) if "flag" in given
            else got[1] == baw_price(100.0, 110.0, 0.99, 101.0, 0.2, "p"))


def test_masked_elements_are_missing():
    # a number NaN, a flag a put (as None is)
    K = np.ma.array([90.0, 100.0], mask=[False, True])
    assert np.isnan(kelvo.price(100.0, K, 0.99, 101.0, 0.2, "c")).tolist() == [False, True]
    put = kelvo.price(100.0, 110.0, 0.99, 101.0, 0.2, "p")
    for given in ({"flag": np.ma.array(["c", "c"], mask=[False, True])},
                  {"is_call": np.ma.array([True, True], mask=[False, True])}):
        assert kelvo.price(100.0, 110.0, 0.99, 101.0, 0.2, **given)[1] == put


@pytest.mark.parametrize("call, message", [
    (lambda: kelvo.price(100.0, np.ones(3), np.ones(4), 101.0, 0.2, "c"),
     r"do not broadcast to one shape: S \(\), K \(3,\), D \(4,\)"),
    (lambda: kelvo.price(100.0, 100.0, 0.99, 101.0, 0.2), "exactly one of flag and is_call"),
    (lambda: kelvo.price(100.0, pd.Series([1.0, 2.0]), 0.99, pd.Series([1.0, 2.0], index=[5, 6]),
                         0.2, "c"), "another index"),
    (lambda: kelvo.price(100.0, [90.0, 100.0], 0.99, 101.0, 0.2, ["c", "straddle"]),
     "'straddle' is not an option type"),
    (lambda: kelvo.implied_vol(5.0, 100.0, 100.0, 0.99, 101.0, "x"), "'x' is not an option type"),
    (lambda: kelvo.greeks(100.0, 100.0, 0.99, 101.0, 0.2, "c", style="asian"), "style must be"),
    (lambda: kelvo.greeks(100.0, 100.0, 0.99, 101.0, 0.2, "c",
                          T=pd.Series(pd.to_timedelta([30], unit="D"))),
     "T must be numbers, not timedelta64"),
    (lambda: kelvo.price(100.0, [np.datetime64("2020-01-01")], 0.99, 101.0, 0.2, "c"),
     "K must be numbers, not datetime64"),
    (lambda: kelvo.price(100.0, pd.Series([90.0, 110.0]), 0.99, np.full((3, 1), 101.0), 0.2,
                         "c"), r"to the Series' index: S \(\), K \(2,\), D \(\), F \(3, 1\)"),
])
def test_broadcasting_errors_name_the_arguments(call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call()


@pytest.mark.parametrize("flag", ["c", "p"])
def test_european_style_is_blacks_price_and_its_inverse(flag):
    from helpers import black_price

    S, D, F = 100.0, 0.97, 103.0
    K = np.array([60.0, 90.0, 100.0, 115.0, 160.0])
    sigma = np.array([0.6, 0.2, 0.35, 0.8, 2.0])
    prices = kelvo.price(S, K, D, F, sigma, flag, style="european")
    expected = [black_price(k, D, F, s, flag == "c") for k, s in zip(K, sigma)]
    assert np.allclose(prices, expected, rtol=1e-13, atol=1e-15)
    assert np.allclose(kelvo.implied_vol(prices, S, K, D, F, flag, style="european"), sigma,
                       rtol=0, atol=1e-9)
    g = kelvo.greeks(S, K, D, F, sigma, flag, style="european")
    h = 1e-4
    bumped = [kelvo.price(S + e, K, D, F * (S + e) / S, sigma, flag, style="european")
              for e in (h, -h)]
    assert np.allclose(g["delta"], (bumped[0] - bumped[1]) / (2 * h), rtol=1e-6, atol=1e-9)
    vegas = [kelvo.price(S, K, D, F, sigma + e, flag, style="european") for e in (h, -h)]
    assert np.allclose(g["vega"], (vegas[0] - vegas[1]) / (2 * h), rtol=1e-6, atol=1e-8)
    # at or below the zero-volatility value: no volatility; above the ceiling: none either
    floor = D * max((F - 100.0) if flag == "c" else (100.0 - F), 0.0)
    assert kelvo.implied_vol(floor, S, 100.0, D, F, flag, style="european") == 0.0
    assert np.isnan(kelvo.implied_vol(D * (F if flag == "c" else 100.0) * 1.01, S, 100.0, D, F,
                                      flag, style="european"))


@pytest.mark.parametrize("style, model, tolerance", [
    ("american", "baw", 1e-6), ("european", "baw", 1e-6),
    ("american", "alo", 1e-5),  # its dF and dD are differences themselves, at 1e-4 steps
])
@pytest.mark.parametrize("S, K, r, q, T, vol, flag", [
    (100.0, 95.0, 0.05, 0.01, 0.5, 0.25, "c"), (100.0, 110.0, 0.05, 0.01, 0.5, 0.25, "p"),
    (100.0, 100.0, 0.08, 0.03, 2.0, 0.4, "c"), (100.0, 120.0, 0.03, 0.0, 1.5, 0.2, "p"),
    (50.0, 40.0, 0.02, 0.04, 0.1, 0.6, "p"), (50.0, 60.0, 0.06, -0.01, 3.0, 0.3, "c"),
])
def test_theta_rho_and_the_forward_form_partials(style, model, tolerance, S, K, r, q, T, vol,
                                                 flag):
    from helpers import richardson

    def value(T=T, r=r, F=None, D=None):
        D = math.exp(-r * T) if D is None else D
        F = S * math.exp((r - q) * T) if F is None else F
        return kelvo.price(S, K, D, F, vol * math.sqrt(T), flag, style=style, model=model)

    D, F = math.exp(-r * T), S * math.exp((r - q) * T)
    g = kelvo.greeks(S, K, D, F, vol * math.sqrt(T), flag, style=style, model=model, T=T)
    step = 1e-5 if model == "baw" else 1e-3  # the accurate engine's price is good to 1e-10
    expected = {
        "dF": richardson(lambda f: value(F=f), F, step * F, 1),
        "dD": richardson(lambda d: value(D=d), D, step * D, 1) if D < 0.9999 else None,
        "theta": -richardson(lambda t: value(T=t), T, step * T, 1) / 365,
        "rho": richardson(lambda rate: value(r=rate), r, step, 1) / 100,
    }
    for name, want in expected.items():
        if want is not None:
            assert g[name] == pytest.approx(want, rel=tolerance, abs=1e-9), name

"""Kernel functions that need no root finder, compiled from the headers into a probe."""
import math

import numpy as np
import pytest

from helpers import black_price

GOLDEN = 0.3819660112501051


@pytest.mark.parametrize("z, expected, rel", [
    (0.0, 0.5, 0.0),
    (math.inf, 1.0, 0.0),
    (-10.0, 7.619853024160527e-24, 1e-15),     # expansion side of the switch
    (-20.0, 2.7536241186062336e-89, 1e-14),
    (-38.0, 2.885428360068784e-316, 1e-7),     # subnormal, density nearly gone
    (-39.0, 0.0, 0.0),
    (-67108864.0, 0.0, 0.0),                   # still runs the expansion
    (-math.inf, 0.0, 0.0),
    (3.0, 0.9986501019683699, 1e-15),
])
def test_norm_cdf_values(kernel_probe, z, expected, rel):
    [[got]] = kernel_probe.run(f"norm_cdf {z!r}")
    assert got == pytest.approx(expected, rel=rel, abs=0)


def test_norm_cdf_nan_and_tail_switch(kernel_probe):
    (nan,), (at,), (above,) = kernel_probe.run(
        "norm_cdf nan", "norm_cdf -10.0", f"norm_cdf {math.nextafter(-10.0, 0)!r}")
    assert math.isnan(nan)
    # the expansion and erfc agree where they meet
    assert above == pytest.approx(at, rel=1e-13)


@pytest.mark.parametrize("q, expected", [(1, 10.3603138), (-1, 5.6103138), (0, 5.6103138),
                                         (2, 5.6103138)])
def test_bsm_figures(kernel_probe, q, expected):
    [[got]] = kernel_probe.run(f"bsm 100 0.95 105 0.2 {q}")
    assert got == pytest.approx(expected, abs=1e-7)


@pytest.mark.parametrize("K, D, F, sigma", [
    (100, 0.95, 105, 0.2), (80, 0.5, 120, 1.5), (150, 1.0, 90, 0.05), (100, 0.99, 100, 3.0)])
def test_bsm_parity_and_reference(kernel_probe, K, D, F, sigma):
    (call,), (put,) = kernel_probe.run(f"bsm {K} {D} {F} {sigma} 1", f"bsm {K} {D} {F} {sigma} -1")
    assert call - put == pytest.approx(D * (F - K), abs=1e-12 * F)
    assert call == pytest.approx(black_price(K, D, F, sigma, True), rel=1e-12, abs=1e-13)


@pytest.mark.parametrize("sigma", [0.0, -1.0])
@pytest.mark.parametrize("F, call, put", [(110, 9.5, 0.0), (90, 0.0, 9.5), ("nan", 0.0, 0.0)])
def test_bsm_without_volatility_is_discounted_forward_intrinsic(kernel_probe, sigma, F, call, put):
    (c,), (p,) = kernel_probe.run(f"bsm 100 0.95 {F} {sigma} 1", f"bsm 100 0.95 {F} {sigma} -1")
    assert (c, p) == pytest.approx((call, put))


@pytest.mark.parametrize("shape, xa, xb, check, max_calls", [
    ("quadratic", 97, 103, lambda x: abs(x - 101.3) < 1e-6, 12),
    ("constant", 97, 103, lambda x: 103 - 1e-5 < x < 103, 35),
    ("linear", 97, 103, lambda x: 97 < x < 97 + 1e-5, 40),
    ("negated", 97, 103, lambda x: 103 - 1e-5 < x < 103, 40),
    ("nan", 97, 103, lambda x: x == 97 + GOLDEN * 6, 35),
    ("quadratic", 100, 100, lambda x: x == 100, 1),
    ("quadratic", 103, 97, lambda x: x == 103 + GOLDEN * (97 - 103), 1),
])
def test_fminbound_cases(kernel_probe, shape, xa, xb, check, max_calls):
    [[x, fx, calls]] = kernel_probe.run(f"fminbound {shape} {xa} {xb}")
    assert check(x), x
    assert 1 <= calls <= max_calls
    if shape == "nan":
        assert calls >= 20 and math.isnan(fx)


def test_fminbound_nan_interval_runs_to_the_limit(kernel_probe):
    [[x, _, calls]] = kernel_probe.run("fminbound quadratic nan 103")
    assert math.isnan(x) and calls == 101


# The forward search around F_init = 100: a minimum at an edge of its band of 3 % doubles that
# side (6, 12, 24 %) until it lies inside; still at an edge after that, NaN.
@pytest.mark.parametrize("shape, expected, min_calls", [
    ("quadratic", 101.3, 1),     # inside: one search, as before
    ("beyond", 105.0, 30),       # found in the band of 6 % above
    ("below", 90.0, 60),         # 6 % below, then 12 %
    ("far", math.nan, 100),      # past 24 %
    ("linear", math.nan, 100),
])
def test_forward_band_widens_from_an_edge(kernel_probe, shape, expected, min_calls):
    [[x, _, calls]] = kernel_probe.run(f"forward {shape} 100")
    assert x == pytest.approx(expected, abs=1e-5, nan_ok=True) and calls >= min_calls


def erfc_intervals():
    """The ends of the polynomial pieces and of the branches, and a neighbour either side."""
    ends = ([27.3] + [2.0 ** e * (1 + q / 8) for e in range(2, 5) for q in range(8)]
            + [i / 32 for i in range(1, 229)])
    return [y for x in ends for y in (math.nextafter(x, 0), x, math.nextafter(x, 40))]


@pytest.mark.parametrize("x, expected", [
    (math.nan, math.nan), (math.inf, 0.0), (-math.inf, 2.0), (0.0, 1.0), (-0.0, 1.0),
    (5e-324, 1.0), (-1e-300, 1.0), (27.3, 0.0), (1e300, 0.0), (-30.0, 2.0),
])
def test_erfc_special_values(kernel_probe, x, expected):
    [[got]] = kernel_probe.run(f"erfc {x!r}")
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_erfc_within_two_ulp(kernel_probe):
    mp = pytest.importorskip("mpmath")
    rng = np.random.default_rng(11)
    xs = np.concatenate([rng.uniform(-7.5, 7.1, 3000), rng.uniform(7.1, 27.3, 300),
                         -np.abs(rng.normal(0, 1, 300)), erfc_intervals()]).tolist()
    got = [g for [g] in kernel_probe.run(*(f"erfc {x!r}" for x in xs))]
    with mp.workprec(80):
        want = [mp.erfc(mp.mpf(x)) for x in xs]
    ulps = [float(abs(mp.mpf(g) - w)) / math.ulp(float(w)) for g, w in zip(got, want)]
    worst = int(np.argmax(ulps))
    assert ulps[worst] <= 2.0, (xs[worst], got[worst], want[worst])


INF, NAN = math.inf, math.nan


@pytest.mark.parametrize("request_, expected", [
    ("exp nan", NAN), ("exp inf", INF), ("exp -inf", 0.0), ("exp 0", 1.0), ("exp 709.79", INF),
    ("exp -746", 0.0), ("exp -745.1", 5e-324), ("exp 1", math.e),
    ("log 1", 0.0), ("log 0", -INF), ("log -0.0", -INF), ("log inf", INF), ("log nan", NAN),
    ("log -1", NAN), ("log 5e-324", -744.4400719213812), ("log 2", math.log(2)),
    ("pow 0 -3", INF), ("pow -0.0 -3", -INF), ("pow -0.0 3", -0.0), ("pow -0.0 0.5", 0.0),
    ("pow -8 3", -512.0), ("pow -8 0.5", NAN), ("pow -inf 0.5", INF), ("pow -inf -3", -0.0),
    ("pow 1 nan", 1.0), ("pow nan 0", 1.0), ("pow -1 inf", 1.0), ("pow 0.5 inf", 0.0),
    ("pow 0.5 -inf", INF), ("pow 2 1e10", INF), ("pow 2 -1e10", 0.0), ("pow 4 0.5", 2.0),
])
def test_exp_log_pow_special_values(kernel_probe, request_, expected):
    """C's special values, signed zeros included."""
    [[got]] = kernel_probe.run(request_)
    assert (got == expected and math.copysign(1, got) == math.copysign(1, expected)) or (
        math.isnan(got) and math.isnan(expected))


def test_exp_log_pow_within_one_ulp(kernel_probe):
    mp = pytest.importorskip("mpmath")
    rng = np.random.default_rng(5)
    exp_x = np.concatenate([rng.uniform(-745.1, 709.7, 1500), rng.uniform(-1, 1, 500)])
    log_x = np.concatenate([10.0 ** rng.uniform(-323, 308, 1500), rng.uniform(0.99, 1.01, 500)])
    pow_x = rng.uniform(0.0, 4.0, 1500)
    pow_y = rng.uniform(-700, 700, 1500) / np.maximum(np.abs(np.log(pow_x)), 1e-3)
    requests = ([f"exp {x!r}" for x in exp_x.tolist()] + [f"log {x!r}" for x in log_x.tolist()]
                + [f"pow {x!r} {y!r}" for x, y in zip(pow_x.tolist(), pow_y.tolist())])
    got = [g for [g] in kernel_probe.run(*requests)]
    with mp.workprec(200):
        want = ([mp.exp(x) for x in exp_x.tolist()] + [mp.log(x) for x in log_x.tolist()]
                + [mp.power(x, y) for x, y in zip(pow_x.tolist(), pow_y.tolist())])
        ulps = [float(abs(mp.mpf(g) - w) / math.ulp(float(w))) for g, w in zip(got, want)]
    worst = int(np.argmax(ulps))
    assert ulps[worst] <= 1.0, (requests[worst], got[worst])

"""The Barone-Adesi-Whaley (1987) American price written again from the paper, in mpmath at 50
digits on the exact values of the double inputs, with its own root searches to 1e-30: shares no
branch, tolerance or floating-point expression with the kernel. Its only borrowings are kelvo's
documented conventions (no volatility: spot intrinsic; a negative rate: no premium; the
critical spot's fixed ends), applied where the paper's formula is decided.

Forward form: c = F / S is exp(b T), D is exp(-r T), s = sigma is the total standard deviation,
so the paper's M = 2 r / sigma^2 is -2 log(D) / s^2, N = 2 b / sigma^2 is 2 log(c) / s^2 and
K(T) = 1 - exp(-r T) is 1 - D.

Also the grid that visits every branch, shared by the tests (a sample) and
bench/reference_grid.py (all of it)."""
import itertools
import math

import mpmath as mp

DPS = 50
ROOT_RTOL = mp.mpf("1e-30")
OFFSET = mp.mpf(1e-10)        # the critical spot's fixed ends: K + 1e-10, 1e-10, K - 1e-10
PROBES = 20                    # a call's boundary past 2^20 K is taken at 2^21 K


def _black(K, D, F, s, call):
    d1 = mp.log(F / K) / s + s / 2
    d2 = d1 - s
    if call:
        return D * (F * mp.ncdf(d1) - K * mp.ncdf(d2))
    return D * (K * mp.ncdf(-d2) - F * mp.ncdf(-d1))


def _exponent(D, c, s, call):
    """q2 (call) or q1 (put): the roots of q^2 + (N - 1) q - M / K(T) = 0."""
    N = 2 * mp.log(c) / s**2
    # M / K(T) = 2 r / (sigma^2 (1 - exp(-r T))) tends to 2 / s^2 as r -> 0
    M_over_K = 2 / s**2 if D == 1 else -2 * mp.log(D) / (s**2 * (1 - D))
    root = mp.sqrt((N - 1) ** 2 + 4 * M_over_K)
    return (-(N - 1) + root) / 2 if call else (-(N - 1) - root) / 2


def _illinois(g, a, ga, b, gb):
    """A root of g between a and b (g(a), g(b) of opposite signs) to ROOT_RTOL: regula falsi
    with the Illinois halving of the end kept, and a bisection every fourth step."""
    for step in itertools.count():
        if abs(b - a) <= ROOT_RTOL * max(abs(a), abs(b), 1) or step == 2000:
            return (a + b) / 2
        x = (a + b) / 2 if step % 4 == 3 else b - gb * (b - a) / (gb - ga)
        gx = g(x)
        if gx == 0:
            return x
        if (gx > 0) == (gb > 0):
            ga /= 2  # the end kept stays; its weight halves
        else:
            a, ga = b, gb
        b, gb = x, gx


def critical_spot(K, D, c, s, q, call):
    """The critical spot S* of the paper's equations, searched in log S, with kelvo's fixed ends
    where its root lies beyond them."""
    sign = 1 if call else -1

    def h(x):  # 1 - exp((b - r) T) N(+-d1(x))
        return 1 - D * c * mp.ncdf(sign * (mp.log(c * x / K) / s + s / 2))

    if call:  # S* - K = c(S*) + (1 - e^((b-r)T) N(d1)) S* / q2
        g = lambda u: _black(K, D, c * mp.exp(u), s, True) + h(mp.exp(u)) * mp.exp(u) / q \
            - (mp.exp(u) - K)
    else:     # K - S* = p(S*) - (1 - e^((b-r)T) N(-d1)) S* / q1
        g = lambda u: _black(K, D, c * mp.exp(u), s, False) - h(mp.exp(u)) * mp.exp(u) / q \
            - (K - mp.exp(u))
    if call:
        lo = mp.log(K + OFFSET)
        g_lo = g(lo)
        if g_lo <= 0:
            return K + OFFSET
        for k in range(1, PROBES + 1):
            hi = mp.log(K * 2**k)
            g_hi = g(hi)
            if g_hi < 0:
                return mp.exp(_illinois(g, lo, g_lo, hi, g_hi))
            lo, g_lo = hi, g_hi
        return K * 2 ** (PROBES + 1)
    hi = mp.log(K - OFFSET)
    g_hi = g(hi)
    if g_hi <= 0:
        return K - OFFSET
    lo = mp.log(OFFSET)
    g_lo = g(lo)
    if g_lo >= 0:
        return OFFSET
    return mp.exp(_illinois(g, lo, g_lo, hi, g_hi))


def american(S, K, D, F, sigma, call, S_star=None):
    """(price, critical spot or None) as mpf; S_star, where given, is used instead of solving
    (it does not depend on S)."""
    with mp.workdps(DPS):
        S, K, D, F, s = (mp.mpf(x) for x in (S, K, D, F, sigma))
        intrinsic = max(S - K, 0) if call else max(K - S, 0)
        if s <= 0:
            return intrinsic, None
        european = _black(K, D, F, s, call)
        c = F / S
        # no premium with a negative rate, or for a call whose carry is at least the rate
        if D > 1 or (call and D * c >= 1):
            return max(european, intrinsic), None
        q = _exponent(D, c, s, call)
        if (q <= 0) if call else (q >= 0):
            return max(european, intrinsic), None
        if S_star is None:
            S_star = critical_spot(K, D, c, s, q, call)
        if (S >= S_star) if call else (S <= S_star):
            return intrinsic, S_star
        sign = 1 if call else -1
        d1 = mp.log(c * S_star / K) / s + s / 2
        A = sign * (S_star / q) * (1 - D * c * mp.ncdf(sign * d1))
        return european + A * (S / S_star) ** q, S_star


def price(S, K, D, F, sigma, call):
    return american(S, K, D, F, sigma, call)[0]


def greeks(S, K, D, F, sigma, call):
    """delta, gamma (D and F / S held) and vega by central differences of the reference at
    steps far inside its precision, the critical spot held for the spot's differences."""
    with mp.workdps(DPS):
        c = mp.mpf(F) / mp.mpf(S)
        p0, S_star = american(S, K, D, F, sigma, call)
        by_spot = lambda x: american(x, K, D, c * x, sigma, call, S_star)[0]
        h = mp.mpf(S) * mp.mpf("1e-15")
        delta = (by_spot(S + h) - by_spot(S - h)) / (2 * h)
        h = mp.mpf(S) * mp.mpf("1e-10")
        gamma = (by_spot(S + h) - 2 * p0 + by_spot(S - h)) / h**2
        h = mp.mpf(sigma) * mp.mpf("1e-15")
        vega = (price(S, K, D, F, mp.mpf(sigma) + h, call)
                - price(S, K, D, F, mp.mpf(sigma) - h, call)) / (2 * h)
        return p0, delta, gamma, vega, S_star


# ---------------------------------------------------------------- the grid

S0 = 100.0
DISCOUNTS = [1.0, math.nextafter(1.0, 0.0), 1 - 1e-10, math.nextafter(1.0, 2.0), 0.9]
CARRIES = [0.0] + [sign * x for x in (1e-9, 1e-7, 1e-5, 1e-4, 1e-3, 5e-2) for sign in (1, -1)]
SIGMAS = [1e-8, 1e-6, 1e-4, 1e-3, 1e-2, 0.05, 0.2, 0.5, 1.0, 2.0, 4.0, 8.0]
MONEYNESS = [0.01, 0.1, 0.5, 0.8, 0.95, 1.0, 1.05, 1.25, 2.0, 10.0, 100.0]


def grid():
    """(S, K, D, F, sigma, flag) over every combination: D exactly 1, just below and above it
    and an ordinary rate; F = S and F / S - 1 from +-1e-9 to +-5e-2; sigma from 1e-8 to the
    largest the implied-volatility search prices; K / S from 0.01 to 100; calls and puts."""
    for D, carry, sigma, m, flag in itertools.product(DISCOUNTS, CARRIES, SIGMAS, MONEYNESS, "cp"):
        yield S0, S0 * m, D, S0 * (1 + carry), sigma, flag


def sample(n, seed):
    """n points of the grid, the same on every run, each axis' values taken in turn from
    shuffled rounds (a Latin hypercube), so that every value of every axis appears about equally
    often in any sample."""
    import random

    rng = random.Random(seed)
    columns = []
    for axis in (DISCOUNTS, CARRIES, SIGMAS, MONEYNESS, "cp"):
        column = []
        while len(column) < n:
            column += rng.sample(list(axis), len(axis))
        columns.append(column[:n])
    return [(S0, S0 * m, D, S0 * (1 + carry), sigma, flag)
            for D, carry, sigma, m, flag in zip(*columns)]


# ---------------------------------------------------------------- what the kernel is held to

EPS = 2.0**-52
CRITICAL_TOL = 2e-10   # the kernel's critical spot: brentq to 1e-10 absolute and relative, twice


def price_allowance(S, K, D, F, sigma, call, ref, S_star):
    """How far a price may lie from the reference ref: 1e-12 of it, the rounding of the inputs'
    scale, and what a critical spot within the kernel's tolerance of the exact one moves the
    price by (the premium's coefficient is not stationary in the spot, and with |q| ~ 1 /
    sigma^2 at small sigma the price is as sensitive to it as q is large)."""
    with mp.workdps(DPS):
        allowance = 1e-12 * abs(ref) + 4 * EPS * max(S, K, F)
        fixed_end = S_star is None or S_star in (K + OFFSET, K - OFFSET, OFFSET,
                                                 K * 2 ** (PROBES + 1))
        if not fixed_end:
            # the price over that interval of critical spots (S itself included, where the
            # premium peaks)
            width = CRITICAL_TOL * (1 + S_star)
            spots = [S_star + width * k / 4 for k in range(-4, 5) if S_star + width * k / 4 > 0]
            if abs(S_star - S) <= width:
                spots.append(S * (1 + mp.mpf("1e-30") * (1 if call else -1)))
            for spot in spots:
                moved = american(S, K, D, F, sigma, call, spot)[0]
                allowance = max(allowance, 1e-12 * abs(ref) + abs(moved - ref))
        return allowance


def implied_vol_fault(point, quote, iv, baw_price, sigma=None):
    """None where iv is what kelvo promises for quote (made by volatility sigma, where given),
    else what is wrong: 0.0 for a quote at or below spot intrinsic value plus 1e-10, or above it
    at the zero-volatility value D max(F - K, 0) (D max(K - F, 0) for a put) to within 1e-10 or
    4 ulps below it; NaN only for a quote that no volatility from 1e-8 to 8 reproduces; otherwise
    a volatility whose price is the quote to 1e-9, by the reference and by kelvo."""
    S, K, D, F, _, flag = point
    call = flag == "c"
    zero_vol = (F - K if call else K - F) * D
    no_volatility = (quote <= (max(S - K, 0.0) if call else max(K - S, 0.0)) + 1e-10
                     or zero_vol - (1e-10 + 4 * EPS * zero_vol) <= quote <= zero_vol)
    if no_volatility or iv == 0.0:
        return None if no_volatility and iv == 0.0 else f"{iv!r} for the quote {quote!r}"
    if math.isnan(iv):
        above_cap = quote > baw_price(S, K, D, F, 8.0, flag)
        below_lowest = quote < baw_price(S, K, D, F, 1e-8, flag)
        # a quote made at a volatility above the search's lowest lies within its range
        if above_cap or (below_lowest and (sigma is None or sigma <= 1e-8)):
            return None
        return "NaN for a quote that a volatility up to 8 reproduces"
    # The price at iv, or, where the search's tolerance in sigma (1e-10 absolute and relative)
    # moves the price by more than 1e-9 of it, the prices at the ends of that interval, must be
    # the quote up to what the kernel's critical spots allow: the reference's and kelvo's.
    ref, S_star = american(S, K, D, F, iv, call)
    pricing = price_allowance(S, K, D, F, iv, call, ref, S_star)
    kernel = baw_price(S, K, D, F, iv, flag)
    if max(abs(ref - quote), abs(kernel - ref)) <= 1e-9 * abs(quote) + pricing:
        return None
    step = 2e-10 * (1 + iv)
    ends = [american(S, K, D, F, iv + side * step, call) for side in (-1, 1)]
    slack = 1e-9 * abs(quote) + max(price_allowance(S, K, D, F, iv + side * step, call, *end)
                                    for side, end in zip((-1, 1), ends))
    low, high = sorted(end[0] for end in ends)
    if not low - slack <= quote <= high + slack:
        return f"the reference's prices about {iv!r} are {float(low)!r} to {float(high)!r}, " \
               f"not the quote {quote!r}"
    if abs(kernel - ref) > 1e-9 * abs(quote) + pricing:
        return f"kelvo's price at {iv!r} is {kernel!r}, the reference's {float(ref)!r}"
    return None

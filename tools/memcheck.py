"""A short run over all the native functions, their array layouts and their error paths, small enough
to run under valgrind memcheck:

    PYTHONMALLOC=malloc valgrind --error-exitcode=97 \\
        --suppressions=/usr/lib/valgrind/python3.supp python3 tools/memcheck.py
"""
import math
import sys
from pathlib import Path

import numpy as np

import kelvo
from kelvo import (baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_greeks,
                   vectorized_baw_implied_vol, vectorized_baw_price)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from helpers import RaisingEq  # noqa: E402

SPOT, DISCOUNT, FORWARD = 100.0, math.exp(-0.015), 101.0


def expect_error(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, IndexError, ZeroDivisionError):
        return
    raise AssertionError(f"{call.__name__}{args} did not raise")


def main():
    strikes = np.linspace(80, 120, 41)
    sigmas = 0.2 + 0.1 * ((strikes - 100) / 20) ** 2
    calls = np.array([baw_price(SPOT, k, DISCOUNT, FORWARD, s, "c") for k, s in zip(strikes, sigmas)])
    puts = np.array([baw_price(SPOT, k, DISCOUNT, FORWARD, s, "p") for k, s in zip(strikes, sigmas)])
    for price, k, flag in ((calls[20], 100.0, "c"), (puts[0], 80.0, "p"), (0.0, 100.0, "c"),
                           (math.nan, 100.0, "p"), (1e9, 100.0, "c")):
        baw_implied_vol(price, SPOT, k, DISCOUNT, FORWARD, flag)
    for args in ((SPOT, 100, 1.0, 100, 0.0, "c"), (SPOT, 100, 1.02, 99, 0.3, "p"),
                 (math.inf, 100, 0.9, 100, 0.2, "c"), (SPOT, 0.0, 0.9, 100, math.nan, "p")):
        baw_price(*args)

    n = len(strikes)
    prices = np.concatenate([calls, puts])
    both = np.concatenate([strikes, strikes])
    flags = ["c"] * n + ["p"] * n
    full = lambda value: np.full(2 * n, value)
    out = vectorized_baw_implied_vol(prices, full(SPOT), both, full(DISCOUNT), full(FORWARD), flags)
    assert np.allclose(out, np.concatenate([sigmas, sigmas]), atol=1e-8)
    strided = np.repeat(prices, 2)[::2]
    read_only = both.copy()
    read_only.setflags(write=False)
    vectorized_baw_implied_vol(strided, list(full(SPOT)), read_only, full(DISCOUNT).astype(np.float32),
                               full(FORWARD), tuple(flags))
    vectorized_baw_implied_vol(np.array([]), [], [], [], [], [])
    expect_error(vectorized_baw_implied_vol, prices, full(SPOT), both[:3], full(DISCOUNT), full(FORWARD), flags)
    expect_error(vectorized_baw_implied_vol, prices, full(SPOT), both, full(DISCOUNT), full(FORWARD), "c")
    expect_error(vectorized_baw_implied_vol, prices, full(SPOT), both, full(DISCOUNT), [[1.0]] * 82, flags)
    expect_error(vectorized_baw_implied_vol, prices, full(SPOT), both, ["x"] * 82, full(FORWARD), flags)
    expect_error(vectorized_baw_implied_vol, prices[:2], [1.0] * 2, [1.0] * 2, [1.0] * 2, [1.0] * 2,
                 ["c", RaisingEq()])

    greeks = vectorized_baw_greeks(read_only, list(full(100.0)), both, full(DISCOUNT),
                                   full(0.2), flags)
    assert greeks["price"].tobytes() == vectorized_baw_price(
        read_only, full(100.0), both, full(DISCOUNT), full(0.2), flags).tobytes()
    spots = full(100.0).reshape(2, n)
    kelvo.greeks(spots, strikes, DISCOUNT, FORWARD, 0.2, "p")
    kelvo.price(spots, strikes, DISCOUNT, FORWARD, 0.2, is_call=np.ones(n, dtype=bool))
    expect_error(vectorized_baw_price, full(SPOT), both[:3], full(DISCOUNT), full(FORWARD),
                 full(0.2), flags)
    expect_error(vectorized_baw_greeks, full(SPOT), both, full(DISCOUNT), full(FORWARD),
                 full(0.2), ["c", RaisingEq()] * n)
    expect_error(kelvo.price, np.ones(3), np.ones(4), 1.0, 1.0, 0.2, "c")

    forward = find_forward_baw(calls, puts, strikes, SPOT, DISCOUNT)
    assert abs(forward - FORWARD) < 1e-6, forward
    find_forward_baw(calls, puts, strikes, SPOT, DISCOUNT, strike_pct=0.2)
    find_forward_baw([], [], [], SPOT, DISCOUNT)
    expect_error(find_forward_baw, calls[:3], puts, strikes, SPOT, DISCOUNT)
    expect_error(find_forward_baw, calls, puts, np.array(1.0), SPOT, DISCOUNT)

    expect_error(baw_price, 1, 2, 3)
    expect_error(baw_price, 1, 2, 3, 4, 5, 6, flg=1)
    expect_error(baw_price, 1, 2, "3", 4, 5, "c")
    expect_error(baw_price, 1, 2, 3, 10 ** 400, 5, "c")
    expect_error(baw_implied_vol, 1, 2, 3, 4, 5, RaisingEq())
    expect_error(find_forward_baw, calls, puts, strikes, SPOT, DISCOUNT, None)
    print("memcheck run: done")


if __name__ == "__main__":
    main()

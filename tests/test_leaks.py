"""Failing and succeeding calls, repeated, must not leave references or memory blocks behind."""
import gc
import sys

import numpy as np
import pytest

from kelvo import _arrays as a
from kelvo import baw_core as m
from helpers import RaisingEq


P, S, K, D, F = (np.array([5.0, 6.0, 7.0]), np.array([100.0] * 3), np.array([100.0] * 3),
                 [0.99] * 3, np.array([100.0, 101.0, 102.0]))
FLAGS = ["c", "p", None]
CHAIN = (np.array([3.0, 2.0]), np.array([2.0, 3.0]), np.array([99.0, 101.0]))
TWO_D = [[1.0, 2.0]] * 3
UNSIZED = np.array(1000.0)
BAD_FLAGS = ["c"] * 3 + [RaisingEq()]

# name: (function, positional arguments, keyword arguments, total reference count is exact)
CALLS = {
    "price": (m.baw_price, (100.0, 100, 0.99, 100, 0.2, "p"), {}, True),
    "price count": (m.baw_price, (1, 2, 3), {}, True),
    "price keyword": (m.baw_price, (1, 2, 3, 4, 5, 6), dict(flg=1), True),
    "price twice": (m.baw_price, (1, 2, 3, 4, 5), dict(S=1), True),
    "price missing": (m.baw_price, (1,), dict(K=2, D=3, F=4, sigma=5), True),
    "price str": (m.baw_price, (1, 2, "3", 4, 5, "c"), {}, True),
    "price overflow": (m.baw_price, (1, 2, 3, 10 ** 400, 5, "c"), {}, True),
    "price flag": (m.baw_price, (1, 2, 3, 4, 5, RaisingEq()), {}, True),
    "iv": (m.baw_implied_vol, (5.0, 100, 100, 0.99, 100), dict(flag="c"), True),
    "iv flag": (m.baw_implied_vol, (5.0, 100, 100, 0.99, 100, RaisingEq()), {}, True),
    "vec": (m.vectorized_baw_implied_vol, (P, S, K, D, F, FLAGS), {}, False),
    "vec keywords": (m.vectorized_baw_implied_vol, (P, S), dict(K_arr=K, D_arr=D, F_arr=F, flags="cpc"), False),
    "vec count": (m.vectorized_baw_implied_vol, (P, S, K, D, F), {}, True),
    "vec len": (m.vectorized_baw_implied_vol, (5.0, S, K, D, F, FLAGS), {}, True),
    "vec short": (m.vectorized_baw_implied_vol, (P, S, K[:1], D, F, FLAGS), {}, False),
    "vec short flags": (m.vectorized_baw_implied_vol, (P, S, K, D, F, "c"), {}, False),
    "vec 2d": (m.vectorized_baw_implied_vol, (P, S, K, D, TWO_D, FLAGS), {}, False),
    "vec numpy": (m.vectorized_baw_implied_vol, (P, S, K, ["x"] * 3, F, FLAGS), {}, False),
    "vec flags": (m.vectorized_baw_implied_vol, (P, S, K, D, F, BAD_FLAGS), {}, False),
    "vec iter": (m.vectorized_baw_implied_vol, (P, S, K, D, F, 3), {}, False),
    "fwd": (m.find_forward_baw, (*CHAIN, 100.0, 0.99), {}, False),
    "fwd count": (m.find_forward_baw, (1, 2, 3, 4), {}, True),
    "fwd numpy": (m.find_forward_baw, (["a"], [1.0], [100.0], 100, 0.99), {}, False),
    "fwd index": (m.find_forward_baw, ([1.0, 2.0], [1.0], [100.0, 101.0], 100, 0.99), {}, False),
    "fwd 0-d": (m.find_forward_baw, ([1.0], [1.0], UNSIZED, 100, 0.99), {}, False),
    "fwd 2d": (m.find_forward_baw, (TWO_D, TWO_D, [100.0], 100, 0.99), {}, False),
    "fwd pct": (m.find_forward_baw, (*CHAIN, 100, 0.99, None), {}, True),
    "array price": (a.vectorized_baw_price, (S, K, D, F, P / 20, FLAGS), {}, False),
    "array price short": (a.vectorized_baw_price, (S, K[:1], D, F, P, FLAGS), {}, False),
    "array price count": (a.vectorized_baw_price, (S, K), {}, True),
    "greeks": (a.vectorized_baw_greeks, (S, K, D, F, P / 20, FLAGS), {}, False),
    "greeks flags": (a.vectorized_baw_greeks, (S, K, D, F, P, BAD_FLAGS), {}, False),
    "array vol threads": (a.vectorized_baw_implied_vol, (P, S, K, D, F, np.array(["c", "p", "c"])),
                          dict(threads=3), False),
    "array vol bad threads": (a.vectorized_baw_implied_vol, (P, S, K, D, F, FLAGS),
                              dict(threads=0), False),
    "forwards threads": (a.group_forwards, (*CHAIN, [0, 1, 2], [100.0] * 2, [0.99] * 2, [1, 1]),
                         dict(threads=2), False),
}


def counters():
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return total, sys.getallocatedblocks()


@pytest.mark.parametrize("name", list(CALLS))
def test_no_leak(name):
    func, args, kwargs, exact_total = CALLS[name]
    # objects only this test holds, and the NumPy objects the module looks up on each call
    own = [a for a in (*args, *kwargs.values()) if isinstance(a, (list, np.ndarray, RaisingEq))]
    watched = [*own, func, np, np.float64, np.intc, np.ascontiguousarray, np.empty]

    def run(times):
        for _ in range(times):
            try:
                func(*args, **kwargs)
            except Exception:
                pass

    run(50)
    before = counters()
    refs_before = [sys.getrefcount(obj) for obj in watched]
    # A leak of one reference or block per call would show as 2000 or more in every window of
    # 2000 calls; caches, and the free-threaded build's deferred frees, grow once.
    for _ in range(3):
        start = counters()
        run(2000)
        after = counters()
        if after[1] - start[1] < 200:
            break
    assert [sys.getrefcount(obj) for obj in watched] == refs_before
    assert after[1] - start[1] < 200, "memory blocks"
    if exact_total:
        # The interpreter-wide total is exact only where no NumPy code runs: a release-built
        # NumPy changes reference counts without counting them.
        assert after[0] - before[0] < 50, "references"

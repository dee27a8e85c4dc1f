"""Independent reference formulas for the tests."""
import ctypes
import math
import threading
import time

import numpy as np

from kelvo import baw_price


class RaisingEq:
    """A flag whose comparison with "c" raises."""

    def __eq__(self, other):
        raise ZeroDivisionError("no comparison")

    __hash__ = object.__hash__


class TruthRaises:
    def __bool__(self):
        raise ValueError("no truth")


class EqReturnsOdd:
    """A flag whose comparison gives an object that cannot be made a bool."""

    def __eq__(self, other):
        return TruthRaises()

    __hash__ = object.__hash__


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


def run_while_counting(call):
    """Runs call on a second thread while this one keeps ticking; returns (result, ticks seen
    well inside the call, the call's duration). With the interpreter lock held throughout the
    call, no tick could land inside it."""
    span, ticks = {}, []

    def worker():
        span["start"] = time.perf_counter()
        span["result"] = call()
        span["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    thread.start()
    while thread.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    thread.join()
    inside = [t for t in ticks if span["start"] + 0.05 < t < span["end"] - 0.05]
    return span["result"], len(inside), span["end"] - span["start"]


def vectorcall(func, args, kwnames):
    """Calls func through the native protocol, where keyword names need not be strings."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                    ctypes.py_object]
    argv = (ctypes.py_object * len(args))(*args)
    return api(func, argv, len(args) - len(kwnames), kwnames)


def quotes(n, seed=1):
    """Mixed calls and puts with their prices, some NaN, some at zero and some unreachable."""
    rng = np.random.default_rng(seed)
    S = rng.uniform(50, 150, n)
    K = S * rng.uniform(0.7, 1.3, n)
    D = rng.uniform(0.9, 1.0, n)
    F = S * rng.uniform(0.95, 1.05, n)
    sigma = rng.uniform(0.02, 1.5, n)
    flags = rng.choice(["c", "p"], n).tolist()
    prices = np.array([baw_price(*a) for a in zip(S, K, D, F, sigma, flags)])
    prices[::17] = math.nan
    prices[::23] = 0.0
    prices[::29] = 1e6
    return prices, S, K, D, F, flags


def richardson(f, x, h, order):
    """The first (order 1) or second derivative of f at x by central differences at steps h
    and h/2, extrapolated."""
    def central(step):
        if order == 1:
            return (f(x + step) - f(x - step)) / (2 * step)
        return (f(x + step) - 2 * f(x) + f(x - step)) / (step * step)

    return (4 * central(h / 2) - central(h)) / 3

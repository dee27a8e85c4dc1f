"""The array functions on several native threads give, element by element, the bits of the
serial loop with the flags read one object at a time: odd sizes, strided and read-only inputs,
NaN, every kind of flags array."""
import numpy as np
import pytest

import kelvo
from kelvo import _arrays as a
from kelvo import baw_core

N = 1031  # not a multiple of any chunk: the last chunk is a short one
rng = np.random.default_rng(27)


def frozen(values):
    values = np.array(values)
    values.setflags(write=False)
    return values


def strided(values):
    """values as every other element of a larger read-only array."""
    wide = np.empty(2 * len(values))
    wide[::2] = values
    return frozen(wide)[::2]


K = strided(rng.uniform(60, 150, N))
S, D, F = frozen(np.full(N, 100.0)), strided(rng.uniform(0.9, 1.0, N)), frozen(
    rng.uniform(95, 110, N))
SIGMA = np.where(rng.random(N) < 0.03, np.nan, rng.uniform(0.02, 0.9, N))
CALLS = rng.random(N) < 0.5
PRICES = frozen(np.where(rng.random(N) < 0.03, np.nan, a.vectorized_baw_price(
    S, K, D, F, SIGMA, np.where(CALLS, "c", "p"), threads=1) * rng.uniform(0.97, 1.03, N)))

WORDS = np.where(CALLS, "c", np.where(rng.random(N) < 0.5, "p", "call"))
FLAGS = {
    "list": lambda: list(np.where(CALLS, "c", "p")),
    "str array": lambda: np.where(CALLS, "c", "p"),
    "wide str array": lambda: WORDS.astype("U5"),  # "c" padded with zeros is "c"
    "strided str array": lambda: np.repeat(WORDS, 2)[::2],
    "swapped str array": lambda: WORDS.astype(">U4"),
    "object array": lambda: WORDS.astype(object),
    "bytes array": lambda: WORDS.astype("S"),  # bytes never equal "c": all puts
    "bool array": lambda: CALLS,  # nor do bools
}
M = 97  # the accurate engine costs tens of microseconds an element
FUNCTIONS = {
    "baw price": (a.vectorized_baw_price, (S, K, D, F, SIGMA), None),
    "baw greeks": (a.vectorized_baw_greeks, (S, K, D, F, SIGMA), None),
    "baw vol": (a.vectorized_baw_implied_vol, (PRICES, S, K, D, F),
                baw_core.vectorized_baw_implied_vol),
    "european price": (a.vectorized_european_price, (S, K, D, F, SIGMA), None),
    "european greeks": (a.vectorized_european_greeks, (S, K, D, F, SIGMA), None),
    "european vol": (a.vectorized_european_implied_vol, (PRICES, S, K, D, F), None),
    "alo price": (a.vectorized_alo_price, (S[:M], K[:M], D[:M], F[:M], SIGMA[:M]), None),
    "alo greeks": (a.vectorized_alo_greeks, (S[:M], K[:M], D[:M], F[:M], SIGMA[:M]), None),
    "alo vol": (lambda *args, **threads: a.vectorized_alo_implied_vol(*args, "fast", **threads),
                (PRICES[:M], S[:M], K[:M], D[:M], F[:M]), None),
}


def bits(result):
    if isinstance(result, dict):
        return {name: values.tobytes() for name, values in result.items()}
    return result.tobytes()


@pytest.mark.parametrize("flags", list(FLAGS))
@pytest.mark.parametrize("function", list(FUNCTIONS))
def test_threads_give_the_serial_bits(function, flags):
    threaded, inputs, serial = FUNCTIONS[function]
    given = FLAGS[flags]()[:len(inputs[0])]
    # the serial loop, each flag compared with "c" as an object
    expected = bits((serial or threaded)(*inputs, [f for f in given], **(
        {} if serial else {"threads": 1})))
    for threads in (None, 2, 7):
        assert bits(threaded(*inputs, given, threads=threads)) == expected


def test_group_forwards_on_threads_give_the_serial_bits():
    n_groups = 61
    sizes = rng.integers(0, 9, n_groups)  # empty groups among them
    bounds = np.concatenate([[0], np.cumsum(sizes)])
    group = np.repeat(np.arange(n_groups), sizes)
    S_g = rng.uniform(50, 150, n_groups)
    S_g[3] = np.nan
    strikes = S_g[group] * rng.uniform(0.9, 1.1, len(group))
    forward = S_g[group] * 1.01
    n = len(group)
    calls, puts = (a.vectorized_baw_price(S_g[group], strikes, np.full(n, 0.99), forward,
                                          np.full(n, 0.2), [flag] * n) for flag in "cp")
    D_g, search = np.full(n_groups, 0.99), (rng.random(n_groups) < 0.8).astype(np.int64)
    args = (calls, puts, strikes, bounds, S_g, D_g, search)
    expected = [x.tobytes() for x in a.group_forwards(*args, threads=1)]
    for threads in (None, 2, 5):
        assert [x.tobytes() for x in a.group_forwards(*args, threads=threads)] == expected


@pytest.mark.parametrize("threads, error", [
    (0, ValueError), (-1, ValueError), (1025, ValueError), (2.0, TypeError), ("2", TypeError),
    (True, TypeError),
    (2 ** 70, OverflowError)])
def test_threads_must_be_a_count(threads, error):
    with pytest.raises(error, match="threads"):
        a.vectorized_baw_price(S, K, D, F, SIGMA, FLAGS["list"](), threads=threads)
    with pytest.raises(error, match="threads"):
        a.group_forwards(PRICES[:2], PRICES[:2], K[:2], [0, 2], [100.0], [0.99], [1],
                         threads=threads)
    # scalars too (the scalar entry took them without a look)
    for function in (kelvo.price, kelvo.implied_vol):
        with pytest.raises(error, match="threads"):
            function(100.0, 100.0, 0.99, 101.0, 0.2, "c", threads=threads)


def test_threads_is_keyword_only():
    with pytest.raises(TypeError, match=r"exactly 6 positional arguments \(7 given\)"):
        a.vectorized_baw_price(S, K, D, F, SIGMA, FLAGS["list"](), 2)

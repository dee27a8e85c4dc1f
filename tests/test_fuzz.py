"""Random calls and random numbers, against a binder written here from the calling rules, and
against the scalar functions."""
import math
import os

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from kelvo import baw_core as m

from helpers import vectorcall

PARAMETERS = {
    m.baw_price: ("S", "K", "D", "F", "sigma", "flag"),
    m.baw_implied_vol: ("price", "S", "K", "D", "F", "flag"),
    m.vectorized_baw_implied_vol: ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"),
    m.find_forward_baw: ("call_prices", "put_prices", "strikes", "S", "D", "strike_pct"),
}
REQUIRED = {m.find_forward_baw: 5}
FUZZ = settings(max_examples=int(os.environ.get("KELVO_FUZZ_EXAMPLES", "1000")), deadline=None, suppress_health_check=[HealthCheck.too_slow])


def expected_binding(func, args, kwnames, kwvalues):
    """The bound parameter values in order, or the TypeError message the call must raise."""
    names, name = PARAMETERS[func], func.__name__
    required = REQUIRED.get(func, 6)
    n = len(args)

    def count_error(given, too_many):
        if required == 6:
            wording, expected = "exactly", 6
        else:
            wording, expected = ("at most", 6) if too_many else ("at least", 5)
        return f"{name}() takes {wording} {expected} positional arguments ({given} given)"

    if n > 6:
        return count_error(n, True)
    if not kwnames and n < required:
        return count_error(n, False)
    missing = object()
    bound = list(args) + [missing] * (6 - n)
    for key, value in zip(kwnames, kwvalues):
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key in names[n:] and bound[names.index(key)] is missing:
            bound[names.index(key)] = value
        elif key in names:
            return f"{name}() got multiple values for keyword argument '{key}'"
        else:
            return f"{name}() got an unexpected keyword argument '{key}'"
    for i in range(n, required):
        if bound[i] is missing:
            return count_error(i, False)
    return [v for v in bound if v is not missing]


def outcome(call):
    try:
        result = call()
    except Exception as error:  # the exception itself is what is compared
        return type(error), str(error)
    if isinstance(result, np.ndarray):
        return "array", result.shape, result.tobytes()
    return "value", type(result), np.float64(result).tobytes()


any_value = st.one_of(
    st.floats(), st.integers(-10, 10 ** 30), st.sampled_from(["c", "p", "C", "", "1.5"]),
    st.none(), st.booleans(), st.just([100.0, 101.0, 99.0]), st.just(np.array([5.0, 6.0, 7.0])),
    st.just(np.zeros((2, 3))), st.just(b"c"), st.just(object()))
ARRAY = st.sampled_from([[5.0, 6.0, 7.0], np.array([100.0, 101.0, 99.0]), (1, 2, 3)])
good_value = {
    "flag": st.sampled_from(["c", "p"]), "flags": st.sampled_from(["cpc", ["c", "p", "p"]]),
    "strike_pct": st.floats(0, 1), "D": st.floats(0.9, 1), "sigma": st.floats(0, 1),
    **{name: st.floats(1, 150) for name in ("S", "K", "F", "price")},
    **{name: ARRAY for name in ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "call_prices",
                                "put_prices", "strikes")}}
other_names = st.one_of(st.sampled_from(["flg", "s", "sigma ", "price", "S", "flag"]),
                        st.integers(0, 3))


@st.composite
def calls(draw):
    """A call near the rules' edges: some positional arguments, most of the rest by keyword in
    any order, and now and then a wrong name, a repeated one, a missing or an extra one."""
    func = draw(st.sampled_from(list(PARAMETERS)))
    names = PARAMETERS[func]

    def value(name):
        if name in good_value and draw(st.integers(0, 4)):
            return draw(good_value[name])
        return draw(st.one_of(st.floats(50, 150), any_value))

    n = draw(st.integers(0, 7))
    args = [value(name) for name in (names + ("extra",))[:n]]
    keywords = list(draw(st.permutations([k for k in names[n:] if draw(st.integers(0, 11))])))
    for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2]))):
        keywords.insert(draw(st.integers(0, len(keywords))), draw(other_names))
    return func, args, keywords, [value(k) for k in keywords]


@FUZZ
@given(calls())
def test_random_calls_bind_by_the_rules(call):
    func, args, kwnames, kwvalues = call
    kwnames = tuple(kwnames)
    expected = expected_binding(func, args, kwnames, kwvalues)
    got = outcome(lambda: vectorcall(func, (*args, *kwvalues), kwnames))
    event(f"{func.__name__}: {'binding error' if isinstance(expected, str) else got[0]}")
    if isinstance(expected, str):
        assert got == (TypeError, expected)
    else:  # bound: the same as the positional call, whatever that gives
        assert got == outcome(lambda: func(*expected))


doubles = st.floats(allow_nan=True, allow_infinity=True)
flags = st.sampled_from(["c", "p"])
quotes = st.tuples(doubles, doubles, doubles, doubles, doubles, flags)


@FUZZ
@given(st.lists(quotes, min_size=1, max_size=6))
def test_random_numbers_give_floats_and_the_arrays_agree(rows):
    prices, S, K, D, F, q = (list(c) for c in zip(*rows))
    scalar = []
    for row in rows:
        assert isinstance(m.baw_price(*row), float)
        scalar.append(m.baw_implied_vol(*row))
    assert all(isinstance(v, float) and (v != v or v >= 0) for v in scalar)
    arrays = m.vectorized_baw_implied_vol(prices, S, K, D, F, q)
    assert arrays.shape == (len(rows),) and arrays.dtype == np.float64
    assert arrays.tobytes() == np.array(scalar).tobytes()


@FUZZ
@given(chain=st.lists(st.tuples(doubles, doubles, doubles), max_size=5), S=doubles, D=doubles,
       strike_pct=doubles)
def test_random_chains_give_a_forward_or_nan(chain, S, D, strike_pct):
    calls, puts, strikes = (np.array(c, dtype=float) for c in zip(*chain)) if chain else [[]] * 3
    forward = m.find_forward_baw(calls, puts, strikes, S, D, strike_pct)
    assert isinstance(forward, float)
    assert not math.isinf(forward)

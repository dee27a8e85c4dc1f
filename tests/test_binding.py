"""How the four functions bind, convert and report their arguments."""
import traceback

import numpy as np
import pytest

from kelvo import baw_core as m

from helpers import EqReturnsOdd, RaisingEq, vectorcall

PRICE_ARGS = dict(S=100.0, K=100.0, D=0.97, F=101.0, sigma=0.3, flag="c")
FORWARD_ARGS = dict(call_prices=[3.0], put_prices=[2.0], strikes=[100.0], S=100.0, D=0.99)


def frames(info):
    return [entry.name for entry in traceback.extract_tb(info.tb)]


def count_error(name, wording, expected, given):
    return f"{name}() takes {wording} {expected} positional arguments ({given} given)"


CALLS = [
    # (function, positional, keywords, message)
    (m.baw_price, (1, 2, 3, 4, 5), {}, count_error("baw_price", "exactly", 6, 5)),
    (m.baw_price, (), {}, count_error("baw_price", "exactly", 6, 0)),
    (m.baw_price, (), dict(S=1, K=2, D=3, F=4, sigma=5), count_error("baw_price", "exactly", 6, 5)),
    (m.baw_price, (), dict(K=2, D=3, F=4, sigma=5, flag="c"), count_error("baw_price", "exactly", 6, 0)),
    (m.baw_price, (1, 2), dict(F=4, sigma=5, flag="c"), count_error("baw_price", "exactly", 6, 2)),
    (m.baw_price, (1, 2, 3, 4, 5, 6), dict(flg=1), "baw_price() got an unexpected keyword argument 'flg'"),
    (m.baw_price, (1, 2, 3, 4, 5, 6, 7), dict(flg=1), count_error("baw_price", "exactly", 6, 7)),
    (m.baw_price, (1,), dict(K=2, bogus=1, S=3), "baw_price() got an unexpected keyword argument 'bogus'"),
    (m.baw_price, (1,), dict(S=1), "baw_price() got multiple values for keyword argument 'S'"),
    (m.baw_price, (1,), dict(S=1, bogus=2), "baw_price() got multiple values for keyword argument 'S'"),
    (m.baw_implied_vol, (1, 2, 3, 4, 5, 6), dict(price=1),
     "baw_implied_vol() got multiple values for keyword argument 'price'"),
    (m.vectorized_baw_implied_vol, (1, 2, 3), {}, count_error("vectorized_baw_implied_vol", "exactly", 6, 3)),
    (m.find_forward_baw, (1, 2, 3, 4), {}, count_error("find_forward_baw", "at least", 5, 4)),
    (m.find_forward_baw, (1, 2, 3, 4, 5, 6, 7), {}, count_error("find_forward_baw", "at most", 6, 7)),
    (m.find_forward_baw, (), dict(call_prices=1, put_prices=2, strikes=3, S=4),
     count_error("find_forward_baw", "at least", 5, 4)),
    (m.find_forward_baw, (), dict(put_prices=2, strikes=3, S=4, D=1),
     count_error("find_forward_baw", "at least", 5, 0)),
    (m.find_forward_baw, (1, 2, 3, 4, 5, 6, 7), dict(x=1), count_error("find_forward_baw", "at most", 6, 7)),
    # a count error is reported before an unconvertible value
    (m.baw_price, ("x", 2, 3, 4, 5), {}, count_error("baw_price", "exactly", 6, 5)),
]


@pytest.mark.parametrize("func, args, kwargs, message", CALLS)
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert frames(info)[-1] == f"kelvo.baw_core.{func.__name__}"


@pytest.mark.parametrize("order", [
    ["S", "K", "D", "F", "sigma", "flag"], ["flag", "sigma", "F", "D", "K", "S"],
    ["D", "flag", "S", "sigma", "K", "F"]])
def test_keywords_in_any_order(order):
    expected = m.baw_price(*PRICE_ARGS.values())
    assert m.baw_price(**{k: PRICE_ARGS[k] for k in order}) == expected
    positional = list(PRICE_ARGS.values())[:2]
    assert m.baw_price(*positional, **{k: PRICE_ARGS[k] for k in order[::-1] if k not in "SK"}) == expected


class Floaty:
    def __float__(self):
        return 100.0


class Indexy:
    def __index__(self):
        return 100


@pytest.mark.parametrize("value", [100, 100.0, np.float64(100), np.int32(100), Floaty(), Indexy(),
                                   type("F", (float,), {})(100.0), True * 100])
def test_numbers_of_any_kind_convert(value):
    assert m.baw_price(value, 100, 1, 100, 1, "c") == m.baw_price(100.0, 100.0, 1.0, 100.0, 1.0, "c")


@pytest.mark.parametrize("bad, exc", [("100", TypeError), (None, TypeError), ([1.0], TypeError),
                                      (10 ** 400, OverflowError)])
def test_unconvertible_numbers_raise_the_interpreters_error(bad, exc):
    with pytest.raises(exc) as info:
        m.baw_price(100, bad, 1, 100, 1, "c")
    assert frames(info)[-1] == "kelvo.baw_core.baw_price"


def test_first_bad_number_is_reported():
    with pytest.raises(OverflowError):
        m.baw_implied_vol(1.0, 100, 10 ** 400, "bad", 100, "c")
    with pytest.raises(TypeError):
        m.baw_implied_vol(1.0, 100, "bad", 10 ** 400, 100, "c")


@pytest.mark.parametrize("func", [m.baw_price, m.baw_implied_vol])
@pytest.mark.parametrize("flag, exc", [(RaisingEq(), ZeroDivisionError), (EqReturnsOdd(), ValueError)])
def test_raising_flag_comparison_propagates(func, flag, exc):
    with pytest.raises(exc) as info:
        func(5.0, 100, 100, 0.99, 100, flag)
    # the module's entry sits between the caller and the raising method
    assert frames(info)[-2] == f"kelvo.baw_core.{func.__name__}"
    assert frames(info)[-1] in ("__eq__", "__bool__")


@pytest.mark.parametrize("flag, is_call", [
    ("c", True), ("".join(["c"]), True), (np.str_("c"), True), (type("S", (str,), {})("c"), True),
    ("C", False), ("call", False), ("p", False), (None, False), (1, False), (b"c", False),
    ("", False), ("c ", False), (np.bytes_(b"c"), False)])
def test_flag_equality(flag, is_call):
    args = (100.0, 100.0, 0.97, 101.0, 0.3)
    assert (m.baw_price(*args, flag) == m.baw_price(*args, "c")) == is_call


def test_strike_pct_default_and_none():
    assert m.find_forward_baw(**FORWARD_ARGS) == m.find_forward_baw(**FORWARD_ARGS, strike_pct=0.01)
    with pytest.raises(TypeError):
        m.find_forward_baw(**FORWARD_ARGS, strike_pct=None)


def test_keyword_name_that_is_a_str_subclass():
    name = type("Name", (str,), {})("flag")
    assert m.baw_price(100, 100, 0.97, 101, 0.3, **{name: "c"}) == m.baw_price(**PRICE_ARGS)


def test_non_string_keyword_in_the_native_protocol():
    with pytest.raises(TypeError, match=r"^baw_price\(\) keywords must be strings$"):
        vectorcall(m.baw_price, (1.0, 2.0, 3.0, 4.0, 5.0, "c", 1), (7,))
    assert vectorcall(m.baw_price, tuple(PRICE_ARGS.values()), ()) == m.baw_price(**PRICE_ARGS)

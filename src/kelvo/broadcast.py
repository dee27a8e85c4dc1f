"""Prices, implied volatilities and sensitivities over any mix of scalars, sequences, NumPy
arrays and pandas Series, broadcast together by NumPy's rules.

Each call converts its inputs to float64 (copying only what is not already a contiguous float64
array of the broadcast shape), makes one call of the native vectorised function, and returns a
float when every input is a scalar, an ndarray of the broadcast shape otherwise, or a pandas
Series (a DataFrame for ``greeks``) on the index of the Series among the inputs. Element for
element the results are those of ``baw_price`` and ``baw_implied_vol``, bit for bit.

Flags are given either as ``flag`` ("c", "call" or "calls" for a call, "p", "put" or "puts"
for a put, in any case; None or a missing value is a put; any other value raises ValueError
naming it; a string, or an array or Series of them) or as a boolean ``is_call``.

``style`` is "american" (the default) or "european" (Black's price, for options exercised only
at expiry such as cash-settled index options). American options are priced by ``model="baw"``
(the Barone-Adesi-Whaley approximation, the default) or ``model="alo"`` (the early-exercise
boundary's integral equation of Andersen, Lake and Offengeim, with ``precision="accurate"``,
the default, or ``"fast"``).

``threads`` is the number of native threads the call shares its elements among: by default as
many as the work pays for, up to the cores (one for small arrays); any count gives the same bits.
"""
from __future__ import annotations

import math
import sys
from typing import TYPE_CHECKING, Any, Literal, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelvo._arrays import (exp_into, log_into, vectorized_alo_greeks, vectorized_alo_implied_vol,
                           vectorized_alo_price, vectorized_baw_greeks,
                           vectorized_baw_implied_vol, vectorized_baw_price,
                           vectorized_european_greeks, vectorized_european_implied_vol,
                           vectorized_european_price)
from kelvo.baw_core import baw_implied_vol, baw_price

if TYPE_CHECKING:
    import pandas as pd

def _elementwise(native, x):
    x = np.asarray(x, dtype=np.float64)
    out = np.empty(x.shape)
    native(np.ascontiguousarray(x).reshape(-1), out.reshape(-1))
    return out if out.ndim else out[()]


def exp(x):
    """exp over an array by kelvo's own exp: NumPy's rounds by its version and the CPU's vector
    units, and what is derived from it (discount factors from rates) would too."""
    return _elementwise(exp_into, x)


def log(x):
    """log over an array by kelvo's own log (see exp)."""
    return _elementwise(log_into, x)


GREEKS = ("price", "delta", "gamma", "vega", "dF", "dD")
DAYS_PER_YEAR = 365.0


def theta_rho(T, D, F, S, sigma, vega, dF, dD):
    """Theta (the value's change per calendar day that passes) and rho (per 1 % of the rate,
    the dividend yield held) from the forward-form sensitivities, where T (years) is the time
    to expiry: D = exp(-r T), F = S exp(b T) and sigma = vol sqrt(T) all move with T, D and F
    with r."""
    with np.errstate(invalid="ignore", divide="ignore"):
        T = np.where(np.asarray(T, dtype=np.float64) > 0, T, np.nan)
        r, b = -log(D) / T, log(F / S) / T
        dV_dT = dD * (-r * D) + dF * (b * F) + vega * sigma / (2 * T)
        return -dV_dT / DAYS_PER_YEAR, 0.01 * T * (dF * F - dD * D)
MODELS = ("baw", "alo")
PRECISIONS = ("accurate", "fast")
_SCALARS = (float, int)
CALL_WORDS = frozenset({"c", "call", "calls"})
PUT_WORDS = frozenset({"p", "put", "puts"})
COMMON_SPELLINGS = ("c", "p", "C", "P", "call", "put", "Call", "Put", "CALL", "PUT")
STYLES = ("american", "european")


def flag_of(value):
    """"c" or "p" for one flag as kelvo reads them: c, call, calls, p, put, puts in any case and
    with blanks around (bytes as the text they spell); None and missing values (NaN, pandas' NA)
    are puts."""
    if isinstance(value, (str, bytes)):
        word = (value if isinstance(value, str) else value.decode("latin-1")).strip().lower()
        if word in CALL_WORDS:
            return "c"
        if word in PUT_WORDS:
            return "p"
    elif value is None or _is_na(value) or value != value:
        return "p"
    raise ValueError(f"{value!r} is not an option type: give c, call, p or put (any case)")


def _is_na(value):
    pd = sys.modules.get("pandas")  # its missing values exist only once it is imported
    return pd is not None and (value is pd.NA or value is pd.NaT)


def _flags_of(values):
    """flag_of of every element of an array, each distinct value read once."""
    flat = values.reshape(-1)
    if flat.dtype.kind == "S":  # bytes as the text they spell, as flag_of reads them
        flat = np.char.decode(flat, "latin-1")
    if flat.dtype.kind == "U":
        # the usual spellings by comparisons, a short pass each (sorting millions of flags
        # for np.unique would hold Ctrl-C off for a good part of a second); np.unique for the
        # rest
        call, known = np.zeros(len(flat), bool), np.zeros(len(flat), bool)
        for word in COMMON_SPELLINGS:
            spelled = flat == word
            known |= spelled
            if word.lower() in CALL_WORDS:
                call |= spelled
            if word == "P" and known.all():  # one letter each, the common case
                break
        if known.all():
            return np.where(call, "c", "p").reshape(values.shape)
        distinct, codes = np.unique(flat, return_inverse=True)
        read = np.array([flag_of(v) for v in distinct.tolist()], dtype="U1")
        return read[codes].reshape(values.shape)
    seen = {}
    out = np.empty(len(flat), dtype="U1")
    for i, value in enumerate(flat.tolist()):
        try:
            out[i] = seen[value]
        except KeyError:
            out[i] = seen[value] = flag_of(value)
        except TypeError:  # unhashable: read it as it is
            out[i] = flag_of(value)
    return out.reshape(values.shape)


def functions(style, model="baw", precision=None):
    """(price, implied vol, greeks) array functions of a style and model, each of the numeric
    arrays and the flags; ValueError for a style, model or precision not known, or a precision
    given with model="baw"."""
    if style not in STYLES:
        raise ValueError(f"style must be one of {', '.join(map(repr, STYLES))}, not {style!r}")
    if model not in MODELS:
        raise ValueError(f"model must be one of {MODELS}, not {model!r}")
    if precision is not None and precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {PRECISIONS}, not {precision!r}")
    if model == "baw" and precision is not None:
        raise ValueError("precision applies to model='alo' only")
    if style == "european":
        return vectorized_european_price, vectorized_european_implied_vol, \
            vectorized_european_greeks
    if model == "alo":
        precision = precision or "accurate"
        return tuple(lambda *args, f=f, **threads: f(*args, precision, **threads) for f in (
            vectorized_alo_price, vectorized_alo_implied_vol, vectorized_alo_greeks))
    return vectorized_baw_price, vectorized_baw_implied_vol, vectorized_baw_greeks


def _is_series(value):
    return hasattr(value, "index") and hasattr(value, "to_numpy") and getattr(value, "ndim", 0) == 1


def check_not_times(name, value):
    """TypeError where value holds dates or durations: their float64 would be a count of ticks
    or days since 1970."""
    dtype = getattr(value, "dtype", None)
    if getattr(dtype, "kind", None) in ("m", "M"):
        raise TypeError(f"{name} must be numbers, not {dtype}: give years as floats")


def float64_of(series, name="the column"):
    """A pandas Series as float64, a missing value of a nullable or object column NaN (pandas
    before 2.2 raises without na_value; NumPy's numeric columns need no pass for it); TypeError
    for dates and durations."""
    check_not_times(name, series)
    plain = isinstance(series.dtype, np.dtype) and series.dtype.kind in "iufb"
    return series.to_numpy(dtype=np.float64, **({} if plain else {"na_value": np.nan}))


class _NoFlag:
    """flag's default: none given (None itself is a flag, a missing one: a put)."""

    def __repr__(self):
        return "<no flag>"


NO_FLAG: Any = _NoFlag()


def _flag_array(flag, is_call):
    if (flag is NO_FLAG) == (is_call is None):
        raise TypeError("give exactly one of flag and is_call")
    if is_call is not None:
        values = np.asarray(is_call)
        if _is_series(is_call):
            # pandas' nullable booleans: a missing one is a put
            values = (is_call.to_numpy(dtype=np.bool_, na_value=False)
                      if is_call.dtype.kind == "b" else is_call.to_numpy())
        if values.dtype == object:  # True and False with missing values (puts), as read_csv
            flat = values.ravel().tolist()
            missing = [v is None or _is_na(v) or (isinstance(v, float) and v != v) for v in flat]
            if all(isinstance(v, (bool, np.bool_)) for v, m in zip(flat, missing) if not m):
                values = np.array([not m and bool(v) for v, m in zip(flat, missing)],
                                  dtype=np.bool_).reshape(values.shape)
        if np.ma.isMaskedArray(is_call):  # a masked element is missing: a put, as None is
            values = np.ma.filled(is_call, False)
        if values.dtype != np.bool_:
            raise TypeError(f"is_call must be boolean, not {values.dtype}")
        return np.where(values, "c", "p")
    if isinstance(flag, str):
        return np.array(flag_of(flag))
    values = flag.to_numpy() if _is_series(flag) else np.asarray(flag)
    if np.ma.isMaskedArray(flag):  # a masked element is missing: a put
        values = np.where(np.ma.getmaskarray(flag), None, np.asarray(flag.data, dtype=object))
    if values.dtype.kind not in "US":
        values = values.astype(object)
    return _flags_of(values)


def _broadcast(named, flag, is_call):
    """(float64 arrays raveled to one shape, the flags as a str array of "c" and "p" of that
    shape raveled, the shape, a Series index or None); ValueError naming the arguments whose
    shapes do not broadcast."""
    index = None
    arrays = {}
    for name, value in named.items():
        if isinstance(value, (list, tuple)) or _is_na(value):
            value = np.asarray(value)  # its dtype, to be checked: a list of datetime64 too
        if isinstance(value, np.ndarray) and value.dtype == object:  # pandas' NA is NaN
            value = np.array([math.nan if _is_na(v) else v for v in value.ravel().tolist()],
                             dtype=object).reshape(value.shape)
        check_not_times(name, value)
        if _is_series(value):
            if index is None:
                index = value.index
            elif not value.index.equals(index):
                raise ValueError(f"the Series given as {name} has another index than the others")
            value = float64_of(value)
        elif np.ma.isMaskedArray(value):  # a masked element is a missing number, not its data
            value = value.astype(np.float64).filled(np.nan)
        arrays[name] = np.asarray(value, dtype=np.float64)
    flag_name = "is_call" if is_call is not None else "flag"
    flag_source = is_call if is_call is not None else flag
    if _is_series(flag_source):
        if index is None:
            index = flag_source.index
        elif not flag_source.index.equals(index):
            raise ValueError(f"the Series given as {flag_name} has another index than the others")
    arrays[flag_name] = _flag_array(flag, is_call)
    shapes = {a.shape for a in arrays.values()}
    shapes.discard(())
    if len(shapes) <= 1:  # the common case needs no broadcasting machinery
        shape = shapes.pop() if shapes else ()
    else:
        try:
            shape = np.broadcast_shapes(*shapes)
        except ValueError:
            listed = ", ".join(f"{name} {a.shape}" for name, a in arrays.items())
            raise ValueError(f"the arguments do not broadcast to one shape: {listed}") from None
    if index is not None and shape != (len(index),):
        listed = ", ".join(f"{name} {a.shape}" for name, a in arrays.items())
        raise ValueError(f"the arguments do not broadcast to the Series' index: {listed}")
    flags = arrays.pop(flag_name)
    numeric = [_flat(a, shape) for a in arrays.values()]
    return numeric, _flat(flags, shape), shape, index


def _flat(a, shape):
    """a broadcast to shape, as one dimension: a view where a has that shape already, and a
    view of stride 0 of a scalar, which the native loops read as they read any strided array
    (a filled copy would cost memory, and time in which Ctrl-C waits)."""
    if a.shape == shape:
        return a.reshape(-1)
    if a.ndim == 0:
        return np.broadcast_to(a, (math.prod(shape),))
    return np.broadcast_to(a, shape).reshape(-1)


def _all_scalar(values, flag, is_call, threads):
    """Whether the scalar entry answers the call (threads= is checked by the array functions)."""
    return (is_call is None and threads is None and isinstance(flag, str)
            and all(type(v) in _SCALARS for v in values))


def _shaped(values, shape, index):
    if index is not None:
        import pandas as pd

        return pd.Series(values.reshape(shape), index=index)
    if shape == ():
        return float(values[0])
    return values.reshape(shape)


Style = Literal["american", "european"]
Model = Literal["baw", "alo"]
Precision = Literal["accurate", "fast"]
Floats = Union[float, ArrayLike, "pd.Series[float]"]
Flags = Union[str, None, ArrayLike, "pd.Series[Any]"]
Result = Union[float, "NDArray[np.float64]", "pd.Series[float]"]


@overload
def price(S: float, K: float, D: float, F: float, sigma: float, flag: str | None = None, *,
          is_call: bool | None = None, style: Style = "american", model: Model = "baw",
          precision: Precision | None = None, threads: int | None = None) -> float: ...
@overload
def price(S: Floats, K: Floats, D: Floats, F: Floats, sigma: Floats, flag: Flags = None, *,
          is_call: ArrayLike | None = None, style: Style = "american", model: Model = "baw",
          precision: Precision | None = None, threads: int | None = None) -> Result: ...
def price(S: Any, K: Any, D: Any, F: Any, sigma: Any, flag: Any = NO_FLAG, *, is_call: Any = None,
          style: Style = "american", model: Model = "baw", precision: Precision | None = None,
          threads: int | None = None) -> Any:
    """Option prices, broadcast over the arguments.

    Parameters
    ----------
    S, K, D, F, sigma : float, array-like or pandas.Series
        Spot, strike, discount factor, forward and total standard deviation, broadcast by NumPy's
        rules.
    flag : str, array-like or pandas.Series, optional
        "c", "call" or "calls" for a call, "p", "put" or "puts" for a put, in any case; None or
        a missing value is a put; anything else raises ValueError. Give ``flag`` or ``is_call``.
    is_call : bool array-like, optional
        True for a call.
    style : {"american", "european"}
        American (the early-exercise premium) or European (Black's price).
    model : {"baw", "alo"}
        The American price: Barone-Adesi-Whaley (``baw_price``) or the accurate engine of the
        early-exercise boundary's integral equation.
    precision : {"accurate", "fast"}, optional
        The accurate engine's setting (default "accurate").
    threads : int, optional
        Native threads (default: as many as the work pays for, up to the cores; the same bits
        for any count).

    Returns
    -------
    float, numpy.ndarray or pandas.Series
        A float when every input is a scalar, an array of the broadcast shape, or a Series on
        the index of the Series among the inputs.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvo
    >>> kelvo.price(100.0, np.array([90.0, 100.0, 110.0]), 0.99, 101.0, 0.2, "Call").round(6)
    array([14.188477,  8.430115,  4.608035])
    >>> round(kelvo.price(100.0, 100.0, 0.99, 101.0, 0.2, "c", style="european"), 6)
    8.430115
    """
    vectorized = functions(style, model, precision)[0]
    if (vectorized is vectorized_baw_price
            and _all_scalar((S, K, D, F, sigma), flag, is_call, threads)):
        return baw_price(S, K, D, F, sigma, flag_of(flag))
    numeric, flags, shape, index = _broadcast(
        {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}, flag, is_call)
    return _shaped(vectorized(*numeric, flags, threads=threads), shape, index)


@overload
def implied_vol(price: float, S: float, K: float, D: float, F: float, flag: str | None = None, *,
                is_call: bool | None = None, style: Style = "american", model: Model = "baw",
                precision: Precision | None = None, threads: int | None = None) -> float: ...
@overload
def implied_vol(price: Floats, S: Floats, K: Floats, D: Floats, F: Floats, flag: Flags = None,
                *, is_call: ArrayLike | None = None, style: Style = "american",
                model: Model = "baw", precision: Precision | None = None,
                threads: int | None = None) -> Result: ...
def implied_vol(price: Any, S: Any, K: Any, D: Any, F: Any, flag: Any = NO_FLAG, *,
                is_call: Any = None, style: Style = "american", model: Model = "baw",
                precision: Precision | None = None, threads: int | None = None) -> Any:
    """Implied total standard deviations, broadcast over the arguments.

    0.0 at or below intrinsic value (the spot's for American options, D max(F - K, 0) for
    European ones), NaN where no volatility reproduces the price or an input is NaN.

    Parameters
    ----------
    price : float, array-like or pandas.Series
        The option prices.
    S, K, D, F, flag, is_call, style, model, precision, threads
        As for ``price``.

    Returns
    -------
    float, numpy.ndarray or pandas.Series
        As for ``price``.

    Examples
    --------
    >>> import kelvo
    >>> p = kelvo.price(100.0, 110.0, 0.99, 101.0, 0.25, "put")
    >>> round(kelvo.implied_vol(p, 100.0, 110.0, 0.99, 101.0, "put"), 10)
    0.25
    >>> kelvo.implied_vol([p, 1.0], 100.0, 110.0, 0.99, 101.0, "p").round(10)  # 1.0: no vol
    array([0.25, 0.  ])
    """
    vectorized = functions(style, model, precision)[1]
    if (vectorized is vectorized_baw_implied_vol
            and _all_scalar((price, S, K, D, F), flag, is_call, threads)):
        return baw_implied_vol(price, S, K, D, F, flag_of(flag))
    numeric, flags, shape, index = _broadcast(
        {"price": price, "S": S, "K": K, "D": D, "F": F}, flag, is_call)
    return _shaped(vectorized(*numeric, flags, threads=threads), shape, index)


def greeks(S: Floats, K: Floats, D: Floats, F: Floats, sigma: Floats, flag: Flags = NO_FLAG, *,
           is_call: ArrayLike | None = None, style: Style = "american", model: Model = "baw",
           precision: Precision | None = None, threads: int | None = None,
           T: Floats | None = None) -> dict[str, Result] | pd.DataFrame:
    """Prices and sensitivities, broadcast over the arguments.

    ``delta`` = dV/dS and ``gamma`` = d2V/dS2 with D and the carry F/S held (the forward moves
    with the spot); ``vega`` = dV/dsigma per unit of total standard deviation, so
    vega * sqrt(T) / 100 is the change per volatility point; ``dF`` = dV/dF and ``dD`` =
    dV/dD, the forward-form partials, the other inputs held. With the time to expiry ``T``
    (years) also ``theta``, the change of the value per calendar day that passes (D, F and
    sigma moving with T at their rates and volatility), and ``rho``, its change per 1 % of the
    rate (the dividend yield held). BAW's and Black's are closed forms; with ``model="alo"``
    delta, gamma and vega are the accurate engine's own derivatives, dF and dD central
    differences of its price.

    Parameters
    ----------
    S, K, D, F, sigma, flag, is_call, style, model, precision, threads
        As for ``price``.
    T : float, array-like or pandas.Series, optional
        Time to expiry in years, broadcast with the others.

    Returns
    -------
    dict or pandas.DataFrame
        ``price``, ``delta``, ``gamma``, ``vega``, ``dF``, ``dD`` (and ``theta`` and ``rho``
        with ``T``): floats (every input a scalar), arrays of the broadcast shape, or the
        columns of a DataFrame on the Series' index.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvo
    >>> g = kelvo.greeks(100.0, np.array([90.0, 100.0, 110.0]), 0.99, 101.0, 0.2,
    ...                  is_call=np.array([False, True, True]))
    >>> g["delta"].round(4)
    array([-0.2512,  0.5595,  0.3719])
    """
    vectorized = functions(style, model, precision)[2]
    named = {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}
    if T is not None:
        named["T"] = T
    numeric, flags, shape, index = _broadcast(named, flag, is_call)
    result = vectorized(*numeric[:5], flags, threads=threads)
    names = GREEKS
    if T is not None:
        S_, _, D_, F_, sigma_, T_ = numeric
        result["theta"], result["rho"] = theta_rho(T_, D_, F_, S_, sigma_, result["vega"],
                                                   result["dF"], result["dD"])
        names = GREEKS + ("theta", "rho")
    if index is not None:
        import pandas as pd

        return pd.DataFrame({name: result[name] for name in names}, index=index)
    return {name: _shaped(result[name], shape, None) for name in names}

"""Prices, implied volatilities and sensitivities over any mix of scalars, sequences, NumPy
arrays and pandas Series, broadcast together by NumPy's rules.

Each call converts its inputs to float64 (copying only what is not already a contiguous float64
array of the broadcast shape), makes one call of the native vectorised function, and returns a
float when every input is a scalar, an ndarray of the broadcast shape otherwise, or a pandas
Series (a DataFrame for ``greeks``) on the index of the Series among the inputs. Element for
element the results are those of ``baw_price`` and ``baw_implied_vol``, bit for bit.

Flags are given either as ``flag`` ("c" for a call; anything else, None included, is a put;
a string, or an array or Series of them) or as a boolean ``is_call``.

``model="baw"`` (the default) prices by the Barone-Adesi-Whaley approximation; ``model="alo"``
by the early-exercise boundary's integral equation (Andersen, Lake and Offengeim), to about
1e-9 relative with ``precision="accurate"`` (the default) or 1e-6 with ``precision="fast"``.
"""
import math

import numpy as np

from kelvo._arrays import (vectorized_alo_greeks, vectorized_alo_implied_vol,
                           vectorized_alo_price, vectorized_baw_greeks, vectorized_baw_price)
from kelvo.baw_core import baw_implied_vol, baw_price, vectorized_baw_implied_vol

GREEKS = ("price", "delta", "gamma", "vega")
MODELS = ("baw", "alo")
PRECISIONS = ("accurate", "fast")
_SCALARS = (float, int)


def _alo_precision(model, precision):
    """The precision to hand the ALO array functions, or None for BAW; ValueError for a model or
    precision not known, or a precision given with model="baw"."""
    if model not in MODELS:
        raise ValueError(f"model must be one of {MODELS}, not {model!r}")
    if precision is not None and precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {PRECISIONS}, not {precision!r}")
    if model == "baw":
        if precision is not None:
            raise ValueError("precision applies to model='alo' only")
        return None
    return precision or "accurate"


def _is_series(value):
    return hasattr(value, "index") and hasattr(value, "to_numpy") and getattr(value, "ndim", 0) == 1


def _flag_array(flag, is_call):
    if (flag is None) == (is_call is None):
        raise TypeError("give exactly one of flag and is_call")
    if is_call is not None:
        values = is_call.to_numpy() if _is_series(is_call) else np.asarray(is_call)
        if values.dtype != np.bool_:
            raise TypeError(f"is_call must be boolean, not {values.dtype}")
        return np.where(values, "c", "p").astype(object)
    if isinstance(flag, str):
        return np.array(flag, dtype=object)
    values = flag.to_numpy(dtype=object) if _is_series(flag) else np.asarray(flag, dtype=object)
    # A missing value of a pandas column (NA) compares ambiguously: it is a put, as None is.
    if values.size and _is_series(flag):
        import pandas as pd

        values = np.where(pd.isna(values), None, values)
    return values


def _broadcast(named, flag, is_call):
    """(float64 arrays raveled to one shape, the flags as a list, the shape, a Series index or
    None); ValueError naming the arguments whose shapes do not broadcast."""
    index = None
    arrays = {}
    for name, value in named.items():
        if _is_series(value):
            if index is None:
                index = value.index
            elif not value.index.equals(index):
                raise ValueError(f"the Series given as {name} has another index than the others")
            value = value.to_numpy(dtype=np.float64)
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
    flags = arrays.pop(flag_name)
    numeric = [_flat(a, shape) for a in arrays.values()]
    if flags.ndim == 0:
        flag_list = [flags.item()] * math.prod(shape)
    else:
        flag_list = _flat(flags, shape).tolist()
    return numeric, flag_list, shape, index


def _flat(a, shape):
    """a broadcast to shape, as one dimension: a view where a has that shape already."""
    if a.shape == shape:
        return a.reshape(-1)
    if a.ndim == 0:
        return np.full(math.prod(shape), a.item(), dtype=a.dtype)
    return np.broadcast_to(a, shape).reshape(-1)


def _all_scalar(values, flag, is_call):
    return (is_call is None and isinstance(flag, str)
            and all(type(v) in _SCALARS for v in values))


def _shaped(values, shape, index):
    if index is not None:
        import pandas as pd

        return pd.Series(values.reshape(shape), index=index)
    if shape == ():
        return float(values[0])
    return values.reshape(shape)


def price(S, K, D, F, sigma, flag=None, *, is_call=None, model="baw", precision=None):
    """American prices: ``baw_price`` broadcast over its arguments, or with ``model="alo"`` the
    accurate engine's (``precision`` "accurate" or "fast")."""
    alo = _alo_precision(model, precision)
    if alo is None and _all_scalar((S, K, D, F, sigma), flag, is_call):
        return baw_price(S, K, D, F, sigma, flag)
    numeric, flags, shape, index = _broadcast(
        {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}, flag, is_call)
    if alo is None:
        return _shaped(vectorized_baw_price(*numeric, flags), shape, index)
    return _shaped(vectorized_alo_price(*numeric, flags, alo), shape, index)


def implied_vol(price, S, K, D, F, flag=None, *, is_call=None, model="baw", precision=None):
    """Implied total standard deviations: ``baw_implied_vol`` broadcast over its arguments, or
    with ``model="alo"`` the accurate engine's (0.0 at or below intrinsic value, NaN where no
    volatility reproduces the price)."""
    alo = _alo_precision(model, precision)
    if alo is None and _all_scalar((price, S, K, D, F), flag, is_call):
        return baw_implied_vol(price, S, K, D, F, flag)
    numeric, flags, shape, index = _broadcast(
        {"price": price, "S": S, "K": K, "D": D, "F": F}, flag, is_call)
    if alo is None:
        return _shaped(vectorized_baw_implied_vol(*numeric, flags), shape, index)
    return _shaped(vectorized_alo_implied_vol(*numeric, flags, alo), shape, index)


def greeks(S, K, D, F, sigma, flag=None, *, is_call=None, model="baw", precision=None):
    """Price, delta, gamma and vega: a dict of floats (all scalars), a dict of arrays of the
    broadcast shape, or a DataFrame with those columns on the Series' index.

    delta = dV/dS and gamma = d2V/dS2 with D and the carry F/S held (the forward moves with the
    spot); vega = dV/dsigma per unit of total standard deviation, so vega * sqrt(T) / 100 is the
    change per volatility point. With ``model="alo"`` they are the accurate engine's own
    derivatives, the boundary's sensitivity to sigma included."""
    alo = _alo_precision(model, precision)
    scalar = _all_scalar((S, K, D, F, sigma), flag, is_call)
    if scalar:
        numeric, flags, shape, index = [[float(v)] for v in (S, K, D, F, sigma)], [flag], (), None
    else:
        numeric, flags, shape, index = _broadcast(
            {"S": S, "K": K, "D": D, "F": F, "sigma": sigma}, flag, is_call)
    if alo is None:
        result = vectorized_baw_greeks(*numeric, flags)
    else:
        result = vectorized_alo_greeks(*numeric, flags, alo)
    if index is not None:
        import pandas as pd

        return pd.DataFrame({name: result[name] for name in GREEKS}, index=index)
    return {name: _shaped(result[name], shape, None) for name in GREEKS}

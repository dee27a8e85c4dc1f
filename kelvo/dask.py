"""Implied volatilities and forwards over Dask collections, for quote sets larger than one
process (``pip install 'kelvo[dask]'``).

Every chunk or partition is handed whole to ``vectorized_baw_implied_vol`` or
``find_forward_baw``, which release the interpreter while they compute, so Dask's threaded
scheduler runs them in parallel and the distributed scheduler spreads them over processes and
machines. Results are those of the in-process functions, element for element.
"""
import numpy as np

from kelvo import find_forward_baw, vectorized_baw_implied_vol

# Column names of a quotes frame, and of an option-chain frame, unless given otherwise.
QUOTE_COLUMNS = {"price": "price", "S": "S", "K": "K", "D": "D", "F": "F", "flag": "flag"}
CHAIN_COLUMNS = {"call": "call", "put": "put", "strike": "strike", "S": "S", "D": "D"}
NUMERIC = ("price", "S", "K", "D", "F")


def _dask_array():
    try:
        import dask.array as da
    except ImportError as error:
        raise ImportError("kelvo.dask needs Dask: pip install 'kelvo[dask]'") from error
    return da


def _is_frame(obj):
    return hasattr(obj, "map_partitions") and hasattr(obj, "columns")


def _columns(defaults, given, frame):
    names = dict(defaults, **(given or {}))
    unknown = set(names) - set(defaults)
    if unknown:
        raise ValueError(f"unknown column roles {sorted(unknown)}; expected {sorted(defaults)}")
    missing = [name for name in names.values() if name not in frame.columns]
    if missing:
        raise KeyError(f"the frame has no column {', '.join(map(repr, missing))}")
    return names


def _invert_block(prices, S, K, D, F, flags):
    # Python strings, so that each flag is tested on the fast path
    return vectorized_baw_implied_vol(prices, S, K, D, F, flags.tolist())


def _invert_partition(part, names):
    import pandas as pd

    numeric = [part[names[role]].to_numpy(dtype=np.float64) for role in NUMERIC]
    ivs = vectorized_baw_implied_vol(*numeric, part[names["flag"]].tolist())
    return pd.Series(ivs, index=part.index, name="iv")


def implied_vol(prices, S_arr=None, K_arr=None, D_arr=None, F_arr=None, flags=None, *,
                columns=None):
    """Implied total standard deviations, lazily, as a Dask collection.

    Either six one-dimensional array-likes (Dask arrays, NumPy arrays or scalars, which are
    broadcast), all of the length of ``prices`` and rechunked to its chunks, giving a float64
    Dask array; or one Dask DataFrame with columns ``price``, ``S``, ``K``, ``D``, ``F`` and
    ``flag`` (other names through ``columns={"price": "mid", ...}``), giving a float64 Series
    named ``iv`` on the frame's index. A flag equal to "c" is a call, anything else a put.
    """
    if _is_frame(prices):
        import pandas as pd

        if any(a is not None for a in (S_arr, K_arr, D_arr, F_arr, flags)):
            raise TypeError("implied_vol(frame) takes the frame alone, with columns= for names")
        names = _columns(QUOTE_COLUMNS, columns, prices)
        return prices.map_partitions(_invert_partition, names,
                                     meta=pd.Series([], dtype=np.float64, name="iv"))
    if columns is not None:
        raise TypeError("columns= applies to a DataFrame")
    da = _dask_array()
    prices = da.asarray(prices)
    if prices.ndim != 1:
        raise ValueError(f"prices must be one-dimensional, not {prices.ndim}-dimensional")
    inputs = []
    for name, value in (("S_arr", S_arr), ("K_arr", K_arr), ("D_arr", D_arr), ("F_arr", F_arr),
                        ("flags", flags)):
        if value is None:
            raise TypeError(f"implied_vol() missing the argument {name}")
        array = da.asarray(value)
        if array.ndim == 0:
            array = da.broadcast_to(array, prices.shape)
        if array.shape != prices.shape:
            raise ValueError(f"{name} has shape {array.shape}, prices {prices.shape}")
        inputs.append(array.rechunk(prices.chunks))
    return da.map_blocks(_invert_block, prices, *inputs, dtype=np.float64)


def _forward_of_group(group, names, strike_pct):
    # Rows in strike order (stable), whatever order the shuffle delivered them in, so that the
    # objective sums in the same order on every run.
    group = group.sort_values(names["strike"], kind="stable")
    column = lambda role: group[names[role]].to_numpy(dtype=np.float64)
    return find_forward_baw(column("call"), column("put"), column("strike"),
                            float(group[names["S"]].iloc[0]), float(group[names["D"]].iloc[0]),
                            strike_pct)


def forwards(frame, by="expiry", *, columns=None, strike_pct=0.01):
    """The implied forward of every group of an option-chain Dask DataFrame (one row per
    strike, columns ``call``, ``put``, ``strike``, ``S``, ``D``, or others through
    ``columns``), grouped by ``by``: a lazy float64 Series indexed by the group keys. Each group
    is one call of find_forward_baw on its rows in strike order, with the group's first S and
    D."""
    names = _columns(CHAIN_COLUMNS, columns, frame)
    # only the chain's columns go to each group, not the grouping one
    selected = list(dict.fromkeys(names.values()))
    return frame.groupby(by)[selected].apply(_forward_of_group, names, strike_pct,
                                             meta=("forward", "f8"))

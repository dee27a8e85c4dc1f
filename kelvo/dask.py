"""Implied volatilities and forwards over Dask collections, for quote sets larger than one
process (``pip install 'kelvo[dask]'``).

Every chunk or partition is handed whole to ``vectorized_baw_implied_vol`` or
``find_forward_baw``, which release the interpreter while they compute, so Dask's threaded
scheduler runs them in parallel and the distributed scheduler spreads them over processes and
machines. Results are those of the in-process functions, element for element.
"""
import numpy as np

from kelvo import find_forward_baw, vectorized_baw_implied_vol
from kelvo._forward_rules import DEFAULT_STRIKE_PCT

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
    return hasattr(obj, "columns") and hasattr(obj, "groupby")


def _as_dask_frame(frame):
    """A pandas DataFrame becomes a one-partition Dask DataFrame; a Dask one stays as it is."""
    if hasattr(frame, "map_partitions"):
        return frame
    import dask.dataframe as dd

    return dd.from_pandas(frame, npartitions=1)


def _columns(defaults, given, frame):
    names = dict(defaults, **(given or {}))
    unknown = set(names) - set(defaults)
    if unknown:
        raise ValueError(f"unknown column roles {sorted(unknown)}; expected {sorted(defaults)}")
    missing = [name for name in names.values() if name not in frame.columns]
    if missing:
        raise KeyError(f"the frame has no column {', '.join(map(repr, missing))}")
    return names


def _flag_list(values):
    """Flags as the in-process function reads them, one Python object each; a missing value
    of a pandas or Arrow column (NA, NaT) is None there, a put, as None is in-process."""
    import pandas as pd

    return [None if flag is pd.NA or flag is pd.NaT else flag for flag in values.tolist()]


def _invert_block(prices, *inputs):
    n = len(prices)
    numeric = [prices]
    for name, value in zip(ARRAY_NAMES[1:], inputs):
        if np.ndim(value) == 0:
            value = np.full(n, value, dtype=object if name == "flags" else np.float64)
        elif len(value) != n:
            # blocks of arrays whose chunk sizes were not known beforehand
            raise ValueError(f"{name} has {len(value)} elements in a block where prices has {n}")
        numeric.append(value)
    *numeric, flags = numeric
    return vectorized_baw_implied_vol(*numeric, _flag_list(np.asarray(flags, dtype=object)))


def _invert_partition(part, names):
    import pandas as pd

    numeric = [part[names[role]].to_numpy(dtype=np.float64) for role in NUMERIC]
    ivs = vectorized_baw_implied_vol(*numeric, _flag_list(part[names["flag"]].astype(object)))
    return pd.Series(ivs, index=part.index, name="iv")


ARRAY_NAMES = ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags")


def _block_input(da, name, value, prices):
    """A Dask array chunked as prices, or a scalar that each block broadcasts itself."""
    if name == "flags" and isinstance(value, str):
        value = list(value)  # a string is a sequence of one-letter flags, as in-process
    if not isinstance(value, da.Array):
        if np.ndim(value) == 0:
            return value
        value = np.asarray(value, dtype=object if name == "flags" else np.float64)
        if value.ndim == 1 and len(value) == 1:
            return value[0]
        if any(np.isnan(c) for c in prices.chunks[0]):
            raise ValueError(f"{name} is not a Dask array, and the chunk sizes of prices are "
                             "unknown: call prices.compute_chunk_sizes() first")
        if value.shape != prices.shape:
            raise ValueError(f"{name} has shape {value.shape}, prices {prices.shape}")
        value = da.from_array(value, chunks=prices.chunks)
    if value.ndim == 0:
        return value.compute().item()
    if value.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {value.ndim}-dimensional")
    if any(np.isnan(c) for c in value.chunks[0] + prices.chunks[0]):
        # Unknown sizes (e.g. DataFrame.to_dask_array()): blocks are paired as they come and
        # each block checks that its lengths agree.
        if value.numblocks != prices.numblocks:
            raise ValueError(f"{name} has {value.numblocks[0]} blocks of unknown size, prices "
                             f"{prices.numblocks[0]}: call compute_chunk_sizes() on both")
        return value
    if value.shape != prices.shape:
        raise ValueError(f"{name} has shape {value.shape}, prices {prices.shape}")
    return value.rechunk(prices.chunks)


def implied_vol(prices, S_arr=None, K_arr=None, D_arr=None, F_arr=None, flags=None, *,
                columns=None):
    """Implied total standard deviations, lazily, as a Dask collection.

    Either six one-dimensional array-likes (Dask arrays, NumPy arrays, lists or scalars, which
    are broadcast; flags as in-process, a string being a sequence of one-letter flags), all of
    the length of ``prices`` and rechunked to its chunks, giving a float64 Dask array; or one
    DataFrame (Dask or pandas) with columns ``price``, ``S``, ``K``, ``D``, ``F`` and ``flag``
    (other names through ``columns={"price": "mid", ...}``), giving a float64 Dask Series named
    ``iv`` on the frame's index. A flag equal to "c" is a call, anything else (None and missing
    values included) a put.
    """
    if _is_frame(prices):
        import pandas as pd

        if any(a is not None for a in (S_arr, K_arr, D_arr, F_arr, flags)):
            raise TypeError("implied_vol(frame) takes the frame alone, with columns= for names")
        frame = _as_dask_frame(prices)
        names = _columns(QUOTE_COLUMNS, columns, frame)
        return frame.map_partitions(_invert_partition, names,
                                    meta=pd.Series([], dtype=np.float64, name="iv"))
    if columns is not None:
        raise TypeError("columns= applies to a DataFrame")
    da = _dask_array()
    prices = da.asarray(prices) if isinstance(prices, da.Array) else da.from_array(
        np.asarray(prices, dtype=np.float64))
    if prices.ndim != 1:
        raise ValueError(f"prices must be one-dimensional, not {prices.ndim}-dimensional")
    inputs = []
    for name, value in zip(ARRAY_NAMES[1:], (S_arr, K_arr, D_arr, F_arr, flags)):
        if value is None:
            raise TypeError(f"implied_vol() missing the argument {name}")
        inputs.append(_block_input(da, name, value, prices))
    return da.map_blocks(_invert_block, prices, *inputs, dtype=np.float64)


def _forward_of_group(group, names, strike_pct):
    # Rows in strike order (stable), whatever order the shuffle delivered them in, so that the
    # objective sums in the same order on every run.
    group = group.sort_values(names["strike"], kind="stable")
    column = lambda role: group[names[role]].to_numpy(dtype=np.float64)
    return find_forward_baw(column("call"), column("put"), column("strike"),
                            float(group[names["S"]].iloc[0]), float(group[names["D"]].iloc[0]),
                            strike_pct)


def forwards(frame, by="expiry", *, columns=None, strike_pct=DEFAULT_STRIKE_PCT):
    """The implied forward of every group of an option-chain DataFrame, Dask or pandas (one row per
    strike, columns ``call``, ``put``, ``strike``, ``S``, ``D``, or others through
    ``columns``), grouped by ``by``: a lazy float64 Series indexed by the group keys. Each group
    is one call of find_forward_baw on its rows in strike order, with the group's first S and
    D; rows with a missing key form one group of their own, keyed NaN."""
    frame = _as_dask_frame(frame)
    names = _columns(CHAIN_COLUMNS, columns, frame)
    # only the chain's columns go to each group, not the grouping one; rows whose key is
    # missing form a group of their own rather than vanish
    selected = list(dict.fromkeys(names.values()))
    return frame.groupby(by, dropna=False)[selected].apply(_forward_of_group, names, strike_pct,
                                             meta=("forward", "f8"))

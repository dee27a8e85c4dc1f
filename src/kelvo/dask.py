"""Prices, sensitivities, implied volatilities and forwards over Dask collections, for quote
sets larger than one process (``pip install 'kelvo[dask]'``).

Every chunk or partition is handed whole to one of the in-process vectorised functions or to
``find_forward_baw``, which release the interpreter while they compute, so Dask's threaded
scheduler runs them in parallel and the distributed scheduler spreads them over processes and
machines. Results are those of the in-process functions, element for element.
"""
from typing import Any

import numpy as np

from kelvo._arrays import (vectorized_baw_greeks, vectorized_baw_implied_vol,
                           vectorized_baw_price)
from kelvo.broadcast import GREEKS, check_not_times, float64_of
from kelvo.chain import (GREEK_COLUMNS, RESULT_COLUMNS, SUMMARY_DTYPES, WHOLE_TABLE_COLUMNS,
                         as_pandas, expiry_forward, find_columns, first_rows_columns,
                         kept_input_names, part_keys, surface as chain_surface)

# Column names of an option-chain frame, unless given otherwise.
CHAIN_COLUMNS = {"call": "call", "put": "put", "strike": "strike", "S": "S", "D": "D"}


def _dask_array():
    try:
        import dask.array as da
    except ImportError as error:
        raise ImportError("kelvo.dask needs Dask: pip install 'kelvo[dask]'") from error
    return da


def _is_frame(obj):
    # a Dask Series has columns and groupby too
    return hasattr(obj, "columns") and hasattr(obj, "groupby") and getattr(obj, "ndim", 2) == 2


def _as_dask_frame(frame):
    """A pandas DataFrame (or a polars or pyarrow table, as kelvo.chain takes them) becomes a
    one-partition Dask DataFrame; a Dask one stays as it is."""
    if hasattr(frame, "map_partitions"):
        return frame
    import dask.dataframe as dd

    return dd.from_pandas(as_pandas(frame), npartitions=1, sort=False)  # in the frame's order


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


class _Mapped:
    """One in-process vectorised function as this layer maps it over chunks or partitions:
    its argument names, the frame's column roles in the same order, and its result's kind."""

    def __init__(self, name, native, arg_names, roles, output):
        self.name, self.native, self.arg_names, self.roles, self.output = (
            name, native, arg_names, roles, output)

    def block(self, first, *inputs):
        n = len(first)
        columns = [first]
        for name, value in zip(self.arg_names[1:], inputs):
            if np.ndim(value) == 0:
                value = np.full(n, value, dtype=object if name == "flags" else np.float64)
            elif len(value) != n:
                # blocks of arrays whose chunk sizes were not known beforehand
                raise ValueError(f"{name} has {len(value)} elements in a block where "
                                 f"{self.arg_names[0]} has {n}")
            columns.append(value)
        *numeric, flags = columns
        # one thread a block: Dask shares the blocks among the cores
        result = self.native(*numeric, _flag_list(np.asarray(flags, dtype=object)), threads=1)
        if self.output == "greeks":
            return np.column_stack([result[g] for g in GREEKS])
        return result

    def partition(self, part, names):
        import pandas as pd

        numeric = [float64_of(part[names[role]], names[role]) for role in self.roles[:-1]]
        result = self.native(*numeric, _flag_list(part[names[self.roles[-1]]].astype(object)),
                             threads=1)
        if self.output == "greeks":
            return pd.DataFrame({g: result[g] for g in GREEKS}, index=part.index)
        return pd.Series(result, index=part.index, name=self.output)

    def meta(self):
        import pandas as pd

        if self.output == "greeks":
            return pd.DataFrame({g: pd.Series([], dtype=np.float64) for g in GREEKS})
        return pd.Series([], dtype=np.float64, name=self.output)

    def __call__(self, first, others, columns):
        if _is_frame(first):
            if any(a is not None for a in others):
                raise TypeError(f"{self.name}(frame) takes the frame alone, with columns= for "
                                "names")
            frame = _as_dask_frame(first)
            names = _columns({role: role for role in self.roles}, columns, frame)
            return frame.map_partitions(self.partition, names, meta=self.meta())
        if columns is not None:
            raise TypeError("columns= applies to a DataFrame")
        for name, value in zip(self.arg_names, (first, *others)):
            if hasattr(value, "to_dask_array"):  # NumPy would compute it here, in one piece
                raise TypeError(f"{name} is a Dask Series: give the frame, or "
                                "series.to_dask_array(lengths=True)")
            if name != "flags":
                check_not_times(name, value if hasattr(value, "dtype") else np.asarray(value))
        da = _dask_array()
        first = first if isinstance(first, da.Array) else da.from_array(
            np.asarray(first, dtype=np.float64))
        if first.ndim != 1:
            raise ValueError(f"{self.arg_names[0]} must be one-dimensional, not "
                             f"{first.ndim}-dimensional")
        inputs = []
        for name, value in zip(self.arg_names[1:], others):
            if value is None:
                raise TypeError(f"{self.name}() missing the argument {name}")
            inputs.append(_block_input(da, name, value, first, self.arg_names[0]))
        if self.output != "greeks":
            return da.map_blocks(self.block, first, *inputs, dtype=np.float64)
        stacked = da.map_blocks(self.block, first, *inputs, dtype=np.float64, new_axis=1,
                                chunks=(first.chunks[0], (len(GREEKS),)))
        return {g: stacked[:, j] for j, g in enumerate(GREEKS)}


def _block_input(da, name, value, first, first_name):
    """A Dask array chunked as the first input, or a scalar that each block broadcasts."""
    if name == "flags" and isinstance(value, str):
        value = list(value)  # a string is a sequence of one-letter flags, as in-process
    if not isinstance(value, da.Array):
        if np.ndim(value) == 0:
            return value
        value = np.asarray(value, dtype=object if name == "flags" else np.float64)
        if value.ndim == 1 and len(value) == 1:
            return value[0]
        if any(np.isnan(c) for c in first.chunks[0]):
            raise ValueError(f"{name} is not a Dask array, and the chunk sizes of {first_name} "
                             f"are unknown: call {first_name}.compute_chunk_sizes() first")
        if value.shape != first.shape:
            raise ValueError(f"{name} has shape {value.shape}, {first_name} {first.shape}")
        value = da.from_array(value, chunks=first.chunks)
    if value.ndim == 0:
        return value.compute().item()
    if value.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {value.ndim}-dimensional")
    if any(np.isnan(c) for c in value.chunks[0] + first.chunks[0]):
        # Unknown sizes (e.g. DataFrame.to_dask_array()): blocks are paired as they come and
        # each block checks that its lengths agree.
        if value.numblocks != first.numblocks:
            raise ValueError(f"{name} has {value.numblocks[0]} blocks of unknown size, "
                             f"{first_name} {first.numblocks[0]}: call compute_chunk_sizes() "
                             "on both")
        return value
    if value.shape != first.shape:
        raise ValueError(f"{name} has shape {value.shape}, {first_name} {first.shape}")
    return value.rechunk(first.chunks)


_PRICE_ARGS = ("S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags")
_PRICE_ROLES = ("S", "K", "D", "F", "sigma", "flag")
_implied_vol = _Mapped("implied_vol", vectorized_baw_implied_vol,
                       ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"),
                       ("price", "S", "K", "D", "F", "flag"), "iv")
_price = _Mapped("price", vectorized_baw_price, _PRICE_ARGS, _PRICE_ROLES, "price")
_greeks = _Mapped("greeks", vectorized_baw_greeks, _PRICE_ARGS, _PRICE_ROLES, "greeks")

_INPUTS = """
    Parameters
    ----------
    {first}, S_arr, K_arr, D_arr, F_arr, flags
        Either six one-dimensional array-likes (Dask arrays, NumPy arrays, lists or scalars,
        which are broadcast; flags as in-process, a string being a sequence of one-letter
        flags), all of the length of the first and rechunked to its chunks, each chunk one call
        of the in-process function; or, as the first argument alone, one DataFrame (Dask or
        pandas, a pandas one taken as one partition) with the columns {roles}. A flag equal to
        "c" is a call, anything else (None and missing values included) a put.
    columns : dict, optional
        Other column names for a DataFrame: ``{{"{role}": "..."}}``.

    Returns
    -------
    {returns}

    Examples
    --------
{examples}"""


def implied_vol(prices: Any, S_arr: Any = None, K_arr: Any = None, D_arr: Any = None,
                F_arr: Any = None, flags: Any = None, *,
                columns: dict[str, str] | None = None) -> Any:
    return _implied_vol(prices, (S_arr, K_arr, D_arr, F_arr, flags), columns)


def price(S_arr: Any, K_arr: Any = None, D_arr: Any = None, F_arr: Any = None,
          sigmas: Any = None, flags: Any = None, *, columns: dict[str, str] | None = None) -> Any:
    return _price(S_arr, (K_arr, D_arr, F_arr, sigmas, flags), columns)


def greeks(S_arr: Any, K_arr: Any = None, D_arr: Any = None, F_arr: Any = None,
           sigmas: Any = None, flags: Any = None, *,
           columns: dict[str, str] | None = None) -> Any:
    return _greeks(S_arr, (K_arr, D_arr, F_arr, sigmas, flags), columns)


implied_vol.__doc__ = """Implied total standard deviations (American, BAW), lazily.
    """ + _INPUTS.format(
    first="prices", roles="price, S, K, D, F and flag", role="price",
    returns="dask.array.Array or dask.dataframe.Series\n        float64; for a frame, a Series "
            "named ``iv`` on the frame's index.",
    examples="""    >>> import dask.array as da
    >>> from kelvo import dask as kd
    >>> from kelvo import baw_price
    >>> prices = da.from_array([baw_price(100.0, 100.0, 0.98, 99.0, 0.1, "p")] * 2, chunks=1)
    >>> kd.implied_vol(prices, 100.0, 100.0, 0.98, 99.0, "p").compute().round(6)
    array([0.1, 0.1])
""")
price.__doc__ = """American (BAW) prices, lazily.
    """ + _INPUTS.format(
    first="S_arr", roles="S, K, D, F, sigma and flag", role="sigma",
    returns="dask.array.Array or dask.dataframe.Series\n        float64; for a frame, a Series "
            "named ``price`` on the frame's index.",
    examples="""    >>> import dask.array as da
    >>> from kelvo import dask as kd
    >>> kd.price(da.from_array([100.0, 100.0], chunks=1), 100.0, 0.98, 99.0, 0.1,
    ...          "p").compute().round(6)
    array([4.398409, 4.398409])
""")
greeks.__doc__ = """Prices and sensitivities (American, BAW), lazily.
    """ + _INPUTS.format(
    first="S_arr", roles="S, K, D, F, sigma and flag", role="sigma",
    returns="dict or dask.dataframe.DataFrame\n        float64 Dask arrays ``price``, "
            "``delta``, ``gamma`` and ``vega`` (computed together when passed to one\n"
            "        ``dask.compute``), or for a frame a DataFrame with those columns on its "
            "index.",
    examples="""    >>> import dask
    >>> import dask.array as da
    >>> from kelvo import dask as kd
    >>> g = kd.greeks(da.from_array([100.0, 101.0], chunks=1), 100.0, 0.98, 99.0, 0.1, "c")
    >>> delta, = dask.compute(g["delta"])
    >>> bool(delta[1] > delta[0])
    True
""")


def _forward_of_group(group, names, strike_pct):
    # kelvo.chain's forward of one expiry on its rows in the frame's order (whatever order the
    # shuffle delivered them in: the first quote of a strike, and the first S and D, are the
    # frame's first), then in strike order, so that the objective sums in the same order on
    # every run.
    group = group.sort_values(_ROW, kind="stable")
    S, D = float(group[names["S"]].iloc[0]), float(group[names["D"]].iloc[0])
    group = group.sort_values(names["strike"], kind="stable")
    column = lambda role: float64_of(group[names[role]])
    return expiry_forward(column("call"), column("put"), column("strike"), S, D, strike_pct)[0]


def forwards(frame: Any, by: str = "expiry", *, columns: dict[str, str] | None = None,
             strike_pct: float | None = None) -> Any:
    """The implied forward of every group of an option-chain DataFrame, lazily.

    Each group is ``kelvo.chain.expiry_forward`` of its rows (American options:
    ``find_forward_baw``'s search on the usable strikes of the window kelvo.chain takes, or
    with ``strike_pct`` the first window from that width that holds one), with the group's
    first S and D; rows with a missing key form one group of their own, keyed NaN.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        One row per strike, with the columns ``call``, ``put``, ``strike``, ``S``, ``D``.
    by : str
        The column that tells the groups (expiries) apart.
    columns : dict, optional
        Other names for those columns.
    strike_pct : float, optional
        The first width of the strike window.

    Returns
    -------
    dask.dataframe.Series
        float64, indexed by the group keys.

    Examples
    --------
    >>> import pandas as pd
    >>> from kelvo import baw_price, dask as kd
    >>> K = [95.0, 98.0, 100.0, 102.0, 105.0]
    >>> chain = pd.DataFrame({"expiry": 0.5, "strike": K, "S": 100.0, "D": 0.99,
    ...                       "call": [baw_price(100, k, 0.99, 101, 0.2, "c") for k in K],
    ...                       "put": [baw_price(100, k, 0.99, 101, 0.2, "p") for k in K]})
    >>> kd.forwards(chain).compute().round(4).tolist()
    [101.0]
    """
    import pandas as pd

    frame = _as_dask_frame(frame)
    names = _columns(CHAIN_COLUMNS, columns, frame)
    numbered = frame.map_partitions(
        _with_row_numbers, meta=frame._meta.assign(**{_ROW: pd.Series([], dtype=np.int64)}))
    # only the chain's columns go to each group, not the grouping one; rows whose key is
    # missing form a group of their own rather than vanish
    selected = list(dict.fromkeys(names.values())) + [_ROW]
    return numbered.groupby(by, dropna=False)[selected].apply(
        _forward_of_group, names, strike_pct, meta=("forward", "f8"))


_ROW = "_kelvo_row"
_PART = "_kelvo_part"


def _with_row_numbers(part, partition_info=None):
    """The partition with its rows' place in the frame: partition number, then position."""
    number = (partition_info or {}).get("number", 0)
    return part.assign(**{_ROW: (np.int64(number) << 40) + np.arange(len(part), dtype=np.int64)})


def _with_keys(part, names, quote_date, partition_info=None):
    """The partition with its rows' place in the frame (_with_row_numbers) and the part they
    go to: the hash of their underlying and quote day as kelvo.chain reads them, so that a
    group never spans two parts."""
    import pandas as pd

    keys = pd.Series(part_keys(part, names, quote_date), index=part.index)
    hashed = pd.util.hash_pandas_object(keys, index=False).to_numpy()
    return _with_row_numbers(part, partition_info).assign(**{_PART: hashed})


def _surface_of_part(part, options, names):
    # in the frame's own row order, so that a group's first rows are those they are in-process;
    # the columns those the whole frame's first rows choose
    part = part.sort_values(_ROW, kind="stable").drop(columns=[_ROW, _PART])
    token = WHOLE_TABLE_COLUMNS.set(names)
    try:
        return chain_surface(part, **options)
    finally:
        WHOLE_TABLE_COLUMNS.reset(token)


def surface(quotes: Any, *, npartitions: int | None = None,
            **options: Any) -> tuple[Any, Any]:
    """``kelvo.chain.surface`` over a DataFrame of contracts, lazily.

    The rows are shuffled into parts by underlying and quote date, and each part is one call of
    ``chain.surface`` on the workers, so the numbers are those of ``chain.surface`` on the
    whole frame.

    Parameters
    ----------
    quotes : dask.dataframe.DataFrame or pandas.DataFrame
        One row per contract, as ``chain.surface`` takes it.
    npartitions : int, optional
        The parts to shuffle into (default: the frame's partitions).
    **options
        The options of ``chain.surface`` (``rate``, ``discount``, ``quote_date``, ``style``,
        ``columns``...).

    Returns
    -------
    (dask.dataframe.DataFrame, dask.dataframe.DataFrame)
        The rows with the added columns (in the order of their parts; sort by the index to
        restore the frame's, where it numbers the rows of the whole frame: a pandas frame's
        default index does, ``dd.read_csv``'s starts again in every partition) and one row per
        group. Compute them together
        (``dask.compute(table, summary)``) so that each part runs once.

    Examples
    --------
    >>> import dask
    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> from kelvo import dask as kd, sample
    >>> frame = dd.from_pandas(pd.read_csv(sample.OPTIONS_PATH), npartitions=2)
    >>> table, summary = dask.compute(*kd.surface(frame, rate=0.04))
    >>> len(summary), len(table)
    (8, 332)
    """
    import dask
    import dask.dataframe as dd
    import pandas as pd

    frame = _as_dask_frame(quotes)
    names = find_columns(list(frame.columns), options.get("columns"),
                         snapshot=options.get("snapshot"), spot=options.get("spot"))
    options = dict(options, threads=1)
    added = RESULT_COLUMNS + (GREEK_COLUMNS if options.get("greeks") else ())
    meta = frame._meta.set_axis(kept_input_names(list(frame.columns), added), axis=1)
    meta = meta.assign(**{c: pd.Series([], dtype=np.float64) for c in added})
    keyed_meta = frame._meta.assign(**{_ROW: pd.Series([], dtype=np.int64),
                                       _PART: pd.Series([], dtype=np.uint64)})
    keyed = frame.map_partitions(_with_keys, names, options.get("quote_date"), meta=keyed_meta)
    parts = keyed.shuffle(on=_PART, npartitions=npartitions or frame.npartitions)
    found = dask.delayed(first_rows_columns)(frame.partitions[0], options.get("columns"),
                                             options.get("snapshot"), options.get("spot"))
    results = [dask.delayed(_surface_of_part)(part, options, found)
               for part in parts.to_delayed()]
    summary_meta = pd.DataFrame({c: pd.Series([], dtype=t) for c, t in SUMMARY_DTYPES.items()})
    table = dd.from_delayed([r[0] for r in results], meta=meta, verify_meta=False)
    summary = dd.from_delayed([r[1] for r in results], meta=summary_meta, verify_meta=False)
    return table, summary

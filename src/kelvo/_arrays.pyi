"""American (BAW) and European prices, sensitivities and implied volatilities over NumPy
arrays, and the accurate engine's (vectorized_alo_*), as native loops on every core with
the interpreter lock released. kelvo.price, kelvo.implied_vol and kelvo.greeks broadcast
onto them; the command line reads and writes tables of contracts and finds their
forwards with the rest."""
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

_Floats = npt.ArrayLike


def vectorized_baw_price(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                         sigmas: _Floats, flags: Iterable[Any], *, threads: int | None = None
                         ) -> npt.NDArray[np.float64]:
    """American (BAW) prices over parallel arrays, with the interpreter lock released.

Element i is baw_price(S_arr[i], K_arr[i], D_arr[i], F_arr[i], sigmas[i], flags[i]), bit
for bit; the inputs follow the rules of vectorized_baw_implied_vol (the length of S_arr,
shorter inputs refused, a flag equal to 'c' a call). Flags in a NumPy str array are read
from its buffer by the same rule, as are those of a bool or bytes array, all puts (they
never equal the text 'c'). Returns a float64 array.

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def vectorized_baw_greeks(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                          sigmas: _Floats, flags: Iterable[Any], *, threads: int | None = None
                          ) -> dict[str, npt.NDArray[np.float64]]:
    """American (BAW) prices and sensitivities over parallel arrays, interpreter lock released.

Returns a dict of float64 arrays: 'price' (bit for bit vectorized_baw_price), 'delta' =
dV/dS and 'gamma' = d2V/dS2 with D and the carry F/S held (the forward moves with the
spot), and 'vega' = dV/dsigma per unit of total standard deviation; multiply it by
sqrt(T)/100 for the change per volatility point; and 'dF' = dV/dF and 'dD' = dV/dD, the
other inputs held. In the exercise region delta is +1 or -1 and the others 0.

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def vectorized_baw_implied_vol(prices: _Floats, S_arr: _Floats, K_arr: _Floats, D_arr: _Floats,
                               F_arr: _Floats, flags: Iterable[Any], *,
                               threads: int | None = None) -> npt.NDArray[np.float64]:
    """American (BAW) implied total standard deviations over parallel arrays, interpreter lock
released.

Element i is baw_implied_vol of element i, bit for bit kelvo.baw_core's
vectorized_baw_implied_vol (0.0 at or below intrinsic value, NaN where no volatility
reproduces the price), whose rules the inputs follow. Returns a float64 array.

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def vectorized_european_price(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                              sigmas: _Floats, flags: Iterable[Any], *,
                              threads: int | None = None) -> npt.NDArray[np.float64]:
    """European (Black) prices over parallel arrays, with the interpreter lock released.

Element i is the discounted Black price D (F N(d1) - K N(d2)) of a call (or of a put) at
total standard deviation sigmas[i]; S_arr[i] plays no part in it. The inputs follow the
rules of vectorized_baw_price. Returns a float64 array.

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def vectorized_european_greeks(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                               sigmas: _Floats, flags: Iterable[Any], *,
                               threads: int | None = None) -> dict[str, npt.NDArray[np.float64]]:
    """European (Black) prices and sensitivities over parallel arrays, interpreter lock released.

Returns a dict of float64 arrays 'price', 'delta', 'gamma', 'vega', 'dF' and 'dD', defined
as for vectorized_baw_greeks (delta and gamma with D and the carry F/S held).

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def vectorized_european_implied_vol(prices: _Floats, S_arr: _Floats, K_arr: _Floats,
                                    D_arr: _Floats, F_arr: _Floats, flags: Iterable[Any], *,
                                    threads: int | None = None) -> npt.NDArray[np.float64]:
    """European (Black) implied total standard deviations over parallel arrays, interpreter lock
released.

Element i solves the Black price of element i for sigma to 1e-10: 0.0 for a price at or
below the zero-volatility value D max(F - K, 0) (or D max(K - F, 0)) plus 1e-10, NaN where
no volatility up to 16 reproduces it or an input is NaN. The inputs follow the rules of
vectorized_baw_implied_vol. Returns a float64 array.

threads (keyword): the native threads that share the elements; by default one per
tenth of a millisecond of work, up to the cores this process may use (one for small
arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."""

def csv_lines(text: bytes, starts: npt.NDArray[np.int64], ends: npt.NDArray[np.int64],
              pads: npt.NDArray[np.int64], columns: Iterable[npt.NDArray[np.float64]],
              /) -> bytes:
    """CSV lines made of records of text (bytes) and result fields: line i is
text[starts[i]:ends[i]], pads[i] empty fields, then ',x0,x1,...' from the equal-length
float64 columns, each value as '%.12g' in the C locale and NaN as an empty field, and
'\\r\\n'. starts, ends and pads are int64 arrays (pads at most 2**31 - 1), each span
checked where it is written. Formatted with the interpreter lock released."""

def scan_csv(text: bytes, position: int, line: int, final: bool, n_fields: int,
             numbers: Iterable[int], texts: Iterable[int], max_records: int, /
             ) -> tuple[int, int, npt.NDArray[np.int64], npt.NDArray[np.int64],
                        npt.NDArray[np.int64], npt.NDArray[np.int64],
                        tuple[npt.NDArray[np.float64], ...], tuple[npt.NDArray[np.int32], ...],
                        tuple[tuple[str, ...], ...]]:
    """Up to max_records CSV records of text (bytes) from offset position, which is on line
number line. Returns (position, line, starts, ends, pads, lines, numbers, codes,
distinct): where the records read end and the line there; each record's span of text,
its count of missing fields and its first line; a float64 array per column of numbers
(NaN where a cell is not a number); and per column of texts, each record's int32 code
and the distinct texts in first-seen order. Unless final, a record the text may not hold
whole is left for the next call. ValueError naming the line for a record with more fields
than n_fields, and at the end for a quoted field never closed. n_fields is at most
2**31 - 1; arguments out of range are ValueError or OverflowError."""

def group_forwards(calls: _Floats, puts: _Floats, strikes: _Floats, bounds: npt.ArrayLike,
                   S: _Floats, D: _Floats, search: npt.ArrayLike, /, *,
                   threads: int | None = None
                   ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64],
                              npt.NDArray[np.int64]]:
    """(forward, parity, used) of each group g of paired call and put prices, rows
bounds[g]:bounds[g + 1], at spot S[g] and discount factor D[g]: the forward as
find_forward_baw's search finds it on those strikes (the parity estimate over them, then
the bounded search around it), of the BAW implied volatilities where search[g] is 1, of
the accurate American engine's where 2 (3: its fast setting), or the parity estimate
itself where 0 (European options); the parity estimate; and the count of strikes. NaN and 0
where S or D is not finite or the group has no rows. The groups are shared among
threads native threads (by default as many as the searches pay for, up to the cores),
with the interpreter released; any count gives the same bits. Ctrl-C on the main thread
stops them all."""

FALLBACK_WIDTHS: tuple[float, ...]
DEFAULT_STRIKE_PCT: float
SEARCH_BAND: float
FORWARD_XATOL: float

def parity_forward(calls: npt.NDArray[np.float64], puts: npt.NDArray[np.float64],
                   strikes: npt.NDArray[np.float64], S: float, D: float, /) -> float:
    """The put-call parity estimate of the forward that find_forward_baw searches around: the
mean of K + (C - P) / D over the strikes given (float64 arrays), S when there are none."""


def exp_into(x: npt.NDArray[np.float64], out: npt.NDArray[np.float64], /) -> None:
    """out[i] = exp(x[i]) by kelvo's own exp (within 1 ulp, the same bits on every CPU), for
contiguous float64 arrays of one length."""


def log_into(x: npt.NDArray[np.float64], out: npt.NDArray[np.float64], /) -> None:
    """out[i] = log(x[i]) by kelvo's own log (within 1 ulp, the same bits on every CPU), for
contiguous float64 arrays of one length."""

def vectorized_alo_price(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                         sigmas: _Floats, flags: Iterable[Any], precision: str = "accurate",
                         /, *, threads: int | None = None) -> npt.NDArray[np.float64]:
    """American prices by the early-exercise boundary's integral equation (Andersen, Lake and
Offengeim) over parallel arrays, with the interpreter lock released. Inputs as for
vectorized_baw_price; precision 'accurate' (about 1e-9 relative) or 'fast' (about 1e-6).
NaN where the method does not apply. Returns a float64 array. threads: as for
vectorized_baw_price."""

def vectorized_alo_implied_vol(prices: _Floats, S_arr: _Floats, K_arr: _Floats, D_arr: _Floats,
                               F_arr: _Floats, flags: Iterable[Any], precision: str = "accurate",
                               /, *, threads: int | None = None) -> npt.NDArray[np.float64]:
    """Implied total standard deviations of vectorized_alo_price over parallel arrays, with the
interpreter lock released: 0.0 for a price at or below spot intrinsic value plus 1e-10,
NaN where no sigma up to 8 reproduces the price. Inputs as for vectorized_baw_implied_vol.
Returns a float64 array. threads: as for vectorized_baw_price."""

def vectorized_alo_greeks(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                          sigmas: _Floats, flags: Iterable[Any], precision: str = "accurate",
                          /, *, threads: int | None = None) -> dict[str, npt.NDArray[np.float64]]:
    """Prices and sensitivities of vectorized_alo_price over parallel arrays, interpreter lock
released: a dict of float64 arrays 'price' (bit for bit vectorized_alo_price), 'delta' and
'gamma' in the spot with D and F/S held, 'vega' per unit of total standard deviation, by
the method's own derivatives (the boundary's sensitivity to sigma from its Newton system),
and 'dF' = dV/dF and 'dD' = dV/dD by central differences of its price (steps of 1e-4
sigma of F and D, smaller and one-sided near the exercise region; 0 inside it). threads:
as for vectorized_baw_price."""

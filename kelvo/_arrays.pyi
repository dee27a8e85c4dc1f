"""American (BAW) prices and sensitivities over NumPy arrays, as native loops with the
interpreter lock released. kelvo.price and kelvo.greeks broadcast onto them."""
from collections.abc import Iterable
from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

_Floats = npt.ArrayLike

np: ModuleType

def vectorized_baw_price(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                         sigmas: _Floats, flags: Iterable[Any]) -> npt.NDArray[np.float64]:
    """American (BAW) prices over parallel arrays, with the interpreter lock released.

Element i is baw_price(S_arr[i], K_arr[i], D_arr[i], F_arr[i], sigmas[i], flags[i]), bit
for bit; the inputs follow the rules of vectorized_baw_implied_vol (the length of S_arr,
shorter inputs refused, a flag equal to 'c' a call). Returns a float64 array."""

def vectorized_baw_greeks(S_arr: _Floats, K_arr: _Floats, D_arr: _Floats, F_arr: _Floats,
                          sigmas: _Floats, flags: Iterable[Any]) -> dict[str, npt.NDArray[np.float64]]:
    """American (BAW) prices and sensitivities over parallel arrays, interpreter lock released.

Returns a dict of float64 arrays: 'price' (bit for bit vectorized_baw_price), 'delta' =
dV/dS and 'gamma' = d2V/dS2 with D and the carry F/S held (the forward moves with the
spot), and 'vega' = dV/dsigma per unit of total standard deviation; multiply it by
sqrt(T)/100 for the change per volatility point. In the exercise region delta is +1 or -1
and gamma and vega are 0."""

def csv_fields(columns: Iterable[npt.NDArray[np.float64]], /) -> str:
    """The rows of equal-length float64 columns as CSV text: row i is ',x0,x1,...' with each
value as '%.12g' in the C locale and NaN as an empty field, rows separated by '\\n'.
Formatted with the interpreter lock released."""

"""Barone-Adesi-Whaley (1987) American option pricer and IV solver.

Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and
find_forward_baw as native code (array loops run without the interpreter lock, with SciPy's native brentq inside).
"""
from collections.abc import Iterable
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

_Number = SupportsFloat | SupportsIndex
_Floats = npt.ArrayLike


def baw_price(S: _Number, K: _Number, D: _Number, F: _Number, sigma: _Number, flag: object) -> float:
    """BAW American option price (Barone-Adesi-Whaley quadratic approximation).

    S spot, K strike, D discount factor, F forward, sigma total std dev.
    flag: 'c' or 'p'.
    """

def baw_implied_vol(price: _Number, S: _Number, K: _Number, D: _Number, F: _Number,
                    flag: object) -> float:
    """BAW implied total std dev that reproduces an American option price.

    Returns sigma or NaN on failure.
    """

def vectorized_baw_implied_vol(prices: _Floats, S_arr: _Floats, K_arr: _Floats, D_arr: _Floats,
                               F_arr: _Floats, flags: Iterable[Any]) -> npt.NDArray[np.float64]:
    """Batch BAW IV extraction over parallel arrays, with the interpreter lock released.

    All inputs are arrays of equal length. flags is array of 'c'/'p'.
    Returns numpy array of implied vols.
    """

def find_forward_baw(call_prices: _Floats, put_prices: _Floats, strikes: _Floats, S: _Number,
                     D: _Number, strike_pct: _Number = 0.01) -> float:
    """Find forward price F where BAW call IV ≈ put IV across near-ATM strikes."""

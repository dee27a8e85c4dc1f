"""kelvo: American option prices, implied volatilities and implied forwards (BAW 1987)."""

import os as _os

try:
    from kelvo.baw_core import (baw_implied_vol, baw_price, find_forward_baw,
                                vectorized_baw_implied_vol)
except ImportError:
    # the source tree holds the modules' C++ folders, not the modules built from them
    from importlib.machinery import EXTENSION_SUFFIXES

    if not any(_os.path.exists(_os.path.join(_os.path.dirname(__file__), "baw_core" + suffix))
               for suffix in EXTENSION_SUFFIXES):
        raise ImportError(f"kelvo's native modules are not built in {_os.path.dirname(__file__)}: "
                          "install kelvo (pip install .) and import the installed one") from None
    raise
from kelvo._arrays import vectorized_baw_greeks, vectorized_baw_price
from kelvo.broadcast import greeks, implied_vol, price

__all__ = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw",
           "vectorized_baw_price", "vectorized_baw_greeks", "price", "implied_vol", "greeks"]
__version__ = "0.1.0"

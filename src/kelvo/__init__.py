"""kelvo: American option prices, implied volatilities and implied forwards (BAW 1987)."""

from kelvo.baw_core import (baw_implied_vol, baw_price, find_forward_baw,
                            vectorized_baw_implied_vol)
from kelvo._arrays import vectorized_baw_greeks, vectorized_baw_price
from kelvo.broadcast import greeks, implied_vol, price

__all__ = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw",
           "vectorized_baw_price", "vectorized_baw_greeks", "price", "implied_vol", "greeks"]
__version__ = "0.1.0"

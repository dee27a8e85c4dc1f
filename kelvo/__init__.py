"""kelvo: American option prices, implied volatilities and implied forwards (BAW 1987)."""

from kelvo.baw_core import baw_price

__all__ = ["baw_price"]
__version__ = "0.1.0"

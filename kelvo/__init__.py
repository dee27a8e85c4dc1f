"""kelvo: American option prices, implied volatilities and implied forwards (BAW 1987)."""

from kelvo.baw_core import (baw_implied_vol, baw_price, find_forward_baw,
                            vectorized_baw_implied_vol)

__all__ = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"]
__version__ = "0.1.0"

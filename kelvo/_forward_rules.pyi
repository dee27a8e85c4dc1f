"""The forward search's strike windows, parity estimate and search band, as the native
find_forward_baw uses them."""
import numpy as np
import numpy.typing as npt

FALLBACK_WIDTHS: tuple[float, ...]
DEFAULT_STRIKE_PCT: float
SEARCH_BAND: float
FORWARD_XATOL: float

def parity_forward(calls: npt.NDArray[np.float64], puts: npt.NDArray[np.float64],
                   strikes: npt.NDArray[np.float64], S: float, D: float) -> float: ...

"""kelvo's public API as a user's typed code calls it: `mypy --strict` on this file (CI's docs
stage) checks that the annotations of every public function say what the functions take and
give."""
import numpy as np
import numpy.typing as npt
import pandas as pd

import kelvo
from kelvo import chain, plot, sample
from kelvo import dask as kd
from kelvo.cli import main


def scalars() -> float:
    price: float = kelvo.price(100.0, 100.0, 0.99, 101.0, 0.2, "c")
    vol: float = kelvo.implied_vol(price, 100.0, 100.0, 0.99, 101.0, "c", model="alo",
                                   precision="fast")
    native: float = kelvo.baw_price(100.0, 100.0, 0.99, 101.0, vol, "c")
    return native + kelvo.baw_implied_vol(native, 100.0, 100.0, 0.99, 101.0, "c")


def arrays(strikes: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    prices = kelvo.vectorized_baw_price(np.full(len(strikes), 100.0), strikes,
                                        np.full(len(strikes), 0.99),
                                        np.full(len(strikes), 101.0),
                                        np.full(len(strikes), 0.2), ["c"] * len(strikes))
    vols = kelvo.implied_vol(prices, 100.0, strikes, 0.99, 101.0, "call", threads=2,
                             style="european")
    greeks = kelvo.greeks(100.0, strikes, 0.99, 101.0, 0.2, is_call=strikes > 100.0)
    forward: float = kelvo.find_forward_baw(prices, prices, strikes, 100.0, 0.99)
    assert forward == forward and greeks is not None and vols is not None
    return kelvo.vectorized_baw_implied_vol(prices, np.full(len(strikes), 100.0), strikes,
                                            np.full(len(strikes), 0.99),
                                            np.full(len(strikes), 101.0),
                                            ["c"] * len(strikes))


def chains() -> tuple[pd.DataFrame, pd.DataFrame]:
    quotes = pd.read_csv(sample.OPTIONS_PATH)
    table, summary = chain.surface(quotes, rate=0.04, style="american", threads=1)
    figure = plot.surface(table, summary, by_strike=True)
    figure.savefig("surface.png")
    lazy_table, lazy_summary = kd.surface(quotes, rate=0.04)
    assert lazy_table is not None and lazy_summary is not None
    code: int = main(["-q"])
    assert code == 0
    return table, summary

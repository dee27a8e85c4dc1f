"""QuantLib's accurate American engines on kelvo's forward-form inputs, for comparison: the
fixed-point engine of Andersen, Lake and Offengeim (QdFpAmericanEngine) and the finite-difference
engine on a fine grid with Richardson extrapolation.

Forward form maps onto a year of constant rates: r = -log D, q = r - log(F / S), volatility =
sigma (the total standard deviation), T = 1.
"""
import math

try:
    import QuantLib as ql
except ImportError:  # pragma: no cover - optional
    ql = None


class QuantLibAmerican:
    """One American option re-quoted for every price. engine: "qdfp" (scheme "fast", "accurate"
    or "high") or "fd" (grid = (time steps, spot steps))."""

    def __init__(self, engine="qdfp", scheme="accurate", grid=(800, 800)):
        today = ql.Date(1, 1, 2026)
        ql.Settings.instance().evaluationDate = today
        dc = ql.Actual365Fixed()
        self.today, self.expiry = today, today + 365
        self.spot = ql.SimpleQuote(100.0)
        self.rate = ql.SimpleQuote(0.02)
        self.div = ql.SimpleQuote(0.01)
        self.vol = ql.SimpleQuote(0.2)
        self.process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(self.spot),
            ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(self.div), dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(self.rate), dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(),
                                                               ql.QuoteHandle(self.vol), dc)))
        if engine == "qdfp":
            schemes = {"fast": ql.QdFpAmericanEngine.fastScheme,
                       "accurate": ql.QdFpAmericanEngine.accurateScheme,
                       "high": ql.QdFpAmericanEngine.highPrecisionScheme}
            self.engine = ql.QdFpAmericanEngine(self.process, schemes[scheme]())
        else:
            self.engine = ql.FdBlackScholesVanillaEngine(self.process, grid[0], grid[1])
        self.options = {}

    def _option(self, K, call):
        key = (K, call)
        if key not in self.options:
            payoff = ql.PlainVanillaPayoff(ql.Option.Call if call else ql.Option.Put, K)
            option = ql.VanillaOption(payoff, ql.AmericanExercise(self.today, self.expiry))
            option.setPricingEngine(self.engine)
            self.options[key] = option
        return self.options[key]

    def quote(self, S, D, F, sigma):
        r = -math.log(D)
        self.spot.setValue(S)
        self.rate.setValue(r)
        self.div.setValue(r - math.log(F / S))
        self.vol.setValue(sigma)

    def price(self, S, K, D, F, sigma, call):
        self.quote(S, D, F, sigma)
        return self._option(K, call).NPV()

    def implied_vol(self, price, S, K, D, F, call, accuracy=1e-10):
        """sigma by QuantLib's Brent solver on this engine's prices, NaN where none is found."""
        option = self._option(K, call)
        self.quote(S, D, F, 0.2)

        def error(sigma):
            self.vol.setValue(sigma)
            return option.NPV() - price

        try:
            return ql.Brent().solve(error, accuracy, 0.2, 1e-4, 8.0)
        except RuntimeError:
            return math.nan


def fd_richardson(S, K, D, F, sigma, call, grid=(1000, 1000)):
    """QuantLib's finite-difference American price on grid and on twice as fine a grid,
    extrapolated assuming second order; returns (price, error estimate)."""
    coarse = QuantLibAmerican("fd", grid=grid).price(S, K, D, F, sigma, call)
    fine = QuantLibAmerican("fd", grid=(2 * grid[0], 2 * grid[1])).price(S, K, D, F, sigma, call)
    return fine + (fine - coarse) / 3, abs(fine - coarse) / 3

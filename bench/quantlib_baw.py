"""QuantLib's Barone-Adesi-Whaley engine on the same forward-form inputs, for comparison.

QuantLib's own VanillaOption.impliedVolatility on an American option does not use the option's
engine: it prices with a finite-difference engine (FdBlackScholesVanillaEngine) of its own, so it
is a finite-difference implied volatility, not a BAW one. implied_vol_brent inverts the BAW engine
itself with SciPy's brentq, on kelvo's general bracket and tolerances.
"""
import math

from scipy.optimize import brentq

try:
    import QuantLib as ql
except ImportError:  # pragma: no cover - optional
    ql = None


class QuantLibBAW:
    """One American option whose spot, rates and volatility are re-quoted for every price."""

    def __init__(self):
        today = ql.Date(1, 1, 2026)
        ql.Settings.instance().evaluationDate = today
        self.T = 1.0
        dc = ql.Actual365Fixed()
        self.expiry = today + 365
        self.spot = ql.SimpleQuote(100.0)
        self.rate = ql.SimpleQuote(0.02)
        self.div = ql.SimpleQuote(0.01)
        self.vol = ql.SimpleQuote(0.2)
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(self.spot),
            ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(self.div), dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(self.rate), dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(),
                                                               ql.QuoteHandle(self.vol), dc)))
        self.process = process
        self.engine = ql.BaroneAdesiWhaleyApproximationEngine(process)
        self.options = {}

    def option(self, K, call):
        key = (K, call)
        if key not in self.options:
            payoff = ql.PlainVanillaPayoff(ql.Option.Call if call else ql.Option.Put, K)
            opt = ql.VanillaOption(payoff, ql.AmericanExercise(ql.Date(1, 1, 2026), self.expiry))
            opt.setPricingEngine(self.engine)
            self.options[key] = opt
        return self.options[key]

    def set_market(self, S, D, F, sigma):
        """Forward form to QuantLib's quotes over its one-year expiry."""
        r = -math.log(D) / self.T
        self.spot.setValue(S)
        self.rate.setValue(r)
        self.div.setValue(r - math.log(F / S) / self.T)
        self.vol.setValue(sigma / math.sqrt(self.T))

    def price(self, S, K, D, F, sigma, call):
        self.set_market(S, D, F, sigma)
        return self.option(K, call).NPV()

    def implied_vol_fd(self, price, S, K, D, F, call):
        """QuantLib's impliedVolatility: a finite-difference engine's, whatever the option's."""
        self.set_market(S, D, F, 0.2)
        return self.option(K, call).impliedVolatility(price, self.process, 1e-10, 200, 1e-8, 8.0)

    def implied_vol_brent(self, price, S, K, D, F, call):
        """The BAW engine inverted by brentq on [1e-8, sigma_hi], sigma_hi grown 1, 2, 4, 8 as
        kelvo's general search grows it, to 1e-10 in sigma; NaN where nothing brackets."""
        option = self.option(K, call)

        def objective(sigma):
            self.set_market(S, D, F, sigma)
            return option.NPV() - price

        hi = 1.0
        while objective(hi) < 0:
            hi *= 2
            if hi > 8:
                return math.nan
        if objective(1e-8) > 0:
            return math.nan
        return brentq(objective, 1e-8, hi, xtol=1e-10, rtol=1e-10, maxiter=200)

"""Whole option chains as data vendors export them: one row per contract, many expiries (and
underlyings), bid and ask, dates. ``surface`` finds the implied forward of every
(underlying, expiry) and the implied volatility of every quote.

Column roles are found by name, case-insensitively, among the names common exports use
(``ROLES``); ``columns={"role": "name"}`` overrides any of them.
"""
import datetime
import math

import numpy as np

from kelvo import vectorized_baw_implied_vol
from kelvo._arrays import group_forwards
from kelvo._arrays import DEFAULT_STRIKE_PCT, FALLBACK_WIDTHS

# role: the column names that stand for it, compared in lower case without surrounding blanks
ROLES = {
    "symbol": ("underlyingsymbol", "underlying_symbol", "symbol", "underlying", "ticker", "root"),
    "spot": ("underlyingprice", "underlying_price", "active_underlying_price", "spot",
             "underlying_last", "stock_price"),
    "type": ("type", "option_type", "cp_flag", "call_put", "putcall", "put_call", "right",
             "optiontype"),
    "expiry": ("expiration", "expiry", "expiration_date", "expirationdate", "exdate",
               "maturity", "expire_date"),
    "quote_date": ("datadate", "quote_date", "date", "quotedate", "trade_date", "as_of"),
    "strike": ("strike", "strike_price", "strikeprice"),
    "bid": ("bid", "bid_eod", "best_bid", "bid_price"),
    "ask": ("ask", "ask_eod", "best_ask", "offer", "ask_price"),
    "mid": ("mid", "price", "mark", "last", "last_price"),
    "rate": ("rate", "interest_rate", "risk_free_rate"),
    "discount": ("discount", "discount_factor"),
}
REQUIRED = ("type", "expiry", "strike", "spot")
CALL_WORDS = {"c", "call", "calls"}
PUT_WORDS = {"p", "put", "puts"}
DATE_FORMATS = ("%Y-%m-%d", "%m/%d/%Y", "%Y%m%d", "%Y/%m/%d")
DAYS_PER_YEAR = 365.0
NO_WINDOW = len(FALLBACK_WIDTHS) + 1  # position of "every strike" in the window ladder
RESULT_COLUMNS = ("T", "D", "forward", "sd_mid", "sd_bid", "sd_ask", "iv_mid", "iv_bid",
                  "iv_ask")


def find_columns(names, columns=None):
    """role -> column name for the columns of a table; ValueError naming the required roles it
    cannot find and the columns it has."""
    given = dict(columns or {})
    unknown = set(given) - set(ROLES)
    if unknown:
        raise ValueError(f"unknown column roles {sorted(unknown)}; the roles are {sorted(ROLES)}")
    lowered = {str(name).strip().lower(): name for name in names}
    found = {}
    for role, aliases in ROLES.items():
        if role in given:
            if given[role] not in names:
                raise ValueError(f"columns= names {given[role]!r} for {role}, but there is no "
                                 f"such column (have {', '.join(map(str, names))})")
            found[role] = given[role]
            continue
        for alias in aliases:
            if alias in lowered:
                found[role] = lowered[alias]
                break
    missing = [role for role in REQUIRED if role not in found]
    if "mid" not in found and not ("bid" in found and "ask" in found):
        missing.append("bid and ask, or mid")
    if missing:
        raise ValueError(f"cannot find the column for {', '.join(missing)} (have "
                         f"{', '.join(map(str, names))}); name them with columns=")
    return found


def parse_dates(values, name="dates", strict=True):
    """Dates in ISO (2024-01-19), US (01/19/2024) or compact (20240119) form, as datetime64;
    NaT where a cell is none of them. ValueError when no cell is a date (unless not strict)."""
    import pandas as pd

    if pd.api.types.is_datetime64_any_dtype(values):
        return pd.to_datetime(values).astype("datetime64[ns]")
    cells = pd.Series(values)
    # a table holds few distinct dates: each is read once
    codes, distinct = pd.factorize(cells.to_numpy(dtype=object), use_na_sentinel=False)
    return pd.Series(date_values(distinct, name, strict)[codes], index=cells.index)


def date_values(distinct, name="dates", strict=True):
    """The datetime64[ns] of each of a few distinct cells, as parse_dates reads them: the
    format that reads most of a sample of them first, then the others for what it leaves."""
    text = [str(t).strip() for t in distinct]
    sample = [t for t in text if t][:50]
    order = sorted(DATE_FORMATS, key=lambda fmt: -sum(_date(t, fmt) is not None
                                                       for t in sample))
    values = []
    for t in text:
        value = next((d for d in (_date(t, fmt) for fmt in order) if d is not None), None)
        values.append(np.datetime64("NaT") if value is None else value)
    dates = np.array(values, dtype="datetime64[ns]")
    if strict and len(text) and np.isnat(dates).all():
        raise ValueError(f"{name}: no cell is a date in ISO, month/day/year or YYYYMMDD form "
                         f"(first cell {text[0]!r})")
    return dates


def _date(text, fmt):
    try:
        value = datetime.datetime.strptime(text, fmt)
    except ValueError:
        return None
    # the years datetime64[ns] holds whole (it spans 1677-09-21 to 2262-04-11)
    return value if 1678 <= value.year <= 2261 else None


def parse_types(values):
    """"c" for calls and "p" for puts in any of the usual spellings (C, Call, CALLS, P, put...),
    None for anything else."""
    import pandas as pd

    codes, distinct = pd.factorize(pd.Series(values).to_numpy(dtype=object),
                                   use_na_sentinel=False)
    return type_flags(distinct)[codes]


def type_flags(distinct):
    """parse_types of a few distinct cells."""
    words = [str(t).strip().lower() for t in distinct]
    return np.array(["c" if w in CALL_WORDS else "p" if w in PUT_WORDS else None for w in words],
                    dtype=object)


def window_index(strikes, S, strike_pct):
    """For each strike, the position in the forward search's window ladder of the first window
    that holds it (NO_WINDOW where none does), with the ends computed as the search does."""
    widths = (strike_pct,) + FALLBACK_WIDTHS
    first = np.full(len(strikes), len(widths))
    for i in reversed(range(len(widths))):
        lo, hi = S * (1.0 - widths[i]), S * (1.0 + widths[i])
        first[(strikes >= lo) & (strikes <= hi)] = i
    return first


def usable(calls, puts):
    """Both prices finite and positive: the strikes the forward search may use."""
    with np.errstate(invalid="ignore"):
        return np.isfinite(calls) & np.isfinite(puts) & (calls > 0) & (puts > 0)


def expiry_forward(calls, puts, strikes, S, D, strike_pct=DEFAULT_STRIKE_PCT):
    """(forward, parity estimate, strikes used) of one expiry from paired call and put prices:
    only usable strikes, in strike order, go to the search find_forward_baw makes."""
    forward, parity, used = group_forwards(calls, puts, strikes, (0, len(calls)), (S,), (D,),
                                           strike_pct)
    return float(forward[0]), float(parity[0]), int(used[0])


def mid_prices(bid, ask, mid=None):
    """The mid column where given, else (bid + ask) / 2 where 0 < bid <= ask; NaN otherwise."""
    if mid is not None:
        return np.asarray(mid, dtype=np.float64)
    bid, ask = np.asarray(bid, dtype=np.float64), np.asarray(ask, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        good = (bid > 0) & (ask >= bid) & np.isfinite(ask)
    return np.where(good, (bid + ask) / 2, np.nan)


def discount_factors(T, expiry, rate=None, discount=None, rate_column=None,
                     discount_column=None):
    """D for every row: exp(-rate T) for a flat continuously compounded rate (or a rate column),
    a discount factor per expiry from a mapping, or a discount column. ValueError without any:
    a zero rate is never assumed."""
    given = [x is not None for x in (rate, discount, rate_column, discount_column)]
    if sum(given) == 0:
        raise ValueError("no interest rate: give rate= (continuously compounded), discount= "
                         "(a discount factor per expiry) or a rate or discount column")
    if sum(given) > 1:
        raise ValueError("give one of rate=, discount=, a rate column or a discount column")
    if rate is not None:
        return np.exp(-float(rate) * T)
    if rate_column is not None:
        return np.exp(-to_numbers(rate_column) * T)
    if discount_column is not None:
        return to_numbers(discount_column)
    keys = date_values(list(discount.keys()), "discount=")
    by_date = dict(zip(keys, (float(v) for v in discount.values())))
    return np.array([by_date.get(e, math.nan) for e in np.asarray(expiry, dtype="datetime64[ns]")],
                    dtype=np.float64)


def to_numbers(column):
    """float64 of a column's cells, NaN where a cell is not a number; a float64 array (a column
    the command line's reader has read) as it is. Text that is plain ASCII without digit
    separators is read by float() in one pass (pd.to_numeric reads it alike, several times
    slower); anything else goes to pd.to_numeric."""
    if isinstance(column, np.ndarray) and column.dtype == np.float64:
        return column
    import pandas as pd

    column = pd.Series(column)
    cells = column.to_numpy(dtype=object)
    try:
        text = "".join(cells)
        if text.isascii() and "_" not in text:
            return cells.astype(np.float64)
    except (TypeError, ValueError):
        pass
    return pd.to_numeric(column, errors="coerce").to_numpy(dtype=np.float64)


def years_to_expiry(expiry, quote_date):
    """Calendar days from quote_date to expiry (datetime64 arrays) over 365; NaN where either is
    NaT."""
    days = (expiry - quote_date) / np.timedelta64(1, "D")
    return np.asarray(days, dtype=np.float64) / DAYS_PER_YEAR


class Quotes:
    """The numbers of a table of contracts, by role: strike, spot, flag ('c', 'p' or None),
    expiry and quote date, time to expiry, discount factor and the mid, bid and ask prices."""

    def __init__(self, frame, names, *, rate=None, discount=None, quote_date=None):
        import pandas as pd

        number = lambda role: to_numbers(frame[names[role]]) if role in names else None
        self.strike = number("strike")
        self.spot = number("spot")
        self.flag = parse_types(frame[names["type"]])
        self.expiry = parse_dates(frame[names["expiry"]], names["expiry"])
        if quote_date is not None:
            self.quote_date = pd.Series(parse_dates(pd.Series([str(quote_date)]))[0],
                                        index=frame.index)
        elif "quote_date" in names:
            self.quote_date = parse_dates(frame[names["quote_date"]], names["quote_date"])
        else:
            raise ValueError("no quote date: give quote_date= or a quote-date column "
                             f"(one of {', '.join(ROLES['quote_date'])})")
        self.T = years_to_expiry(self.expiry.to_numpy(), self.quote_date.to_numpy())
        self.D = discount_factors(self.T, self.expiry, rate, discount,
                                  frame[names["rate"]] if "rate" in names else None,
                                  frame[names["discount"]] if "discount" in names else None)
        self.bid = number("bid")
        self.ask = number("ask")
        self.mid = mid_prices(self.bid, self.ask, number("mid"))
        self.symbol = (frame[names["symbol"]].astype(str).to_numpy() if "symbol" in names
                       else np.full(len(frame), "", dtype=object))


def quote_vols(q, S, D, F, T, keep):
    """The result columns of a table's quotes at their expiries' S, D, F and T: total standard
    deviations of the mid, bid and ask and their annualised vols. NaN for rows not kept, at or
    below intrinsic value, that no volatility reproduces, and for the bid of a zero bid."""
    flags = q.flag.tolist()
    out = {"T": T, "D": D, "forward": F}
    with np.errstate(invalid="ignore", divide="ignore"):
        root_T = np.sqrt(np.where(T > 0, T, np.nan))
        for side, prices in (("mid", q.mid), ("bid", q.bid), ("ask", q.ask)):
            if prices is None:
                sd = np.full(len(flags), np.nan)
            else:
                sd = vectorized_baw_implied_vol(np.where(keep, prices, np.nan), S, q.strike, D,
                                                F, flags)
                sd[sd == 0.0] = np.nan  # at or below intrinsic value: no volatility
                if side == "bid":
                    sd[~(prices > 0)] = np.nan
            out[f"sd_{side}"] = sd
        for side in ("mid", "bid", "ask"):
            out[f"iv_{side}"] = out[f"sd_{side}"] / root_T
    return out


def surface(quotes, *, rate=None, discount=None, quote_date=None, columns=None,
            strike_pct=DEFAULT_STRIKE_PCT):
    """Implied forwards and volatilities of a long-layout option table (one row per contract).

    Each (underlying, expiry) group's forward is found with ``find_forward_baw`` on the strikes
    whose call and put mid prices are both usable (finite and positive), at the underlying price
    of the group's first row; every quote is then inverted at its group's forward with
    ``vectorized_baw_implied_vol``.

    - Time to expiry is calendar days between the quote date and the expiration over 365; the
      quote date comes from its column or from ``quote_date=``.
    - Rates: ``rate`` (a flat continuously compounded rate), ``discount`` (a mapping from
      expiration date to discount factor), or a rate or discount column; with none of them a
      ValueError (a zero rate is never assumed).
    - The mid price is the mid column where there is one, else (bid + ask) / 2 where
      0 < bid <= ask. A quote no volatility reproduces, at or below intrinsic value, or with a
      zero bid gives NaN in its volatility column.

    Returns ``(table, summary)``: the input rows with the added columns ``T``, ``D``,
    ``forward``, ``sd_mid``, ``sd_bid``, ``sd_ask`` (total standard deviations) and ``iv_mid``,
    ``iv_bid``, ``iv_ask`` (annualised: sd / sqrt(T)); and one row per (underlying, expiry) with
    ``symbol``, ``expiry``, ``T``, ``D``, ``spot``, ``forward``, ``parity_estimate``,
    ``strikes_used``, ``atm_vol`` (the mean of the call and put mid volatilities at the strike
    nearest the forward), ``quotes`` and ``no_iv`` (quotes whose mid has no volatility).
    """
    import pandas as pd

    names = find_columns(list(quotes.columns), columns)
    q = Quotes(quotes, names, rate=rate, discount=discount, quote_date=quote_date)
    keys = pd.DataFrame({"symbol": q.symbol, "expiry": q.expiry.to_numpy()})
    group_id, groups = pd.factorize(pd.MultiIndex.from_frame(keys), use_na_sentinel=False)
    n_groups = len(groups)
    first_row = np.unique(group_id, return_index=True)[1]  # each group's first row

    S_g, D_g, T_g = q.spot[first_row], q.D[first_row], q.T[first_row]
    # each group's rows in table order, from one stable sort (not a scan of the table a group)
    by_group = np.argsort(group_id, kind="stable")
    bounds = np.searchsorted(group_id[by_group], np.arange(n_groups + 1))
    paired = [pair_quotes(q.strike[rows], q.flag[rows], q.mid[rows])
              for rows in (by_group[bounds[g]:bounds[g + 1]] for g in range(n_groups))]
    pair_bounds = np.cumsum([0] + [len(strikes) for _, _, strikes in paired])
    with np.errstate(invalid="ignore"):
        S_search = np.where(T_g > 0, S_g, np.nan)  # no forward for an expired group
    F_g, parity_g, used_g = group_forwards(
        *(np.concatenate([p[k] for p in paired] or [np.empty(0)]) for k in range(3)),
        pair_bounds, S_search, D_g, strike_pct)

    S, D, F, T = S_g[group_id], D_g[group_id], F_g[group_id], T_g[group_id]
    results = quote_vols(q, S, D, F, T, q.flag != None)  # noqa: E711 (element-wise)
    table = quotes.copy()
    for column in RESULT_COLUMNS:
        table[column] = results[column]
    sd = {side: results[f"sd_{side}"] for side in ("mid", "bid", "ask")}

    no_iv = np.bincount(group_id, weights=np.isnan(sd["mid"]), minlength=n_groups)
    # each group's quoted strike nearest its forward among those with a mid volatility (the
    # first such row on a tie), and the mean volatility there, all groups at once
    good = np.flatnonzero(np.isfinite(sd["mid"]) & np.isfinite(F_g[group_id]))
    g = group_id[good]
    order = np.lexsort((good, np.abs(q.strike[good] - F_g[g]), g))
    first = order[np.r_[True, g[order][1:] != g[order][:-1]]] if len(order) else order
    nearest = np.full(n_groups, np.nan)
    nearest[g[first]] = q.strike[good[first]]
    at = good[q.strike[good] == nearest[g]]
    count = np.bincount(group_id[at], minlength=n_groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        atm = (np.bincount(group_id[at], weights=sd["mid"][at], minlength=n_groups) / count
               / np.sqrt(T_g))
    summary = pd.DataFrame({
        "symbol": groups.get_level_values(0), "expiry": groups.get_level_values(1),
        "T": T_g, "D": D_g, "spot": S_g, "forward": F_g, "parity_estimate": parity_g,
        "strikes_used": used_g, "atm_vol": atm,
        "quotes": np.bincount(group_id, minlength=n_groups), "no_iv": no_iv.astype(np.int64),
    }).sort_values(["symbol", "expiry"], kind="stable", ignore_index=True)
    return table, summary


def pair_quotes(strikes, flags, prices):
    """Call and put prices side by side on the strikes that have both (the first quote of each
    side at a strike, both prices not NaN), in strike order."""
    strikes = np.asarray(strikes, dtype=np.float64)
    flags = np.asarray(flags, dtype=object)
    prices = np.asarray(prices, dtype=np.float64)
    rows = np.flatnonzero(((flags == "c") | (flags == "p")) & np.isfinite(strikes))
    k, put = strikes[rows], flags[rows] == "p"
    # by strike, calls before puts, then in table order: the first of each side leads its run
    order = np.lexsort((rows, put, k))
    k, put, price = k[order], put[order], prices[rows[order]]
    first = np.r_[True, (k[1:] != k[:-1]) | (put[1:] != put[:-1])] if len(k) else np.zeros(0, bool)
    k, put, price = k[first], put[first], price[first]
    calls = np.flatnonzero((k[:-1] == k[1:]) & ~put[:-1] & put[1:])
    c, p = price[calls], price[calls + 1]
    both = ~np.isnan(c) & ~np.isnan(p)
    return c[both], p[both], k[calls][both]

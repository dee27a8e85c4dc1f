"""Whole option chains as data vendors export them: one row per contract, many expiries (and
underlyings), bid and ask, dates. ``surface`` finds the implied forward of every
(underlying, expiry) and the implied volatility of every quote.

Every rule of a chain lives here once, as a function of arrays, and ``surface`` is these steps
in order; the command line and ``kelvo.dask`` run the same functions on the chunks and
partitions they read:

- column roles (``ROLES``, ``find_columns``);
- cells: dates (``date_values``), contract types (``type_flags``), numbers (``to_numbers``);
- a table's numbers by role (``Quotes``): time to expiry (``years_to_expiry``), discount factors
  (``discount_factors``), mid prices (``mid_prices``);
- groups and their values (``GROUP_ROLES``, ``group_values``);
- the quotes the forward search takes: the first quote of each side at a strike
  (``first_quotes``, ``pairs``), usable strikes (``usable``), the strike window
  (``window_index``, ``search_windows``), and the forwards of many groups at once
  (``forwards``);
- the volatilities of every quote (``quote_vols``) and at the money (``atm_candidates``,
  ``atm_vols``).

Column roles are found by name, case-insensitively, among the names common exports use
(``ROLES``); ``columns={"role": "name"}`` overrides any of them.
"""
import datetime
import math

import numpy as np

from kelvo import vectorized_baw_implied_vol
from kelvo._arrays import DEFAULT_STRIKE_PCT, FALLBACK_WIDTHS, group_forwards

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
NUMBER_ROLES = ("strike", "spot", "bid", "ask", "mid", "rate", "discount", "T")
TEXT_ROLES = ("symbol", "type", "expiry", "quote_date")
# the roles whose values make a group: one spot, one forward and one surface each
GROUP_ROLES = ("symbol", "quote_date", "expiry")
CALL_WORDS = {"c", "call", "calls"}
PUT_WORDS = {"p", "put", "puts"}
DATE_FORMATS = ("%Y-%m-%d", "%m/%d/%Y", "%Y%m%d", "%Y/%m/%d")
DAYS_PER_YEAR = 365.0
NO_WINDOW = len(FALLBACK_WIDTHS) + 1  # position of "every strike" in the window ladder
RESULT_COLUMNS = ("T", "D", "forward", "sd_mid", "sd_bid", "sd_ask", "iv_mid", "iv_bid",
                  "iv_ask")
SUMMARY_COLUMNS = ("symbol", "quote_date", "expiry", "T", "D", "spot", "forward", "parity_estimate",
                   "strikes_used", "atm_vol", "quotes", "no_iv")


# -- column roles ------------------------------------------------------------------------------

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


def default_threads(threads=None):
    """The threads a call uses: as given, or the cores (at most four) where not."""
    import os

    return max(1, int(threads)) if threads is not None else max(1, min(4, os.cpu_count() or 1))


# -- cells -------------------------------------------------------------------------------------

def date_values(distinct, name="dates", strict=True):
    """The datetime64[ns] of each of a few distinct cells: ISO (2024-01-19), US (01/19/2024) or
    compact (20240119) form, the format that reads most of a sample of them first, then the
    others for what it leaves; NaT where a cell is none of them. ValueError when no cell is a
    date (unless not strict)."""
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


def type_flags(distinct):
    """"c" for calls and "p" for puts in any of the usual spellings (C, Call, CALLS, P, put...),
    None for anything else, for each of a few distinct cells."""
    words = [str(t).strip().lower() for t in distinct]
    return np.array(["c" if w in CALL_WORDS else "p" if w in PUT_WORDS else None for w in words],
                    dtype=object)


def to_numbers(column):
    """float64 of a column's cells, NaN where a cell is not a number; a float64 array as it is.
    Text that is plain ASCII without digit separators is read by float() in one pass
    (pd.to_numeric reads it alike, several times slower); anything else goes to pd.to_numeric."""
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


def coded(column):
    """(codes, distinct cells) of a column of a table: each row's position among the distinct
    cells, so that a rule of cells reads each distinct cell once."""
    import pandas as pd

    codes, distinct = pd.factorize(pd.Series(column).to_numpy(dtype=object),
                                   use_na_sentinel=False)
    return codes, list(distinct)


class Parsed:
    """What distinct cells read as, kept across the chunks of one table so that each spelling
    of a date or a type is parsed once."""

    def __init__(self):
        self.dates = {}  # role -> {cell: datetime64}
        self.seen_date = {}  # role -> whether any cell of it has been a date
        self.flags = {}

    def dates_of(self, role, name, distinct):
        known = self.dates.setdefault(role, {})
        new = [t for t in distinct if t not in known]
        if new:
            seen = self.seen_date.get(role, False)
            parsed = date_values(new, name, strict=not seen)
            known.update(zip(new, parsed))
            self.seen_date[role] = seen or not np.isnat(parsed).all()
        return np.array([known[t] for t in distinct], dtype="datetime64[ns]")

    def flags_of(self, distinct):
        new = [t for t in distinct if t not in self.flags]
        if new:
            self.flags.update(zip(new, type_flags(new)))
        return np.array([self.flags[t] for t in distinct], dtype=object)


# -- a table's numbers by role -----------------------------------------------------------------

def years_to_expiry(expiry, quote_date):
    """Calendar days from quote_date to expiry (datetime64 arrays) over 365; NaN where either is
    NaT."""
    days = (expiry - quote_date) / np.timedelta64(1, "D")
    return np.asarray(days, dtype=np.float64) / DAYS_PER_YEAR


def discount_factors(T, expiry, rate=None, discount=None, rates=None, discounts=None):
    """D for every row: exp(-rate T) for a flat continuously compounded rate (or a rate per
    row), a discount factor per expiry from a mapping, or a discount factor per row. ValueError
    without any: a zero rate is never assumed."""
    given = [x is not None for x in (rate, discount, rates, discounts)]
    if sum(given) == 0:
        raise ValueError("no interest rate: give rate= (continuously compounded), discount= "
                         "(a discount factor per expiry) or a rate or discount column")
    if sum(given) > 1:
        raise ValueError("give one of rate=, discount=, a rate column or a discount column")
    if rate is not None:
        return np.exp(-float(rate) * T)
    if rates is not None:
        return np.exp(-rates * T)
    if discounts is not None:
        return discounts
    keys = date_values(list(discount.keys()), "discount=")
    by_date = dict(zip(keys, (float(v) for v in discount.values())))
    return np.array([by_date.get(e, math.nan) for e in np.asarray(expiry, dtype="datetime64[ns]")],
                    dtype=np.float64)


def mid_prices(bid, ask, mid=None):
    """The mid column where given, else (bid + ask) / 2 where 0 < bid <= ask; NaN otherwise."""
    if mid is not None:
        return np.asarray(mid, dtype=np.float64)
    bid, ask = np.asarray(bid, dtype=np.float64), np.asarray(ask, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        good = (bid > 0) & (ask >= bid) & np.isfinite(ask)
    return np.where(good, (bid + ask) / 2, np.nan)


class Quotes:
    """The numbers of a table of contracts, by role, one element a quote: strike, spot, flag
    ('c', 'p' or None), expiry and quote date, time to expiry, discount factor, the mid, bid
    and ask prices, and the underlying symbols as codes into the distinct symbols.

    numbers: role -> float64 array; texts: role -> (codes, distinct cells), as a table's
    reader gives them (``from_frame`` makes them from a DataFrame). A role without a column
    takes the value given for it (``quote_date=``, the time to expiry ``T``, the spot ...)."""

    def __init__(self, numbers, texts, names, *, rate=None, discount=None, quote_date=None,
                 parsed=None, n=None):
        parsed = parsed if parsed is not None else Parsed()
        n = n if n is not None else len(next(iter(numbers.values())))
        self.n = n
        self.strike = numbers["strike"]
        self.spot = numbers.get("spot")
        codes, distinct = texts["type"]
        self.flag = parsed.flags_of(distinct)[codes]
        if "expiry" in texts:
            codes, distinct = texts["expiry"]
            self.expiry_codes = codes
            self.expiry_values = parsed.dates_of("expiry", names["expiry"], distinct)
            self.expiry = self.expiry_values[codes]
        else:
            self.expiry_codes = np.zeros(n, dtype=np.int32)
            self.expiry_values = np.array(["NaT"], dtype="datetime64[ns]")
            self.expiry = np.full(n, np.datetime64("NaT"), dtype="datetime64[ns]")
        self.quote_date_codes = np.zeros(n, dtype=np.int32)
        if quote_date is not None:
            self.quote_date_values = np.array([fixed_date(quote_date, "quote_date=")],
                                              dtype="datetime64[ns]")
        elif "quote_date" in texts:
            self.quote_date_codes, distinct = texts["quote_date"]
            self.quote_date_values = parsed.dates_of("quote_date", names["quote_date"], distinct)
        elif "T" in numbers:
            self.quote_date_values = np.array(["NaT"], dtype="datetime64[ns]")
        else:
            raise ValueError("no quote date: give quote_date= or a quote-date column "
                             f"(one of {', '.join(ROLES['quote_date'])})")
        self.quote_date = self.quote_date_values[self.quote_date_codes]
        self.T = (numbers["T"] if "T" in numbers
                  else years_to_expiry(self.expiry, self.quote_date))
        self.D = discount_factors(self.T, self.expiry, rate, discount, numbers.get("rate"),
                                  numbers.get("discount"))
        self.bid = numbers.get("bid")
        self.ask = numbers.get("ask")
        self.mid = mid_prices(self.bid, self.ask, numbers.get("mid"))
        if "symbol" in texts:
            self.symbol_codes, distinct = texts["symbol"]
            self.symbols = [str(s).strip() for s in distinct]
        else:
            self.symbol_codes, self.symbols = np.zeros(n, dtype=np.int32), [""]

    @classmethod
    def from_frame(cls, frame, names, **options):
        numbers = {role: to_numbers(frame[name]) for role, name in names.items()
                   if role in NUMBER_ROLES}
        texts = {role: coded(frame[name]) for role, name in names.items() if role in TEXT_ROLES}
        return cls(numbers, texts, names, n=len(frame), **options)

    def symbol(self):
        return np.array(self.symbols, dtype=object)[self.symbol_codes]


def fixed_date(value, name):
    """A date given once (a string in a form date_values reads, a datetime or a Timestamp)."""
    if isinstance(value, (datetime.date, np.datetime64)) or hasattr(value, "to_datetime64"):
        return np.datetime64(value, "ns")
    return date_values([str(value)], name)[0]


# -- groups ------------------------------------------------------------------------------------

def group_values(group, n_groups, *values):
    """Each group's value of every array in values: that of its first row."""
    first = np.full(n_groups, len(group), dtype=np.int64)
    np.minimum.at(first, group, np.arange(len(group), dtype=np.int64))
    return [np.asarray(v)[first] for v in values]


# -- the quotes the forward search takes ---------------------------------------------------------

def stable_order(*columns):
    """The stable order of rows by columns, the first the most significant: one integer key of
    each column's rank (its value, for a column of small non-negative integers) and the row's
    position, so that keys are distinct and any sort is stable, where that fits in 63 bits;
    lexsort otherwise."""
    n = len(columns[0])
    parts, bits = [], []
    for column in columns:
        if column.dtype == bool or (column.dtype.kind in "iu" and column.min(initial=0) >= 0):
            part = column.astype(np.int64)
            width = int(part.max(initial=0)).bit_length()
        else:
            distinct, part = np.unique(column, return_inverse=True)
            width = len(distinct).bit_length()
        parts.append(part.reshape(-1))
        bits.append(width)
    if sum(bits) + n.bit_length() > 63:
        return np.lexsort(columns[::-1])
    key = np.zeros(n, dtype=np.int64)
    for part, width in zip(parts + [np.arange(n)], bits + [n.bit_length()]):
        key = (key << width) | part
    return np.argsort(key)


def first_quotes(group, put, strike):
    """The positions of the first quote of each (group, strike, side), ordered by group, then
    strike, then calls before puts: the first quote of a side at a strike wins, whatever
    follows it."""
    order = stable_order(group, strike, put)
    g, k, p = group[order], strike[order], put[order]
    repeat = np.zeros(len(order), dtype=bool)
    repeat[1:] = (g[1:] == g[:-1]) & (k[1:] == k[:-1]) & (p[1:] == p[:-1])
    return order[~repeat]


def pairs(group, put, strike):
    """Positions of the call and the put of each strike that has both, in quotes ordered as
    first_quotes orders them."""
    calls = np.flatnonzero((group[:-1] == group[1:]) & (strike[:-1] == strike[1:])
                           & ~put[:-1] & put[1:])
    return calls, calls + 1


def usable(calls, puts):
    """Both prices finite and positive: the strikes the forward search may use."""
    with np.errstate(invalid="ignore"):
        return np.isfinite(calls) & np.isfinite(puts) & (calls > 0) & (puts > 0)


def window_index(strikes, S, strike_pct):
    """For each strike, the position in the forward search's window ladder (strike_pct, then
    FALLBACK_WIDTHS) of the first window [S (1 - w), S (1 + w)] that holds it, both ends
    included; len(FALLBACK_WIDTHS) + 1 where none does."""
    widths = (strike_pct,) + FALLBACK_WIDTHS
    first = np.full(len(strikes), len(widths))
    with np.errstate(invalid="ignore"):
        for i in reversed(range(len(widths))):
            lo, hi = S * (1.0 - widths[i]), S * (1.0 + widths[i])
            first[(strikes >= lo) & (strikes <= hi)] = i
    return first


def search_windows(group, window, n_groups):
    """Each group's window: the narrowest of the ladder that holds one of its usable strikes
    (window: their ladder positions); NO_WINDOW, every strike, where none does."""
    chosen = np.full(n_groups, NO_WINDOW, dtype=np.int64)
    np.minimum.at(chosen, group, window)
    return chosen


def forwards(group, calls, puts, strikes, S, D, T, strike_pct=DEFAULT_STRIKE_PCT, threads=1):
    """(forward, parity estimate, strikes used) of every group, from the first call and put
    of each of its strikes (group, calls, puts, strikes: ordered by group, then strike). Only
    usable strikes, in the group's search window, go to the search find_forward_baw makes;
    an expired group (T <= 0) and one without a usable strike get no forward. The groups are
    shared among threads threads (each search gives the same bits on any thread)."""
    n_groups = len(S)
    good = usable(calls, puts) & np.isfinite(strikes)
    group, calls, puts, strikes = group[good], calls[good], puts[good], strikes[good]
    window = window_index(strikes, S[group], strike_pct)
    inside = window <= search_windows(group, window, n_groups)[group]
    group = group[inside]
    calls, puts, strikes = (np.ascontiguousarray(a[inside]) for a in (calls, puts, strikes))
    bounds = np.searchsorted(group, np.arange(n_groups + 1))
    with np.errstate(invalid="ignore"):
        S_search = np.where(T <= 0, np.nan, S)
    if threads <= 1 or n_groups < 2:
        return group_forwards(calls, puts, strikes, bounds, S_search, D)
    from concurrent.futures import ThreadPoolExecutor

    step = max(16, -(-n_groups // (8 * threads)))
    with ThreadPoolExecutor(max_workers=threads) as pool:
        pieces = list(pool.map(lambda lo: group_forwards(
            calls, puts, strikes, bounds[lo:lo + step + 1], S_search[lo:lo + step],
            D[lo:lo + step]), range(0, n_groups, step)))
    return tuple(np.concatenate([p[k] for p in pieces]) for k in range(3))


def expiry_forward(calls, puts, strikes, S, D, strike_pct=DEFAULT_STRIKE_PCT):
    """(forward, parity estimate, strikes used) of one expiry from paired call and put prices,
    one row a strike in any order (the first row of a strike wins)."""
    strikes = np.asarray(strikes, dtype=np.float64)
    rows = first_quotes(np.zeros(len(strikes), dtype=np.int64), np.zeros(len(strikes), bool),
                        strikes)
    forward, parity, used = forwards(
        np.zeros(len(rows), dtype=np.int64), np.asarray(calls, dtype=np.float64)[rows],
        np.asarray(puts, dtype=np.float64)[rows], strikes[rows], np.array([float(S)]),
        np.array([float(D)]), np.array([1.0]), strike_pct)
    return float(forward[0]), float(parity[0]), int(used[0])


# -- volatilities --------------------------------------------------------------------------------

def quote_vols(q, S, D, F, T, keep):
    """The result columns of a table's quotes at their groups' S, D, F and T: total standard
    deviations of the mid, bid and ask and their annualised vols. NaN for rows not kept, at or
    below intrinsic value (0.0: no volatility), that no volatility reproduces, and for the bid
    of a zero bid."""
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


def atm_candidates(group, strike, sd, F_g):
    """The quotes that may set their group's at-the-money volatility: those with a volatility
    at the quoted strike nearest the group's forward. atm_vols of the candidates of each part
    of a table, in table order, is atm_vols of the whole table."""
    good = np.isfinite(sd) & np.isfinite(F_g[group])
    distance = np.full(len(group), np.inf)
    distance[good] = np.abs(strike[good] - F_g[group[good]])
    nearest = np.full(len(F_g), np.inf)
    np.minimum.at(nearest, group[good], distance[good])
    return good & (distance == nearest[group])


def atm_vols(group, strike, sd, F_g, T_g):
    """Each group's at-the-money volatility: the mean mid volatility (calls and puts) at the
    quoted strike nearest its forward among those with one (the first such strike in table
    order on a tie), annualised."""
    n_groups = len(F_g)
    at = np.flatnonzero(atm_candidates(group, strike, sd, F_g))
    g = group[at]
    first = np.full(n_groups, len(group), dtype=np.int64)
    np.minimum.at(first, g, at)  # each group's first candidate
    chosen = np.full(n_groups, np.nan)
    has = first < len(group)
    chosen[has] = strike[first[has]]
    at = at[strike[at] == chosen[g]]
    count = np.bincount(group[at], minlength=n_groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (np.bincount(group[at], weights=sd[at], minlength=n_groups) / count
                / np.sqrt(T_g))


# -- the whole table -----------------------------------------------------------------------------

def summary(keys, **columns):
    """The summary of a table's groups, as arrays by SUMMARY_COLUMNS: keys (symbol, quote date,
    expiry) of each group and its columns, ordered by symbol, quote date and expiry."""
    symbol = np.array([k[0] for k in keys], dtype=object)
    quote_date, expiry = (np.array([k[i] for k in keys], dtype="datetime64[ns]") for i in (1, 2))
    order = np.lexsort((expiry, quote_date, symbol.astype(str)))
    out = {"symbol": symbol, "quote_date": quote_date, "expiry": expiry, **columns}
    return {name: np.asarray(out[name])[order] for name in SUMMARY_COLUMNS}


def surface(quotes, *, rate=None, discount=None, quote_date=None, columns=None,
            strike_pct=DEFAULT_STRIKE_PCT, threads=None):
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
    q = Quotes.from_frame(quotes, names, rate=rate, discount=discount, quote_date=quote_date)
    group, keys = group_ids(q)
    n_groups = len(keys)
    S_g, D_g, T_g = group_values(group, n_groups, q.spot, q.D, q.T)

    quoted = first_quotes(group, q.flag == "p", q.strike)
    quoted = quoted[(q.flag[quoted] == "c") | (q.flag[quoted] == "p")]
    calls, puts = pairs(group[quoted], q.flag[quoted] == "p", q.strike[quoted])
    calls, puts = quoted[calls], quoted[puts]
    F_g, parity_g, used_g = forwards(group[calls], q.mid[calls], q.mid[puts], q.strike[calls],
                                     S_g, D_g, T_g, strike_pct, default_threads(threads))

    results = quote_vols(q, S_g[group], D_g[group], F_g[group], T_g[group],
                         q.flag != None)  # noqa: E711 (element-wise)
    table = quotes.copy()
    for column in RESULT_COLUMNS:
        table[column] = results[column]
    sd = results["sd_mid"]
    groups = summary(keys, T=T_g, D=D_g, spot=S_g, forward=F_g, parity_estimate=parity_g,
                     strikes_used=used_g, atm_vol=atm_vols(group, q.strike, sd, F_g, T_g),
                     quotes=np.bincount(group, minlength=n_groups),
                     no_iv=np.bincount(group, weights=np.isnan(sd),
                                       minlength=n_groups).astype(np.int64))
    return table, pd.DataFrame(groups)


def group_ids(q):
    """Each quote's group number and the groups' keys ((symbol, quote date, expiry) tuples),
    numbered in the order first met."""
    import pandas as pd

    keys = pd.MultiIndex.from_arrays([q.symbol(), q.quote_date, q.expiry])
    group, distinct = pd.factorize(keys, use_na_sentinel=False)
    return group.astype(np.int64), list(distinct)

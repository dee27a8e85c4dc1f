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
from __future__ import annotations

import contextvars
import datetime
import math
import re
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

from kelvo._arrays import (DEFAULT_STRIKE_PCT, FALLBACK_WIDTHS, group_forwards,
                           vectorized_european_implied_vol)
from kelvo.broadcast import (CALL_WORDS, DAYS_PER_YEAR, PUT_WORDS, exp, float64_of, functions,
                             log)

#: role: the column names that stand for it, compared in lower case without surrounding
#: blanks, the more specific first (option_type before type, underlying before symbol). Quotes
#: and underlying prices may carry a snapshot's suffix (bid_1545, bid_eod).
ROLES = {
    "symbol": ("underlyingsymbol", "underlying_symbol", "underlying", "underlying_ticker",
               "ticker", "symbol"),
    # an option's own root (SPX and SPXW of one index): options of two roots are two groups
    "root": ("root", "option_root"),
    "spot": ("underlyingprice", "underlying_price", "active_underlying_price", "spot",
             "underlying_last", "stock_price", "underlying_close"),
    "underlying_bid": ("underlying_bid",),
    "underlying_ask": ("underlying_ask",),
    "type": ("option_type", "optiontype", "cp_flag", "call_put", "callput", "putcall",
             "put_call", "right", "type"),
    "expiry": ("expiration", "expiration_date", "expirationdate", "expiry", "expiry_date",
               "exdate", "maturity", "expire_date"),
    "quote_date": ("quote_date", "quotedate", "quote_datetime", "datadate", "data_date",
                   "trade_date", "as_of", "date"),
    "strike": ("strike", "strike_price", "strikeprice"),
    "bid": ("bid", "best_bid", "bid_price"),
    "ask": ("ask", "ask_price", "best_ask", "offer"),
    "mid": ("mid", "mark", "mid_price", "midprice"),
    "last": ("last", "lastprice", "last_price", "close", "price", "settlement"),
    "option_symbol": ("contractsymbol", "contract_symbol", "optionsymbol", "option_symbol",
                      "occ_symbol", "optionroot", "osi", "symbol"),
    "style": ("style", "exercise_style", "exercisestyle", "exercise"),
    "T": ("t", "time_to_expiry", "years_to_expiry", "tte"),
    "days": ("dte", "days_to_expiry", "days_to_expiration"),
    "rate": ("rate", "interest_rate", "risk_free_rate"),
    "discount": ("discount", "discount_factor"),
}
SNAPSHOT_ROLES = ("spot", "underlying_bid", "underlying_ask", "bid", "ask", "mid", "last")
SNAPSHOTS = {"1545": np.timedelta64(15 * 60 + 45, "m"), "eod": np.timedelta64(16 * 60, "m")}
NUMBER_ROLES = ("strike", "spot", "underlying_bid", "underlying_ask", "bid", "ask", "mid",
                "last", "rate", "discount", "T", "days")
TEXT_ROLES = ("symbol", "root", "type", "expiry", "quote_date", "option_symbol", "style")
# what each role's cells must read as for the role to take the column
ROLE_KINDS = {"symbol": "text", "root": "text", "type": "type", "expiry": "date",
              "quote_date": "date", "option_symbol": "occ", "style": "style",
              "spot": "positive", "strike": "positive", "T": "positive", "days": "positive"}
# the roles whose values make a group: one spot, one forward and one surface each
GROUP_ROLES = ("symbol", "quote_date", "expiry")
STYLE_WORDS = {"a": "american", "american": "american", "am": "american",
               "e": "european", "european": "european", "eu": "european", "eur": "european"}
#: Cash-settled index options, exercised only at expiry: European unless told otherwise.
EUROPEAN_ROOTS = frozenset({
    "SPX", "SPXW", "SPXPM", "SPXQ", "XSP", "XSPW", "NDX", "NDXP", "NDXW", "XND", "NQX", "RUT",
    "RUTW", "RUTQ", "MRUT", "VIX", "VIXW", "DJX", "DJXW", "XEO", "MXEA", "MXEF"})
# Their settlement value is fixed at the open of the expiry date, not at its close.
AM_SETTLED_ROOTS = frozenset({"SPX", "NDX", "RUT", "DJX", "VIX", "MXEA", "MXEF"})
CLOSE, OPEN = np.timedelta64(16 * 60, "m"), np.timedelta64(9 * 60 + 30, "m")
DATE_FORMATS = ("iso", "%m/%d/%Y", "%Y%m%d", "%Y/%m/%d", "%m/%d/%Y %H:%M:%S", "%m/%d/%Y %H:%M",
                "%m/%d/%y", "%d-%b-%Y", "%d-%b-%y")
NO_WINDOW = len(FALLBACK_WIDTHS) + 1  # position of "every strike" in the window ladder
MIN_STRIKES = 4  # the default window holds at least this many usable strikes
RESULT_COLUMNS = ("T", "D", "forward", "sd_mid", "sd_bid", "sd_ask", "iv_mid", "iv_bid",
                  "iv_ask")
# a desk's sensitivities at the mid vol: delta and gamma in the spot, vega per volatility point,
# theta per calendar day, rho per 1 % of the rate
GREEK_COLUMNS = ("delta", "gamma", "vega", "theta", "rho")
SUMMARY_DTYPES = {"symbol": object, "quote_date": "datetime64[ns]", "expiry": "datetime64[ns]",
                  "style": object, "T": np.float64, "D": np.float64, "spot": np.float64,
                  "forward": np.float64, "parity_estimate": np.float64, "strikes_used": np.int64,
                  "atm_vol": np.float64, "quotes": np.int64, "no_iv": np.int64}
SUMMARY_COLUMNS = tuple(SUMMARY_DTYPES)
OCC = re.compile(r"^\s*([A-Za-z][A-Za-z0-9.]{0,5}?)\s*(\d{6})([CcPp])(\d{8})\s*$")


# -- column roles ------------------------------------------------------------------------------

def kept_input_names(names, added):
    """A table's column names with those that added columns take renamed NAME_input (and on
    until free), so that the output keeps the input's columns beside the results."""
    taken = {str(name) for name in names} | set(added)
    kept = []
    for name in names:
        if str(name) in added:
            renamed = f"{name}_input"
            while renamed in taken:
                renamed += "_input"
            taken.add(renamed)
            name = renamed
        kept.append(name)
    return kept


class ColumnNames(dict):
    """role -> column name, and the roles the user named (``named``, from columns=)."""
    named = frozenset()


def find_columns(names, columns=None, sample=None, snapshot=None, spot=None):
    """role -> column name for the columns of a table.

    Each role takes the first of its names (ROLES) the table has, in that order, and where a
    sample of the table is given (column -> some of its cells), the first whose cells read as
    the role's (a type column of C and P, a date column of dates...): a column of the wrong
    contents is passed over, and where no column of a required role reads, ValueError names
    the column and the fix. snapshot ("1545" or "eod") picks the quotes of that time where a
    table has several (default: 15:45 where it has both). ValueError names the required roles
    it cannot find and the columns it has."""
    given = dict(columns or {})
    unknown = set(given) - set(ROLES)
    if unknown:
        raise ValueError(f"unknown column roles {sorted(unknown)}; the roles are {sorted(ROLES)}")
    if snapshot is not None and snapshot not in SNAPSHOTS:
        raise ValueError(f"snapshot must be one of {', '.join(SNAPSHOTS)}, not {snapshot!r}")
    lowered = {}
    for name in names:
        lowered.setdefault(str(name).strip().lower(), name)
    carried = [s for s in SNAPSHOTS if any(n.endswith(f"_{s}") for n in lowered)]
    inferred = False
    if snapshot is None:  # a column named for a role of one snapshot: the others of it first
        named = [s for s in SNAPSHOTS if any(str(c).strip().lower().endswith(f"_{s}")
                                             for c in given.values())]
        snapshot, inferred = (named[0], True) if len(named) == 1 else (None, False)
    if snapshot is not None and carried and snapshot not in carried:
        raise ValueError(f"snapshot {snapshot!r}: the table has no quotes of that time (its "
                         f"columns carry {', '.join('_' + s for s in carried)})")
    found, unread_spot = {}, None  # unread_spot: a spot column whose cells are no prices
    for role, aliases in ROLES.items():
        if role in given:
            if given[role] not in names:
                raise ValueError(f"columns= (--column) names {given[role]!r} for {role}, but "
                                 f"there is no such column (have {', '.join(map(str, names))})")
            found[role] = given[role]
            continue
        candidates = []
        for alias in aliases:
            spelled = [alias]
            if role in SNAPSHOT_ROLES:
                first = [f"{alias}_{snapshot}"] if snapshot else [f"{alias}_1545", f"{alias}_eod"]
                spelled = [alias] + first if not snapshot else first + [alias]
                if inferred:  # then another time's (one mid of two times is refused below)
                    spelled += [f"{alias}_{t}" for t in SNAPSHOTS if t != snapshot]
            candidates += [lowered[a] for a in spelled if a in lowered]
        # a column named for one role is no other's
        candidates = [c for c in dict.fromkeys(candidates) if (c not in found.values() and
                      c not in given.values()) or role == "option_symbol"]
        if sample is not None and role in ROLE_KINDS:
            readable = [c for c in candidates if reads_as(ROLE_KINDS[role], sample.get(c, ()))]
            if candidates and not readable and role in ("type", "expiry", "strike"):
                kind = {"type": "calls and puts", "expiry": "dates", "strike": "numbers"}[role]
                raise ValueError(
                    f"{candidates[0]}: no cell reads as {kind} (first cells "
                    f"{', '.join(repr(str(c)) for c in list(sample.get(candidates[0], ()))[:3])})"
                    f"; name the column of the {role.replace('_', ' ')} with "
                    f"columns={{{role!r}: NAME}} (--column {role}=NAME)")
            if candidates and not readable and role == "spot":
                unread_spot = candidates[0]
            candidates = readable
        if candidates:
            found[role] = candidates[0]
    for pair in (("bid", "ask"), ("underlying_bid", "underlying_ask")):
        times = [next((t for t in SNAPSHOTS if str(found[r]).strip().lower().endswith(f"_{t}")),
                      None) for r in pair if r in found]
        if len(set(times) - {None}) > 1:  # one mid of two times
            raise ValueError(f"{found[pair[0]]} and {found[pair[1]]} are quotes of two times: "
                             f"name the {pair[1].replace('_', ' ')} of the same snapshot, or give "
                             "snapshot= (--snapshot)")
    if ("option_symbol" in found and found.get("symbol") == found["option_symbol"]
            and "symbol" not in given):
        found.pop("option_symbol")  # a symbol column of option symbols: its roots are read
    missing = [role for role in ("type", "expiry", "strike") if role not in found]
    if "option_symbol" in found:
        missing = []  # an option symbol holds them
    if "spot" not in found and spot is None and not (
            "underlying_bid" in found and "underlying_ask" in found):
        unread = f"{unread_spot} has no positive number in its first cells; " if unread_spot else ""
        missing.append(f"spot ({unread}or give spot=, --spot)")
    if not ({"bid", "ask"} <= set(found) or {"mid", "last"} & set(found)):
        missing.append("bid and ask, or mid")
    if missing:
        raise ValueError(f"cannot find the column for {', '.join(missing)} (have "
                         f"{', '.join(map(str, names))}); name them with columns= "
                         "(--column ROLE=NAME)")
    spelled = [str(name).strip().lower() for name in names]
    for role, name in found.items():
        if role == "last" and ({"bid", "ask"} <= set(found) or "mid" in found):
            continue  # not read: the mid comes from the others
        count = spelled.count(str(name).strip().lower())
        if count > 1:  # which of them holds the role's values?
            raise ValueError(f"{count} columns are named {name!r} ({role}): rename all but one")
    found = ColumnNames(found)
    found.named = frozenset(given)
    return found


def reads_as(kind, cells):
    """Whether any of a column's sample cells reads as kind."""
    cells = [c for c in cells if not (isinstance(c, float) and c != c)][:200]
    if kind == "text":
        return any(str(c).strip() for c in cells)
    if kind == "type":
        return any(str(c).strip().lower() in CALL_WORDS | PUT_WORDS for c in cells)
    if kind == "style":
        return any(str(c).strip().lower() in STYLE_WORDS for c in cells)
    if kind == "occ":
        return any(OCC.match(str(c)) for c in cells)
    if kind == "date":
        return bool(cells) and not np.isnat(date_values(list(dict.fromkeys(map(str, cells))),
                                                        strict=False)).all()
    numbers = to_numbers(np.array(cells, dtype=object)) if cells else np.empty(0)
    return bool((numbers[np.isfinite(numbers)] > 0).any())


def column_sources(names, q):
    """What each role of a table was read from, in words (the command line prints it, and
    chain.surface keeps it in its summary's attrs)."""
    out = {role: str(name) for role, name in names.items()
           if role not in ("bid", "ask", "mid", "last", "underlying_bid", "underlying_ask")}
    out.update(q.sources)
    return out


# -- cells -------------------------------------------------------------------------------------

def date_values(distinct, name="dates", strict=True):
    """The datetime64[ns] of each of a few distinct cells: a date or a date and time, ISO
    (2024-01-19, 2024-01-19 16:00:00, with a UTC offset, which is dropped), US (01/19/2024,
    1/19/2024 0:00:00) or compact (20240119); the format that reads most of a sample of them
    first, then the others for what it leaves; NaT where a cell is none of them. ValueError
    when no cell is a date (unless not strict)."""
    text = [str(t).strip() for t in distinct]
    sample = [t for t in text if t][:50]
    order = sorted(DATE_FORMATS, key=lambda fmt: -sum(_date(t, fmt) is not None
                                                       for t in sample))
    values = []
    for t in text:
        value = next((d for d in (_date(t, fmt) for fmt in order) if d is not None), None)
        values.append(np.datetime64("NaT", "ns") if value is None else np.datetime64(value, "ns"))
    dates = np.array(values, dtype="datetime64[ns]")
    if strict and len(text) and np.isnat(dates).all():
        raise ValueError(f"{name}: no cell is a date in ISO, month/day/year or YYYYMMDD form "
                         f"(first cell {text[0]!r})")
    return dates


def _date(text, fmt):
    try:
        if fmt == "iso":
            if len(text) < 8 or not text[:4].isdigit():
                return None
            value = datetime.datetime.fromisoformat(text).replace(tzinfo=None)
        else:
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


def occ_parts(distinct):
    """(root, expiry date, flag, strike) of each of a few distinct option symbols in the OCC's
    form (root, YYMMDD, C or P, the strike in thousandths: SPXW260202C02800000); None where a
    cell is not one."""
    out = []
    for cell in distinct:
        match = OCC.match(str(cell))
        if match is None:
            out.append(None)
            continue
        root, day, kind, strike = match.groups()
        try:
            date = np.datetime64(f"20{day[:2]}-{day[2:4]}-{day[4:]}", "ns")
        except ValueError:  # no such day (a 30th of February): not an option symbol
            out.append(None)
            continue
        out.append((root.upper(), date, "c" if kind in "Cc" else "p", int(strike) / 1000.0))
    return out


def to_numbers(column):
    """float64 of a column's cells, NaN where a cell is not a number; a float64 array as it is.
    Text that is plain ASCII without digit separators is read by float() in one pass
    (pd.to_numeric reads it alike, several times slower); anything else goes to pd.to_numeric."""
    if isinstance(column, np.ndarray) and column.dtype == np.float64:
        return column
    import pandas as pd

    column = pd.Series(column)
    if column.dtype.kind in "iufb":
        return float64_of(column)
    cells = column.to_numpy(dtype=object)
    try:
        text = "".join(cells)
        if text.isascii() and "_" not in text:
            return cells.astype(np.float64)
    except (TypeError, ValueError):
        pass
    return float64_of(pd.to_numeric(column, errors="coerce"))


def role_numbers(role, column, name):
    """to_numbers of a role's column; a column of durations is a time to expiry (T in years,
    days in days), and ValueError for any other role of durations or dates (their numbers would
    be counts of ticks)."""
    kind = getattr(column.dtype, "kind", "O")
    if kind == "m" and role in ("T", "days"):
        import pandas as pd

        return float64_of(column / pd.Timedelta(days=DAYS_PER_YEAR if role == "T" else 1))
    if kind in ("m", "M"):
        raise ValueError(f"{name}: the {role.replace('_', ' ')} must be numbers, not "
                         f"{'durations' if kind == 'm' else 'dates'}")
    return to_numbers(column)


def coded(column):
    """(codes, distinct cells) of a column of a table: each row's position among the distinct
    cells, so that a rule of cells reads each distinct cell once. Dates and times of a
    datetime column come as their ISO text (a time zone's wall time)."""
    import pandas as pd

    column = pd.Series(column)
    if isinstance(column.dtype, pd.ArrowDtype) and column.dtype.kind == "M":
        # Arrow's dates and timestamps as NumPy's (their strftime does not know %f)
        if getattr(column.dtype.pyarrow_dtype, "tz", None) is not None:
            column = column.dt.tz_localize(None)
        column = column.astype("datetime64[ns]")
    if isinstance(column.dtype, pd.DatetimeTZDtype):
        column = column.dt.tz_localize(None)
    if column.dtype.kind == "M":
        column = column.dt.strftime("%Y-%m-%d %H:%M:%S.%f")
    codes, distinct = pd.factorize(column.to_numpy(dtype=object), use_na_sentinel=False)
    return codes, list(distinct)


class Parsed:
    """What distinct cells read as, kept across the chunks of one table so that each spelling
    of a date, a type or an option symbol is parsed once."""

    def __init__(self):
        self.dates = {}  # role -> {cell: datetime64}
        self.flags = {}
        self.occ = {}

    def dates_of(self, role, name, distinct):
        known = self.dates.setdefault(role, {})
        new = [t for t in distinct if t not in known]
        if new:
            # a cell that is no date is NaT, and its row unreadable; a column of no dates was
            # refused when its columns were found
            known.update(zip(new, date_values(new, name, strict=False)))
        return np.array([known[t] for t in distinct], dtype="datetime64[ns]")

    def flags_of(self, distinct):
        new = [t for t in distinct if t not in self.flags]
        if new:
            self.flags.update(zip(new, type_flags(new)))
        return np.array([self.flags[t] for t in distinct], dtype=object)

    def occ_of(self, distinct):
        new = [t for t in distinct if t not in self.occ]
        if new:
            self.occ.update(zip(new, occ_parts(new)))
        return [self.occ[t] for t in distinct]


# -- a table's numbers by role -----------------------------------------------------------------

def years_to_expiry(expiry, quote_date):
    """Time from quote_date to expiry (datetime64 arrays) in years of 365 days; NaN where either
    is NaT."""
    days = (expiry - quote_date) / np.timedelta64(1, "D")
    return np.asarray(days, dtype=np.float64) / DAYS_PER_YEAR


def discount_factors(T, expiry, rate=None, discount=None, rates=None, discounts=None):
    """D for every row: exp(-rate T) for a flat continuously compounded rate (or a rate per
    row), a discount factor per expiry from a mapping (NaN for an expiry it does not give:
    missing_discounts names the rows used of those), or a discount factor per row.
    ValueError without any: a zero rate is never assumed."""
    given = [x is not None for x in (rate, discount, rates, discounts)]
    if sum(given) == 0:
        raise ValueError("no interest rate: give rate= (continuously compounded), discount= "
                         "(a discount factor per expiry) or a rate or discount column")
    if sum(given) > 1:
        raise ValueError("give one of rate=, discount=, a rate column or a discount column")
    if rate is not None:
        return exp(-checked_rate(rate) * T)
    if rates is not None:
        return exp(-rates * T)
    if discounts is not None:
        return discounts
    if not hasattr(discount, "items"):
        raise ValueError(f"discount= is a mapping of expiry -> discount factor, not "
                         f"{type(discount).__name__}: for one rate give rate=")
    pairs = list(discount.items())  # a mapping, or a pandas Series on the expiries
    keys = date_values([text for text, _ in pairs], "discount=").astype("datetime64[D]")
    by_date = {}
    for key, (text, value) in zip(keys.tolist(), pairs):
        if key is None:
            raise ValueError(f"discount=: {text!r} is not a date")
        if key in by_date:
            raise ValueError(f"discount= gives the expiry {key} twice")
        try:
            value = float(value)
        except (TypeError, ValueError):  # pandas' NA, text
            value = math.nan
        if not 0 < value < math.inf:
            raise ValueError(f"discount=: the discount factor of {key} is not a positive number")
        by_date[key] = value
    days = np.asarray(expiry, dtype="datetime64[ns]").astype("datetime64[D]")
    return np.array([by_date.get(e, math.nan) for e in days.tolist()], dtype=np.float64)


def missing_discounts(q, keep, discount):
    """(the first row, a message naming the expiries) of the rows kept that a discount= mapping
    gives no discount factor for (the rows a selection leaves out need none), or None."""
    if discount is None:
        return None
    rows = np.flatnonzero(keep & np.isnan(q.D) & ~np.isnat(q.expiry))
    if not len(rows):
        return None
    missing = sorted(set(q.expiry[rows].astype("datetime64[D]").tolist()))
    return rows[0], (f"no discount factor for the expiry {', '.join(map(str, missing[:5]))}"
                     f"{' ...' if len(missing) > 5 else ''}: give one for every expiry used")


def mid_prices(bid, ask, mid=None):
    """The mid of every quote: (bid + ask) / 2 where 0 < bid <= ask (NaN elsewhere) when there
    are bid and ask, else the mid given (a mid or mark column, or whatever column the user
    named for it); None without either."""
    if bid is not None and ask is not None:
        bid, ask = np.asarray(bid, dtype=np.float64), np.asarray(ask, dtype=np.float64)
        with np.errstate(invalid="ignore"):
            good = (bid > 0) & (ask >= bid) & np.isfinite(ask)
        return np.where(good, (bid + ask) / 2, np.nan)
    return None if mid is None else np.asarray(mid, dtype=np.float64)


def spot_prices(price=None, bid=None, ask=None):
    """The underlying price of every row: its price where positive, else the mid of the
    underlying's bid and ask where 0 < bid <= ask."""
    if bid is None or ask is None:
        return price
    mid = mid_prices(bid, ask)
    if price is None:
        return mid
    with np.errstate(invalid="ignore"):
        return np.where(price > 0, price, mid)


def styles_of(symbols):
    """True (European) for each symbol that is a cash-settled index root (EUROPEAN_ROOTS, a
    leading ^ or $ dropped)."""
    return np.array([s.strip().lstrip("^$").upper() in EUROPEAN_ROOTS for s in symbols],
                    dtype=bool)


def settlement_times(symbols):
    """The time of day each symbol's options settle: the open for AM-settled index roots, the
    close otherwise."""
    return np.array([OPEN if s.strip().lstrip("^$").upper() in AM_SETTLED_ROOTS else CLOSE
                     for s in symbols], dtype="timedelta64[m]")


def time_of_day(dates):
    return dates - dates.astype("datetime64[D]").astype("datetime64[ns]")


def carries_times(dates):
    """Whether any of the dates carries a time of day (a date that could not be read, NaT,
    carries none)."""
    times = time_of_day(dates)
    return bool(((times != np.timedelta64(0, "ns")) & ~np.isnat(times)).any())


class Quotes:
    """The numbers of a table of contracts, by role, one element a quote: strike, spot, flag
    ('c', 'p' or None), expiry and quote date (with their times where they are known), time to
    expiry, discount factor, the mid, bid and ask prices, whether the option is European, and
    the underlying symbols as codes into the distinct symbols.

    numbers: role -> float64 array; texts: role -> (codes, distinct cells), as a table's
    reader gives them (``from_frame`` makes them from a DataFrame). A role without a column
    takes the value given for it (``quote_date=``, the time to expiry ``T``, ``spot``...).
    ``sources`` says, for the roles read from more than one column, what they were read from."""

    def __init__(self, numbers, texts, names, *, rate=None, discount=None, quote_date=None,
                 quote_time=None, spot=None, style=None, strike_scale=None, parsed=None,
                 n=None):
        parsed = parsed if parsed is not None else Parsed()
        n = n if n is not None else len(next(iter(numbers.values())))
        self.n = n
        self.sources = {}
        self.number_roles = frozenset(numbers)  # those read from the table's columns
        occ = None
        if "option_symbol" in texts or _symbols_are_occ(texts, parsed):
            codes, distinct = texts["option_symbol" if "option_symbol" in texts else "symbol"]
            parts = parsed.occ_of(distinct)
            occ = (codes, parts)

        # what the option is: its type, strike and expiration date
        if "type" in texts:
            codes, distinct = texts["type"]
            self.flag = parsed.flags_of(distinct)[codes]
        else:
            self.flag = np.array([p[2] if p else None for p in occ[1]], dtype=object)[occ[0]]
        if "strike" in numbers:
            self.strike = numbers["strike"]
        else:
            self.strike = np.array([p[3] if p else np.nan for p in occ[1]])[occ[0]]
        if strike_scale is not None:
            self.strike = self.strike * float(strike_scale)
        if "expiry" in texts:
            codes, distinct = texts["expiry"]
            self.expiry_codes = codes
            self.expiry_values = parsed.dates_of("expiry", names["expiry"], distinct)
        elif occ is not None:
            self.expiry_codes = occ[0]
            self.expiry_values = np.array(
                [p[1] if p else np.datetime64("NaT", "ns") for p in occ[1]],
                dtype="datetime64[ns]")
        else:
            self.expiry_codes = np.zeros(n, dtype=np.int32)
            self.expiry_values = np.array(["NaT"], dtype="datetime64[ns]")

        # the underlying: its symbol (an option symbol's root), and whether its options are
        # European
        self.symbol_codes, self.symbols = underlying_symbols(texts, parsed, n)
        # the underlying's own symbol beside the roots that group the quotes (^SPX: SPX, SPXW)
        self.underlying_codes, self.underlyings = self.symbol_codes, self.symbols
        if "symbol" in texts:
            self.underlying_codes, distinct = texts["symbol"]
            self.underlyings = [_cell_text(s) for s in distinct]
        roots, root_codes = self.symbols, self.symbol_codes  # an option's own root, where known
        if style is not None:
            self.european = np.full(n, _style(style) == "european")
        elif "style" in texts:
            codes, distinct = texts["style"]
            read = [STYLE_WORDS.get(str(c).strip().lower()) for c in distinct]
            by_root = styles_of(roots)[root_codes]
            self.european = np.where(np.array([r is None for r in read])[codes], by_root,
                                     np.array([r == "european" for r in read])[codes])
        else:
            self.european = styles_of(roots)[root_codes]

        # when it was quoted and when it expires, with the times of day where they are known
        self.quote_date_codes = np.zeros(n, dtype=np.int32)
        if quote_date is not None and "quote_date" not in texts:
            self.quote_date_values = np.array([fixed_date(quote_date, "quote_date=")],
                                              dtype="datetime64[ns]")
        elif "quote_date" in texts:
            self.quote_date_codes, distinct = texts["quote_date"]
            self.quote_date_values = parsed.dates_of("quote_date", names["quote_date"], distinct)
        elif "T" in numbers or "days" in numbers:
            self.quote_date_values = np.array(["NaT"], dtype="datetime64[ns]")
        else:
            raise ValueError("no quote date: give quote_date= or a quote-date column "
                             f"(one of {', '.join(ROLES['quote_date'])})")
        if quote_time is not None:  # the quotes were taken at this time of day
            at = self.quote_date_values
            untimed = time_of_day(at) == np.timedelta64(0, "ns")
            self.quote_date_values = np.where(
                untimed, at + np.timedelta64(quote_time).astype("timedelta64[ns]"), at)
        self.quote_date = self.quote_date_values[self.quote_date_codes]
        self.expiry = self.expiry_values[self.expiry_codes]
        if "T" in numbers:
            self.T = numbers["T"]
        elif "days" in numbers:
            self.T = numbers["days"] / DAYS_PER_YEAR
        else:
            # an expiry date without its time expires when its options settle, and a quote
            # date without a time was quoted at the close (the day's last quotes): one time for
            # the whole snapshot, so that AM-settled roots expire 6.5 hours before PM-settled
            # ones of the same date (counting whole days put the quotes of the one at 9:30, of
            # the other at 16:00); PM-settled options so count whole days, bit for bit
            midnight = np.timedelta64(0, "ns")
            settles = settlement_times(roots)[root_codes].astype("timedelta64[ns]")
            untimed = (time_of_day(self.expiry_values) == midnight)[self.expiry_codes]
            expiry = np.where(untimed, self.expiry + settles, self.expiry)
            at = self.quote_date_values  # each distinct date once
            quoted = np.where(time_of_day(at) == midnight, at + CLOSE.astype("timedelta64[ns]"),
                              at)[self.quote_date_codes]
            self.T = years_to_expiry(expiry, quoted)

        # the money: discount factors, the underlying price and the option's prices
        self.D = discount_factors(self.T, self.expiry, rate, discount, numbers.get("rate"),
                                  numbers.get("discount"))
        if spot is not None:
            self.spot = np.full(n, float(spot))
            self.sources["spot"] = f"{float(spot):g} (given)"
        else:
            self.spot = spot_prices(numbers.get("spot"), numbers.get("underlying_bid"),
                                    numbers.get("underlying_ask"))
            if "underlying_bid" in numbers and "underlying_ask" in numbers:
                mid = f"the mid of {names['underlying_bid']} and {names['underlying_ask']}"
                self.sources["spot"] = (f"{names['spot']} where positive, else {mid}"
                                        if "spot" in numbers else mid)
        self.bid = numbers.get("bid")
        self.ask = numbers.get("ask")
        named = "mid" in getattr(names, "named", ())
        bid, ask = (None, None) if named else (self.bid, self.ask)  # a named mid wins over them
        self.mid = mid_prices(bid, ask, numbers.get("mid", numbers.get("last")))
        if named:
            self.sources["mid"] = f"{names['mid']} (named)"
        elif bid is not None and ask is not None:
            self.sources["mid"] = f"(bid + ask) / 2 of {names['bid']} and {names['ask']}"
        else:
            role = "mid" if "mid" in numbers else "last"
            self.sources["mid"] = names.get(role, role) + (
                " (last trades, not a mid: no bid and ask)" if role == "last" else "")

    @classmethod
    def from_frame(cls, frame, names, **options):
        numbers = {role: role_numbers(role, frame[name], name) for role, name in names.items()
                   if role in NUMBER_ROLES}
        texts = {role: coded(frame[name]) for role, name in names.items() if role in TEXT_ROLES}
        return cls(numbers, texts, names, n=len(frame), **options)

    def symbol(self):
        return np.array(self.symbols, dtype=object)[self.symbol_codes]


def _cell_text(cell):
    """A text cell stripped; a missing one (None, NaN) blank."""
    return "" if cell is None or (isinstance(cell, float) and cell != cell) else str(cell).strip()


def underlying_symbols(texts, parsed, n):
    """(codes, distinct symbols) of each row's underlying: the option's root where the table
    gives it (a root column, the root of a cell there that is an option symbol, or option
    symbols: SPX and SPXW of one index settle at different times), else its symbol column,
    stripped (a row without a root too), else one blank."""
    symbols = None
    if "symbol" in texts:
        codes, distinct = texts["symbol"]
        symbols = [_cell_text(s) for s in distinct]
        if "option_symbol" not in texts and "root" not in texts:
            if _symbols_are_occ(texts, parsed):
                symbols = [p[0] if p else s for p, s in zip(parsed.occ_of(distinct), symbols)]
            return codes, symbols
    role = "root" if "root" in texts else "option_symbol" if "option_symbol" in texts else None
    if role is None:
        return np.zeros(n, dtype=np.int32), [""]
    root_codes, distinct = texts[role]
    roots = [p[0] if p else _cell_text(c) if role == "root" else ""
             for p, c in zip(parsed.occ_of(distinct), distinct)]
    if symbols is None or all(roots):
        return root_codes, roots
    per_row = np.array(roots, dtype=object)[root_codes]
    per_row = np.where(per_row != "", per_row, np.array(symbols, dtype=object)[codes])
    distinct, codes = np.unique(per_row.astype(str), return_inverse=True)
    return codes.astype(np.int32), distinct.tolist()


def part_keys(frame, names, quote_date=None):
    """Each row's underlying and quote day as text: rows of one group share them, so a table split
    on them (kelvo.dask) splits no group."""
    parsed = Parsed()
    texts = {role: coded(frame[names[role]]) for role in ("symbol", "root", "option_symbol")
             if role in names}
    codes, symbols = underlying_symbols(texts, parsed, len(frame))
    keys = np.array(symbols, dtype=object)[codes]
    if quote_date is None and "quote_date" in names:
        codes, distinct = coded(frame[names["quote_date"]])
        days = date_values(distinct, names["quote_date"], strict=False).astype("datetime64[D]")
        keys = keys + "|" + days.astype(str).astype(object)[codes]
    return keys


def _symbols_are_occ(texts, parsed):
    """Whether a symbol column holds option symbols (whose roots are then the symbols)."""
    if "symbol" not in texts:
        return False
    parts = parsed.occ_of(texts["symbol"][1][:20])
    return any(p is not None for p in parts)


def _style(style):
    word = STYLE_WORDS.get(str(style).strip().lower())
    if word is None:
        raise ValueError(f"style must be 'american' or 'european', not {style!r}")
    return word


def checked_rate(rate):
    """a continuously compounded rate a year, from -100 % to 1000 % (-1 to 10)"""
    rate = float(rate)
    if not -1 <= rate <= 10:  # NaN fails too
        raise ValueError(f"rate {rate!r}: {checked_rate.__doc__}")
    return rate


def checked_strike_pct(width):
    """a window's half-width relative to the spot, above 0 and at most 1"""
    width = float(width)
    if not 0 < width <= 1:
        raise ValueError(f"strike_pct {width!r}: {checked_strike_pct.__doc__}")
    return width


def fixed_date(value, name):
    """A date given once (a string in a form date_values reads, a datetime or a Timestamp)."""
    if isinstance(value, (datetime.date, np.datetime64)) or hasattr(value, "to_datetime64"):
        if getattr(value, "tzinfo", None) is not None:
            value = value.replace(tzinfo=None)
        return np.datetime64(value, "ns")
    return date_values([str(value)], name)[0]


def fixed_time(value, name):
    """A time of day given once ("15:45", "9:30", "16:00:00"), as a timedelta64."""
    if value is None:
        return None
    if isinstance(value, datetime.time):
        return np.timedelta64(value.hour * 3600 + value.minute * 60 + value.second, "s")
    try:
        parts = [int(p) for p in str(value).strip().split(":")]
        if not 2 <= len(parts) <= 3 or not 0 <= parts[0] < 24 or not 0 <= parts[1] < 60:
            raise ValueError
    except ValueError:
        raise ValueError(f"{name}: a time of day is HH:MM, not {value!r}") from None
    return np.timedelta64(parts[0] * 3600 + parts[1] * 60 + (parts[2] if len(parts) > 2
                                                             else 0), "s")


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


def usable(calls, puts, strikes, S):
    """The strikes the forward search may use: a finite strike, both prices positive, the call
    below the spot and the put below the strike (what no American or European option can be
    worth: such a quote is an error, and would drag the parity estimate off)."""
    with np.errstate(invalid="ignore"):
        return (np.isfinite(strikes) & (calls > 0) & (puts > 0) & (calls < S)
                & (puts < strikes))


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


def search_windows(group, window, n_groups, min_strikes=1):
    """Each group's window: the narrowest of the ladder that holds at least min_strikes of its
    usable strikes (window: their ladder positions), NO_WINDOW (every strike) where none does."""
    chosen = np.full(n_groups, NO_WINDOW, dtype=np.int64)
    if min_strikes <= 1:
        np.minimum.at(chosen, group, window)
        return chosen
    order = np.lexsort((window, group))
    g, w = group[order], window[order]
    starts = np.searchsorted(g, np.arange(n_groups))
    counts = np.bincount(g, minlength=n_groups)
    enough = np.flatnonzero(counts >= min_strikes)
    chosen[enough] = w[starts[enough] + min_strikes - 1]
    return chosen


def window_rule(strike_pct=None):
    """(first width of the ladder, strikes the window must hold): by default the narrowest
    window from 1 % that holds MIN_STRIKES usable strikes; a width given is used as
    find_forward_baw uses it, the first window that holds one."""
    if strike_pct is None:
        return DEFAULT_STRIKE_PCT, MIN_STRIKES
    return checked_strike_pct(strike_pct), 1


def search_code(model="baw", precision=None):
    """What group_forwards searches an American group's forward with: 1 for the BAW implied
    volatilities, 2 for the accurate American engine's (``model="alo"``), 3 for its fast
    setting; ValueError for a model or precision not known."""
    functions("american", model, precision)  # checks them
    return 1 if model == "baw" else 3 if precision == "fast" else 2


def forwards(group, calls, puts, strikes, S, D, T, european=None, strike_pct=None,
             threads=None, model="baw", precision=None):
    """(forward, parity estimate, strikes used) of every group, from the first call and put
    of each of its strikes (group, calls, puts, strikes: ordered by group, then strike). Only
    usable strikes in the group's search window (window_rule) count: an American group's
    forward is find_forward_baw's search on them (of the model's implied volatilities,
    search_code), a European group's (european) their put-call parity estimate; an expired
    group (T <= 0) and one without a usable strike get none. The groups are shared among
    ``threads`` native threads (None: as many as the searches pay for, up to the cores); each
    search gives the same bits on any thread."""
    n_groups = len(S)
    width, min_strikes = window_rule(strike_pct)
    good = usable(calls, puts, strikes, S[group])
    group, calls, puts, strikes = group[good], calls[good], puts[good], strikes[good]
    window = window_index(strikes, S[group], width)
    inside = window <= search_windows(group, window, n_groups, min_strikes)[group]
    group = group[inside]
    calls, puts, strikes = (np.ascontiguousarray(a[inside]) for a in (calls, puts, strikes))
    bounds = np.searchsorted(group, np.arange(n_groups + 1))
    with np.errstate(invalid="ignore"):
        S_search = np.where(T <= 0, np.nan, S)
    search = np.full(n_groups, search_code(model, precision), dtype=np.int64)
    if european is not None:
        search[european] = 0
    return group_forwards(calls, puts, strikes, bounds, S_search, D, search, threads=threads)


def expiry_forward(calls, puts, strikes, S, D, strike_pct=None):
    """(forward, parity estimate, strikes used) of one American expiry from paired call and put
    prices, one row a strike in any order (the first row of a strike wins)."""
    strikes = np.asarray(strikes, dtype=np.float64)
    rows = first_quotes(np.zeros(len(strikes), dtype=np.int64), np.zeros(len(strikes), bool),
                        strikes)
    forward, parity, used = forwards(
        np.zeros(len(rows), dtype=np.int64), np.asarray(calls, dtype=np.float64)[rows],
        np.asarray(puts, dtype=np.float64)[rows], strikes[rows], np.array([float(S)]),
        np.array([float(D)]), np.array([1.0]), strike_pct=strike_pct)
    return float(forward[0]), float(parity[0]), int(used[0])


# -- volatilities --------------------------------------------------------------------------------

def quote_vols(q, S, D, F, T, keep, european=None, threads=None, model="baw", precision=None):
    """The result columns of a table's quotes at their groups' S, D, F and T: total standard
    deviations of the mid, bid and ask (American by the model, or where european European) and their
    annualised vols. NaN for rows not kept, at or below intrinsic value (0.0: no volatility),
    that no volatility reproduces, and for the bid of a zero bid. The inversions share
    ``threads`` native threads (None: as many as pay, up to the cores)."""
    european = q.european if european is None else european
    flags = np.where(q.flag == "c", "c", "p")  # read natively, without an object a flag
    out = {"T": T, "D": D, "forward": F}
    with np.errstate(invalid="ignore", divide="ignore"):
        root_T = np.sqrt(np.where(T > 0, T, np.nan))
        for side, prices in (("mid", q.mid), ("bid", q.bid), ("ask", q.ask)):
            if prices is None:
                sd = np.full(len(flags), np.nan)
            else:
                sd = implied_vols(np.where(keep, prices, np.nan), S, q.strike, D, F, flags,
                                  european, threads, model, precision)
                sd[sd == 0.0] = np.nan  # at or below intrinsic value: no volatility
                if side == "bid":
                    sd[~(prices > 0)] = np.nan
            out[f"sd_{side}"] = sd
        for side in ("mid", "bid", "ask"):
            out[f"iv_{side}"] = out[f"sd_{side}"] / root_T
    return out


def implied_vols(prices, S, K, D, F, flags, european, threads=None, model="baw",
                 precision=None):
    """American implied total standard deviations (BAW, or the accurate engine with
    ``model="alo"``), and European ones where european, on ``threads`` native threads (None:
    as many as pay)."""
    american = functions("american", model, precision)[1]
    if not european.any():
        return american(prices, S, K, D, F, flags, threads=threads)
    sd = np.empty(len(prices))
    for style, function in ((False, american), (True, vectorized_european_implied_vol)):
        rows = np.flatnonzero(european == style)
        if len(rows):
            sd[rows] = function(prices[rows], S[rows], K[rows], D[rows], F[rows], flags[rows],
                                threads=threads)
    return sd


def quote_greeks(q, S, D, F, T, sd, european, threads=None, model="baw", precision=None):
    """GREEK_COLUMNS of a table's quotes at their mid total standard deviations sd (NaN where
    there is none): delta and gamma (D and the carry held), vega per volatility point
    (dV/dsigma sqrt(T) / 100), theta per calendar day and rho per 1 % of the rate."""
    from kelvo.broadcast import theta_rho

    flags = np.where(q.flag == "c", "c", "p")
    out = {name: np.full(len(sd), np.nan) for name in ("delta", "gamma", "vega", "dF", "dD")}
    for style, function in ((False, functions("american", model, precision)[2]),
                            (True, functions("european")[2])):
        rows = np.flatnonzero((european == style) & np.isfinite(sd))
        if len(rows):
            got = function(S[rows], q.strike[rows], D[rows], F[rows], sd[rows], flags[rows],
                           threads=threads)
            for name in out:
                out[name][rows] = got[name]
    theta, rho = theta_rho(T, D, F, S, sd, out["vega"], out["dF"], out["dD"])
    with np.errstate(invalid="ignore"):
        vega = out["vega"] * np.sqrt(np.where(T > 0, T, np.nan)) / 100
    return {"delta": out["delta"], "gamma": out["gamma"], "vega": vega, "theta": theta,
            "rho": rho}


def atm_brackets(group, strike, sd, F_g):
    """The quotes with a volatility, and each group's nearest quoted strikes to its forward from
    below and from above among them (-inf, inf where it has none)."""
    F = F_g[group]
    good = np.isfinite(sd) & np.isfinite(F) & np.isfinite(strike)
    below, above = good & (strike <= F), good & (strike >= F)
    lo = np.full(len(F_g), -np.inf)
    hi = np.full(len(F_g), np.inf)
    np.maximum.at(lo, group[below], strike[below])
    np.minimum.at(hi, group[above], strike[above])
    return good, lo, hi


def atm_candidates(group, strike, sd, F_g):
    """The quotes that may set their group's at-the-money volatility: those with a volatility
    at the quoted strikes nearest the group's forward from below and from above. atm_vols of
    the candidates of each part of a table, in table order, is atm_vols of the whole table."""
    good, lo, hi = atm_brackets(group, strike, sd, F_g)
    return good & ((strike == lo[group]) | (strike == hi[group]))


def atm_vols(group, strike, sd, F_g, T_g):
    """Each group's at-the-money volatility, annualised: the volatility at its forward,
    interpolated linearly in log-strike between the mean mid volatilities (calls and puts) at
    the nearest quoted strikes below and above the forward that have one; the nearer side's
    where the forward lies beyond the strikes on one side."""
    n_groups = len(F_g)
    good, lo, hi = atm_brackets(group, strike, sd, F_g)

    def mean_at(ends):
        rows = good & (strike == ends[group])
        count = np.bincount(group[rows], minlength=n_groups)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.bincount(group[rows], weights=sd[rows], minlength=n_groups) / count

    v_lo, v_hi = mean_at(lo), mean_at(hi)
    with np.errstate(invalid="ignore", divide="ignore"):
        span = log(hi) - log(lo)
        weight = np.where(span > 0, (log(F_g) - log(lo)) / span, 0.0)
        sd_at = np.where(np.isfinite(v_lo) & np.isfinite(v_hi), v_lo + weight * (v_hi - v_lo),
                         np.where(np.isfinite(v_lo), v_lo, v_hi))
        return sd_at / np.sqrt(T_g)


# -- the whole table -----------------------------------------------------------------------------

def model_label(model, precision=None):
    """The model of a surface as its summary's attrs["model"] names it: "baw", "alo (accurate)"
    or "alo (fast)"."""
    return model if model == "baw" else f"{model} ({precision or 'accurate'})"


def row_values(group, keep, european_g, *values_g):
    """Each row's values of its group (NaN where the row is not kept) and whether the row is
    priced as European."""
    if not len(european_g):  # no row kept, so no group
        return [np.full(len(group), np.nan) for _ in values_g], np.zeros(len(group), bool)
    at = np.maximum(group, 0)
    return [np.where(keep, v[at], np.nan) for v in values_g], keep & european_g[at]


def group_counts(group, sd, n_groups):
    """The quotes of each group, and those without a mid volatility (as floats, which sum
    exactly over the parts of a table)."""
    return (np.bincount(group, minlength=n_groups),
            np.bincount(group, weights=np.isnan(sd), minlength=n_groups))


def summary(keys, european, **columns):
    """The summary of a table's groups, as arrays by SUMMARY_COLUMNS: keys (symbol, quote date,
    expiry) of each group, its style from european and its columns, ordered by symbol, quote
    date and expiry."""
    symbol = np.array([k[0] for k in keys], dtype=object)
    # a date a table does not give (a time-to-expiry column and no quote date) keys as
    # pandas' NaT, which NumPy does not convert
    quote_date, expiry = (np.array([np.datetime64("NaT") if k[i] != k[i] else k[i]
                                    for k in keys], dtype="datetime64[ns]") for i in (1, 2))
    order = np.lexsort((expiry, quote_date, symbol.astype(str)))
    out = {"symbol": symbol, "quote_date": quote_date, "expiry": expiry,
           "style": np.where(european, "european", "american"), **columns}
    return {name: np.asarray(out[name])[order] for name in SUMMARY_COLUMNS}


def surface(quotes: Any, *, rate: float | None = None,
            discount: Mapping[Any, float] | pd.Series[float] | None = None,
            quote_date: Any = None, quote_time: Any = None, spot: float | None = None,
            style: str | None = None, snapshot: str | None = None,
            columns: Mapping[str, str] | None = None,
            strike_pct: float | None = None, strike_scale: float | None = None,
            threads: int | None = None, model: str = "baw", precision: str | None = None,
            greeks: bool = False) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Implied forwards and volatilities of a table of contracts (one row per contract).

    A group is an underlying, a quote date and an expiry. Its forward comes from the first call
    and put mid prices of its strikes, both usable, in the narrowest window around the spot
    that holds at least four of them (or, with ``strike_pct``, the first window from that width
    that holds one): ``find_forward_baw``'s search for American options, put-call parity for
    European ones. Every quote is then inverted at its group's forward, American (BAW) or
    European (Black).

    - Columns are found by name (``ROLES``, the specific names first, passing over a column
      whose cells do not read as its role's). Option symbols in the OCC's form give the root,
      expiry, type and strike where those columns are missing.
    - The mid is the column named for it (``columns={"mid": ...}``); else (bid + ask) / 2 where
      0 < bid <= ask whenever the table has bid and ask; else a mid or mark column; the last
      trade only where there is nothing else.
    - The underlying price is its column where positive, else the mid of the underlying's bid
      and ask. Rows of a group must agree on it.
    - Time to expiry: a time-to-expiry column (``T`` in years, ``dte`` in days); else from the
      quote to the expiry in days of 365, options expiring at their settlement (16:00; 9:30
      for AM-settled index roots), quotes taken at their own time of day, ``quote_time``, the
      snapshot's (15:45, 16:00) or, where none is known, the close.
    - A quote no volatility reproduces, at or below intrinsic value, or with a zero bid gives
      NaN in its column; a row whose strike, type, expiry, quote date or underlying price
      cannot be read gets no results and belongs to no group.

    Parameters
    ----------
    quotes : pandas.DataFrame, polars.DataFrame or pyarrow.Table
        The table.
    rate : float, optional
        A flat continuously compounded rate a year. Give ``rate``, ``discount``, or a rate or
        discount column: a zero rate is never assumed.
    discount : mapping or pandas.Series, optional
        Expiration date -> discount factor, for every expiry of the table.
    quote_date : str or datetime-like, optional
        The quote date of a table without its column; with one, the date whose rows are read.
    quote_time : str or datetime.time, optional
        The time of day the quotes were taken ("15:45"); quotes of a date without a time are
        otherwise the close's (16:00).
    spot : float, optional
        The underlying price of a table without its column (given, it replaces the table's).
    style : {"american", "european"}, optional
        The exercise style of every option (default: a style column, else European for
        cash-settled index roots, ``EUROPEAN_ROOTS``, and American otherwise).
    snapshot : {"1545", "eod"}, optional
        Which quotes of the exchange's end-of-day layout to read (default 15:45).
    columns : mapping, optional
        role -> column name, for any role of ``ROLES``.
    strike_pct : float, optional
        The first width of the forward search's window, used as ``find_forward_baw`` does.
    strike_scale : float, optional
        Multiplies the strikes (0.001 for strikes in thousandths); strikes orders of magnitude
        from the underlying price are a ValueError that says so.
    threads : int, optional
        Native threads (default: as many as the work pays for; the same bits for any count).
    model : {"baw", "alo"}
        The American options' model, for their forwards and vols: the Barone-Adesi-Whaley
        approximation, or the accurate engine of the early-exercise boundary's integral
        equation (slower: some ten milliseconds a forward).
    precision : {"accurate", "fast"}, optional
        The accurate engine's setting (default "accurate").
    greeks : bool
        Add each quote's sensitivities at its mid vol (``GREEK_COLUMNS``: delta, gamma, vega
        per volatility point, theta per calendar day, rho per 1 % of the rate).

    Returns
    -------
    table : pandas.DataFrame
        The rows with ``T``, ``D``, ``forward``, ``sd_mid``, ``sd_bid``, ``sd_ask`` (total
        standard deviations) and ``iv_mid``, ``iv_bid``, ``iv_ask`` (annualised) added.
    summary : pandas.DataFrame
        One row per group (``SUMMARY_COLUMNS``), ``attrs["columns"]`` saying what each role was
        read from. ``atm_vol`` is the volatility at the forward, interpolated between the
        nearest quoted strikes on either side (``atm_vols``).

    Raises
    ------
    ValueError
        A table that cannot be read right: a role without a column that reads, no rate,
        strikes orders of magnitude off, rows of a group with different underlying prices.

    Examples
    --------
    >>> import pandas as pd
    >>> from kelvo import chain, sample
    >>> table, summary = chain.surface(pd.read_csv(sample.OPTIONS_PATH), rate=0.04)
    >>> summary[["forward", "atm_vol"]].head(2).round(4)
        forward  atm_vol
    0  187.3464   0.2243
    1  187.4513   0.2258
    """
    import pandas as pd

    search_code(model, precision)  # a model or precision not known fails before the work
    frame = as_pandas(quotes)
    names = WHOLE_TABLE_COLUMNS.get() or first_rows_columns(frame, columns, snapshot, spot)
    q = Quotes.from_frame(frame, names, rate=rate, discount=discount, quote_date=quote_date,
                          quote_time=quote_time_of(quote_time, names), spot=spot, style=style,
                          strike_scale=strike_scale)
    check_scale(strike_ratios(q), names, spot is not None)
    keep = readable(q)
    if quote_date is not None and "quote_date" in names:
        keep &= on_date(q, quote_date)
    missing = missing_discounts(q, keep, discount)
    if missing:
        raise ValueError(missing[1])
    group, keys = group_ids(q, keep)
    n_groups = len(keys)
    rows = np.flatnonzero(keep)
    S_g, D_g, T_g, european_g = group_values(group[rows], n_groups, q.spot[rows], q.D[rows],
                                             q.T[rows], q.european[rows])
    for letter, values, of_group in (("S", q.spot, S_g), ("D", q.D, D_g), ("T", q.T, T_g)):
        differs = disagreeing(group[rows], values[rows], of_group)
        if len(differs):
            first = rows[np.flatnonzero(group[rows] == group[rows[differs[0]]])[0]]
            role, words = GROUP_VALUES[letter]
            raise ValueError(group_disagreement(keys[group[rows[differs[0]]]],
                                                values[rows[differs[0]]], values[first],
                                                names.get(role, words), letter))

    quoted = rows[first_quotes(group[rows], q.flag[rows] == "p", q.strike[rows])]
    calls, puts = pairs(group[quoted], q.flag[quoted] == "p", q.strike[quoted])
    calls, puts = quoted[calls], quoted[puts]
    F_g, parity_g, used_g = forwards(group[calls], q.mid[calls], q.mid[puts], q.strike[calls],
                                     S_g, D_g, T_g, european_g, strike_pct, threads, model,
                                     precision)

    values, european = row_values(group, keep, european_g, S_g, D_g, F_g, T_g)
    results = quote_vols(q, *values, keep, european, threads, model, precision)
    table = frame.copy()
    table.columns = kept_input_names(list(frame.columns),
                                     RESULT_COLUMNS + (GREEK_COLUMNS if greeks else ()))
    for column in RESULT_COLUMNS:
        table[column] = results[column]
    sd = results["sd_mid"]
    if greeks:
        sensitivities = quote_greeks(q, *values, sd, european, threads, model, precision)
        for column in GREEK_COLUMNS:
            table[column] = sensitivities[column]
    quotes, no_iv = group_counts(group[rows], sd[rows], n_groups)
    groups = summary(keys, european_g, T=T_g, D=D_g, spot=S_g, forward=F_g,
                     parity_estimate=parity_g, strikes_used=used_g,
                     atm_vol=atm_vols(group[rows], q.strike[rows], sd[rows], F_g, T_g),
                     quotes=quotes, no_iv=no_iv.astype(np.int64))
    out = pd.DataFrame(groups)
    out.attrs["columns"] = column_sources(names, q)
    out.attrs["model"] = model_label(model, precision)
    # how the table was read, so that its rows can be read again alike (kelvo.plot.surface)
    out.attrs["options"] = {key: value for key, value in dict(
        quote_date=quote_date, quote_time=quote_time, spot=spot, style=style, snapshot=snapshot,
        columns=columns, strike_scale=strike_scale).items() if value is not None}
    return table, out


# The columns found on a whole table, where surface runs on a part of it (kelvo.dask): found
# on the whole table's first rows, not the part's.
WHOLE_TABLE_COLUMNS = contextvars.ContextVar("whole_table_columns", default=None)


def first_rows_columns(frame, columns=None, snapshot=None, spot=None):
    """find_columns of a pandas table, its first 1000 rows the sample of its cells."""
    return find_columns(list(frame.columns), columns,
                        sample=frame.head(1000) if len(frame) else None, snapshot=snapshot,
                        spot=spot)


def as_pandas(table):
    """A pandas DataFrame of a pandas, polars or pyarrow table."""
    if hasattr(table, "iloc"):
        return table
    if hasattr(table, "to_pandas"):  # polars and pyarrow
        return table.to_pandas()
    raise TypeError(f"a table of quotes is a pandas DataFrame, or a polars or pyarrow table, not "
                    f"{type(table).__name__}")


def quote_time_of(quote_time, names):
    """The time of day the quotes were taken: as given, or the snapshot's of the exchange's
    end-of-day layout (15:45, or the close for the _eod columns); None where it is not known."""
    if quote_time is not None:
        return fixed_time(quote_time, "quote_time")
    bid = str(names.get("bid", names.get("mid", ""))).strip().lower()
    for suffix, at in SNAPSHOTS.items():
        if bid.endswith("_" + suffix):
            return at
    return None


# what a row needs to be read: a kind for each role (kelvo.cli reads the same); the last four
# where the table has their column (a missing cell of one made its group's values disagree)
READABLE = (("strike", "number"), ("type", "type"), ("expiry", "date"), ("quote_date", "date"),
            ("spot", "positive"), ("T", "number"), ("days", "number"), ("rate", "number"),
            ("discount", "positive"))
COLUMN_ONLY = ("T", "days", "rate", "discount")


def check_values(q):
    """The values READABLE checks, by role."""
    return {"strike": q.strike, "type": q.flag, "expiry": q.expiry,
            "quote_date": q.quote_date, "spot": q.spot, "T": q.T, "days": q.T, "rate": q.D,
            "discount": q.D}


def unreadable(kind, values):
    """Where values (a role's, of kind READABLE gives) cannot be read."""
    with np.errstate(invalid="ignore"):
        if kind == "date":
            return np.isnat(values)
        if kind == "type":
            return values == None  # noqa: E711 (element-wise)
        if kind == "positive":
            return ~(np.isfinite(values) & (values > 0))
        return ~np.isfinite(values)


def readable(q):
    """The rows whose strike, type, expiry, quote date and underlying price can be read (the
    quote date where there is one: a time-to-expiry column needs none)."""
    values = check_values(q)
    keep = np.ones(q.n, dtype=bool)
    for role, kind in READABLE:
        if role == "quote_date" and np.isnat(q.quote_date_values).all():
            continue
        if role in COLUMN_ONLY and role not in q.number_roles:
            continue
        keep &= ~unreadable(kind, values[role])
    return keep


def on_date(q, day):
    """The rows quoted on the calendar day given."""
    wanted = fixed_date(day, "quote_date").astype("datetime64[D]")
    return q.quote_date.astype("datetime64[D]") == wanted


def strike_ratios(q):
    """Each quote's strike over its underlying price, where both are positive numbers."""
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = q.strike / q.spot
    return ratio[np.isfinite(ratio) & (ratio > 0)]


SCALE_SAMPLE = 4096  # the quotes whose strikes show their scale: the table's first


def check_scale(ratio, names, spot_given=False):
    """ValueError where the strikes are orders of magnitude from the underlying price (strikes
    in thousandths, a spot given wrong, or the wrong column), judged on the first SCALE_SAMPLE
    of strike_ratios (the table's, or as many of its first quotes as the command line has read)."""
    ratio = ratio[:SCALE_SAMPLE]
    if not len(ratio):
        return
    typical = float(np.median(ratio))
    if 0.02 <= typical <= 50:
        return
    column = names.get("strike", names.get("option_symbol", "strike"))
    raise ValueError(
        f"{column}: the strikes are about {typical:.3g} times the underlying price"
        f"{' given (spot=, --spot): check it, or' if spot_given else ':'} give "
        f"strike_scale= (--strike-scale) to scale them ({1 / typical:.0e} for strikes in "
        f"{'thousandths' if 300 < typical < 3000 else 'other units'}), or name the strike and "
        "underlying price columns with columns= (--column)")


def disagreeing(group, values, of_group):
    """Positions of the rows whose value differs from their group's (NaN agrees with NaN)."""
    theirs = of_group[group]
    return np.flatnonzero((values != theirs) & ~(np.isnan(values) & np.isnan(theirs)))


# what the rows of a group share, by the letter of its value: its role and its name in words
GROUP_VALUES = {"S": ("spot", "underlying price"), "D": ("discount", "discount factor"),
                "T": ("T", "time to expiry")}


# control characters, and the marks that reorder or break lines
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def shown(text):
    """A cell as messages and tables show it: its control characters (a line feed, an escape
    sequence, a right-to-left override) escaped as repr escapes them."""
    return CONTROL.sub(lambda m: repr(m.group())[1:-1], str(text))


def group_disagreement(key, value, first, column, letter="S"):
    symbol, quote_date, expiry = key
    return (f"{column} {float(value)!r} differs from {float(first)!r} in one group "
            f"({shown(symbol) or '-'} quoted {np.datetime64(quote_date, 'D')} expiring "
            f"{np.datetime64(expiry, 'D')}): the rows of an underlying, quote date and expiry "
            f"must have one {GROUP_VALUES[letter][1]}"
            + ("; if another column tells these rows apart, name it with columns={'symbol': "
               "NAME} (--column symbol=NAME)" if letter == "S" else ""))


def group_ids(q, keep):
    """Each kept quote's group number (-1 for the others) and the groups' keys ((symbol,
    quote date, expiry) tuples), numbered in the order first met."""
    import pandas as pd

    rows = np.flatnonzero(keep)
    group = np.full(q.n, -1, dtype=np.int64)
    if not len(rows):
        return group, []
    keys = pd.MultiIndex.from_arrays([q.symbol()[rows], q.quote_date[rows], q.expiry[rows]])
    codes, distinct = pd.factorize(keys, use_na_sentinel=False)
    group[rows] = codes
    return group, list(distinct)

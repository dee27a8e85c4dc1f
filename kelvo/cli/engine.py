"""The command line on option tables as data vendors export them: one row per contract, many
expiries and underlyings, bid and ask, dates (see kelvo.chain for the column roles).

The file is read twice, a chunk at a time, by a native reader that splits the records and reads
the cells of the role columns straight into arrays (numbers as floats, texts as codes into the
distinct texts, so that each date or type spelling is parsed once). The first pass keeps, for
each (underlying, expiry), its underlying price, discount factor and time to expiry and the call
and put mid prices of the strikes the forward search can use (within the narrowest strike window
that holds a strike with both, or near the spot); the forwards are found from those. The second
pass inverts the mid, bid and ask of every row at its expiry's forward and writes each record
out as it was read, followed by the results. Memory is bounded by the chunk size and the
near-the-money quotes of each expiry, not by the file, which need not be sorted.
"""
import codecs
import collections
import csv
import math
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from queue import Empty, Full, Queue

import numpy as np

from kelvo import chain, vectorized_baw_implied_vol
from kelvo._arrays import csv_lines, group_forwards, scan_csv
from kelvo.cli import BadInput, BadRow, CannotWrite, Progress, SkippedRows, first_line_not_utf8

RESULTS = chain.RESULT_COLUMNS
WORKERS = max(1, min(4, os.cpu_count() or 1))
SHOWN = ("symbol", "expiry", "type", "strike", "bid", "ask", "iv_bid", "iv_mid", "iv_ask")
NUMBER_ROLES = ("strike", "spot", "bid", "ask", "mid", "rate", "discount")
TEXT_ROLES = ("symbol", "type", "expiry", "quote_date")

NEAR_BAND = 0.1  # quotes within 10 % of the spot are kept for the at-the-money volatility
DENSE_GROUPS = 1 << 22  # (symbol, expiry) pairs a table of group numbers may hold
RECORD_LIMIT = 1 << 20  # bytes: a longer record is a quote never closed, not a contract
BLOCK = 1 << 16
READ_AHEAD = 1.25  # bytes read for a chunk, over its records' length as measured so far
MAX_HEADER_FIELDS = 1 << 16


class Records:
    """A chunk of records: the text they lie in, each one's span in it, count of missing fields
    and first line, and per role column its numbers or its codes into its distinct texts."""

    __slots__ = ("text", "starts", "ends", "pads", "lines", "numbers", "codes", "distinct")

    def __len__(self):
        return len(self.starts)

    def cells(self, i):
        """Every cell of record i, as the csv module reads it."""
        text = self.text[self.starts[i]:self.ends[i]].decode("utf-8", "surrogateescape")
        return next(csv.reader([text]), []) + [""] * int(self.pads[i])


class RecordReader:
    """The records of a CSV file, a chunk at a time, from blocks of its bytes (checked to be
    UTF-8 as they are read)."""

    def __init__(self, path, progress=None):
        self.path, self.progress = path, progress
        self.file = open(path, "rb")
        self.decoder = codecs.getincrementaldecoder("utf-8")()
        self.text, self.position, self.line = b"", 0, 1
        self.at_end, self.started = False, False
        self.record_bytes = 64.0  # bytes a record, as measured so far

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def header(self):
        """The cells of the first record and its text."""
        records = self.read(MAX_HEADER_FIELDS, (), (), 1)
        if records is None:
            raise BadInput("line 1: the file is empty (expected a header row)")
        cells = records.cells(0)
        return (cells[:len(cells) - int(records.pads[0])],
                records.text[records.starts[0]:records.ends[0]])

    def read(self, n_fields, numbers, texts, count):
        """The next count records (fewer at the end of the file, None after it)."""
        while True:
            self._fill(count)
            try:
                (position, line, starts, ends, pads, lines, values, codes,
                 distinct) = scan_csv(self.text, self.position, self.line, self.at_end, n_fields,
                                      numbers, texts, count)
            except ValueError as error:
                raise BadInput(str(error)) from None
            if len(starts) == count or self.at_end:
                break
            # the text after the records read is one record the text does not yet hold whole
            if len(self.text) - position > RECORD_LIMIT:
                raise BadInput(f"line {line}: cannot read this CSV record: it runs past "
                               f"{RECORD_LIMIT} bytes (a quoted field never closed?)")
            self.record_bytes *= 2  # a chunk's records were longer than those before
        if not len(starts):
            return None
        self.record_bytes = max(1.0, (position - self.position) / len(starts))
        records = Records()
        records.text, records.starts, records.ends, records.pads, records.lines = (
            self.text, starts, ends, pads, lines)
        records.numbers, records.codes, records.distinct = values, codes, distinct
        self.position, self.line = position, line
        return records

    def _fill(self, count):
        """Read until the text ahead holds about count records, or the file ends."""
        ahead = len(self.text) - self.position
        wanted = int(count * self.record_bytes * READ_AHEAD) + BLOCK
        if self.at_end or ahead >= wanted:
            return
        block = self.file.read(wanted - ahead)
        if self.progress is not None:
            self.progress.update(len(block))
        if not block:
            self.at_end = True
            try:
                self.decoder.decode(b"", final=True)
            except UnicodeDecodeError:
                self._not_utf8()
        else:
            try:
                self.decoder.decode(block)
            except UnicodeDecodeError:
                self._not_utf8()
            if not self.started:
                self.started = True
                block = block.removeprefix(codecs.BOM_UTF8)
        self.text = self.text[self.position:] + block
        self.position = 0

    def _not_utf8(self):
        raise BadInput(f"line {first_line_not_utf8(self.path)}: the file is not UTF-8 text")


class Layout:
    """The role columns of a table of contracts: which cells the reader reads as numbers and
    which as texts, and what each of the texts met so far reads as."""

    def __init__(self, header, names, args):
        self.names, self.args = names, args
        self.n_fields = len(header)
        index = {role: header.index(name) for role, name in names.items()}
        self.index = index
        read = [r for r in names if not (r == "quote_date" and args.quote_date is not None)]
        # one column may serve several roles, and is read once
        self.number_columns = sorted({index[r] for r in read if r in NUMBER_ROLES})
        self.text_columns = sorted({index[r] for r in read if r in TEXT_ROLES})
        self.dates = {role: {} for role in ("expiry", "quote_date")}
        self.seen_date = {"expiry": False, "quote_date": False}
        self.flags = {}
        self.fixed_quote_date = None
        if args.quote_date is not None:
            self.fixed_quote_date = chain.date_values([str(args.quote_date)], "--quote-date")[0]
        elif "quote_date" not in names:
            raise ValueError("no quote date: give --quote-date or a quote-date column (one of "
                             f"{', '.join(chain.ROLES['quote_date'])})")
        if args.rate is None and args.discount_map is None and not (
                {"rate", "discount"} & set(names)):
            raise ValueError("no interest rate: give --rate R (continuously compounded), "
                             "--discount EXPIRY=D for each expiry, or a rate or discount column")
        self.wanted_symbols = {s.strip().upper() for s in args.symbol or []}
        self.wanted_expiries = None
        if args.expiry:
            self.wanted_expiries = set(chain.date_values(args.expiry, "--expiry"))

    def read(self, reader, count):
        return reader.read(self.n_fields, self.number_columns, self.text_columns, count)

    def number(self, records, role):
        if role not in self.names:
            return None
        return records.numbers[self.number_columns.index(self.index[role])]

    def text(self, records, role):
        """(codes, distinct texts) of a text role's column."""
        k = self.text_columns.index(self.index[role])
        return records.codes[k], records.distinct[k]

    def date_values(self, records, role):
        """The datetime64 of each distinct text of a date column (NaT where not a date); each
        text is parsed once in the run. ValueError while no cell of the column has been a date
        and none of the new ones is."""
        codes, distinct = self.text(records, role)
        known = self.dates[role]
        new = [t for t in distinct if t not in known]
        if new:
            parsed = chain.date_values(new, self.names[role], strict=not self.seen_date[role])
            known.update(zip(new, parsed))
            self.seen_date[role] = self.seen_date[role] or not np.isnat(parsed).all()
        return codes, np.array([known[t] for t in distinct], dtype="datetime64[ns]")

    def type_flags(self, records):
        codes, distinct = self.text(records, "type")
        new = [t for t in distinct if t not in self.flags]
        if new:
            self.flags.update(zip(new, chain.type_flags(new)))
        return np.array([self.flags[t] for t in distinct], dtype=object)[codes]


class ChunkQuotes:
    """The numbers of a chunk of contracts, by role: strike, spot, flag ('c', 'p' or None),
    expiry and quote date, time to expiry, discount factor, the mid, bid and ask prices, and the
    underlying symbols as codes into the distinct symbols."""

    def __init__(self, records, layout):
        args = layout.args
        n = len(records)
        self.strike = layout.number(records, "strike")
        self.spot = layout.number(records, "spot")
        self.flag = layout.type_flags(records)
        codes, values = layout.date_values(records, "expiry")
        self.expiry_codes, self.expiry_values = codes, values
        self.expiry = values[codes]
        if layout.fixed_quote_date is not None:
            self.quote_date = np.full(n, layout.fixed_quote_date, dtype="datetime64[ns]")
        else:
            codes, values = layout.date_values(records, "quote_date")
            self.quote_date = values[codes]
        self.T = chain.years_to_expiry(self.expiry, self.quote_date)
        self.D = chain.discount_factors(self.T, self.expiry, args.rate, args.discount_map,
                                        layout.number(records, "rate"),
                                        layout.number(records, "discount"))
        self.bid = layout.number(records, "bid")
        self.ask = layout.number(records, "ask")
        self.mid = chain.mid_prices(self.bid, self.ask, layout.number(records, "mid"))
        if "symbol" in layout.names:
            self.symbol_codes, self.symbols = layout.text(records, "symbol")
        else:
            self.symbol_codes, self.symbols = np.zeros(n, dtype=np.int32), ("",)

    def symbol(self):
        return np.array(self.symbols, dtype=object)[self.symbol_codes]


class Expiry:
    """What the command line reports of one (underlying, expiry)."""

    __slots__ = ("S", "D", "T", "quote_date", "quotes", "forward", "parity", "used", "atm_vol")

    def __init__(self, S, D, T, quote_date, quotes=0):
        self.S, self.D, self.T, self.quote_date, self.quotes = S, D, T, quote_date, quotes
        self.forward = self.parity = self.atm_vol = math.nan
        self.used = 0


class Groups:
    """Every (underlying, expiry) met, numbered in first-seen order, with its first row's
    underlying price, discount factor, time to expiry and quote date. A group is found from
    its symbol's and expiry's numbers in a table of them all, or, where that table would be
    too large, among the sorted keys of the groups."""

    def __init__(self):
        self.symbol_ids, self.expiry_ids = {}, {}  # symbol or expiry (ns) -> its number
        self.symbol_names, self.expiry_ns = [], []  # by number
        self.table = np.full((0, 0), -1, dtype=np.int64)
        self.sorted_keys = self.sorted_ids = None
        self.keys = []  # (symbol, expiry in ns) of each group
        self.S, self.D, self.T = (np.empty(0) for _ in range(3))
        self.quote_dates = []
        self.quotes = np.zeros(0, dtype=np.int64)
        self.forward = self.parity = self.atm_vol = np.empty(0)
        self.used = np.zeros(0, dtype=np.int64)

    def __len__(self):
        return len(self.keys)

    def row_keys(self, q, rows):
        """The numbers of each row's symbol and expiry."""
        symbol = numbers_of(q.symbols, self.symbol_ids, self.symbol_names)
        expiry = numbers_of(q.expiry_values.astype(np.int64).tolist(), self.expiry_ids,
                            self.expiry_ns)
        shape = (len(self.symbol_ids), len(self.expiry_ids))
        if self.table is not None and shape != self.table.shape:
            if shape[0] * shape[1] > DENSE_GROUPS:
                self.table = None
                self._sort_keys()
            else:
                grown = np.full(shape, -1, dtype=np.int64)
                grown[:self.table.shape[0], :self.table.shape[1]] = self.table
                self.table = grown
        return symbol[q.symbol_codes[rows]], expiry[q.expiry_codes[rows]]

    def find(self, symbol, expiry):
        """The group of each (symbol, expiry) number pair, -1 for pairs not met."""
        if self.table is not None:
            return self.table[symbol, expiry]
        keys = (symbol << 32) | expiry
        if not len(self.sorted_keys):
            return np.full(len(keys), -1, dtype=np.int64)
        at = np.searchsorted(self.sorted_keys, keys)
        at[at == len(self.sorted_keys)] = 0
        return np.where(self.sorted_keys[at] == keys, self.sorted_ids[at], -1)

    def _sort_keys(self):
        keys = np.array([(self.symbol_ids[s] << 32) | self.expiry_ids[e] for s, e in self.keys],
                        dtype=np.int64)
        order = np.argsort(keys)
        self.sorted_keys, self.sorted_ids = keys[order], order.astype(np.int64)

    def add(self, q, rows):
        """The group of each row, new groups taking their first row's numbers."""
        symbol, expiry = self.row_keys(q, rows)
        ids = self.find(symbol, expiry)
        new = np.flatnonzero(ids < 0)
        if len(new):
            _, first = np.unique((symbol[new] << 32) | expiry[new], return_index=True)
            first = new[np.sort(first)]  # each new group's first row, in the order read
            new_ids = np.arange(len(self.keys), len(self.keys) + len(first))
            self.keys += [(self.symbol_names[s], self.expiry_ns[e]) for s, e in
                          zip(symbol[first].tolist(), expiry[first].tolist())]
            first_rows = rows[first]
            self.quote_dates += list(q.quote_date[first_rows])
            self.S, self.D, self.T = (np.concatenate([have, values[first_rows]]) for have, values
                                      in ((self.S, q.spot), (self.D, q.D), (self.T, q.T)))
            self.quotes = np.concatenate([self.quotes, np.zeros(len(first), dtype=np.int64)])
            if self.table is not None:
                self.table[symbol[first], expiry[first]] = new_ids
            else:
                self._sort_keys()
            ids = self.find(symbol, expiry)
        self.quotes += np.bincount(ids, minlength=len(self.keys))
        return ids

    def expiries(self):
        """{(symbol, expiry): Expiry} in first-seen order."""
        found = {}
        for g, key in enumerate(self.keys):
            e = found[key] = Expiry(float(self.S[g]), float(self.D[g]), float(self.T[g]),
                                    self.quote_dates[g], int(self.quotes[g]))
            e.forward, e.parity = float(self.forward[g]), float(self.parity[g])
            e.used, e.atm_vol = int(self.used[g]), float(self.atm_vol[g])
        return found


def numbers_of(values, numbers, names):
    """The number of each value, new values numbered on from the last (numbers: value ->
    number; names: the values by number)."""
    out = np.empty(len(values), dtype=np.int64)
    for i, value in enumerate(values):
        number = numbers.get(value)
        if number is None:
            number = numbers[value] = len(names)
            names.append(value)
        out[i] = number
    return out


def read_ahead(items, depth=2):
    """The items of an iterator, made on a thread of their own up to depth ahead of the
    consumer (the reader's scanning releases the interpreter, so it runs beside the consumer's
    work). An exception there is raised here in its turn; when the consumer stops early, the
    thread stops at its next item."""
    queue = Queue(maxsize=depth)
    stop = threading.Event()
    END = object()

    def produce():
        try:
            for item in items:
                while not stop.is_set():
                    try:
                        queue.put((item, None), timeout=0.05)
                        break
                    except Full:
                        continue
                if stop.is_set():
                    return
            queue.put((END, None))
        except BaseException as error:  # handed to the consumer, which raises it
            queue.put((END, error))

    thread = threading.Thread(target=produce, name="kelvo-read-ahead", daemon=True)
    thread.start()
    try:
        while True:
            item, error = queue.get()
            if item is END:
                if error is not None:
                    raise error
                return
            yield item
    finally:
        stop.set()
        while thread.is_alive():
            try:
                queue.get(timeout=0.05)
            except Empty:
                pass
        thread.join()
        close = getattr(items, "close", None)
        if close is not None:
            close()


def sort_order(*columns):
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


def parallel_map(function, items):
    """function over items on WORKERS threads (functions that release the interpreter); on an
    exception or Ctrl-C, the items not started are dropped rather than run out."""
    pool = ThreadPoolExecutor(max_workers=WORKERS)
    try:
        return list(pool.map(function, items))
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class NearQuotes:
    """The first pass's store, as arrays over every (underlying, expiry) at once: for each group,
    the narrowest strike window holding a strike with both mids usable, and the first mid seen
    of each (group, type, strike) that lies within its group's window or near the spot. The
    window only narrows, so a quote outside it can never matter again and is dropped."""

    def __init__(self, groups, strike_pct):
        self.groups, self.strike_pct = groups, strike_pct
        self.window = np.zeros(0, dtype=np.int64)
        empty = np.empty(0)
        self.group, self.put, self.strike, self.mid = (np.empty(0, dtype=np.int64),
                                                       np.empty(0, dtype=bool), empty, empty)
        self.win, self.near = np.empty(0, dtype=np.int64), np.empty(0, dtype=bool)
        self.tail, self.tail_rows = [], 0

    def add(self, q, rows, group):
        if not len(rows):
            return
        grown = len(self.groups) - len(self.window)
        if grown:
            self.window = np.concatenate([self.window, np.full(grown, chain.NO_WINDOW + 1)])
        S, strike = self.groups.S[group], q.strike[rows]
        win = chain.window_index(strike, S, self.strike_pct)
        near = np.abs(strike / S - 1) <= NEAR_BAND
        take = (win <= self.window[group]) | near
        self.tail.append(tuple(column[take] for column in (
            group, q.flag[rows] == "p", strike, q.mid[rows], win, near)))
        self.tail_rows += int(take.sum())
        # sorting the store again for every chunk would cost time quadratic in the file: it is
        # consolidated when the quotes waiting reach its size, and the windows found then
        if self.tail_rows >= len(self.group):
            self._consolidate()

    def _consolidate(self):
        # the stored quotes first, then the waiting ones in the order read, so that a
        # (group, type, strike) keeps its first mid
        pieces = [(self.group, self.put, self.strike, self.mid, self.win, self.near), *self.tail]
        (self.group, self.put, self.strike, self.mid, self.win,
         self.near) = (np.concatenate(column) for column in zip(*pieces))
        self.tail, self.tail_rows = [], 0
        self._first_seen_in_order()
        calls, puts = self.pairs()
        good = calls[chain.usable(self.mid[calls], self.mid[puts])]
        np.minimum.at(self.window, self.group[good], self.win[good])
        inside = (self.win <= self.window[self.group]) | self.near
        if not inside.all():
            self._select(inside)

    def _select(self, which):
        for name in ("group", "put", "strike", "mid", "win", "near"):
            setattr(self, name, getattr(self, name)[which])

    def _first_seen_in_order(self):
        """Keep the first of each (group, type, strike), sorted by group, strike, then calls
        before puts, the earliest row of equal keys first."""
        order = sort_order(self.group, self.strike, self.put)
        g, k, p = self.group[order], self.strike[order], self.put[order]
        repeat = np.zeros(len(order), dtype=bool)
        repeat[1:] = (g[1:] == g[:-1]) & (k[1:] == k[:-1]) & (p[1:] == p[:-1])
        self._select(order[~repeat])

    def pairs(self):
        """Positions of the call and the put of each strike that has both."""
        g, k = self.group, self.strike
        calls = np.flatnonzero((g[:-1] == g[1:]) & (k[:-1] == k[1:]))
        return calls, calls + 1

    def solve(self):
        """The forward of every group (on WORKERS threads, the searches detached from the
        interpreter), then the at-the-money volatilities."""
        self._consolidate()
        groups = self.groups
        calls, puts = self.pairs()
        n = len(groups)
        bounds = np.searchsorted(self.group[calls], np.arange(n + 1))
        with np.errstate(invalid="ignore"):
            S = np.where(groups.T > 0, groups.S, np.nan)  # no forward for an expired group
        prices = [np.ascontiguousarray(a) for a in (self.mid[calls], self.mid[puts],
                                                    self.strike[calls])]
        step = max(16, -(-n // (8 * WORKERS)))
        pieces = parallel_map(lambda lo: group_forwards(
            *prices, bounds[lo:lo + step + 1], S[lo:lo + step], groups.D[lo:lo + step],
            self.strike_pct), range(0, n, step))
        groups.forward, groups.parity, groups.used = (
            np.concatenate([p[k] for p in pieces]) if pieces else np.empty(0, dtype=dtype)
            for k, dtype in enumerate((np.float64, np.float64, np.int64)))
        groups.atm_vol = self._atm_vols()

    def _atm_vols(self):
        """The mean call and put mid volatility at the quoted strike nearest each forward: strike
        by strike outwards from it, until one has a volatility (forwards within the near band of
        the spot only)."""
        groups = self.groups
        F = groups.forward
        atm = np.full(len(groups), np.nan)
        with np.errstate(invalid="ignore"):
            near_forward = np.isfinite(F) & (np.abs(F / groups.S - 1) <= NEAR_BAND)
        rows = np.flatnonzero(self.near & near_forward[self.group])
        g, k = self.group[rows], self.strike[rows]
        distance = np.abs(k - F[g])
        order = np.lexsort((k, distance, g))
        rows, g, k = rows[order], g[order], k[order]
        starts_group = np.ones(len(rows), dtype=bool)
        starts_group[1:] = g[1:] != g[:-1]
        new_strike = starts_group.copy()
        new_strike[1:] |= k[1:] != k[:-1]
        counted = np.cumsum(new_strike)
        rank = counted - np.maximum.accumulate(np.where(starts_group, counted, 0))
        open_ = np.ones(len(groups), dtype=bool)
        for r in range(int(rank.max(initial=-1)) + 1):
            at = np.flatnonzero((rank == r) & open_[g])
            if not len(at):
                break
            ga = g[at]
            with np.errstate(invalid="ignore"):
                sd = vectorized_baw_implied_vol(self.mid[rows[at]], groups.S[ga], k[at],
                                                groups.D[ga], F[ga],
                                                np.where(self.put[rows[at]], "p", "c").tolist())
            sd[~(sd > 0) | ~np.isfinite(sd)] = np.nan
            finite = np.isfinite(sd)
            count = np.bincount(ga[finite], minlength=len(groups))
            total = np.bincount(ga[finite], weights=sd[finite], minlength=len(groups))
            done = np.flatnonzero(count)
            atm[done] = total[done] / count[done] / np.sqrt(groups.T[done])
            open_[done] = False
        return atm


class VendorRun:
    def __init__(self, path, args, header, names):
        self.path, self.args, self.names = path, args, names
        self.layout = Layout(header, names, args)
        self.groups = Groups()
        self.expiries = {}
        self.skipped = SkippedRows()

    def numbers(self, records, record):
        """The chunk's numbers and the rows kept (selected, and readable: a row whose strike,
        type, expiry or underlying price cannot be read is a bad row)."""
        layout, args = self.layout, self.args
        line = int(records.lines[0])
        try:
            q = ChunkQuotes(records, layout)
        except ValueError as error:
            raise BadInput(f"line {line}: {error}") from None
        keep = np.ones(len(records), dtype=bool)
        if layout.wanted_symbols:
            wanted = np.array([s.upper() in layout.wanted_symbols for s in q.symbols])
            keep &= wanted[q.symbol_codes]
        if layout.wanted_expiries is not None:
            keep &= np.isin(q.expiry_values, list(layout.wanted_expiries))[q.expiry_codes]
        readable = (np.isfinite(q.strike) & (q.flag != None)  # noqa: E711
                    & ~np.isnat(q.expiry) & np.isfinite(q.spot))
        for i in np.flatnonzero(keep & ~readable):
            role = next(r for r, ok in (("strike", np.isfinite(q.strike[i])),
                                        ("type", q.flag[i] is not None),
                                        ("expiry", not np.isnat(q.expiry[i])),
                                        ("spot", np.isfinite(q.spot[i]))) if not ok)
            cells = records.cells(i)
            column = layout.index[role]
            cell = cells[column] if column < len(cells) else ""
            bad = BadRow(int(records.lines[i]), f"{self.names[role]} cannot be read: {cell!r}")
            if not args.skip_bad_rows:
                raise bad
            if record:
                self.skipped.add(bad)
        return q, keep & readable

    def chunks(self, label):
        """(records, quotes, rows kept) of each chunk of the file."""
        progress = Progress(self.path.stat().st_size, label)
        try:
            with RecordReader(self.path, progress) as reader:
                reader.header()
                while (records := self.layout.read(reader, self.args.chunk_size)) is not None:
                    yield records, *self.numbers(records, record=label == FIRST_PASS)
        finally:
            progress.close()

    def first_pass(self):
        store = NearQuotes(self.groups, self.args.strike_pct)
        for _, q, keep in read_ahead(self.chunks(FIRST_PASS)):
            rows = np.flatnonzero(keep)
            store.add(q, rows, self.groups.add(q, rows))
        if not len(self.groups):
            layout = self.layout
            skipped = self.skipped
            raise BadInput("no option rows" + (" for the --symbol and --expiry given"
                                               if layout.wanted_symbols or layout.wanted_expiries
                                               else "") + (
                f" (skipped {skipped.count} bad row{'s' if skipped.count > 1 else ''}: lines "
                f"{', '.join(str(line) for line, _ in skipped.first)})" if skipped.count else ""))
        store.solve()
        self.expiries = self.groups.expiries()

    def summary_lines(self):
        width = max([8] + [len(symbol) for symbol, _ in self.expiries])
        yield (f"{'symbol':>{width}} {'expiry':>10} {'T':>8} {'D':>10} {'spot':>10} "
               f"{'forward':>12} {'parity':>12} {'strikes':>7} {'atm vol':>8} {'quotes':>7}")
        for (symbol, expiry), e in sorted(self.expiries.items()):
            fwd = f"{e.forward:12.6f}" if math.isfinite(e.forward) else f"{'not found':>12}"
            parity = f"{e.parity:12.6f}" if math.isfinite(e.parity) else f"{'':>12}"
            atm = f"{e.atm_vol:8.4f}" if math.isfinite(e.atm_vol) else f"{'':>8}"
            day = np.datetime64(expiry, "ns").astype("datetime64[D]")
            yield (f"{symbol:>{width}} {day!s:>10} {e.T:8.5f} {e.D:10.8f} "
                   f"{e.S:10.4f} {fwd} {parity} {e.used:7d} {atm} {e.quotes:7d}")

    def invert(self, records, q, rows, ids, writing):
        """The result columns of a chunk, whose rows are those of groups ids (NaN for the
        others), and, when writing, its lines of output."""
        groups = self.groups
        n = len(records)
        columns = []
        for values in (groups.S, groups.D, groups.forward, groups.T):
            column = np.full(n, np.nan)
            column[rows] = values[ids]
            columns.append(column)
        kept = np.zeros(n, dtype=bool)
        kept[rows] = True
        results = chain.quote_vols(q, *columns, kept)
        lines = None
        if writing:
            lines = csv_lines(records.text, records.starts, records.ends, records.pads,
                              [results[c] for c in RESULTS])
        return results, lines

    def second_pass(self, out, table, plot_points):
        quiet = self.args.quiet
        layout = self.layout
        shown = [layout.index.get(role) for role in SHOWN[:6]]
        if not quiet:
            out.write("\n" + " ".join(f"{h:>12}" for h in SHOWN) + "\n")

        def emit(records, q, keep, job):
            results, lines = job.result()
            if table:
                table.file.write(lines)
            if not quiet and not out.gone:
                ivs = [[f"{x:.6f}" if x == x else "" for x in results[c].tolist()]
                       for c in SHOWN[6:]]
                for i in range(len(records)):
                    cells = records.cells(i)
                    row = [cells[c] if c is not None else "" for c in shown]
                    row += [column[i] for column in ivs]
                    out.write(" ".join(f"{x:>12}" for x in row) + "\n")
            if plot_points is not None:
                plot_points.append((q.symbol()[keep], q.expiry[keep], q.flag[keep],
                                    q.strike[keep], results["forward"][keep],
                                    results["iv_mid"][keep], results["iv_bid"][keep],
                                    results["iv_ask"][keep]))

        # Worker threads invert chunks (the inversion releases the interpreter, so they run on
        # every core) while this thread reads the next ones and writes the finished ones in
        # order; at most WORKERS + 1 chunks are in flight.
        worker = ThreadPoolExecutor(max_workers=WORKERS)
        try:
            pending = collections.deque()
            for records, q, keep in self.chunks(SECOND_PASS):
                rows = np.flatnonzero(keep)
                ids = self.groups.find(*self.groups.row_keys(q, rows))
                rows, ids = rows[ids >= 0], ids[ids >= 0]
                job = worker.submit(self.invert, records, q, rows, ids, table is not None)
                pending.append((records, q, keep, job))
                while len(pending) > WORKERS:
                    emit(*pending.popleft())
            while pending:
                emit(*pending.popleft())
        finally:
            worker.shutdown(wait=True, cancel_futures=True)


FIRST_PASS, SECOND_PASS = "kelvo: forwards", "kelvo: implied vols"


def vendor_layout(header):
    """True for a one-row-per-contract table (a type column), False for kelvo's own layout of
    one expiry (strike, call and put columns)."""
    lowered = {h.strip().lower() for h in header}
    if {"call", "put"} <= lowered or {"call_price", "put_price"} <= lowered:
        return False
    return any(alias in lowered for alias in chain.ROLES["type"])


def run_vendor(path, args, out, name, table, picture):
    with RecordReader(path) as reader:
        header, header_text = reader.header()
    try:
        names = chain.find_columns(header, args.columns)
    except ValueError as error:
        raise BadInput(f"line 1: {error}") from None
    try:
        run = VendorRun(path, args, header, names)
    except ValueError as error:
        raise BadInput(str(error)) from None
    run.first_pass()
    for text in run.summary_lines():
        out.write(text + "\n")
    plot_points = [] if picture else None
    try:
        if table:
            table.file.write(header_text + "".join("," + c for c in RESULTS).encode() + b"\r\n")
        run.second_pass(out, table, plot_points)
        out.flush()
    except OSError as error:
        target = table.target if table else "the output"
        raise CannotWrite(f"cannot write {target}: {error.strerror or error}") from None
    if run.skipped.count:
        import sys

        lines = ", ".join(str(line) for line, _ in run.skipped.first)
        sys.stderr.write(f"kelvo: skipped {run.skipped.count} bad row"
                         f"{'s' if run.skipped.count > 1 else ''} (lines {lines})\n")
    if plot_points is not None:
        from kelvo.plot import plot_surface

        try:
            plot_surface(plot_points, run.expiries, picture.file, format=picture.target.suffix[1:] or "png",
                         by_strike=args.by_strike)
        except OSError as error:
            raise CannotWrite(f"cannot write {picture.target}: {error.strerror or error}") from None

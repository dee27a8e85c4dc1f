"""The command line on option tables as data vendors export them: one row per contract, many
expiries and underlyings, bid and ask, dates (see kelvo.chain for the column roles).

The file is read twice, a chunk at a time. The first pass keeps, for each (underlying, expiry),
its underlying price, discount factor and time to expiry and the call and put mid prices of the
strikes the forward search can use (within the narrowest strike window that holds a strike with
both); the forwards are found from those. The second pass inverts the mid, bid and ask of every
row at its expiry's forward and writes the rows out. Memory is bounded by the chunk size and the
near-the-money quotes of each expiry, not by the file, which need not be sorted.
"""
import collections
import csv
import io
import math
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from kelvo import chain, vectorized_baw_implied_vol
from kelvo._arrays import csv_fields
from kelvo.cli import BadInput, BadRow, CannotWrite, Progress, SkippedRows, first_line_not_utf8

RESULTS = chain.RESULT_COLUMNS
WORKERS = max(1, min(4, os.cpu_count() or 1))
SHOWN = ("symbol", "expiry", "type", "strike", "bid", "ask", "iv_bid", "iv_mid", "iv_ask")


NEAR_BAND = 0.1  # quotes within 10 % of the spot are kept for the at-the-money volatility


class Expiry:
    """What the command line reports of one (underlying, expiry)."""

    __slots__ = ("S", "D", "T", "quote_date", "quotes", "forward", "parity", "used", "atm_vol")

    def __init__(self, S, D, T, quote_date, quotes=0):
        self.S, self.D, self.T, self.quote_date, self.quotes = S, D, T, quote_date, quotes
        self.forward = self.parity = self.atm_vol = math.nan
        self.used = 0


class NearQuotes:
    """The first pass's store, as arrays over every (underlying, expiry) at once: for each group,
    its first row's S, D, T and quote date, its quote count and the narrowest strike window
    holding a strike with both mids usable; and the first mid seen of each (group, type, strike)
    that lies within its group's window or near the spot. The window only narrows, so a quote
    outside it can never matter again and is dropped."""

    def __init__(self, strike_pct):
        self.strike_pct = strike_pct
        self.index, self.keys = {}, []
        self.S, self.D, self.T = (np.empty(0) for _ in range(3))
        self.quote_dates = []
        self.quotes = np.zeros(0, dtype=np.int64)
        self.window = np.zeros(0, dtype=np.int64)
        empty = np.empty(0)
        self.group, self.put, self.strike, self.mid = (np.empty(0, dtype=np.int64),
                                                       np.empty(0, dtype=bool), empty, empty)
        self.win, self.near = np.empty(0, dtype=np.int64), np.empty(0, dtype=bool)
        self.tail, self.tail_rows = [], 0

    def _groups(self, q, rows, codes, keys):
        """The group number of each code, new groups taking their first row's numbers."""
        first = rows[np.unique(codes, return_index=True)[1]]
        ids = np.empty(len(keys), dtype=np.int64)
        new = []
        for code, key in enumerate(keys):
            gid = self.index.get(key)
            if gid is None:
                gid = self.index[key] = len(self.keys)
                self.keys.append(key)
                new.append(first[code])
                self.quote_dates.append(q.quote_date.iloc[first[code]])
            ids[code] = gid
        if new:
            self.S, self.D, self.T = (np.concatenate([have, values[new]]) for have, values
                                      in ((self.S, q.spot), (self.D, q.D), (self.T, q.T)))
            self.quotes = np.concatenate([self.quotes, np.zeros(len(new), dtype=np.int64)])
            self.window = np.concatenate([self.window,
                                          np.full(len(new), chain.NO_WINDOW + 1)])
        return ids

    def add(self, q, rows):
        if not len(rows):
            return
        codes, keys = chunk_keys(q, rows)
        group = self._groups(q, rows, codes, keys)[codes]
        self.quotes += np.bincount(group, minlength=len(self.keys))
        S, strike = self.S[group], q.strike[rows]
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
        before puts (the sort is stable: the earliest row of equal keys stays first)."""
        order = np.lexsort((self.put, self.strike, self.group))
        g, k, p = self.group[order], self.strike[order], self.put[order]
        repeat = np.zeros(len(order), dtype=bool)
        repeat[1:] = (g[1:] == g[:-1]) & (k[1:] == k[:-1]) & (p[1:] == p[:-1])
        self._select(order[~repeat])

    def pairs(self):
        """Positions of the call and the put of each strike that has both."""
        g, k = self.group, self.strike
        calls = np.flatnonzero((g[:-1] == g[1:]) & (k[:-1] == k[1:]))
        return calls, calls + 1

    def expiries(self):
        """The forward of every group (its searches release the interpreter: one thread per
        core), then the at-the-money volatility; {(symbol, expiry): Expiry} in first-seen
        order."""
        self._consolidate()
        calls, puts = self.pairs()
        bounds = np.searchsorted(self.group[calls], np.arange(len(self.keys) + 1))
        found = [Expiry(float(self.S[g]), float(self.D[g]), float(self.T[g]), self.quote_dates[g],
                        int(self.quotes[g])) for g in range(len(self.keys))]

        def solve(g):
            c, p = calls[bounds[g]:bounds[g + 1]], puts[bounds[g]:bounds[g + 1]]
            e = found[g]
            if e.T > 0:
                e.forward, e.parity, e.used = chain.expiry_forward(
                    self.mid[c], self.mid[p], self.strike[c], e.S, e.D, self.strike_pct)

        with ThreadPoolExecutor(max_workers=WORKERS) as pool:
            list(pool.map(solve, range(len(found))))
        self._atm_vols(found)
        return dict(zip(self.keys, found))

    def _atm_vols(self, found):
        """The mean call and put mid volatility at the quoted strike nearest each forward: strike
        by strike outwards from it, until one has a volatility (forwards within the near band of
        the spot only)."""
        F = np.array([e.forward for e in found])
        with np.errstate(invalid="ignore"):
            near_forward = np.isfinite(F) & (np.abs(F / self.S - 1) <= NEAR_BAND)
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
        open_ = np.ones(len(found), dtype=bool)
        for r in range(int(rank.max(initial=-1)) + 1):
            at = np.flatnonzero((rank == r) & open_[g])
            if not len(at):
                break
            ga = g[at]
            with np.errstate(invalid="ignore"):
                sd = vectorized_baw_implied_vol(self.mid[rows[at]], self.S[ga], k[at], self.D[ga],
                                                F[ga], np.where(self.put[rows[at]], "p", "c").tolist())
            sd[~(sd > 0) | ~np.isfinite(sd)] = np.nan
            finite = np.isfinite(sd)
            count = np.bincount(ga[finite], minlength=len(found))
            total = np.bincount(ga[finite], weights=sd[finite], minlength=len(found))
            for gid in np.flatnonzero(count):
                found[gid].atm_vol = total[gid] / count[gid] / math.sqrt(self.T[gid])
                open_[gid] = False


def chunk_keys(q, rows):
    """For the given rows, the code of each one's (underlying, expiry) and the keys
    (symbol, expiry in ns) in code order."""
    import pandas as pd

    symbol_codes, symbols = pd.factorize(q.symbol[rows])
    expiry_codes, expiries = pd.factorize(q.expiry.to_numpy()[rows])
    n_expiries = max(1, len(expiries))
    pairs, codes = np.unique(symbol_codes.astype(np.int64) * n_expiries + expiry_codes,
                             return_inverse=True)
    ns = np.asarray(expiries, dtype="datetime64[ns]").astype(np.int64).tolist()
    keys = [(symbols[pair // n_expiries], ns[pair % n_expiries]) for pair in pairs.tolist()]
    return codes.reshape(-1), keys


def read_chunks(path, chunk_size, progress=None):
    """(first line number, DataFrame of text cells) of each chunk; BadInput naming the line for
    text that is not UTF-8 or CSV that cannot be read."""
    import pandas as pd

    try:
        reader = pd.read_csv(path, dtype=object, keep_default_na=False, chunksize=chunk_size,
                             encoding="utf-8-sig", skip_blank_lines=True)
        line = 2
        with reader:
            for frame in reader:
                yield line, frame
                line += len(frame)
                if progress is not None:
                    progress.update(min(progress.total, reader.handles.handle.buffer.tell())
                                    - progress.done)
    except UnicodeDecodeError:
        raise BadInput(f"line {first_line_not_utf8(path)}: the file is not UTF-8 text") from None
    except pd.errors.ParserError as error:
        raise BadInput(f"cannot read the file as CSV: {error}") from None
    except pd.errors.EmptyDataError:
        raise BadInput("line 1: the file is empty (expected a header row)") from None


class VendorRun:
    def __init__(self, path, args, names):
        self.path, self.args, self.names = path, args, names
        self.expiries = {}
        self.skipped = SkippedRows()
        self.symbols = {s.strip().upper() for s in args.symbol or []}
        self.wanted = None
        if args.expiry:
            self.wanted = set(chain.parse_dates(np.array(args.expiry, dtype=object),
                                                "--expiry").to_numpy())

    def numbers(self, line, frame, record):
        """The chunk's numbers, the rows kept (selected, and readable: a row whose strike, type,
        expiry or underlying price cannot be read is a bad row) and their keys."""
        import pandas as pd

        args = self.args
        try:
            q = chain.Quotes(frame, self.names, rate=args.rate, discount=args.discount_map,
                             quote_date=args.quote_date)
        except ValueError as error:
            raise BadInput(f"line {line}: {error}") from None
        keep = np.ones(len(frame), dtype=bool)
        if self.symbols:
            keep &= np.isin(np.char.upper(q.symbol.astype(str)), list(self.symbols))
        if self.wanted is not None:
            keep &= np.isin(q.expiry.to_numpy(), list(self.wanted))
        readable = (np.isfinite(q.strike) & (q.flag != None)  # noqa: E711
                    & q.expiry.notna().to_numpy() & np.isfinite(q.spot))
        for i in np.flatnonzero(keep & ~readable):
            role = next(r for r, ok in (("strike", np.isfinite(q.strike[i])),
                                        ("type", q.flag[i] is not None),
                                        ("expiry", pd.notna(q.expiry.iloc[i])),
                                        ("spot", np.isfinite(q.spot[i]))) if not ok)
            cell = frame[self.names[role]].iloc[i]
            bad = BadRow(line + i, f"{self.names[role]} cannot be read: {cell!r}")
            if not args.skip_bad_rows:
                raise bad
            if record:
                self.skipped.add(bad)
        return q, keep & readable

    def first_pass(self):
        store = NearQuotes(self.args.strike_pct)
        progress = Progress(self.path.stat().st_size, "kelvo: forwards")
        try:
            for line, frame in read_chunks(self.path, self.args.chunk_size, progress):
                q, keep = self.numbers(line, frame, record=True)
                store.add(q, np.flatnonzero(keep))
        finally:
            progress.close()
        if not store.keys:
            raise BadInput("no option rows" + (" for the --symbol and --expiry given"
                                               if self.symbols or self.wanted else ""))
        self.expiries = store.expiries()

    def summary_lines(self):
        import pandas as pd

        yield (f"{'symbol':>8} {'expiry':>10} {'T':>8} {'D':>10} {'spot':>10} {'forward':>12} "
               f"{'parity':>12} {'strikes':>7} {'atm vol':>8} {'quotes':>7}")
        for (symbol, expiry), e in sorted(self.expiries.items()):
            fwd = f"{e.forward:12.6f}" if math.isfinite(e.forward) else f"{'not found':>12}"
            parity = f"{e.parity:12.6f}" if math.isfinite(e.parity) else f"{'':>12}"
            atm = f"{e.atm_vol:8.4f}" if math.isfinite(e.atm_vol) else f"{'':>8}"
            yield (f"{symbol:>8} {pd.Timestamp(expiry).date()!s:>10} {e.T:8.5f} {e.D:10.8f} "
                   f"{e.S:10.4f} {fwd} {parity} {e.used:7d} {atm} {e.quotes:7d}")

    def invert(self, q, keep):
        """The result columns of a chunk (NaN for rows not kept)."""
        n = len(q.strike)
        S, D, F, T = (np.full(n, np.nan) for _ in range(4))
        rows = np.flatnonzero(keep)
        codes, keys = chunk_keys(q, rows)
        nothing = (math.nan,) * 4
        by_code = np.array([(e.S, e.D, e.forward, e.T) if e is not None else nothing
                            for e in map(self.expiries.get, keys)]).reshape(len(keys), 4)
        S[rows], D[rows], F[rows], T[rows] = by_code[codes].T
        results = chain.quote_vols(q, S, D, F, T, keep)
        fields = csv_fields([results[c] for c in RESULTS]).split("\n") if n else []
        return results, fields

    def second_pass(self, out, table, plot_points):
        writer = csv.writer(table.file) if table else None
        header = None
        quiet = self.args.quiet
        shown = {"symbol": self.names.get("symbol"), "expiry": self.names["expiry"],
                 "type": self.names["type"], "strike": self.names["strike"],
                 "bid": self.names.get("bid"), "ask": self.names.get("ask")}
        if not quiet:
            out.write("\n" + " ".join(f"{h:>12}" for h in SHOWN) + "\n")

        def emit(frame, q, keep, job):
            results, fields = job.result()
            if writer:
                write_rows(table.file, frame, fields)
            if not quiet and not out.gone:
                cells = [frame[shown[c]].tolist() if shown.get(c) else [""] * len(frame)
                         for c in SHOWN[:6]]
                cells += [[f"{x:.6f}" if x == x else "" for x in results[c].tolist()]
                          for c in SHOWN[6:]]
                for row in zip(*cells):
                    out.write(" ".join(f"{str(x):>12}" for x in row) + "\n")
            if plot_points is not None:
                plot_points.append((q.symbol[keep], q.expiry.to_numpy()[keep], q.flag[keep],
                                    q.strike[keep], results["forward"][keep],
                                    results["iv_mid"][keep], results["iv_bid"][keep],
                                    results["iv_ask"][keep]))

        progress = Progress(self.path.stat().st_size, "kelvo: implied vols")
        try:
            # Worker threads invert chunks (the inversion releases the interpreter, so they run
            # on every core) while this thread reads and parses the next ones and writes the
            # finished ones in order; at most WORKERS + 1 chunks are in flight.
            with ThreadPoolExecutor(max_workers=WORKERS) as worker:
                pending = collections.deque()
                for line, frame in read_chunks(self.path, self.args.chunk_size, progress):
                    if header is None:
                        header = list(frame.columns) + list(RESULTS)
                        if writer:
                            writer.writerow(header)
                    q, keep = self.numbers(line, frame, record=False)
                    pending.append((frame, q, keep, worker.submit(self.invert, q, keep)))
                    while len(pending) > WORKERS:
                        emit(*pending.popleft())
                while pending:
                    emit(*pending.popleft())
        finally:
            progress.close()


def write_rows(file, frame, fields):
    """The frame's text cells as CSV rows, each followed by its row of result fields."""
    if not len(frame):
        return
    texts = [frame[c].tolist() for c in frame.columns]
    text = io.StringIO()
    csv.writer(text).writerows(zip(*texts))
    lines = text.getvalue().split("\r\n")
    if len(lines) == len(frame) + 1:
        file.write("".join([line + row + "\r\n" for line, row in zip(lines, fields)]))
    else:  # a cell with a line break in it
        csv.writer(file).writerows(
            (*cells, *row[1:].split(",")) for cells, row in zip(zip(*texts), fields))


def vendor_layout(header):
    """True for a one-row-per-contract table (a type column), False for kelvo's own layout of
    one expiry (strike, call and put columns)."""
    lowered = {h.strip().lower() for h in header}
    if {"call", "put"} <= lowered or {"call_price", "put_price"} <= lowered:
        return False
    return any(alias in lowered for alias in chain.ROLES["type"])


def run_vendor(path, args, out, name, table, picture):
    import pandas as pd

    header = list(pd.read_csv(path, nrows=0, encoding="utf-8-sig").columns)
    try:
        names = chain.find_columns(header, args.columns)
    except ValueError as error:
        raise BadInput(f"line 1: {error}") from None
    run = VendorRun(path, args, names)
    run.first_pass()
    for text in run.summary_lines():
        out.write(text + "\n")
    plot_points = [] if picture else None
    try:
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

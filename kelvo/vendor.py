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
import math
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from kelvo import chain, vectorized_baw_implied_vol
from kelvo.cli import BadInput, BadRow, CannotWrite, Progress, SkippedRows, first_line_not_utf8

RESULTS = chain.RESULT_COLUMNS
WORKERS = max(1, min(4, os.cpu_count() or 1))
SHOWN = ("symbol", "expiry", "type", "strike", "bid", "ask", "iv_bid", "iv_mid", "iv_ask")


NEAR_BAND = 0.1  # quotes within 10 % of the spot are kept for the at-the-money volatility


class Expiry:
    """What the first pass keeps of one (underlying, expiry)."""

    def __init__(self, S, D, T, quote_date):
        self.S, self.D, self.T, self.quote_date = S, D, T, quote_date
        self.window = chain.NO_WINDOW + 1  # narrowest window with a usable strike so far
        self.calls, self.puts = {}, {}     # strike -> first mid price seen, within that window
        self.near = {"c": {}, "p": {}}     # strike -> first mid price seen, near the spot
        self.trimmed = 0                   # quotes kept after the last trim to the window
        self.quotes = 0
        self.forward = self.parity = self.atm_vol = math.nan
        self.used = 0

    def add(self, strikes, flags, mids, strike_pct):
        self.quotes += len(strikes)
        for k, flag, mid in zip(strikes.tolist(), flags.tolist(), mids.tolist()):
            side = self.calls if flag == "c" else self.puts if flag == "p" else None
            if side is not None and k not in side:
                side[k] = mid
            if side is not None and abs(k / self.S - 1) <= NEAR_BAND:
                self.near[flag].setdefault(k, mid)
        # the strikes with both sides usable, and the narrowest window that holds one of them
        paired = np.array([k for k in self.calls if k in self.puts], dtype=np.float64)
        window = self.window
        if len(paired):
            good = chain.usable(np.array([self.calls[k] for k in paired.tolist()]),
                                np.array([self.puts[k] for k in paired.tolist()]))
            if good.any():
                first = chain.window_index(paired[good], self.S, strike_pct)
                self.window = min(self.window, int(first.min()))
        kept = len(self.calls) + len(self.puts)
        if self.window <= chain.NO_WINDOW and (self.window < window or kept > 2 * self.trimmed + 16):
            # quotes outside the window can no longer matter: the window only narrows
            self.calls = self._within(self.calls, strike_pct)
            self.puts = self._within(self.puts, strike_pct)
            self.trimmed = len(self.calls) + len(self.puts)

    def _within(self, side, strike_pct):
        if not side:
            return side
        strikes = np.fromiter(side, dtype=np.float64, count=len(side))
        inside = chain.window_index(strikes, self.S, strike_pct) <= self.window
        if inside.all():
            return side
        return {k: side[k] for k in strikes[inside].tolist()}

    def solve(self, strike_pct):
        strikes = np.array(sorted(k for k in self.calls if k in self.puts), dtype=np.float64)
        calls = np.array([self.calls[k] for k in strikes], dtype=np.float64)
        puts = np.array([self.puts[k] for k in strikes], dtype=np.float64)
        if self.T > 0:
            self.forward, self.parity, self.used = chain.expiry_forward(
                calls, puts, strikes, self.S, self.D, strike_pct)
        if not math.isfinite(self.forward) or not abs(self.forward / self.S - 1) <= NEAR_BAND:
            return
        # the call and put mid volatilities at the quoted strike nearest the forward
        quoted = [(k, flag, mid) for flag, side in self.near.items() for k, mid in side.items()]
        if not quoted:
            return
        strikes_q, flags_q, mids_q = (np.array(x) for x in zip(*quoted))
        strikes_q = strikes_q.astype(np.float64)
        # strike by strike outwards from the forward, until one has a volatility
        for k in sorted(set(strikes_q.tolist()), key=lambda k: abs(k - self.forward)):
            at = strikes_q == k
            n = int(at.sum())
            sd = vectorized_baw_implied_vol(mids_q[at].astype(np.float64), [self.S] * n,
                                            [k] * n, [self.D] * n, [self.forward] * n,
                                            flags_q[at].tolist())
            sd[sd == 0.0] = np.nan
            if np.isfinite(sd).any():
                self.atm_vol = float(np.nanmean(sd)) / math.sqrt(self.T)
                return


def chunk_keys(q, rows):
    """For the given rows, the code of each one's (underlying, expiry) and the keys in code
    order."""
    import pandas as pd

    codes, uniques = pd.factorize(pd.MultiIndex.from_arrays(
        [q.symbol[rows], q.expiry.to_numpy()[rows]]))
    return codes, [(symbol, expiry.value if hasattr(expiry, "value") else expiry)
                   for symbol, expiry in uniques]


def read_chunks(path, chunk_size, progress=None):
    """(first line number, DataFrame of text cells) of each chunk; BadInput naming the line for
    text that is not UTF-8 or CSV that cannot be read."""
    import pandas as pd

    try:
        reader = pd.read_csv(path, dtype=str, keep_default_na=False, chunksize=chunk_size,
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
        strike_pct = self.args.strike_pct
        progress = Progress(self.path.stat().st_size, "kelvo: forwards")
        try:
            for line, frame in read_chunks(self.path, self.args.chunk_size, progress):
                q, keep = self.numbers(line, frame, record=True)
                rows = np.flatnonzero(keep)
                codes, keys = chunk_keys(q, rows)
                for code, key in enumerate(keys):
                    idx = rows[codes == code]
                    expiry = self.expiries.get(key)
                    if expiry is None:
                        expiry = self.expiries[key] = Expiry(q.spot[idx[0]], q.D[idx[0]],
                                                             q.T[idx[0]], q.quote_date.iloc[idx[0]])
                    expiry.add(q.strike[idx], q.flag[idx], q.mid[idx], strike_pct)
        finally:
            progress.close()
        if not self.expiries:
            raise BadInput("no option rows" + (" for the --symbol and --expiry given"
                                               if self.symbols or self.wanted else ""))
        # the searches release the interpreter: one thread per core
        with ThreadPoolExecutor(max_workers=WORKERS) as pool:
            list(pool.map(lambda e: e.solve(strike_pct), self.expiries.values()))

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
        for code, key in enumerate(keys):
            e = self.expiries.get(key)
            if e is not None:
                idx = rows[codes == code]
                S[idx], D[idx], F[idx], T[idx] = e.S, e.D, e.forward, e.T
        return chain.quote_vols(q, S, D, F, T, keep)

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
            results = job.result()
            if writer:
                texts = [frame[c].tolist() for c in frame.columns]
                numbers = [["%.12g" % x if x == x else "" for x in results[c].tolist()]
                           for c in RESULTS]
                writer.writerows(zip(*texts, *numbers))
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

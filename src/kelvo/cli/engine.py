"""The command line's one engine, for every layout: the file is read twice, a chunk at a time,
by the native reader, and each chunk goes through kelvo.chain's rules.

The first pass numbers the groups (underlying, quote date, expiry), keeps each group's spot,
discount factor and time to expiry, and stores the first quote of each side at a strike within
the group's search window (which only narrows, so that what falls outside it is dropped); the
forwards of all groups are found from those at once. The second pass inverts the quotes of
every row at its group's forward and writes each record out as it was read, followed by its
results; the at-the-money volatilities come from the quotes it inverts. Memory is bounded by
the chunk size and the near-the-money quotes of each group, not by the file, which need not be
sorted.
"""
import collections
import csv
import io
import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from queue import Empty, Full, Queue

import numpy as np

from kelvo import chain
from kelvo._arrays import csv_lines
from kelvo.cli.common import BadInput, BadRow, CannotWrite, Progress, SkippedRows, Terminal
from kelvo.cli.reader import RecordReader

FIRST_PASS, SECOND_PASS = "kelvo: forwards", "kelvo: implied vols"
KEY_BITS = (24, 19, 20)  # bits of the symbol, quote-date and expiry numbers in a group's key


class Groups:
    """Every group met, numbered in the order first met, with the spot, discount factor and
    time to expiry of its first quote and that quote's line. A group is found by one integer
    key of its symbol's, quote date's and expiry's numbers among the sorted keys."""

    def __init__(self):
        self.numbers = ({}, {}, {})  # per key role: value -> number
        self.values = ([], [], [])  # per key role: the values by number
        self.sorted_keys = np.empty(0, dtype=np.int64)
        self.sorted_ids = np.empty(0, dtype=np.int64)
        self.keys = []  # (symbol, quote date, expiry) of each group
        self.S, self.D, self.T = (np.empty(0) for _ in range(3))
        self.european = np.empty(0, dtype=bool)
        self.line = np.empty(0, dtype=np.int64)

    def __len__(self):
        return len(self.keys)

    def row_keys(self, q, rows):
        """The key of each of the quotes rows."""
        distinct = (q.symbols, q.quote_date_values.astype(np.int64).tolist(),
                    q.expiry_values.astype(np.int64).tolist())
        codes = (q.symbol_codes, q.quote_date_codes, q.expiry_codes)
        key = np.zeros(len(rows), dtype=np.int64)
        for k, bits in enumerate(KEY_BITS):
            numbers = numbers_of(distinct[k], self.numbers[k], self.values[k])
            if len(self.values[k]) > 1 << bits:
                raise BadInput(f"more than {1 << bits} distinct {chain.GROUP_ROLES[k]} values")
            key = (key << bits) | numbers[codes[k][rows]]
        return key

    def find(self, key):
        """The group of each key, -1 for keys not met."""
        if not len(self.sorted_keys):
            return np.full(len(key), -1, dtype=np.int64)
        at = np.searchsorted(self.sorted_keys, key)
        at[at == len(self.sorted_keys)] = 0
        return np.where(self.sorted_keys[at] == key, self.sorted_ids[at], -1)

    def add(self, key, S, D, T, european, lines):
        """The group of each key, new groups taking the values of their first quote."""
        ids = self.find(key)
        new = np.flatnonzero(ids < 0)
        if len(new):
            _, first = np.unique(key[new], return_index=True)
            first = new[np.sort(first)]  # each new group's first quote, in the order read
            for k in key[first].tolist():
                self.keys.append(tuple(self.values[i][(k >> shift) & ((1 << bits) - 1)]
                                       for i, (bits, shift) in enumerate(zip(
                                           KEY_BITS, (KEY_BITS[1] + KEY_BITS[2], KEY_BITS[2],
                                                      0)))))
            self.S, self.D, self.T, self.european, self.line = (
                np.concatenate([have, values[first]]) for have, values in
                ((self.S, S), (self.D, D), (self.T, T), (self.european, european),
                 (self.line, lines)))
            all_keys = np.concatenate([self.sorted_keys, key[first]])
            all_ids = np.concatenate([self.sorted_ids,
                                      np.arange(len(self.sorted_ids), len(all_keys))])
            order = np.argsort(all_keys)
            self.sorted_keys, self.sorted_ids = all_keys[order], all_ids[order]
            ids = self.find(key)
        return ids

    def key_values(self):
        """(symbol, quote date, expiry) of each group, dates as datetime64."""
        return [(s, np.datetime64(d, "ns"), np.datetime64(e, "ns")) for s, d, e in self.keys]


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


class ForwardQuotes:
    """The first pass's store, over every group at once: the first quote seen of each (group,
    side, strike) within its group's search window. The window only narrows as usable strikes
    arrive, so a quote outside it can never matter again and is dropped."""

    def __init__(self, strike_pct):
        self.strike_pct = strike_pct
        self.width, self.min_strikes = chain.window_rule(strike_pct)
        self.window = np.zeros(0, dtype=np.int64)  # each group's window so far
        self.group, self.put, self.strike, self.mid, self.win = (
            np.empty(0, dtype=np.int64), np.empty(0, dtype=bool), np.empty(0), np.empty(0),
            np.empty(0, dtype=np.int64))
        self.tail, self.tail_rows = [], 0

    def add(self, group, put, strike, mid, S_g):
        """A chunk's quotes of groups whose spots are S_g (every group so far)."""
        self.S_g = S_g
        n_groups = len(S_g)
        if len(self.window) < n_groups:
            self.window = np.concatenate([self.window, np.full(n_groups - len(self.window),
                                                               chain.NO_WINDOW)])
        win = chain.window_index(strike, S_g[group], self.width)
        take = win <= self.window[group]
        self.tail.append(tuple(c[take] for c in (group, put, strike, mid, win)))
        self.tail_rows += int(take.sum())
        # sorting the store again for every chunk would cost time quadratic in the file: it is
        # consolidated when the quotes waiting reach its size, and the windows found then
        if self.tail_rows >= len(self.group):
            self._consolidate()

    def _consolidate(self):
        # the stored quotes first, then the waiting ones in the order read, so that the first
        # quote of a (group, side, strike) stays the first
        pieces = [(self.group, self.put, self.strike, self.mid, self.win), *self.tail]
        columns = [np.concatenate(c) for c in zip(*pieces)]
        self.tail, self.tail_rows = [], 0
        first = chain.first_quotes(columns[0], columns[1], columns[2])
        self.group, self.put, self.strike, self.mid, self.win = (c[first] for c in columns)
        calls, puts = chain.pairs(self.group, self.put, self.strike)
        good = calls[chain.usable(self.mid[calls], self.mid[puts], self.strike[calls],
                                  self.S_g[self.group[calls]])]
        self.window = np.minimum(self.window, chain.search_windows(
            self.group[good], self.win[good], len(self.window), self.min_strikes))
        inside = self.win <= self.window[self.group]
        if not inside.all():
            self.group, self.put, self.strike, self.mid, self.win = (
                c[inside] for c in (self.group, self.put, self.strike, self.mid, self.win))

    def forwards(self, groups, model="baw", precision=None):
        """The forwards of all groups, their searches shared by native threads on every core
        (the calling thread takes Ctrl-C meanwhile)."""
        self._consolidate()
        calls, puts = chain.pairs(self.group, self.put, self.strike)
        return chain.forwards(self.group[calls], self.mid[calls], self.mid[puts],
                              self.strike[calls], groups.S, groups.D, groups.T, groups.european,
                              self.strike_pct, model=model, precision=precision)


class Run:
    """One run of the command line on a file: its layout, its groups and what they found."""

    def __init__(self, path, layout, args):
        self.path, self.layout, self.args = path, layout, args
        self.parsed = chain.Parsed()
        self.groups = Groups()
        self.skipped = SkippedRows()
        self.forward = self.parity = self.used = None

    def chunks(self, label):
        """(records, quotes, row of each quote, rows kept) of each chunk of the file: a row is
        kept when it is selected and readable (a bad row stops the run unless bad rows are
        skipped, and is recorded on the first pass)."""
        progress = Progress(self.path.stat().st_size, label)
        layout, record = self.layout, label == FIRST_PASS
        try:
            with RecordReader(self.path, progress) as reader:
                reader.header()
                while (records := layout.read(reader, self.args.chunk_size)) is not None:
                    try:
                        q, row_of = layout.quotes(records, self.parsed)
                    except ValueError as error:
                        raise BadInput(f"line {int(records.lines[0])}: {error}") from None
                    try:
                        layout.sample_scale(q)  # the table's, not this line's
                    except ValueError as error:
                        raise BadInput(str(error)) from None
                    keep = layout.selected(q)
                    bad, message = layout.bad_rows(records, layout.check_values(q))
                    for i in np.flatnonzero(keep & bad):
                        if blank(records, i):  # a line of blanks and commas: no row at all
                            keep[i] = False
                            continue
                        line, why = int(records.lines[i]), message(i)
                        if not self.args.skip_bad_rows:
                            raise BadRow(line, f"{why} (--skip-bad-rows passes over such rows)")
                        if record:
                            self.skipped.add(BadRow(line, why))
                    keep &= ~bad
                    missing = layout.missing_discounts(q, keep if row_of is None else keep[row_of])
                    if missing:
                        row = missing[0] if row_of is None else row_of[missing[0]]
                        raise BadInput(f"line {int(records.lines[row])}: {missing[1]}")
                    yield records, q, row_of, keep
        finally:
            progress.close()

    def unchanged(self):
        """BadInput where the file is no longer the one the first pass read: the summary would
        be of one file and the rows of another."""
        if identity(self.path) != self.identity:
            raise BadInput(f"{self.path}: the file changed while it was read; run again")

    def first_pass(self):
        self.identity = identity(self.path)
        store = ForwardQuotes(self.args.strike_pct)
        groups = self.groups
        for records, q, row_of, keep in read_ahead(self.chunks(FIRST_PASS)):
            quoted = np.flatnonzero(keep if row_of is None else keep[row_of])
            ids = groups.add(groups.row_keys(q, quoted), q.spot[quoted], q.D[quoted],
                             q.T[quoted], q.european[quoted],
                             records.lines[quoted if row_of is None else row_of[quoted]])
            self.check_group_values(q, quoted, ids, records, row_of)
            store.add(ids, q.flag[quoted] == "p", q.strike[quoted], q.mid[quoted], groups.S)
        try:
            self.layout.check_scale()  # a file of fewer quotes than its sample
        except ValueError as error:
            raise BadInput(str(error)) from None
        if not len(groups):
            skipped = self.skipped
            selection = self.layout.selection()
            raise BadInput("no option rows" + (f" for the {' and '.join(selection)} given"
                                               if selection else "") + (
                f" (skipped {skipped.lines()})" if skipped.count else ""))
        self.forward, self.parity, self.used = store.forwards(groups, self.args.model,
                                                              self.args.precision)
        self.unchanged()

    def check_group_values(self, q, quoted, ids, records, row_of):
        """Every quote of a group has its group's spot, discount factor and time to expiry."""
        groups = self.groups
        for name, values, of_group in (("S", q.spot, groups.S), ("D", q.D, groups.D),
                                       ("T", q.T, groups.T)):
            differs = chain.disagreeing(ids, values[quoted], of_group)
            if not len(differs):
                continue
            i = differs[0]
            row = quoted[i] if row_of is None else row_of[quoted[i]]
            first = int(groups.line[ids[i]])
            column = self.layout.group_value_name(name)
            mine, theirs = values[quoted[i]], of_group[ids[i]]
            if self.layout.one_group:
                why = (f"{column} {float(mine)!r} differs from {float(theirs)!r} on line {first}: "
                       "one file holds one expiry of one underlying")
            else:
                why = (chain.group_disagreement(groups.key_values()[ids[i]], mine, theirs, column,
                                                name) + f" (the first on line {first})")
            raise BadRow(int(records.lines[row]), why)

    def invert(self, records, q, row_of, keep):
        """The result columns of a chunk's rows (NaN for rows not kept), the columns the layout
        writes, the candidates for the at-the-money volatilities and the counts of quotes and of
        quotes without a mid volatility by group. The inversions run on native threads on every
        core."""
        groups = self.groups
        kept = keep if row_of is None else keep[row_of]
        quoted = np.flatnonzero(kept)
        ids = np.full(q.n, -1, dtype=np.int64)
        ids[quoted] = groups.find(groups.row_keys(q, quoted))
        kept &= ids >= 0
        values, european = chain.row_values(ids, kept, groups.european, groups.S, groups.D,
                                            self.forward, groups.T)
        results = chain.quote_vols(q, *values, kept, european, model=self.args.model,
                                   precision=self.args.precision)
        sd = results["sd_mid"]
        if self.args.greeks:
            results.update(chain.quote_greeks(q, *values, sd, european,
                                              model=self.args.model,
                                              precision=self.args.precision))
        at = np.flatnonzero(kept)
        candidates = at[chain.atm_candidates(ids[at], q.strike[at], sd[at], self.forward)]
        atm = (ids[candidates], q.strike[candidates], sd[candidates])
        quotes, no_iv = chain.group_counts(ids[at], sd[at], len(groups))
        out = self.layout.results(len(records), results)
        return results, out, atm, no_iv, quotes

    def second_pass(self, out, table, plot_points):
        """Every row inverted and written; returns the summary of the groups."""
        quiet, layout, groups = self.args.quiet, self.layout, self.groups
        if not quiet:
            out.write(layout.table_header())
        atm_parts = []
        no_iv = np.zeros(len(groups))
        quotes = np.zeros(len(groups), dtype=np.int64)

        def emit(records, q, keep, inverted, lines):
            nonlocal no_iv, quotes
            results, columns, atm, chunk_no_iv, chunk_quotes = inverted
            atm_parts.append(atm)
            no_iv += chunk_no_iv
            quotes += chunk_quotes
            if table:
                table.file.write(lines.result())
            if not quiet and not out.gone:
                out.write("".join(layout.table_lines(records, q, columns, keep)))
            if plot_points is not None:
                kept = keep if q.n == len(keep) else np.concatenate([keep, keep])
                plot_points.append(layout.plot_points(q, kept, results))

        # This thread inverts each chunk with the native threads on every core, which take
        # Ctrl-C here within milliseconds, while a thread of its own reads and parses the next
        # chunks (two ahead) and another formats the lines of the last one (both release the
        # interpreter in their native parts); the chunks are written in order.
        formatter = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kelvo-format")
        try:
            pending = collections.deque()
            for records, q, row_of, keep in read_ahead(self.chunks(SECOND_PASS)):
                inverted = self.invert(records, q, row_of, keep)
                lines = (formatter.submit(csv_lines, records.text, records.starts, records.ends,
                                          records.pads, inverted[1]) if table else None)
                pending.append((records, q, keep, inverted, lines))
                while len(pending) > 1:
                    emit(*pending.popleft())
            while pending:
                emit(*pending.popleft())
        finally:
            formatter.shutdown(wait=True, cancel_futures=True)
        self.unchanged()
        atm_group, atm_strike, atm_sd = (np.concatenate([p[k] for p in atm_parts])
                                         if atm_parts else np.empty(0) for k in range(3))
        atm = chain.atm_vols(atm_group.astype(np.int64), atm_strike, atm_sd, self.forward,
                             groups.T)
        return chain.summary(groups.key_values(), groups.european,
                             T=groups.T, D=groups.D, spot=groups.S,
                             forward=self.forward, parity_estimate=self.parity,
                             strikes_used=self.used, atm_vol=atm, quotes=quotes,
                             no_iv=no_iv.astype(np.int64))

    def report_skipped(self):
        self.skipped.report(Terminal(sys.stderr))


def blank(records, i):
    """Whether record i holds nothing but blanks and commas."""
    return not records.text[records.starts[i]:records.ends[i]].strip(b" \t,\"")


def identity(path):
    """What tells a file apart from its next version: device, inode, size and change time."""
    st = os.stat(path)
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns


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
        while thread.is_alive():  # drained until it sees stop, in a few ms (Ctrl-C waits on it)
            try:
                queue.get(timeout=0.005)
            except Empty:
                pass
        thread.join()
        close = getattr(items, "close", None)
        if close is not None:
            close()


def run_file(path, args, out, table, picture):
    """Both passes over the file at path, the table on out (unless quiet) and in table, the
    summary after it, the picture in picture."""
    from kelvo.cli.layouts import layout_of
    from kelvo.cli.reader import read_header

    header, header_text, sample = read_header(path)
    layout = layout_of(header, args, sample)
    run = Run(path, layout, args)
    run.first_pass()
    plot_points = [] if picture else None
    try:
        if table:
            kept = chain.kept_input_names(header, layout.result_names)
            if kept != header:  # the input's columns of the results' names, renamed
                line = io.StringIO()
                csv.writer(line, lineterminator="").writerow(kept)
                header_text = line.getvalue().encode()
            table.file.write(header_text + "".join("," + c for c in layout.result_names)
                             .encode() + b"\r\n")
        summary = run.second_pass(out, table, plot_points)
        if not args.quiet:
            out.write("\n")
        for text in layout.summary_lines(summary):
            out.write(text + "\n")
        out.flush()
    except OSError as error:
        target = table.name if table else "the output"
        raise CannotWrite(f"cannot write {target}: {error.strerror or error}") from None
    run.report_skipped()
    if plot_points is not None:
        points = {name: np.concatenate([p[name] for p in plot_points])
                  for name in plot_points[0]} if plot_points else {}
        try:
            layout.plot(points, summary, picture.file, args.plot_format)
        except OSError as error:
            raise CannotWrite(f"cannot write {picture.name}: "
                              f"{error.strerror or error}") from None
    return summary

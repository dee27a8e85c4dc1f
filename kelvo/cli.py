"""kelvo's command line: from an option-chain CSV to its implied forward and the implied
volatility of every call and put.

The file is read twice, a chunk at a time: the first pass keeps only the strikes the forward
search looks at (the first strike window, in the order find_forward_baw tries them, that holds a
strike), the second inverts every quote at the forward found and writes the rows out. Memory is
bounded by the chunk size, not by the file.
"""
import argparse
import csv
import math
import os
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from kelvo import find_forward_baw, vectorized_baw_implied_vol

SAMPLE = Path(__file__).resolve().parent / "data" / "sample_chain.csv"
DEFAULT_STRIKE_PCT = 0.01
FALLBACK_WIDTHS = (0.02, 0.05, 0.1, 0.2, 0.5, 1.0)
EXIT_BAD_INPUT = 2

# accepted header names, compared without case or surrounding blanks
COLUMNS = {
    "strike": ("strike", "k"),
    "call": ("call", "call_price", "c"),
    "put": ("put", "put_price", "p"),
    "spot": ("spot", "s"),
    "discount": ("discount", "discount_factor", "d"),
    "expiry": ("expiry", "t", "expiry_years"),
}
REQUIRED = ("strike", "call", "put")


class BadInput(Exception):
    """A problem with the input that stops the run with exit code 2."""


class BadRow(BadInput):
    def __init__(self, line, message):
        super().__init__(f"line {line}: {message}")
        self.line = line


class Chunk:
    """Parsed rows: their line numbers, one float array per column and, where read from a file,
    the text of the strike, call and put cells."""

    def __init__(self, lines, values, texts=None):
        self.lines = lines
        self.values = values
        self.texts = texts

    def __len__(self):
        return len(self.lines)


class Progress:
    """Bytes read, shown on standard error when it is a terminal: tqdm's bar where tqdm is
    installed, a plain line otherwise."""

    def __init__(self, total, label, stream=sys.stderr):
        self.total, self.label, self.stream = total, label, stream
        self.done = 0
        self.enabled = total > 0 and stream.isatty()
        self.bar = None
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, unit="B", unit_scale=True, desc=label, file=stream)

    def update(self, n):
        self.done += n
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(n)
        else:
            self.stream.write(f"\r{self.label}: {100 * self.done // self.total:3d}%")

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            self.stream.write("\n")


class ChainFile:
    """A CSV option chain, read in chunks of parsed rows."""

    def __init__(self, path, chunk_size, skip_bad_rows, spot=None, discount=None, expiry=None):
        self.path = Path(path)
        self.chunk_size = chunk_size
        self.skip_bad_rows = skip_bad_rows
        self.fixed = {"spot": spot, "discount": discount, "expiry": expiry}
        self.bad_rows = []  # BadRow of every skipped row, filled by the first pass
        self.has_expiry = expiry is not None

    def _header(self, header):
        names = [h.strip().lower() for h in header]
        index = {}
        for column, aliases in COLUMNS.items():
            found = [i for i, name in enumerate(names) if name in aliases]
            if found:
                index[column] = found[0]
        missing = [c for c in REQUIRED if c not in index]
        for column in ("spot", "discount"):
            if column not in index and self.fixed[column] is None:
                missing.append(column)
        if missing:
            raise BadInput(f"line 1: missing column{'s' if len(missing) > 1 else ''} "
                           f"{', '.join(repr(m) for m in missing)} (have {', '.join(header)}; "
                           "spot and discount may be given as --spot and --discount instead)")
        self.has_expiry = self.has_expiry or "expiry" in index
        return index

    def _parse(self, line, row, index, columns):
        values = []
        for column in columns:
            if self.fixed.get(column) is not None:
                values.append(self.fixed[column])
                continue
            i = index.get(column)
            if i is None:
                values.append(math.nan)
                continue
            cell = row[i].strip() if i < len(row) else ""
            if not cell:
                raise BadRow(line, f"missing {column} value")
            try:
                values.append(float(cell))
            except ValueError:
                raise BadRow(line, f"{column} is not a number: {cell!r}") from None
        return values

    def chunks(self, label, columns=tuple(COLUMNS), texts=False):
        """Parsed chunks of the named columns (NaN for the others), with the cell texts when
        asked; a bad row stops the run unless bad rows are skipped (and recorded)."""
        progress = Progress(os.path.getsize(self.path), label)
        record = not self.bad_rows
        try:
            with open(self.path, newline="", encoding="utf-8-sig") as f:
                reader = csv.reader(f)
                header = next(reader, None)
                if header is None:
                    raise BadInput("line 1: the file is empty (expected a header row)")
                index = self._header(header)
                lines, rows = [], []
                for row in reader:
                    if not row:
                        continue
                    lines.append(reader.line_num)
                    rows.append(row)
                    if len(lines) == self.chunk_size:
                        yield self._chunk(lines, rows, index, record, columns, texts)
                        lines, rows = [], []
                        # the byte position read so far, a little ahead of the rows parsed
                        progress.update(f.buffer.tell() - progress.done)
                if lines:
                    yield self._chunk(lines, rows, index, record, columns, texts)
                progress.update(progress.total - progress.done)
        finally:
            progress.close()

    def _chunk(self, lines, rows, index, record, wanted, texts):
        values = {}
        try:  # NumPy parses a whole column at once; any doubt goes to the row-by-row reading
            for column in COLUMNS:
                fill = self.fixed.get(column)
                if fill is not None or column not in index or column not in wanted:
                    values[column] = np.full(len(rows), math.nan if fill is None else fill)
                else:
                    i = index[column]
                    values[column] = np.array([row[i] for row in rows], dtype=np.float64)
            return Chunk(np.array(lines), values, self._texts(rows, index) if texts else None)
        except (ValueError, IndexError):
            pass
        good_lines, parsed, kept = [], [], []
        for line, row in zip(lines, rows):
            if not any(cell.strip() for cell in row):
                continue
            try:
                parsed.append(self._parse(line, row, index, list(COLUMNS)))
            except BadRow as bad:
                if not self.skip_bad_rows:
                    raise
                if record:
                    self.bad_rows.append(bad)
                continue
            good_lines.append(line)
            kept.append(row)
        table = np.array(parsed, dtype=np.float64).reshape(len(parsed), len(COLUMNS))
        return Chunk(np.array(good_lines, dtype=np.int64),
                     {c: table[:, j] for j, c in enumerate(COLUMNS)},
                     self._texts(kept, index) if texts else None)

    @staticmethod
    def _texts(rows, index):
        """The input's own text of the strike, call and put cells, written out unchanged."""
        return [[row[index[c]].strip() for row in rows] for c in REQUIRED]


def window_index(strikes, S, strike_pct):
    """For each strike, the position in the window sequence of the first window that holds it
    (len(widths) where none does), with the window ends computed as the forward search does."""
    widths = (strike_pct,) + FALLBACK_WIDTHS
    first = np.full(len(strikes), len(widths))
    for i in reversed(range(len(widths))):
        lo, hi = S * (1.0 - widths[i]), S * (1.0 + widths[i])
        first[(strikes >= lo) & (strikes <= hi)] = i
    return first


class Selection:
    """The rows of the first window that holds a strike, kept while the chain streams past."""

    def __init__(self, strike_pct):
        self.strike_pct = strike_pct
        self.best = len(FALLBACK_WIDTHS) + 1  # "no window yet": then every strike counts
        self.parts = []
        self.S = self.D = self.expiry = None

    def add(self, chunk):
        S, D = chunk.values["spot"], chunk.values["discount"]
        if self.S is None:
            self.S, self.D, self.first_line = S[0], D[0], chunk.lines[0]
            self.expiry = chunk.values["expiry"][0]
        for name, value, column in (("spot", self.S, S), ("discount factor", self.D, D)):
            differs = np.flatnonzero(column != value)
            if differs.size:
                raise BadRow(chunk.lines[differs[0]],
                             f"{name} {float(column[differs[0]])!r} differs from {float(value)!r} on line "
                             f"{self.first_line}: one file holds one expiry of one underlying")
        first = window_index(chunk.values["strike"], self.S, self.strike_pct)
        best = first.min() if len(first) else self.best
        if best < self.best:
            self.best, self.parts = best, []
        if best <= self.best:
            keep = first == self.best
            self.parts.append({c: chunk.values[c][keep] for c in ("call", "put", "strike")})

    def arrays(self):
        return [np.concatenate([p[c] for p in self.parts]) if self.parts else np.empty(0)
                for c in ("call", "put", "strike")]


def parity_estimate(calls, puts, strikes, S, D):
    if len(strikes) == 0:
        return S
    return float(np.mean(strikes + (calls - puts) / D))


def invert(chunk, S, D, forward):
    """Call and put implied vols of a chunk, for one spot, discount factor and forward."""
    v = chunk.values
    n = len(chunk)
    prices = np.concatenate([v["call"], v["put"]])
    ivs = vectorized_baw_implied_vol(
        prices, np.full(2 * n, S), np.concatenate([v["strike"]] * 2), np.full(2 * n, D),
        np.full(2 * n, forward), ["c"] * n + ["p"] * n)
    ivs[ivs == 0.0] = np.nan  # at or below intrinsic value: no volatility to report
    return ivs[:n], ivs[n:]


def cell(value, digits):
    if not math.isfinite(value):
        return ""
    return f"{value:.{digits}f}" if round(value, digits) != 0 else f"{0.0:.{digits}f}"


def output_columns(chunk, call_sd, put_sd, with_vol):
    """The table's columns for one chunk, as arrays (NaN where there is nothing to report)."""
    v = chunk.values
    columns = [v["strike"], v["call"], v["put"], call_sd, put_sd]
    if with_vol:
        with np.errstate(invalid="ignore", divide="ignore"):
            root = np.sqrt(np.where(v["expiry"] > 0, v["expiry"], np.nan))
        columns += [call_sd / root, put_sd / root]
    return columns + [call_sd - put_sd]


def csv_rows(chunk, columns):
    # inputs as they were written; results to 12 significant digits, a margin above the
    # inversion's 1e-10 tolerance; an empty cell where there is no result
    results = [["%.12g" % x if x == x else "" for x in c.tolist()] for c in columns[3:]]
    return zip(*chunk.texts, *results)


def header(with_vol):
    names = ["strike", "call", "put", "call_sd", "put_sd"]
    if with_vol:
        names += ["call_vol", "put_vol"]
    return names + ["gap"]


def run(args, out):
    path = Path(args.input) if args.input else SAMPLE
    if not path.is_file():
        raise BadInput(f"{path}: no such file")
    chain = ChainFile(path, args.chunk_size, args.skip_bad_rows, args.spot, args.discount,
                      args.expiry)

    selection = Selection(args.strike_pct)
    rows_read = 0
    for chunk in chain.chunks("kelvo: forward"):
        selection.add(chunk)
        rows_read += len(chunk)
    if rows_read == 0:
        raise BadInput(f"{path}: no option rows")
    calls, puts, strikes = selection.arrays()
    S, D = float(selection.S), float(selection.D)
    forward = find_forward_baw(calls, puts, strikes, S, D, args.strike_pct)
    estimate = parity_estimate(calls, puts, strikes, S, D)

    with_vol = chain.has_expiry
    sink = open(args.output, "w", newline="") if args.output else None
    plot_points = [] if args.plot else None
    try:
        writer = csv.writer(sink) if sink else None
        if writer:
            writer.writerow(header(with_vol))
        out.write(f"spot {S:.6g}  discount factor {D:.10g}  strikes used {len(strikes)}\n")
        out.write(f"forward {cell(forward, 8) or 'not found'}  parity estimate {estimate:.8f}\n")
        if not args.quiet:
            out.write("\n" + " ".join(f"{h:>12}" for h in header(with_vol)) + "\n")

        def emit(chunk, inverted):
            call_sd, put_sd = inverted.result()
            columns = output_columns(chunk, call_sd, put_sd, with_vol)
            if writer:
                writer.writerows(csv_rows(chunk, columns))
            if not args.quiet:
                for row in zip(*(c.tolist() for c in columns)):
                    out.write(" ".join(f"{cell(x, 6):>12}" for x in row) + "\n")
            if plot_points is not None:
                plot_points.append((chunk.values["strike"], call_sd, put_sd))

        # The inversion releases the interpreter, so one worker thread inverts a chunk while
        # this thread parses the next and writes the one before: the reading and writing hide
        # behind the arithmetic.
        with ThreadPoolExecutor(max_workers=1) as worker:
            pending = None
            for chunk in chain.chunks("kelvo: implied vols", ("strike", "call", "put", "expiry"),
                                      texts=True):
                # spot and discount were checked to be one value each on the first pass
                inverted = worker.submit(invert, chunk, S, D, forward)
                if pending:
                    emit(*pending)
                pending = chunk, inverted
            if pending:
                emit(*pending)
    finally:
        if sink:
            sink.close()

    if chain.bad_rows:
        lines = ", ".join(str(b.line) for b in chain.bad_rows[:20])
        more = f" and {len(chain.bad_rows) - 20} more" if len(chain.bad_rows) > 20 else ""
        sys.stderr.write(f"kelvo: skipped {len(chain.bad_rows)} bad row"
                         f"{'s' if len(chain.bad_rows) > 1 else ''} (lines {lines}{more})\n")
        for bad in chain.bad_rows[:20]:
            sys.stderr.write(f"  {bad}\n")
    if plot_points is not None:
        from kelvo.plot import plot_smile
        plot_smile(plot_points, forward, args.plot, float(selection.expiry) if with_vol else None)
    return 0


def parser():
    p = argparse.ArgumentParser(
        prog="kelvo",
        description="Implied forward and implied volatilities of an option chain (BAW 1987).",
        epilog="The CSV has a header row with columns strike, call and put, and spot, discount "
               "and expiry (years) unless given as options. Without INPUT the sample chain "
               "shipped with kelvo is used.")
    p.add_argument("input", nargs="?", help="option chain CSV (default: the built-in sample)")
    p.add_argument("--spot", type=float, help="spot price, instead of a spot column")
    p.add_argument("--discount", type=float, help="discount factor to expiry, instead of a column")
    p.add_argument("--expiry", type=float, help="time to expiry in years, to report annualised vols")
    p.add_argument("--strike-pct", type=float, default=DEFAULT_STRIKE_PCT,
                   help="half-width of the first strike window around spot (default 0.01)")
    p.add_argument("--output", "-o", help="write the table as CSV to this file")
    p.add_argument("--plot", help="draw the smile to this PNG file (needs kelvo[plot])")
    p.add_argument("--skip-bad-rows", action="store_true",
                   help="skip rows that cannot be read, and report them, instead of stopping")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="print only the forward lines, not the table")
    p.add_argument("--chunk-size", type=int, default=16384, help="rows per chunk (default 16384)")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    if args.chunk_size < 1:
        parser().error("--chunk-size must be at least 1")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            sys.stderr.write("kelvo: --plot needs matplotlib: pip install 'kelvo[plot]'\n")
            return EXIT_BAD_INPUT
    try:
        return run(args, sys.stdout)
    except BadInput as error:
        sys.stderr.write(f"kelvo: {error}\n")
        return EXIT_BAD_INPUT
    except BrokenPipeError:  # output piped into head and the like
        sys.stdout = None
        return 0

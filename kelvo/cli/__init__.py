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
import shutil
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from kelvo import find_forward_baw, vectorized_baw_implied_vol
from kelvo._arrays import DEFAULT_STRIKE_PCT, FALLBACK_WIDTHS, parity_forward
from kelvo.chain import usable, window_index

SAMPLE = Path(__file__).resolve().parent / "data" / "sample_options.csv"
EXIT_CANNOT_WRITE = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # as a shell reports a run ended by SIGINT

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
QUOTES = ("call", "put")
POSITIVE = ("spot", "discount")  # one value for the whole file, so it must be meaningful


class BadInput(Exception):
    """A problem with the input that stops the run with exit code 2."""


class BadRow(BadInput):
    def __init__(self, line, message):
        super().__init__(f"line {line}: {message}")
        self.line = line


class CannotWrite(Exception):
    """An output that cannot be written: the run stops with exit code 1."""


class SkippedRows:
    """The rows --skip-bad-rows passed over: a count and the first few messages as plain text
    (an exception would keep its traceback, and with it the whole chunk)."""

    KEPT = 20

    def __init__(self):
        self.count = 0
        self.first = []  # (line, message)

    def add(self, bad):
        self.count += 1
        if len(self.first) < self.KEPT:
            self.first.append((bad.line, str(bad)))


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

    def __init__(self, total, label, stream=None):
        stream = stream if stream is not None else sys.stderr  # as it is now, not at import
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
        self.skipped = SkippedRows()  # filled by the first pass
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
            if i >= len(row):
                raise BadRow(line, f"missing {column} value")
            cell = row[i].strip()
            if not cell and column in QUOTES:
                values.append(math.nan)  # a missing quote: an empty cell in the table
                continue
            if not cell:
                raise BadRow(line, f"missing {column} value")
            try:
                value = float(cell)
            except ValueError:
                raise BadRow(line, f"{column} is not a number: {cell!r}") from None
            if column in POSITIVE and not (0 < value < math.inf):
                raise BadRow(line, f"{column} must be a positive number: {cell!r}")
            values.append(value)
        return values

    def chunks(self, label, texts=False):
        """Parsed chunks (every column parsed, so both passes keep exactly the same rows), with
        the cell texts when asked; a bad row stops the run unless bad rows are skipped (and
        recorded, on the first pass)."""
        progress = Progress(os.path.getsize(self.path), label)
        record = self.skipped.count == 0
        try:
            with open(self.path, newline="", encoding="utf-8-sig") as f:
                rows = self._records(f)
                header = next(rows, None)
                if header is None:
                    raise BadInput("line 1: the file is empty (expected a header row)")
                index = self._header(header[1])
                lines, cells = [], []
                for line, row in rows:
                    if not row:
                        continue
                    lines.append(line)
                    cells.append(row)
                    if len(lines) == self.chunk_size:
                        chunk = self._chunk(lines, cells, index, record, texts)
                        if len(chunk):
                            yield chunk
                        lines, cells = [], []
                        # the byte position read so far, a little ahead of the rows parsed
                        progress.update(f.buffer.tell() - progress.done)
                if lines:
                    chunk = self._chunk(lines, cells, index, record, texts)
                    if len(chunk):
                        yield chunk
                progress.update(progress.total - progress.done)
        finally:
            progress.close()

    def _records(self, f):
        """(line where the record starts, cells) of every CSV record; a record the csv module
        cannot read (an unterminated quote, a field over its size limit) or text that is not
        UTF-8 is a BadInput naming the line."""
        reader = csv.reader(f, strict=True)
        while True:
            start = reader.line_num + 1
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                raise BadInput(f"line {start}: cannot read this CSV record: {error}") from None
            except UnicodeDecodeError:
                raise BadInput(f"line {first_line_not_utf8(self.path)}: the file is not UTF-8 "
                               "text") from None
            yield start, row

    def _chunk(self, lines, rows, index, record, texts):
        values = {}
        try:  # NumPy parses a whole column at once; any doubt goes to the row-by-row reading
            for column in COLUMNS:
                fill = self.fixed.get(column)
                if fill is not None or column not in index:
                    values[column] = np.full(len(rows), math.nan if fill is None else fill)
                    continue
                i = index[column]
                values[column] = np.array([row[i] for row in rows], dtype=np.float64)
                if column in POSITIVE and not np.all((values[column] > 0)
                                                     & (values[column] < math.inf)):
                    raise ValueError(column)
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
                    self.skipped.add(bad)
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


def first_line_not_utf8(path):
    """The number of the first line holding bytes that are not UTF-8."""
    import codecs

    decoder = codecs.getincrementaldecoder("utf-8")()
    line = 1
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            try:
                decoder.decode(block)
            except UnicodeDecodeError as error:
                return line + block[:error.start].count(b"\n")
            line += block.count(b"\n")
    return line


def usable_quotes(chunk):
    """Strikes whose call and put are both finite positive prices: the forward search uses
    only these, so that one missing quote cannot empty the whole table."""
    return usable(chunk.values["call"], chunk.values["put"])


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
        good = usable_quotes(chunk)
        first = np.where(good, window_index(chunk.values["strike"], self.S, self.strike_pct),
                         len(FALLBACK_WIDTHS) + 2)
        best = first.min() if len(first) else self.best
        if best < self.best:
            self.best, self.parts = best, []
        if best <= self.best:
            keep = (first == self.best) & good
            self.parts.append({c: chunk.values[c][keep] for c in ("call", "put", "strike")})

    def arrays(self):
        return [np.concatenate([p[c] for p in self.parts]) if self.parts else np.empty(0)
                for c in ("call", "put", "strike")]


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


class AtomicOutput:
    """A file written under a temporary name in the target's directory and renamed into place
    only when complete, so that the target is always either the old file or the whole new one.
    Opened before the input is read, so that an unwritable target fails at once."""

    def __init__(self, target, text=True):
        self.target = Path(target)
        if self.target.is_dir():
            raise CannotWrite(f"{self.target}: is a directory")
        try:
            fd, name = tempfile.mkstemp(dir=self.target.parent or ".", suffix=self.target.suffix,
                                        prefix=f".{self.target.name}.")
        except OSError as error:
            raise CannotWrite(f"cannot write {self.target}: {error.strerror}") from None
        self.temp = Path(name)
        self.file = os.fdopen(fd, "w" if text else "wb", newline="" if text else None)

    def commit(self):
        try:
            self.file.close()
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.temp, 0o666 & ~umask)  # as a plain open() would have made it
            os.replace(self.temp, self.target)
        except OSError as error:
            self.discard()
            raise CannotWrite(f"cannot write {self.target}: {error.strerror}") from None

    def discard(self):
        self.file.close()
        self.temp.unlink(missing_ok=True)


class Terminal:
    """Standard output that stops printing, without stopping the run, once the reader has gone
    (a pipe into head) or when there is none."""

    def __init__(self, stream):
        self.stream = stream
        self.gone = stream is None

    def write(self, text):
        if self.gone:
            return
        try:
            self.stream.write(text)
        except (BrokenPipeError, ValueError):  # ValueError: closed
            self.hang_up()

    def flush(self):
        if not self.gone:
            try:
                self.stream.flush()
            except (BrokenPipeError, ValueError):
                self.hang_up()

    def hang_up(self):
        self.gone = True
        # what is still buffered would fail again when the interpreter flushes at exit
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def spool_standard_input():
    """Standard input copied to a temporary file, which the two passes can read."""
    spool = tempfile.NamedTemporaryFile(prefix="kelvo-stdin-", suffix=".csv", delete=False)
    with spool:
        shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
    return Path(spool.name)


def run(args, out):
    spooled = None
    if args.input == "-":
        spooled = path = spool_standard_input()
    elif args.input:
        path = Path(args.input)
    else:
        from kelvo import sample

        path = SAMPLE
        if args.rate is None and not args.discount:
            args.rate = sample.OPTIONS_RATE  # the rate the sample was priced at
    try:
        return run_on(path, args, out, "standard input" if spooled else str(path))
    finally:
        if spooled:
            spooled.unlink(missing_ok=True)


def run_on(path, args, out, name):
    if not path.is_file():
        raise BadInput(f"{path}: no such file")
    for option, target in (("--output", args.output), ("--plot", args.plot)):
        if target and same_file(target, path):
            raise BadInput(f"{option} {target} is the input file: refusing to overwrite it")
    from kelvo import vendor

    contracts = vendor.vendor_layout(read_header(path))
    if contracts:
        vendor_options(args)
    else:
        one_expiry_options(args)
        chain = ChainFile(path, args.chunk_size, args.skip_bad_rows, args.spot, args.discount,
                          args.expiry)
    outputs = []
    try:
        # a table of contracts is written as bytes: each record as it was read, then the results
        table = AtomicOutput(args.output, text=not contracts) if args.output else None
        outputs.append(table)
        picture = AtomicOutput(args.plot, text=False) if args.plot else None
        outputs.append(picture)
        if contracts:
            vendor.run_vendor(path, args, out, name, table, picture)
        else:
            write_results(chain, args, out, name, table, picture)
        for output in outputs:
            if output:
                output.commit()
        outputs = []
    finally:
        for output in outputs:
            if output:
                output.discard()
    return 0


def read_header(path):
    """The cells of the first CSV record (nothing for an empty file)."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            return next(csv.reader(f), [])
    except UnicodeDecodeError:
        raise BadInput(f"line {first_line_not_utf8(path)}: the file is not UTF-8 text") from None
    except csv.Error as error:
        raise BadInput(f"line 1: cannot read this CSV record: {error}") from None


def one_expiry_options(args):
    """--discount and --expiry as the one-expiry layout reads them: one positive number each."""
    for option in ("discount", "expiry"):
        values = getattr(args, option)
        if values is None:
            continue
        if len(values) != 1:
            raise BadInput(f"--{option} is given once for a one-expiry file")
        try:
            setattr(args, option, positive_number(values[0]))
        except ValueError:
            raise BadInput(f"--{option} must be a positive number, not {values[0]!r}") from None
    for option in ("rate", "symbol", "quote_date"):
        if getattr(args, option):
            raise BadInput(f"--{option.replace('_', '-')} applies to tables of contracts, not to "
                           "a one-expiry file")


def vendor_options(args):
    """--discount EXPIRY=D pairs and --column ROLE=NAME pairs of a table of contracts."""
    if args.spot is not None:
        raise BadInput("--spot applies to a one-expiry file; a table of contracts has an "
                       "underlying price column")
    args.discount_map = None
    if args.discount:
        args.discount_map = {}
        for item in args.discount:
            date, _, value = item.partition("=")
            try:
                args.discount_map[date.strip()] = positive_number(value)
            except ValueError:
                raise BadInput(f"--discount {item!r}: give EXPIRY=D, D a positive number") from None
        if args.rate is not None:
            raise BadInput("give --rate or --discount, not both")
    args.columns = {}
    for item in args.column:
        role, _, column = item.partition("=")
        if not column:
            raise BadInput(f"--column {item!r}: give ROLE=NAME")
        args.columns[role.strip()] = column


def write_results(chain, args, out, name, table, picture):
    selection = Selection(args.strike_pct)
    rows_read = 0
    for chunk in chain.chunks("kelvo: forward"):
        selection.add(chunk)
        rows_read += len(chunk)
    if rows_read == 0:
        raise BadInput(f"{name}: no option rows")
    calls, puts, strikes = selection.arrays()
    S, D = float(selection.S), float(selection.D)
    forward = find_forward_baw(calls, puts, strikes, S, D, args.strike_pct)
    estimate = parity_forward(calls, puts, strikes, S, D)

    with_vol = chain.has_expiry
    plot_points = [] if picture else None
    writer = csv.writer(table.file) if table else None
    try:
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
            if not args.quiet and not out.gone:
                for row in zip(*(c.tolist() for c in columns)):
                    out.write(" ".join(f"{cell(x, 6):>12}" for x in row) + "\n")
            if plot_points is not None:
                plot_points.append((chunk.values["strike"], call_sd, put_sd))

        # The inversion releases the interpreter, so one worker thread inverts a chunk while
        # this thread parses the next and writes the one before: the reading and writing hide
        # behind the arithmetic.
        with ThreadPoolExecutor(max_workers=1) as worker:
            pending = None
            for chunk in chain.chunks("kelvo: implied vols", texts=True):
                # spot and discount were checked to be one value each on the first pass
                inverted = worker.submit(invert, chunk, S, D, forward)
                if pending:
                    emit(*pending)
                pending = chunk, inverted
            if pending:
                emit(*pending)
        out.flush()
    except OSError as error:
        target = table.target if table else "the output"
        raise CannotWrite(f"cannot write {target}: {error.strerror or error}") from None

    skipped = chain.skipped
    if skipped.count:
        lines = ", ".join(str(line) for line, _ in skipped.first)
        more = f" and {skipped.count - len(skipped.first)} more" if skipped.count > len(skipped.first) else ""
        sys.stderr.write(f"kelvo: skipped {skipped.count} bad row"
                         f"{'s' if skipped.count > 1 else ''} (lines {lines}{more})\n")
        for _, message in skipped.first:
            sys.stderr.write(f"  {message}\n")
    if plot_points is not None:
        from kelvo.plot import plot_smile
        try:
            plot_smile(plot_points, forward, picture.file,
                       float(selection.expiry) if with_vol else None, format=picture.target.suffix[1:] or "png")
        except OSError as error:
            raise CannotWrite(f"cannot write {picture.target}: {error.strerror or error}") from None


def positive_number(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise ValueError(text)
    return value


positive_number.__name__ = "positive number"  # argparse names the type in its message


def parser():
    p = argparse.ArgumentParser(
        prog="kelvo",
        description="Implied forwards and implied volatilities of option chains (BAW 1987).",
        epilog="INPUT is either a table of contracts as data vendors export it (one row per "
               "contract: underlying and its price, type, expiration, quote date, strike, bid "
               "and ask; many expiries) or kelvo's one-expiry layout (columns strike, call and "
               "put, and spot, discount and expiry in years unless given as options). Without "
               "INPUT the sample chain shipped with kelvo is used.")
    p.add_argument("input", nargs="?",
                   help="option chain CSV, - for standard input (default: the built-in sample)")
    p.add_argument("--spot", type=positive_number,
                   help="one-expiry layout: spot price, instead of a spot column")
    p.add_argument("--discount", action="append",
                   help="one-expiry layout: the discount factor to expiry, instead of a column; "
                        "contract tables: EXPIRY=D, once per expiry")
    p.add_argument("--expiry", action="append",
                   help="one-expiry layout: time to expiry in years, for annualised vols; "
                        "contract tables: only this expiration date (repeatable)")
    p.add_argument("--rate", type=float,
                   help="contract tables: flat continuously compounded interest rate")
    p.add_argument("--symbol", action="append",
                   help="contract tables: only this underlying (repeatable)")
    p.add_argument("--quote-date",
                   help="contract tables: the quote date, instead of a quote-date column")
    p.add_argument("--column", action="append", default=[], metavar="ROLE=NAME",
                   help="contract tables: the column for a role, e.g. --column mid=Last")
    p.add_argument("--by-strike", action="store_true",
                   help="contract tables: plot against strike rather than log-moneyness")
    p.add_argument("--strike-pct", type=float, default=DEFAULT_STRIKE_PCT,
                   help=f"half-width of the first strike window around spot (default {DEFAULT_STRIKE_PCT:g})")
    p.add_argument("--output", "-o", help="write the table as CSV to this file")
    p.add_argument("--plot", help="draw the smiles to this PNG file (needs kelvo[plot])")
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
        return run(args, Terminal(sys.stdout))
    except BadInput as error:
        sys.stderr.write(f"kelvo: {error}\n")
        return EXIT_BAD_INPUT
    except CannotWrite as error:
        sys.stderr.write(f"kelvo: {error}\n")
        return EXIT_CANNOT_WRITE
    except KeyboardInterrupt:
        sys.stderr.write("kelvo: interrupted; no output file was changed\n")
        return EXIT_INTERRUPTED

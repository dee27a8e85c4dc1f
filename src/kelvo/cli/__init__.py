"""kelvo's command line: from an option file to the implied forward of every expiry and the
implied volatility of every quote.

The parts: ``common`` (errors and exit codes, the skipped-rows report, progress, outputs
replaced only when complete, the terminal), ``reader`` (the native reader's records),
``layouts`` (a table of contracts, kelvo's one-expiry layout) and ``engine`` (the two passes
every layout runs through, with kelvo.chain's rules).
"""
import argparse
import sys
from pathlib import Path

from kelvo import chain
from kelvo._arrays import DEFAULT_STRIKE_PCT
from kelvo.cli.common import (EXIT_BAD_INPUT, EXIT_CANNOT_WRITE, EXIT_INTERRUPTED, BadInput,
                              CannotWrite, Output, Terminal, note, positive_number, same_file,
                              spool)

SAMPLE = Path(__file__).resolve().parent.parent / "data" / "sample_options.csv"


def run(args, out):
    spooled = None
    if args.input == "-":
        spooled = path = spool(None)
        if not path.stat().st_size:
            spooled.unlink()
            raise BadInput("standard input is empty (expected a header row)")
    elif args.input is not None:
        if not args.input:  # an empty name (an unset variable in a script) is no file
            raise BadInput("the input file's name is empty")
        path = Path(args.input)
        if path.is_dir():
            raise BadInput(f"{path}: is a directory")
        if path.exists() and not path.is_file():  # a FIFO, <(...): it can be read only once
            spooled = path = spool(path)
        elif not path.exists():
            raise BadInput(f"{path}: no such file")
    else:
        from kelvo import sample

        path = SAMPLE
        if args.rate is None and args.discount is None and args.discount_map is None:
            args.rate = sample.OPTIONS_RATE  # the rate the sample was priced at
    try:
        return run_on(path, args, out)
    finally:
        if spooled:
            spooled.unlink(missing_ok=True)


def run_on(path, args, out):
    from kelvo.cli.engine import run_file

    for option, target in (("--output", args.output), ("--plot", args.plot)):
        if target and target != "-" and same_file(target, path):
            raise BadInput(f"{option} {target} is the input file: refusing to overwrite it")
    outputs = []
    try:
        table = Output(args.output) if args.output else None
        outputs.append(table)
        picture = Output(args.plot) if args.plot else None
        outputs.append(picture)
        if table and picture and table.same_as(picture):
            raise BadInput(f"--output and --plot name one file ({args.plot}): give two")
        run_file(path, args, out, table, picture)
        for output in outputs:
            if output:
                output.commit()
        outputs = []
    finally:
        for output in outputs:
            if output:
                output.discard()
    return 0


def options(args):
    """The options whose meaning depends on nothing but themselves, checked and converted:
    --discount EXPIRY=D pairs (or one D for a one-expiry file), --column ROLE=NAME pairs."""
    args.discount_map = None
    single = [item for item in args.discount or [] if "=" not in item]
    if single:
        if len(args.discount) != 1:
            raise BadInput("--discount is EXPIRY=D, once per expiry, or one D for a "
                           "one-expiry file")
        try:
            args.discount = positive_number(single[0])
        except ValueError:
            raise BadInput(f"--discount must be a positive number, not {single[0]!r}") from None
    elif args.discount:
        args.discount_map, seen = {}, {}
        for item in args.discount:
            date, _, value = item.partition("=")
            try:
                args.discount_map[date.strip()] = positive_number(value)
                # one expiry a day, as kelvo.chain reads the map
                day = chain.fixed_date(date.strip(), "--discount").astype("datetime64[D]")
            except ValueError:
                raise BadInput(f"--discount {item!r}: give EXPIRY=D, EXPIRY a date and D a "
                               "positive number") from None
            if day in seen:
                raise BadInput(f"--discount gives the expiry {day} twice ({seen[day]!r} and "
                               f"{item!r})")
            seen[day] = item
        args.discount = None
        if args.rate is not None:
            raise BadInput("give --rate or --discount, not both")
    args.columns = {}
    for item in args.column:
        role, _, column = item.partition("=")
        if not column:
            raise BadInput(f"--column {item!r}: give ROLE=NAME")
        args.columns[role.strip()] = column


EXAMPLES = """examples:
  kelvo                                   the sample shipped with kelvo: its summary, last
  kelvo eod.csv --rate 0.04 -q            a vendor's end-of-day table: the summary only
  kelvo eod.csv --rate 0.04 -o out.csv    every row as it was, with its forward and vols
  kelvo spx.csv --rate 0.036 --spot 6936 --quote-date 2026-01-30 --plot spx.png
                                          a web dump without the underlying's price
  kelvo chain.csv --spot 100 --discount 0.99 --expiry 0.5
                                          kelvo's one-expiry layout (strike, call, put)

INPUT is either a table of contracts as data vendors and exchanges export it (one row per
contract: underlying and its price, type, expiration, quote date, strike, bid and ask; many
expiries, underlyings and quote dates) or kelvo's one-expiry layout (columns strike, call and
put, and spot, discount and expiry in years unless given as options). Where the two layouts
give an option two meanings (--discount, --expiry), each is said above. The table of quotes
comes first and the summary last, so that on a terminal the summary stays in sight."""


def parser():
    from kelvo import __version__

    p = argparse.ArgumentParser(
        prog="kelvo", epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Implied forwards and implied volatilities of option chains,\n"
                    "American (Barone-Adesi-Whaley 1987) and European.")
    p.add_argument("--version", action="version", version=f"kelvo {__version__}")
    files = p.add_argument_group("the file")
    files.add_argument("input", nargs="?",
                       help="option chain CSV, - for standard input (default: the built-in "
                            "sample)")
    files.add_argument("--skip-bad-rows", action="store_true",
                       help="skip rows that cannot be read, and report them, instead of "
                            "stopping")
    files.add_argument("--chunk-size", type=checked(chunk_size, "chunk_size"), default=16384,
                       help=f"rows per chunk, 1 to {MAX_CHUNK} (default 16384; fewer where a "
                            "chunk's text would pass 64 MiB)")
    money = p.add_argument_group("rates, prices and times")
    money.add_argument("--rate", type=checked(chain.checked_rate, "rate"),
                       help="contract tables: flat continuously compounded interest rate")
    money.add_argument("--discount", action="append",
                       help="contract tables: EXPIRY=D, once per expiry; one-expiry layout: "
                            "the discount factor to expiry, instead of a column")
    money.add_argument("--spot", type=positive_number,
                       help="the underlying price, for a file without its column "
                            "(given, it replaces the file's)")
    money.add_argument("--quote-date",
                       help="contract tables: the quote date, for a file without its column; "
                            "with one, only the rows of this date")
    money.add_argument("--quote-time", metavar="HH:MM",
                       help="contract tables: the time of day the quotes were taken "
                            "(default: the snapshot's, else the close, 16:00)")
    money.add_argument("--style", choices=("american", "european"),
                       help="exercise style of every option (default: a style column, else "
                            "European for cash-settled index roots such as SPX, American "
                            "otherwise)")
    money.add_argument("--model", choices=("baw", "alo"), default="baw",
                       help="American options' model: baw, the Barone-Adesi-Whaley "
                            "approximation (default), or alo, the accurate engine of the "
                            "early-exercise boundary (slower: some ten ms a forward)")
    money.add_argument("--precision", choices=("accurate", "fast"),
                       help="the alo model's setting (default accurate)")
    columns = p.add_argument_group("columns")
    columns.add_argument("--column", action="append", default=[], metavar="ROLE=NAME",
                         help="contract tables: the column for a role, e.g. --column mid=Last")
    columns.add_argument("--snapshot", choices=("1545", "eod"),
                         help="contract tables with quotes at 15:45 and at the close: which "
                              "to use (default 1545)")
    columns.add_argument("--strike-scale", type=positive_number, metavar="X",
                         help="multiply the strikes by X (0.001 for strikes in thousandths)")
    selection = p.add_argument_group("selection")
    selection.add_argument("--symbol", action="append",
                           help="contract tables: only this underlying (repeatable)")
    selection.add_argument("--expiry", action="append",
                           help="contract tables: only this expiration date (repeatable); "
                                "one-expiry layout: time to expiry in years, for annualised "
                                "vols")
    selection.add_argument("--strike-pct", type=checked(chain.checked_strike_pct, "strike_pct"),
                           help="the forward search's strike window: the first from this "
                                "half-width (relative to the spot) that holds a strike "
                                f"(default: the narrowest from {DEFAULT_STRIKE_PCT:g} that "
                                "holds four usable strikes)")
    output = p.add_argument_group("output")
    output.add_argument("--quiet", "-q", action="store_true",
                        help="print only the summary, not the table")
    output.add_argument("--output", "-o",
                        help="write the table as CSV to this file (- for standard output, the "
                             "summary then on standard error)")
    output.add_argument("--plot", help="draw the surface to this file, PNG or another format "
                                       "matplotlib writes by its suffix (needs kelvo[plot])")
    output.add_argument("--greeks", action="store_true",
                        help="contract tables: add each quote's delta, gamma, vega (per vol "
                             "point), theta (per day) and rho (per 1 %% of the rate) at its mid "
                             "vol to --output")
    output.add_argument("--by-strike", action="store_true",
                        help="contract tables: plot against strike rather than log-moneyness")
    return p


def checked(check, name):
    """An argparse type of a check of kelvo.chain's (its ValueError, argparse's message)."""
    def convert(text):
        try:
            return check(float(text))
        except (ValueError, OverflowError):  # int() of an infinity overflows
            raise argparse.ArgumentTypeError(f"{text!r}: {check.__doc__}") from None

    convert.__name__ = name
    return convert


MAX_CHUNK = 10_000_000


def chunk_size(value):
    """a number of rows, from 1 to 10,000,000"""
    if value != int(value) or not 1 <= value <= MAX_CHUNK:
        raise ValueError(value)
    return int(value)


def picture_format(target):
    """The format --plot writes, from its suffix; BadInput before anything is read where
    matplotlib cannot write it."""
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = Path(target).suffix[1:].lower() if target != "-" else "png"
    formats = FigureCanvasBase.get_supported_filetypes()
    if (suffix or "png") not in formats:
        raise BadInput(f"--plot {target}: matplotlib writes no .{suffix} files (give one of "
                       f"{', '.join('.' + f for f in sorted(formats))})")
    return suffix or "png"


def main(argv: list[str] | None = None) -> int:
    """Run the command line (``python -m kelvo``, ``kelvo``) on argv (default ``sys.argv``).

    Returns
    -------
    int
        The exit code: 0, 1 (an output that cannot be written), 2 (an input that cannot be
        read, or options that do not fit it) or 130 (interrupted).

    Examples
    --------
    >>> from kelvo.cli import main
    >>> main(["--quiet", "--style", "american"])  # doctest: +ELLIPSIS
      symbol     expiry    style ...
    0
    """
    args = parser().parse_args(argv)
    for option, target in (("-o/--output", args.output), ("--plot", args.plot)):
        if target == "":  # an unset variable in a script: not "no output"
            note(f"kelvo: {option}: the file's name is empty\n")
            return EXIT_BAD_INPUT
    if args.rate is not None and abs(args.rate) >= 1:  # a percentage given as a number?
        note(f"kelvo: --rate {args.rate:g} is {100 * args.rate:g} % a year "
             f"({args.rate / 100:g} would be {args.rate:g} %)\n")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            note("kelvo: --plot needs matplotlib: pip install 'kelvo[plot]'\n")
            return EXIT_BAD_INPUT
    out = Terminal(sys.stdout)
    if "-" in (args.output, args.plot):
        # the table (CSV) or the picture is what standard output carries: the summary goes to
        # standard error
        out, args.quiet = Terminal(sys.stderr), True
    if args.precision is not None and args.model != "alo":
        note("kelvo: --precision applies to --model alo\n")
        return EXIT_BAD_INPUT
    try:
        args.plot_format = picture_format(args.plot) if args.plot else None
        options(args)
        return run(args, out)
    except BadInput as error:
        note(f"kelvo: {error}\n")
        return EXIT_BAD_INPUT
    except CannotWrite as error:
        note(f"kelvo: {error}\n")
        return EXIT_CANNOT_WRITE
    except KeyboardInterrupt:
        note("kelvo: interrupted; no output file was changed\n")
        return EXIT_INTERRUPTED

"""The layouts of the files the command line reads. A layout is the columns each role is read
from (or the value an option gives it), how a chunk of records becomes kelvo.chain's quotes,
which rows are bad, and the columns, table lines and summary the run adds:

- ``ContractTable``: one row per contract, as data vendors export them (kelvo.chain.ROLES);
- ``OneExpiry``: kelvo's own layout of one expiry of one underlying, a row per strike with its
  call and put prices (and spot, discount factor and time to expiry, or options for them), read
  as a table of one group whose quotes are the calls and the puts.
"""
import math

import numpy as np

from kelvo import chain
from kelvo.cli.common import BadInput, note, positive_number

# accepted header names of the one-expiry layout, compared without case or surrounding blanks
ONE_EXPIRY_COLUMNS = {
    "strike": ("strike", "k"),
    "call": ("call", "call_price", "c"),
    "put": ("put", "put_price", "p"),
    "spot": ("spot", "s"),
    "discount": ("discount", "discount_factor", "d"),
    "T": ("expiry", "t", "expiry_years"),
}


ONE_EXPIRY_SIGNS = ("call", "put", "call_price", "put_price")
CONTRACT_SIGNS = chain.ROLES["type"] + chain.ROLES["option_symbol"]


def is_one_expiry(header):
    """True for kelvo's one-expiry layout (strike, call and put columns), False for a table of
    contracts (a type column, or option symbols that give the type)."""
    lowered = {h.strip().lower() for h in header}
    if {"call", "put"} <= lowered or {"call_price", "put_price"} <= lowered:
        return True
    if any(alias in lowered for alias in CONTRACT_SIGNS):
        return False
    if len(header) == 1 and (";" in header[0] or "\t" in header[0]):
        raise BadInput("line 1: one column, with semicolons or tabs in it: kelvo reads files "
                       "whose fields are separated by commas")
    if not any(name in lowered for name in ONE_EXPIRY_SIGNS):
        raise BadInput(f"line 1: neither a table of contracts (no column of option types or "
                       f"symbols: {', '.join(CONTRACT_SIGNS)}) nor a file of one expiry (no "
                       f"strike, call and put columns); have {', '.join(header)}")
    return True


def number_text(value, digits):
    if not math.isfinite(value):
        return ""
    return f"{value:.{digits}f}" if round(value, digits) != 0 else f"{0.0:.{digits}f}"


class Layout:
    """The columns read by role (header positions), and the checks that make a row bad: for
    each role, the kind of value it must hold (kelvo.chain.READABLE) and the column to name."""

    def __init__(self, header, index, checks, named=None):
        self.header = header
        self.n_fields = len(header)
        self.index = index  # role -> column position
        self.number_columns = sorted({index[r] for r in index if r in chain.NUMBER_ROLES
                                      or r in ("call", "put")})
        self.text_columns = sorted({index[r] for r in index if r in chain.TEXT_ROLES})
        named = named or {}
        # each check names the column its values come from: their own, or the one they are
        # read out of (an option symbol's strike, the underlying's bid and ask)
        self.checks = [(role, kind, index[role] if role in index else named.get(role))
                       for role, kind in checks]
        self.checks = [c for c in self.checks if c[2] is not None]

    def read(self, reader, count):
        return reader.read(self.n_fields, self.number_columns, self.text_columns, count)

    def sample_scale(self, q):
        """ValueError where the strikes are not of the underlying price's scale."""

    def check_scale(self):
        """The same, at the end of the first pass, on what sample_scale was given."""

    def numbers(self, records):
        return {role: records.numbers[self.number_columns.index(i)]
                for role, i in self.index.items() if i in self.number_columns}

    def texts(self, records):
        out = {}
        for role, i in self.index.items():
            if i in self.text_columns:
                k = self.text_columns.index(i)
                out[role] = (records.codes[k], records.distinct[k])
        return out

    def bad_rows(self, records, values):
        """(row is bad, message of row i): a row whose value of a checked role cannot be
        read."""
        bad = np.zeros(len(records), dtype=bool)
        failed = {}
        for role, kind, column in self.checks:
            if kind == "quote":  # an empty cell, or NaN, is a missing quote
                wrong = np.isnan(values[role])
                for i in np.flatnonzero(wrong):
                    cell = records.cell(i, column).strip().lower()
                    wrong[i] = cell not in ("", "nan", "+nan", "-nan")
            else:
                wrong = chain.unreadable(kind, values[role])
            for i in np.flatnonzero(wrong & ~bad):
                failed[i] = (kind, column)
            bad |= wrong

        def message(i):
            kind, column = failed[i]
            cell = records.cell(i, column)
            if kind == "positive":
                return f"{self.header[column]} must be a positive number: {cell!r}"
            return f"{self.header[column]} cannot be read: {cell!r}"

        return bad, message

    def group_value_name(self, value):
        role = chain.GROUP_VALUES[value][0]
        return self.header[self.index[role]] if role in self.index else role


class ContractTable(Layout):
    """One row per contract: underlying and its price, type, expiration, quote date, strike,
    bid and ask (or a mid), as kelvo.chain finds their columns."""

    SHOWN = ("symbol", "expiry", "type", "strike", "bid", "ask", "iv_bid", "iv_mid", "iv_ask")
    one_group = False

    @staticmethod
    def check_options(args):
        """A single --discount belongs to the one-expiry layout; --expiry selects expiration
        dates."""
        if args.discount is not None:
            raise BadInput("--discount is EXPIRY=D for a table of contracts, once per expiry")

    def __init__(self, header, args, sample=None):
        self.args = args
        self.result_names = chain.RESULT_COLUMNS + (chain.GREEK_COLUMNS if args.greeks else ())
        try:
            names = chain.find_columns(header, args.columns, sample=sample,
                                       snapshot=args.snapshot, spot=args.spot)
            self.quote_time = chain.quote_time_of(args.quote_time, names)
        except ValueError as error:
            raise BadInput(f"line 1: {error}") from None
        self.quote_date = self.selected_date = None
        if args.quote_date is not None:
            if "quote_date" in names:
                self.selected_date = given_date(args.quote_date, "--quote-date")
            else:
                self.quote_date = given_date(args.quote_date, "--quote-date")
        elif "quote_date" not in names and not {"T", "days"} & set(names):
            raise BadInput("no quote date: give --quote-date or a quote-date column (one of "
                           f"{', '.join(chain.ROLES['quote_date'])})")
        if args.rate is None and args.discount_map is None and not (
                {"rate", "discount"} & set(names)):
            raise BadInput("no interest rate: give --rate R (continuously compounded), "
                           "--discount EXPIRY=D for each expiry, or a rate or discount column")
        self.names = names
        index = {role: header.index(name) for role, name in names.items()}
        named = {role: index["option_symbol"] for role in ("strike", "type", "expiry")
                 if "option_symbol" in index}
        if "symbol" in index:
            named.update({role: index["symbol"] for role in ("strike", "type", "expiry")
                          if role not in index and role not in named})
        if "underlying_bid" in index:
            named["spot"] = index["underlying_bid"]
        super().__init__(header, index, [c for c in chain.READABLE if c[0] != "spot"
                                         or args.spot is None], named)
        # an index's symbol with or without its caret (^SPX, SPX)
        self.wanted_symbols = {s.strip().upper().lstrip("^") for s in args.symbol or []}
        self.wanted_expiries = None
        if args.expiry:
            self.wanted_expiries = np.array([given_date(e, "--expiry") for e in args.expiry])
        self.told = False
        self.scale_sample = []

    def quotes(self, records, parsed):
        """kelvo.chain's quotes of a chunk, one a row, and the row of each (None: the same)."""
        args = self.args
        q = chain.Quotes(self.numbers(records), self.texts(records), self.names,
                         rate=args.rate, discount=args.discount_map, quote_date=self.quote_date,
                         quote_time=self.quote_time, spot=args.spot, style=args.style,
                         strike_scale=args.strike_scale, parsed=parsed, n=len(records))
        if not self.told:  # what each role was read from, once, before anything is computed
            self.told = True
            sources = chain.column_sources(self.names, q)
            note("kelvo: columns: " + ", ".join(
                f"{role.replace('_', ' ')} <- {source}" for role, source in sources.items())
                + "\n")
        return q, None

    def sample_scale(self, q):
        """ValueError where the strikes are not of the underlying price's scale, judged once on
        the table's first quotes as kelvo.chain judges them, however many chunks they take."""
        if self.scale_sample is not None:
            self.scale_sample.append(chain.strike_ratios(q))
            if sum(map(len, self.scale_sample)) >= chain.SCALE_SAMPLE:
                self.check_scale()

    def check_scale(self):
        if self.scale_sample is not None:
            sample, self.scale_sample = self.scale_sample, None
            chain.check_scale(np.concatenate(sample) if sample else np.empty(0), self.names,
                              self.args.spot is not None)

    def check_values(self, q):
        return chain.check_values(q)

    def missing_discounts(self, q, keep):
        return chain.missing_discounts(q, keep, self.args.discount_map)

    def selected(self, q):
        """The rows --symbol, --expiry and --quote-date select."""
        keep = np.ones(q.n, dtype=bool)
        if self.wanted_symbols:
            def wanted(symbols):
                return np.array([s.strip().upper().lstrip("^") in self.wanted_symbols
                                 for s in symbols], dtype=bool)
            keep &= (wanted(q.symbols)[q.symbol_codes]
                     | wanted(q.underlyings)[q.underlying_codes])
        if self.wanted_expiries is not None:
            days = self.wanted_expiries.astype("datetime64[D]")
            keep &= np.isin(q.expiry_values.astype("datetime64[D]"), days)[q.expiry_codes]
        if self.selected_date is not None:
            keep &= chain.on_date(q, self.selected_date)
        return keep

    def selection(self):
        """The options given that select rows."""
        given = {"--symbol": bool(self.wanted_symbols),
                 "--expiry": self.wanted_expiries is not None,
                 "--quote-date": self.selected_date is not None}
        return [option for option, selects in given.items() if selects]

    def results(self, n_rows, results):
        return [results[c] for c in self.result_names]

    def table_header(self):
        return " ".join(f"{h:>12}" for h in self.SHOWN) + "\n"

    def table_lines(self, records, q, columns, keep):
        """The terminal's lines of the rows kept: those selected (--symbol, --expiry,
        --quote-date) that can be read."""
        shown = [self.index.get(role) for role in self.SHOWN[:6]]
        # what an option symbol gave where the file has no column of its own
        derived = {"symbol": q.symbol, "expiry": lambda: q.expiry.astype("datetime64[D]"),
                   "type": lambda: np.where(q.flag == "c", "call", "put"),
                   "strike": lambda: q.strike}
        derived = {k: [str(x) if x == x else "" for x in make().tolist()]
                   for k, make in derived.items() if k not in self.index}
        ivs = [[f"{x:.6f}" if x == x else "" for x in columns[self.result_names.index(c)]
                .tolist()] for c in self.SHOWN[6:]]
        for i in np.flatnonzero(keep).tolist():
            cells = records.cells(i)
            row = [derived[role][i] if role in derived else
                   cells[c] if c is not None and c < len(cells) else ""
                   for role, c in zip(self.SHOWN, shown)]
            row += [column[i] for column in ivs]
            yield " ".join(f"{chain.shown(x):>12}" for x in row) + "\n"

    def plot_points(self, q, keep, results):
        return {"symbol": q.symbol()[keep], "quote_date": q.quote_date[keep],
                "expiry": q.expiry[keep], "flag": q.flag[keep], "strike": q.strike[keep],
                "forward": results["forward"][keep], "mid": results["iv_mid"][keep],
                "bid": results["iv_bid"][keep], "ask": results["iv_ask"][keep]}

    def summary_lines(self, summary):
        symbols = [chain.shown(s) for s in summary["symbol"]]
        width = max([8] + [len(s) for s in symbols])
        dates = len(np.unique(summary["quote_date"])) > 1
        # quotes taken at times of day, a group each: the time shown too, to the second where
        # the times need it
        times = chain.time_of_day(np.asarray(summary["quote_date"], dtype="datetime64[ns]"))
        unit, wide = "D", 10
        if chain.carries_times(summary["quote_date"]):
            unit, wide = ("s", 19) if (times % np.timedelta64(1, "m")).any() else ("m", 16)
        quoted = f" {'quote date':>{wide}}" if dates else ""
        yield (f"{'symbol':>{width}}{quoted} {'expiry':>10} {'style':>8} {'T':>8} {'D':>10} "
               f"{'spot':>10} {'forward':>12} {'parity':>12} {'strikes':>7} {'atm vol':>8} "
               f"{'quotes':>7}")
        for g in range(len(summary["symbol"])):
            e = {name: column[g] for name, column in summary.items()}
            fwd = (f"{e['forward']:12.6f}" if math.isfinite(e["forward"])
                   else f"{'expired' if e['T'] <= 0 else 'not found':>12}")
            parity = (f"{e['parity_estimate']:12.6f}" if math.isfinite(e["parity_estimate"])
                      else f"{'':>12}")
            atm = f"{e['atm_vol']:8.4f}" if math.isfinite(e["atm_vol"]) else f"{'':>8}"
            day = e["expiry"].astype("datetime64[D]")
            on = (" " + np.datetime_as_string(e["quote_date"], unit=unit).replace("T", " ")
                  .rjust(wide)) if dates else ""
            yield (f"{symbols[g]:>{width}}{on} {day!s:>10} {e['style']:>8} {e['T']:8.5f} "
                   f"{e['D']:10.8f} {e['spot']:10.4f} {fwd} {parity} {e['strikes_used']:7d} "
                   f"{atm} {e['quotes']:7d}")

    def plot(self, points, summary, file, format):
        from kelvo.plot import surface_figure

        surface_figure(points, summary, quote_date=self.selected_date,
                       by_strike=self.args.by_strike,
                       model=chain.model_label(self.args.model, self.args.precision)).savefig(
            file, dpi=110, format=format)


class OneExpiry(Layout):
    """kelvo's one-expiry layout: a row per strike with its call and put prices, one spot,
    discount factor and time to expiry for the file (columns, or --spot, --discount and
    --expiry); its quotes are the calls of the chunk's rows, then their puts."""

    one_group = True

    @staticmethod
    def check_options(args):
        """--expiry is the time to expiry in years here, --discount one discount factor; the
        options that select or describe a table of contracts do not apply."""
        if args.expiry is not None:
            if len(args.expiry) != 1:
                raise BadInput("--expiry is given once for a one-expiry file")
            try:
                args.expiry = positive_number(args.expiry[0])
            except ValueError:
                raise BadInput(f"--expiry must be a positive number, not "
                               f"{args.expiry[0]!r}") from None
        for option in ("rate", "symbol", "quote_date", "quote_time", "snapshot", "greeks"):
            if getattr(args, option):
                raise BadInput(f"--{option.replace('_', '-')} applies to tables of contracts, "
                               "not to a one-expiry file")
        if args.discount_map is not None:
            raise BadInput("--discount is one number for a one-expiry file")

    def __init__(self, header, args):
        self.args = args
        names = [h.strip().lower() for h in header]
        index = {}
        for role, aliases in ONE_EXPIRY_COLUMNS.items():
            found = [i for i, name in enumerate(names) if name in aliases]
            if len(found) > 1:  # which of them holds the role's values?
                raise BadInput(f"line 1: columns {' and '.join(repr(header[i]) for i in found)} "
                               f"are each a {role} column: rename all but one")
            if found:
                index[role] = found[0]
        self.fixed = {"spot": args.spot, "discount": args.discount, "T": args.expiry}
        for role, value in self.fixed.items():
            if value is not None:
                index.pop(role, None)
        missing = [c for c in ("strike", "call", "put") if c not in index]
        missing += [c for c in ("spot", "discount") if c not in index and self.fixed[c] is None]
        if missing:
            raise BadInput(f"line 1: missing column{'s' if len(missing) > 1 else ''} "
                           f"{', '.join(repr(m) for m in missing)} (have {', '.join(header)}; "
                           "spot and discount may be given as --spot and --discount instead)")
        self.with_vol = "T" in index or args.expiry is not None
        self.result_names = (("call_sd", "put_sd") + (("call_vol", "put_vol")
                                                        if self.with_vol else ()) + ("gap",))
        super().__init__(header, index, [("strike", "number"), ("call", "quote"),
                                         ("put", "quote"), ("spot", "positive"),
                                         ("discount", "positive"), ("T", "positive")])

    def quotes(self, records, parsed):
        n = len(records)
        read = self.numbers(records)
        both = lambda a: np.concatenate([a, a])
        numbers = {"strike": both(read["strike"]), "mid": np.concatenate([read["call"],
                                                                          read["put"]])}
        for role in ("spot", "discount", "T"):
            if role in read:
                numbers[role] = both(read[role])
            else:
                value = self.fixed[role]
                numbers[role] = np.full(2 * n, math.nan if value is None else value)
        texts = {"type": (np.repeat(np.array([0, 1], dtype=np.int32), n), ["c", "p"])}
        q = chain.Quotes(numbers, texts, {}, style=self.args.style,
                         strike_scale=self.args.strike_scale, parsed=parsed, n=2 * n)
        return q, both(np.arange(n))

    def check_values(self, q):
        n = q.n // 2
        values = {"strike": q.strike[:n], "call": q.mid[:n], "put": q.mid[n:]}
        values.update(spot=q.spot[:n], discount=q.D[:n], T=q.T[:n])
        return values

    def selected(self, q):
        return np.ones(q.n // 2, dtype=bool)

    def missing_discounts(self, q, keep):
        return None  # one discount factor, given or a column

    def selection(self):
        return []

    def results(self, n_rows, results):
        call_sd, put_sd = results["sd_mid"][:n_rows], results["sd_mid"][n_rows:]
        columns = [call_sd, put_sd]
        if self.with_vol:
            columns += [results["iv_mid"][:n_rows], results["iv_mid"][n_rows:]]
        return columns + [call_sd - put_sd]

    def table_header(self):
        return " ".join(f"{h:>12}" for h in ("strike", "call", "put") + self.result_names) + "\n"

    def table_lines(self, records, q, columns, keep):
        read = self.numbers(records)  # every row: nothing selects them
        shown = [read["strike"], read["call"], read["put"]] + list(columns)
        for row in zip(*(c.tolist() for c in shown)):
            yield " ".join(f"{number_text(x, 6):>12}" for x in row) + "\n"

    def plot_points(self, q, keep, results):
        n = q.n // 2
        return {"strike": q.strike[:n], "call": results["sd_mid"][:n],
                "put": results["sd_mid"][n:]}

    def summary_lines(self, summary):
        S, D, F = summary["spot"][0], summary["D"][0], summary["forward"][0]
        yield (f"spot {S:.6g}  discount factor {D:.10g}  strikes used "
               f"{summary['strikes_used'][0]}")
        yield (f"forward {number_text(F, 8) or 'not found'}  parity estimate "
               f"{summary['parity_estimate'][0]:.8f}")

    def plot(self, points, summary, file, format):
        from kelvo.plot import smile_figure

        T = summary["T"][0]
        smile_figure(points, summary["forward"][0], T if self.with_vol else None,
                     model=chain.model_label(self.args.model, self.args.precision)).savefig(
            file, dpi=110, format=format)


def given_date(text, option):
    try:
        return chain.fixed_date(text, option)
    except ValueError as error:
        raise BadInput(str(error)) from None


def layout_of(header, args, sample=None):
    """The layout of a file with this header (and these cells of its first records, by column),
    with the options that apply to it."""
    if is_one_expiry(header):
        OneExpiry.check_options(args)
        return OneExpiry(header, args)
    ContractTable.check_options(args)
    return ContractTable(header, args, sample)

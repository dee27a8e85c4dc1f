"""The native reader and writer of tables of contracts (records split, cells read as float()
and the csv module read them, results formatted as printf does) and the batched forward
search, against Python's own and find_forward_baw."""
import csv
import io

import numpy as np
import pytest

from kelvo import baw_price, find_forward_baw
from kelvo._arrays import csv_lines, group_forwards, scan_csv
from kelvo._arrays import parity_forward

pd = pytest.importorskip("pandas")

RNG = np.random.default_rng(11)
DIGITS = RNG.integers(10**11, 10**12, 20_000) * 10 + 5  # thirteen digits ending in 5: ties
FORMATTED = {
    "specials": [1.0, 0.1 + 0.2, np.nan, -0.0, 0.0, 1e300, 5e-324, np.inf, -np.inf,
                 123456789012.5, 2.5e-7, 1e-5, 9.99999999999949e-5, 999999999999.5, 1e22, 1e23],
    "near ties": np.concatenate([DIGITS / 10.0 ** RNG.integers(0, 26, len(DIGITS)),
                                 np.nextafter(DIGITS / 1e5, 0), np.nextafter(DIGITS / 1e5, 1e9)]),
    "every magnitude": RNG.standard_normal(20_000) * 10.0 ** RNG.integers(-320, 300, 20_000),
}


@pytest.mark.parametrize("values", FORMATTED.values(), ids=FORMATTED.keys())
def test_csv_lines_format_as_printf_does(values):
    values = np.asarray(values, dtype=np.float64)
    text = b"".join(b"r%d" % i for i in range(len(values)))
    ends = np.cumsum([len(b"r%d" % i) for i in range(len(values))])
    starts = ends - [len(b"r%d" % i) for i in range(len(values))]
    pads = np.arange(len(values)) % 3
    got = csv_lines(text, starts, ends, pads, [values, values[::-1]]).decode()
    field = lambda x: "%.12g" % x if x == x else ""
    assert got == "".join(f"r{i}{',' * p},{field(a)},{field(b)}\r\n" for i, (p, a, b) in
                          enumerate(zip(pads.tolist(), values.tolist(), values[::-1].tolist())))


def scan_all(text, n_fields, numbers=(), texts=(), count=1000):
    position, line, *rest = scan_csv(text, 0, 1, True, n_fields, numbers, texts, count)
    assert position == len(text)
    return rest


@pytest.mark.parametrize("text", [
    b'a,b,c\n1,2,3\n',
    b'a,b,c\r\n"x, y","say ""hi""",3\r\n\r\n4,5,6',          # quotes, CRLF, blank line, no end
    b'a,b,c\n"two\nlines",2,3\n\n\nshort\n',                  # a break in a quote, a short row
    b'a,b,c\r5" screen,ab"c,"q"tail\rlast,,\n',                  # lone CR; quotes inside fields
    b'a,b,c\n,,\n"",""""," "\n',
])
def test_scan_csv_splits_records_as_the_csv_module_does(text):
    starts, ends, pads, lines, _, codes, distinct = scan_all(text, 3, texts=(0, 1, 2))
    expected = list(csv.reader(io.StringIO(text.decode(), newline="")))
    expected = [row for row in expected if row]
    assert len(starts) == len(expected)
    for i, row in enumerate(expected):
        row = row + [""] * (3 - len(row))
        assert [distinct[k][codes[k][i]] for k in range(3)] == row
        assert next(csv.reader([text[starts[i]:ends[i]].decode()])) + [""] * pads[i] == row
    # each record's line is where it starts in the file
    offsets = [text.count(b"\n", 0, s) + text.count(b"\r", 0, s) - text.count(b"\r\n", 0, s)
               for s in starts]
    assert lines.tolist() == [o + 1 for o in offsets]


NUMBER_CELLS = [" 1.5 ", "+2", "-0", "1e3", "1E-3", ".5", "5.", "inf", "-Infinity", "nan", "",
                "abc", "1_0", "1.2.3", "0x10", "1e", "--1", "12345678901234567890123.5",
                "1e400", "-1e-400", "4.9e-324", "2.2250738585072011e-308", "0.000000000001234",
                "٣", '"1,5"', '"7.25"', "0." + "0" * 99990 + "1e1000000"]
RANDOM_CELLS = [f"{m}e{e}" for m, e in zip(RNG.integers(1, 10**17, 3000).tolist(),
                                          RNG.integers(-330, 310, 3000).tolist())] + [
    f"{x:.{d}f}" for x, d in zip(RNG.uniform(0, 1e4, 3000).tolist(),
                                 RNG.integers(0, 19, 3000).tolist())]


@pytest.mark.parametrize("cells", [NUMBER_CELLS, RANDOM_CELLS], ids=["forms", "random"])
def test_scan_csv_reads_numbers_as_float_does(cells):
    text = ("x\n" + "\n".join(c if c else '""' for c in cells) + "\n").encode()
    _, _, _, _, (numbers,), _, _ = scan_all(text[2:], 1, numbers=(0,), count=10**6)

    def expected(cell):
        cell = cell.strip('"')
        try:
            return float(cell) if "_" not in cell and cell.isascii() else np.nan
        except ValueError:
            return np.nan

    assert len(numbers) == len(cells)
    assert [repr(x) for x in numbers.tolist()] == [repr(expected(c)) for c in cells]


@pytest.mark.parametrize("text, message", [
    (b'a,b\n1,2\n3,4,5\n', "line 3: cannot read this CSV record: 3 fields, the header has 2"),
    (b'a,b\n1,2\n"3,4\n5,6\n', "line 3: cannot read this CSV record: a quoted field is not "
                                "closed before the end of the file"),
])
def test_scan_csv_names_the_line_it_cannot_read(text, message):
    position, line = 4, 2
    with pytest.raises(ValueError, match=message):
        for _ in range(2):  # an open quote is met once the records before it are taken
            position, line, *_ = scan_csv(text, position, line, True, 2, (), (), 1000)


def test_group_forwards_is_find_forward_baw_on_each_group():
    S, D, F = 100.0, 0.99, 101.0
    strikes = np.array([97.0, 98.0, 99.0, 99.5, 100.0, 100.2, 100.5, 101.5, 103.0])
    calls = np.array([baw_price(S, k, D, F, 0.2, "c") for k in strikes])
    puts = np.array([baw_price(S, k, D, F, 0.2, "p") for k in strikes])
    groups = [(0, 9, S, D), (2, 7, 100.4, D), (0, 0, S, D), (0, 9, np.nan, D), (5, 6, S, D)]
    rows = np.concatenate([np.arange(lo, hi) for lo, hi, _, _ in groups])
    starts = np.cumsum([0] + [hi - lo for lo, hi, _, _ in groups])
    got = group_forwards(calls[rows], puts[rows], strikes[rows], starts,
                         [g[2] for g in groups], [g[3] for g in groups], [1, 0, 1, 1, 1])
    for g, (lo, hi, s, d) in enumerate(groups):
        k, c, p = strikes[lo:hi], calls[lo:hi], puts[lo:hi]
        if not len(k) or not np.isfinite(s):
            assert np.isnan(got[0][g]) and np.isnan(got[1][g]) and got[2][g] == 0
            continue
        # every strike given is searched (a window of 100 % holds them all); the second group
        # is European: its forward is the parity estimate
        assert got[0][g] == (parity_forward(c, p, k, s, d) if g == 1 else
                             find_forward_baw(c, p, k, s, d, 1.0))
        assert got[1][g] == parity_forward(c, p, k, s, d)
        assert got[2][g] == len(k)


HEADER = b"UnderlyingSymbol,UnderlyingPrice,Type,Expiration,DataDate,Strike,Bid,Ask\n"
COLUMNS = ("kelvo: columns: symbol <- UnderlyingSymbol, spot <- UnderlyingPrice, type <- Type, "
           "expiry <- Expiration, quote date <- DataDate, strike <- Strike, mid <- (bid + ask) / "
           "2 of Bid and Ask")
ROW = b"AAA,100,call,2026-03-20,2025-12-01,100,5.1,5.3\n"


@pytest.mark.parametrize("content, message", [
    (HEADER + ROW + b"AAA,100,put,2026-03-20,2025-12-01,100,4.\xff,5\n",
     "line 3: the file is not UTF-8 text"),
    (HEADER + ROW * 2 + ROW.rstrip() + b",x\n",
     "line 4: cannot read this CSV record: 9 fields, the header has 8"),
    (HEADER + ROW + b'"AAA,100,put\n' + ROW,
     "line 3: cannot read this CSV record: a quoted field is not closed"),
    (HEADER, "no option rows"),
])
def test_command_line_names_the_line_of_an_unreadable_table(tmp_path, capsys, content, message):
    from kelvo.cli import main

    path = tmp_path / "eod.csv"
    path.write_bytes(content)
    code = main([str(path), "--rate", "0.03", "-q", "-o", str(tmp_path / "out.csv")])
    err = capsys.readouterr().err.splitlines()
    assert code == 2 and message in err[-1] and err[:-1] in ([], [COLUMNS]), err
    assert not (tmp_path / "out.csv").exists()

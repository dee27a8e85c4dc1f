"""Coverage-guided fuzzing of kelvo's native reader, writer and batched forwards (atheris with
libFuzzer), with Python's csv module and float() as the reader's oracles.

Run it through tools/fuzz, which builds kelvo with AddressSanitizer, UBSan and libFuzzer's
coverage instrumentation and preloads the sanitizer runtime. The first byte of an input picks
the target, TARGETS[byte % len(TARGETS)]; the rest is the target's. Any disagreement with an
oracle raises, and libFuzzer stops and saves the input, as it does for a sanitizer report.

A target is a function of one bytes argument appended to TARGETS (appending keeps the corpus's
first bytes meaning what they meant). The last is the command line's file path: the input as a
file behind a fixed header of a table of contracts (or its own header, when the first byte
says so), run through kelvo.cli.main with -o; it must end with exit code 0 or 2 (and never
write a partial output), whatever the file holds.
"""
import csv
import ctypes
import io
import math
import os
import sys

import atheris
import numpy as np

from kelvo._arrays import csv_lines, group_forwards, scan_csv

csv.field_size_limit(sys.maxsize)
SPACES = " \t\n\v\f\r"  # what the reader strips around a number; float() strips more
OPEN_QUOTE = "a quoted field is not closed before the end of the file"
TOO_MANY = "cannot read this CSV record: "
VALUES = [0.0, -0.0, 1.0, 4.0, 5.0, 95.0, 100.0, 100.5, 105.0, 0.99, 1e-300, 1e300, 5e-324,
          -1.0, math.inf, -math.inf, math.nan, 123456789012.5, 0.1 + 0.2, 2.5e-7, -9.87654321e-9,
          1.234567890125e15, 999999999999.5e10]  # the last four written in exponent form


def number_of(cell):
    """float() of a cell within the reader's rules: ASCII text, no digit separators, blanks
    stripped around it; NaN where float() refuses it."""
    body = cell.strip(SPACES)
    if not body.isascii() or "_" in body or any(c.isspace() for c in body):
        return math.nan
    try:
        return float(body)
    except ValueError:
        return math.nan


def as_bytes(cell):
    return cell.encode("utf-8", "surrogateescape")


def same_number(a, b):
    return repr(a) == repr(b)


def expected_rows(text):
    """(row, line it starts on) of each non-blank record, as the csv module reads the text."""
    reader = csv.reader(io.StringIO(text.decode("utf-8", "surrogateescape"), newline=""))
    rows, line = [], 1
    for row in reader:
        if row:
            rows.append((row, line))
        line = reader.line_num + 1
    return rows


def ends_in_open_quote(text):
    """Whether the text ends inside a quoted field: a line break and a cell after it are then
    part of that field instead of a row of their own."""
    return expected_rows(text + b"\nZ")[-1][0] != ["Z"]


def read_records(text, n_fields, numbers, texts, count, split):
    """The records of text as the command line reads them: count at a time, the text in two
    blocks (the first not final), each call going on from where the last one ended. Returns
    (records, error message or None)."""
    block, rest, at_end = text[:split], text[split:], split >= len(text)
    base, position, line, records = 0, 0, 1, []
    for _ in range(len(text) + 3):
        try:
            position, line, starts, ends, pads, lines, values, codes, distinct = scan_csv(
                block, position, line, at_end, n_fields, numbers, texts, count)
        except ValueError as error:
            return records, str(error)
        for i in range(len(starts)):
            assert 0 <= starts[i] < ends[i] <= position
            records.append((base + int(starts[i]), base + int(ends[i]), int(pads[i]),
                            int(lines[i]), [float(v[i]) for v in values],
                            [d[c[i]] for d, c in zip(distinct, codes)]))
        if len(starts) == count:
            continue
        if not at_end:
            block, base, position, rest, at_end = block[position:] + rest, base + position, 0, b"", True
        elif position == len(block):
            breaks = text.count(b"\n") + text.count(b"\r") - text.count(b"\r\n")
            assert line == 1 + breaks, (line, breaks)
            return records, None
    raise AssertionError("the reader made no progress")


def check_reader(text, n_fields, numbers, texts, count, split):
    records, error = read_records(text, n_fields, numbers, texts, count, split)
    rows = expected_rows(text)
    too_many = next((k for k, (row, _) in enumerate(rows) if len(row) > n_fields), None)
    assert len(records) <= len(rows)
    for (start, end, pad, line, values, cells), (row, row_line) in zip(records, rows):
        assert line == row_line, (line, row_line)
        assert len(row) + pad == n_fields
        record = text[start:end].decode("utf-8", "surrogateescape")
        assert next(csv.reader([record]), []) == row, (record, row)
        full = row + [""] * pad
        for value, column in zip(values, numbers):
            assert same_number(value, number_of(full[column])), (value, full[column])
        # as bytes: the reader decodes a cell after taking its quotes away, which can join the
        # bytes around a quote into one character where the text is not UTF-8
        assert [as_bytes(c) for c in cells] == [as_bytes(full[k]) for k in texts], (cells, full)
    if error is None:
        assert too_many is None and len(records) == len(rows)
        assert not ends_in_open_quote(text)
    elif TOO_MANY in error and OPEN_QUOTE not in error:
        assert too_many is not None and len(records) <= too_many
        row, line = rows[too_many]
        assert error == (f"line {line}: cannot read this CSV record: {len(row)} fields, the "
                         f"header has {n_fields}"), error
    else:
        assert OPEN_QUOTE in error, error
        assert too_many is None or too_many == len(rows) - 1
        assert len(records) <= len(rows) - 1 and ends_in_open_quote(text)
        assert error == f"line {rows[-1][1]}: cannot read this CSV record: {OPEN_QUOTE}", error
    return records


def fields_of(values):
    return b"".join(b"," + (b"%.12g" % x if x == x else b"") for x in values)


def reader_target(data):
    provider = atheris.FuzzedDataProvider(data)
    n_fields = provider.ConsumeIntInRange(1, 6)
    roles = [provider.ConsumeIntInRange(0, 2) for _ in range(n_fields)]
    numbers = [k for k, role in enumerate(roles) if role == 1]
    texts = [k for k, role in enumerate(roles) if role == 2]
    count = (1, 2, 3, 7, 64, 1 << 20)[provider.ConsumeIntInRange(0, 5)]
    split = provider.ConsumeIntInRange(0, 64)
    text = provider.ConsumeBytes(provider.remaining_bytes())
    records = check_reader(text, n_fields, numbers, texts, count, min(split, len(text)))
    # the writer on the records read: each as it was, its missing fields, then the results
    if records:
        columns = [np.array([VALUES[(r[0] + k) % len(VALUES)] for r in records])
                   for k in range(len(numbers) + 1)]
        spans = [np.array([r[i] for r in records], dtype=np.int64) for i in range(3)]
        got = csv_lines(text, *spans, columns)
        assert got == b"".join(text[s:e] + b"," * p + fields_of([c[i] for c in columns]) + b"\r\n"
                               for i, (s, e, p, *_) in enumerate(records))


def writer_target(data):
    provider = atheris.FuzzedDataProvider(data)
    n = provider.ConsumeIntInRange(0, 6)
    m = provider.ConsumeIntInRange(0, 3)
    spans = [np.array([provider.ConsumeIntInRange(-2, 40) for _ in range(n)], dtype=np.int64)
             for _ in range(3)]
    columns = [np.array([provider.ConsumeRegularFloat() if provider.ConsumeBool()
                         else VALUES[provider.ConsumeIntInRange(0, len(VALUES) - 1)]
                         for _ in range(n)]) for _ in range(m)]
    text = provider.ConsumeBytes(provider.remaining_bytes())
    valid = all(0 <= s <= e <= len(text) and p >= 0 for s, e, p in zip(*spans))
    try:
        got = csv_lines(text, *spans, columns)
    except ValueError as error:
        if not m and n:  # the columns give the count of lines
            assert str(error).endswith("must have the same length"), error
        else:
            assert not valid and ("does not lie in the text" in str(error) or
                                  "must be from 0 to" in str(error)), error
        return
    assert m or not n
    assert valid
    assert got == b"".join(text[s:e] + b"," * p + fields_of([c[i] for c in columns]) + b"\r\n"
                           for i, (s, e, p) in enumerate(zip(*spans)))


def forwards_target(data):
    provider = atheris.FuzzedDataProvider(data)

    def value():
        if provider.ConsumeBool():
            return VALUES[provider.ConsumeIntInRange(0, len(VALUES) - 1)]
        return 100.0 + provider.ConsumeIntInRange(-40, 40) / 4

    n = provider.ConsumeIntInRange(0, 10)
    rows = [np.array([value() for _ in range(n)]) for _ in range(3)]
    groups = provider.ConsumeIntInRange(0, 3)
    bounds = np.array(sorted(provider.ConsumeIntInRange(-1, n + 1) for _ in range(groups + 1)),
                      dtype=np.int64)
    if groups and provider.ConsumeBool():
        bounds = bounds[::-1].copy()
    S = np.array([value() for _ in range(groups)])
    D = np.array([value() for _ in range(groups)])
    search = np.array([provider.ConsumeBool() for _ in range(groups)], dtype=np.int64)
    valid = all(0 <= lo <= hi <= n for lo, hi in zip(bounds, bounds[1:]))
    try:
        forward, parity, used = group_forwards(*rows, bounds, S, D, search)
    except ValueError as error:
        assert not valid and "not within the rows" in str(error), error
        return
    assert valid
    for g, (lo, hi) in enumerate(zip(bounds, bounds[1:])):
        calls, puts, strikes = (r[lo:hi] for r in rows)
        if not (hi > lo and math.isfinite(S[g]) and math.isfinite(D[g])):
            assert math.isnan(forward[g]) and math.isnan(parity[g]) and used[g] == 0
            continue
        assert used[g] == hi - lo
        if not search[g]:  # European: the parity estimate is the forward
            assert same_number(forward[g], parity[g])
        # the group alone gives the same
        alone = group_forwards(calls, puts, strikes, [0, hi - lo], S[g:g + 1], D[g:g + 1],
                               search[g:g + 1])
        assert [same_number(a[0], b[g]) for a, b in zip(alone, (forward, parity, used))] == [True] * 3


CONTRACTS_HEADER = b"symbol,spot,type,expiration,quote_date,strike,bid,ask\n"


def command_line_target(data):
    import contextlib
    import tempfile

    from kelvo.cli import main

    own_header, body = (data[:1] == b"h"), data[1:]
    with tempfile.TemporaryDirectory() as tmp:
        path, out = os.path.join(tmp, "table.csv"), os.path.join(tmp, "out.csv")
        with open(path, "wb") as f:
            f.write(body if own_header else CONTRACTS_HEADER + body)
        sink = io.StringIO()
        with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            try:
                code = main([path, "--rate", "0.03", "-q", "-o", out, "--chunk-size", "7"])
            except SystemExit as exit:  # argparse: not a path of this target's
                code = exit.code
        assert code in (0, 2), (code, sink.getvalue())
        # the output is the whole table or nothing
        assert (code == 0) == os.path.exists(out), sink.getvalue()


TARGETS = [reader_target, writer_target, forwards_target, command_line_target]

if os.environ.get("KELVO_FUZZ_CANARY"):  # tools/fuzz's check of its own set-up
    canary = ctypes.CDLL(os.environ["KELVO_FUZZ_CANARY"]).canary
    canary.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    TARGETS = [lambda data: canary(data, len(data))]


def test_one_input(data):
    if data:
        TARGETS[data[0] % len(TARGETS)](data[1:])


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()

"""The command line given hostile inputs and outputs: nothing lost, nothing half-written, every
bad input named with its line, never a traceback."""
import csv
import errno
import os
import subprocess
import sys
import tempfile
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from kelvo import baw_price, sample
from kelvo.cli import engine
from kelvo import cli
from kelvo.cli import main
from kelvo.cli.layouts import layout_of
from kelvo.cli.reader import read_header

S, D, F = 100.0, 0.99, 100.5


def chain_text(strikes, sigma=0.2, extra=None):
    rows = ["strike,call,put,spot,discount"]
    for k in strikes:
        rows.append(f"{k},{baw_price(S, k, D, F, sigma, 'c'):.10f},"
                    f"{baw_price(S, k, D, F, sigma, 'p'):.10f},{S},{D}")
    return "\n".join(rows) + "\n"


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture
def chain(tmp_path):
    path = tmp_path / "chain.csv"
    path.write_text(chain_text(np.arange(80, 121, 1.0)))
    return path


def _symlink(tmp_path, chain):
    link = tmp_path / f"link-{chain.name}"
    link.symlink_to(chain)
    return link


@pytest.mark.parametrize("target, code, message", [
    (lambda tmp, chain: chain, 2, "is the input file"),
    (_symlink, 2, "is the input file"),
    (lambda tmp, chain: tmp / "missing" / "out.csv", 1, "cannot write"),
    (lambda tmp, chain: tmp, 1, "is a directory"),
    (lambda tmp, chain: "/proc/kelvo-out.csv", 1, "cannot write"),
])
def test_unwritable_or_dangerous_output_is_refused_before_reading(capsys, tmp_path, chain,
                                                                  target, code, message):
    before = chain.read_bytes()
    # a bad row on line 3 would stop the run if the input were read first
    bad_chain = tmp_path / "bad.csv"
    bad_chain.write_text(chain_text([99.0]) + "100,abc,1,100,0.99\n")
    for source in (chain, bad_chain):
        destination = target(tmp_path, source)
        got, _, err = run(capsys, source, "-q", "-o", destination)
        assert (got, err.count("\n")) == (code, 1) and message in err, err
    assert chain.read_bytes() == before
    assert not [p for p in tmp_path.rglob(".*") if p.is_file()]


def _fifo_read_meanwhile(path, got):
    import threading

    os.mkfifo(path)
    thread = threading.Thread(target=lambda: got.append(open(path, "rb").read()))
    thread.start()
    return thread


def _output_cases():
    """(set-up of the target in tmp, returning (argv, check after the run)) by name."""
    def mode(tmp):
        out = tmp / "out.csv"
        out.write_text("old")
        out.chmod(0o600)
        return ["-o", out], lambda: oct(out.stat().st_mode & 0o777) == "0o600" and len(
            table(out)) == 41

    def symlink(tmp):
        real, link = tmp / "real.csv", tmp / "link.csv"
        real.write_text("old")
        link.symlink_to(real)
        return ["-o", link], lambda: link.is_symlink() and len(table(real)) == 41

    def hard_link(tmp):
        one, two = tmp / "one.csv", tmp / "two.csv"
        one.write_text("old")
        os.link(one, two)
        return ["-o", one], lambda: (os.path.samefile(one, two) and len(table(two)) == 41)

    def fifo(tmp):
        got = []
        thread = _fifo_read_meanwhile(tmp / "fifo", got)
        return ["-o", tmp / "fifo"], lambda: (thread.join(5) or True) and (
            got[0].count(b"\n") == 42 and (tmp / "fifo").is_fifo())

    def device(tmp):
        try:
            os.mknod(tmp / "null", 0o666 | 0o020000, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device needs root")
        return ["-o", tmp / "null"], lambda: (tmp / "null").is_char_device()

    return {"mode kept": mode, "symbolic link followed": symlink, "hard link kept": hard_link,
            "FIFO written in place": fifo, "device written in place": device}


@pytest.mark.parametrize("case", list(_output_cases()))
def test_outputs_go_where_they_point(capsys, tmp_path, chain, case):
    argv, check = _output_cases()[case](tmp_path)
    code, _, err = run(capsys, chain, "-q", *argv)
    assert code == 0 and check(), err
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize("argv, code, out, err", [
    (["-o", "-"], 0, "strike,call,put,spot,discount,call_sd", "forward 100.4999"),
    (["-q", "-o", "/dev/stdout"], 0, "strike,call,put,spot,discount,call_sd", ""),
    (["-q", "-o", "/dev/full"], 1, "", "cannot write /dev/full: No space left on device"),
    (["-q", "--plot", "p.txt"], 2, "", "matplotlib writes no .txt files"),
    (["-q", "-o", "same.png", "--plot", "same.png"], 2, "", "name one file"),
])
def test_standard_output_and_refused_targets(tmp_path, chain, argv, code, out, err):
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    proc = subprocess.run([sys.executable, "-P", "-m", "kelvo", str(chain), *argv],
                          capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == code and out in proc.stdout and err in proc.stderr, proc.stderr
    assert "Traceback" not in proc.stderr and not (tmp_path / "same.png").exists()


@pytest.mark.parametrize("failure", ["disk full", "interrupted"])
def test_failed_run_leaves_the_old_output(capsys, tmp_path, chain, monkeypatch, failure):
    out = tmp_path / "out.csv"
    out.write_text("the previous table\n")
    calls = {"n": 0}
    real = engine.csv_lines

    def failing(*args):
        calls["n"] += 1
        if calls["n"] == 2:
            if failure == "disk full":
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            raise KeyboardInterrupt
        return real(*args)

    monkeypatch.setattr(engine, "csv_lines", failing)
    code, _, err = run(capsys, chain, "-q", "-o", out, "--chunk-size", "10")
    assert code == (1 if failure == "disk full" else 130)
    assert err.count("\n") == 1 and ("No space left" in err or "interrupted" in err)
    assert out.read_text() == "the previous table\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["chain.csv", "out.csv"]


# standard output or standard error closed early (a pipe into head), or no standard error
@pytest.mark.parametrize("streams", ["| head -n 3", "2>&1 | head -n 1", "2>&-"])
def test_a_reader_gone_still_completes_the_file(tmp_path, streams):
    big = tmp_path / "big.csv"
    big.write_text(chain_text(np.linspace(60, 140, 3000)) + "n/a,1.0,2.0\n")  # one skipped
    out = tmp_path / "out.csv"
    script = (f"{sys.executable} -P -m kelvo {big} -o {out} --chunk-size 500 --skip-bad-rows "
              f"{streams}; echo \"exit ${{PIPESTATUS[0]}}\"")
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert proc.stdout.splitlines()[-1] == "exit 0", proc.stderr
    assert "Traceback" not in proc.stderr
    assert len(table(out)) == 3001  # the skipped row kept, without results


def test_a_full_standard_output_fails_the_run(chain):
    proc = subprocess.run(f"{sys.executable} -P -m kelvo {chain} > /dev/full", shell=True,
                          capture_output=True, text=True)
    assert proc.returncode == 1 and "No space left on device" in proc.stderr, proc.stderr


def test_standard_input_and_closed_standard_output(tmp_path, chain):
    out = tmp_path / "out.csv"
    proc = subprocess.run([sys.executable, "-P", "-m", "kelvo", "-", "-o", str(out)],
                          stdin=open(chain), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    assert proc.returncode == 0 and len(table(out)) == 41
    proc = subprocess.run(f"{sys.executable} -P -m kelvo - -o {out}2 >&-", shell=True,
                          stdin=open(chain), capture_output=True, text=True)
    assert proc.returncode == 0 and "Traceback" not in proc.stderr
    assert table(f"{out}2") == table(out)


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 1000])
def test_skipped_rows_are_the_same_whatever_the_chunks(capsys, tmp_path, chunk_size):
    lines = chain_text(np.arange(95, 106, 1.0)).splitlines()
    lines[1] = lines[1].replace(",100.0,", ",abc,")      # bad spot on the first row
    lines[6] = lines[6].replace(",0.99", ",nan")          # a discount that is not a number
    lines[9] = lines[9].replace(",100.0,", ",-5,")        # a negative spot
    path = tmp_path / "c.csv"
    path.write_text("\n".join(lines) + "\n")
    code, _, err = run(capsys, path, "--skip-bad-rows", "-q", "-o", tmp_path / "out.csv",
                       "--chunk-size", chunk_size)
    assert code == 0
    assert "skipped 3 bad rows (lines 2, 7, 10)" in err
    solved = [bool(r["call_sd"]) for r in table(tmp_path / "out.csv")]
    assert solved == [i not in (0, 5, 8) for i in range(11)]


def test_bad_rows_keep_no_chunks_alive(tmp_path):
    rows = chain_text(np.linspace(50, 150, 20000)).splitlines()
    for i in range(1, len(rows), 100):
        rows[i] = rows[i].replace(",100.0,", ",x,")
    path = tmp_path / "c.csv"
    path.write_text("\n".join(rows) + "\n")
    args = cli.parser().parse_args([str(path), "--skip-bad-rows", "--chunk-size", "100"])
    cli.options(args)
    run = engine.Run(path, layout_of(read_header(path)[0], args), args)
    tracemalloc.start()
    for _ in run.chunks(engine.FIRST_PASS):
        pass
    current, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert run.skipped.count == 200 and len(run.skipped.first) == 20
    assert current < 200_000  # what stays after the pass: 20 messages, not 200 chunks


@pytest.mark.parametrize("content, message", [
    (b"strike,call,put\n95,6.9,1.2\n100,3.2\xff,2.6\n", "line 3: the file is not UTF-8 text"),
    (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x01\x00" * 50, "not UTF-8 text"),
    (b"strike,call,put\n95,6.9,1.2\n100,\"3.2,2.6\n105,1.1,5.7\n", "line 3: cannot read"),
    (b"strike,call,put\n95,6.9,\"" + b"1" * 1_100_000 + b"\"\n", "line 2: cannot read"),
    (b"strike,call,put,spot,discount\n95,6.9,1.2,nan,0.99\n",
     "line 2: spot must be a positive number: 'nan'"),
    (b"strike,call,put,spot,expiry\n95,6.9,1.2,100,0.5\n100,3.2,2.6,100,-0.5\n",
     "line 3: expiry must be a positive number: '-0.5'"),
    (b"strike,call,put\r95,6.9,1.2\r100,3.2\xff,2.6\r", "line 3: the file is not UTF-8 text"),
])
def test_unreadable_input_is_named_with_its_line(capsys, tmp_path, content, message):
    path = tmp_path / "c.csv"
    path.write_bytes(content)
    code, _, err = run(capsys, path, "--discount", "0.99", *([] if b"spot" in content else
                                                             ["--spot", "100"]))
    assert code == 2 and message in err and err.count("\n") == 1, err


@pytest.mark.parametrize("option", ["--spot", "--discount", "--expiry"])
@pytest.mark.parametrize("value", ["nan", "inf", "0", "-1"])
def test_meaningless_numbers_on_the_command_line(option, value):
    proc = subprocess.run([sys.executable, "-P", "-m", "kelvo", str(sample.PATH), option, value,
                           "-q"], capture_output=True, text=True)
    assert proc.returncode == 2 and "positive number" in proc.stderr
    assert "Traceback" not in proc.stderr


def test_missing_quote_near_the_money_leaves_the_rest(capsys, tmp_path):
    strikes = np.arange(90, 111, 1.0)
    lines = chain_text(strikes).splitlines()
    at_the_money = 1 + list(strikes).index(100.0)
    cells = lines[at_the_money].split(",")
    cells[1] = ""                                   # the call at 100 is missing
    lines[at_the_money] = ",".join(cells)
    cells = lines[at_the_money - 1].split(",")
    cells[2] = "nan"                                # the put at 99 is NaN
    lines[at_the_money - 1] = ",".join(cells)
    path = tmp_path / "c.csv"
    path.write_text("\n".join(lines) + "\n")
    code, out, _ = run(capsys, path, "-q", "-o", tmp_path / "out.csv", "--strike-pct", "0.01")
    assert code == 0
    assert "strikes used 1" in out  # the 1 % window keeps 101 only
    assert float(out.split("forward ")[1].split()[0]) == pytest.approx(F, rel=1e-6)
    rows = {float(r["strike"]): r for r in table(tmp_path / "out.csv")}
    assert rows[100.0]["call_sd"] == "" and rows[100.0]["put_sd"] != ""
    assert rows[99.0]["put_sd"] == "" and rows[99.0]["call_sd"] != ""
    assert all(r["call_sd"] for k, r in rows.items() if k not in (99.0, 100.0))


def contracts(rows=None, symbol="AAA", spot=100.0):
    """A table of contracts: two expiries of eleven strikes each; rows edits its lines."""
    lines = ["symbol,spot,type,expiration,quote_date,strike,bid,ask"]
    for days, expiry in ((30, "2026-01-08"), (90, "2026-03-09")):
        T = days / 365
        for k in np.arange(95.0, 106.0):
            for flag in "cp":
                p = baw_price(spot, k, np.exp(-0.03 * T), spot * np.exp(0.02 * T),
                              0.25 * T ** 0.5, flag)
                lines.append(f"{symbol},{spot},{flag},{expiry},2025-12-09,{k},{p * 0.99:.4f},"
                             f"{p * 1.01:.4f}")
    for i, edit in (rows or {}).items():
        lines[i] = edit(lines[i])
    return "\n".join(lines) + "\n"


def cell(i, value):
    return lambda line: ",".join(value if j == i else c for j, c in enumerate(line.split(",")))


@pytest.mark.parametrize("text, argv, code, message", [
    # an unreadable quote date or a spot of 0 in the first row of an expiry is a bad row
    (contracts({1: cell(4, "")}), [], 2, "line 2: quote_date cannot be read: ''"),
    (contracts({1: cell(1, "0")}), [], 2, "line 2: spot must be a positive number: '0'"),
    (contracts({1: cell(1, "0")}), ["--skip-bad-rows"], 0, "skipped 1 bad row (line 2)"),
    # two underlyings under one symbol: stopped, both lines named
    (contracts() + contracts(symbol="AAA", spot=42.0).split("\n", 1)[1], [], 2,
     "differs from 100.0 in one group (AAA quoted 2025-12-09 expiring 2026-01-08)"),
    # discount factors for some expiries only, or one expiry twice
    (contracts(), ["--discount", "2026-01-08=0.99"], 2, "no discount factor for the expiry "
                                                         "2026-03-09"),
    (contracts(), ["--discount", "2026-01-08=0.99", "--expiry", "2026-01-08"], 0, ""),
    (contracts().replace("AAA", "^AAA"), ["--symbol", "AAA"], 0, ""),  # with or without ^
    (contracts(), ["--discount", "2026-01-08=0.99", "--discount", "01/08/2026=0.98"], 2,
     "gives the expiry 2026-01-08 twice"),
    (contracts(), ["--discount", "2026-01-08=0.99", "--discount", "'2026-01-08 16:00=0.98'"], 2,
     "--discount gives the expiry 2026-01-08 twice"),
    # a symbol the output's encoding cannot write is escaped, not the end of the table
    (contracts().replace("AAA", "KLVÖ"), ["env:PYTHONIOENCODING=ascii"], 0, "KLV\\xd6"),
    # blank and whitespace lines are no rows; a blank first line neither
    ("\n  \n" + contracts().replace("\n", "\n   ,  \n", 3), [], 0, ""),
    # standard input: empty, closed; a directory; a stream read once
    ("", ["stdin"], 2, "standard input is empty"),
    (None, ["stdin-closed"], 2, "standard input is closed"),
    (None, ["directory"], 2, "is a directory"),
    (contracts(), ["fifo"], 0, ""),
    # an empty name (an unset variable) is no file, not the sample or no output
    (None, ["empty-name"], 2, "the input file's name is empty"),
    (contracts(), ["-o", "''"], 2, "-o/--output: the file's name is empty"),
    (contracts(), ["--chunk-size", "inf"], 2, "'inf': a number of rows"),
    # which of two columns of one name is the spot?
    (contracts().replace("quote_date", "spot", 1), ["--quote-date", "2025-12-09"], 2,
     "2 columns are named 'spot' (spot)"),
    # an escape sequence in a cell reaches the terminal escaped
    (contracts().replace("AAA", "A\x1b[2JA"), [], 0, "A\\x1b[2JA"),
    (contracts().replace("AAA", '"A\nA"'), [], 0, "A\\nA"),  # a line feed in a quoted cell
    # another separator than the comma; a rate that looks like a percentage
    (contracts().replace(",", ";"), [], 2, "fields are separated by commas"),
    (contracts(), ["--rate", "3"], 0, "--rate 3 is 300 % a year (0.03 would be 3 %)"),
    (contracts({1: cell(5, "x")}), [], 2, "(--skip-bad-rows passes over such rows)"),
])
def test_nothing_lost_without_a_word(tmp_path, text, argv, code, message):
    path = tmp_path / "table.csv"
    if text is not None:
        path.write_text(text, encoding="utf-8")
    env = dict(os.environ)
    for arg in [a for a in argv if a.startswith("env:")]:
        env.update([arg[4:].split("=", 1)])
    argv = [a for a in argv if not a.startswith("env:")]
    stdin, source = subprocess.DEVNULL, str(path)
    if "stdin" in argv or "stdin-closed" in argv:
        stdin = open(path) if "stdin" in argv else None
        source = "-"
    elif "directory" in argv:
        source = str(tmp_path)
    elif "fifo" in argv:
        source = f"<(cat {path})"
    elif "empty-name" in argv:
        source = "''"
    argv = [a for a in argv if a not in ("stdin", "stdin-closed", "directory", "fifo",
                                         "empty-name")]
    rate = [] if "--discount" in argv else ["--rate", "0.03"]
    command = [sys.executable, "-P", "-m", "kelvo", source, *rate, *argv]
    shell = " ".join(command) + (" <&-" if stdin is None else "")
    proc = subprocess.run(["bash", "-c", shell], stdin=stdin, capture_output=True,
                          text=True, env=env)
    assert proc.returncode == code and message in proc.stdout + proc.stderr, proc.stderr
    assert "Traceback" not in proc.stderr
    if code == 0 and "--skip-bad-rows" not in argv:
        # the table of the rows selected, the summary (blank rows are no rows)
        rows, groups = (22, 1) if "--expiry" in argv else (44, 2)
        assert len([line for line in proc.stdout.splitlines() if line.strip()]) == (
            1 + rows + 1 + groups)
    assert not list(Path(tempfile.gettempdir()).glob("kelvo-stdin-*"))


def test_a_file_changed_between_the_passes_is_refused(tmp_path, monkeypatch, capsys):
    path = tmp_path / "table.csv"
    path.write_text(contracts())
    first_pass = engine.Run.first_pass

    def rewritten(run):
        first_pass(run)
        path.write_text(contracts(spot=120.0))

    monkeypatch.setattr(engine.Run, "first_pass", rewritten)
    code, _, err = run(capsys, path, "--rate", "0.03", "-q")
    assert code == 2 and "the file changed while it was read" in err


def with_note(text, note):
    header, *rows = text.splitlines()
    return "\n".join([header + ",note"] + [row + "," + note for row in rows]) + "\n"


def _bounds_cases():
    def chunk_bytes(tmp, monkeypatch):
        from kelvo.cli import reader

        monkeypatch.setattr(reader, "CHUNK_BYTES", 20_000)
        path = tmp / "wide.csv"
        path.write_text(with_note(contracts(), "n" * 2000))
        with reader.RecordReader(path) as r:
            header, _ = r.header()
            sizes = [len(c) for c in iter(lambda: r.read(len(header), (), (), 16384), None)]
        return sum(sizes) == 44 and max(sizes) <= 10

    def blank_lines(tmp, monkeypatch):
        from kelvo.cli import reader

        path = tmp / "blanks.csv"
        text = contracts()
        path.write_text(text[:text.index("\n") + 1] + "\n" * 3_000_000 + text[text.index("\n") + 1:])
        held = []
        fill = reader.RecordReader._fill

        def watched(self, count):
            fill(self, count)
            held.append(len(self.text) - self.position)

        monkeypatch.setattr(reader.RecordReader, "_fill", watched)
        with reader.RecordReader(path) as r:
            header, _ = r.header()
            records = r.read(len(header), (), (), 16384)
        return len(records) == 44 and max(held) < 1_500_000

    def long_cell_printed(tmp, monkeypatch):
        path = tmp / "long.csv"
        path.write_text(with_note(contracts(), '"' + "x" * 200_000 + '"'))
        return main([str(path), "--rate", "0.03"]) == 0

    def bad_first_row_whatever_the_chunks(tmp, monkeypatch):
        path = tmp / "bad.csv"
        path.write_text(contracts({1: cell(3, "soon")}))
        return all(main([str(path), "--rate", "0.03", "-q", "--skip-bad-rows", "--chunk-size",
                         size]) == 0 for size in ("1", "16384"))

    return {"chunks bounded in bytes": chunk_bytes, "blank lines not held": blank_lines,
            "a long cell printed": long_cell_printed,
            "a bad first row, whatever the chunks": bad_first_row_whatever_the_chunks}


@pytest.mark.parametrize("case", list(_bounds_cases()))
def test_bounded_whatever_the_input(tmp_path, monkeypatch, capsys, case):
    assert _bounds_cases()[case](tmp_path, monkeypatch)
    err = capsys.readouterr().err
    assert "Traceback" not in err
    if "bad first row" in case:
        assert err.count("skipped 1 bad row (line 2)") == 2

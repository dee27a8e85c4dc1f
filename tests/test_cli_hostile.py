"""The command line given hostile inputs and outputs: nothing lost, nothing half-written, every
bad input named with its line, never a traceback."""
import csv
import errno
import os
import subprocess
import sys
import tracemalloc

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


def test_broken_pipe_still_completes_the_file(tmp_path):
    big = tmp_path / "big.csv"
    big.write_text(chain_text(np.linspace(60, 140, 3000)))
    out = tmp_path / "out.csv"
    script = (f"{sys.executable} -P -m kelvo {big} -o {out} --chunk-size 500 | head -n 3 "
              "; echo \"exit ${PIPESTATUS[0]}\"")
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert proc.stdout.splitlines()[-1] == "exit 0", proc.stderr
    assert "Traceback" not in proc.stderr
    assert len(table(out)) == 3000


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

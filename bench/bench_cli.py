"""Rows per second of `kelvo FILE -q -o OUT` against the bare throughput of
kelvo._arrays.vectorized_baw_implied_vol on every core on the same quotes, and the command's
peak memory for two file sizes at one chunk size.
With --before PYTHON, an interpreter with an earlier kelvo installed runs the same command on
the larger file, in turns with this one (three runs each), for the ratio of their speeds.

    python3 bench/bench_cli.py [--rows 1000000] [--chunk-size 16384] [--before PYTHON]
"""
import argparse
import csv
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from kelvo._arrays import vectorized_baw_implied_vol

HERE = Path(__file__).resolve().parent


def make(path, rows):
    subprocess.run([sys.executable, "-P", str(HERE / "make_big_chain.py"), str(path), "--rows",
                    str(rows)], check=True)


def run_cli(path, out, chunk_size, extra=(), python=sys.executable):
    """Seconds and peak resident memory (MB) of one command-line run in a fresh process."""
    argv = [str(path), "-q", "-o", str(out), "--chunk-size", str(chunk_size), *extra]
    # VmHWM, not getrusage's ru_maxrss: Linux carries ru_maxrss over from the parent through
    # fork and exec, so a parent holding a large table would be counted as the child's peak.
    code = ("import re, sys, time\n"
            "from kelvo.cli import main\n"
            "start = time.perf_counter()\n"
            f"code = main({argv!r})\n"
            "seconds = time.perf_counter() - start\n"
            "status = open('/proc/self/status').read()\n"
            "print(seconds, re.search(r'VmHWM:\\s*(\\d+) kB', status).group(1))\n"
            "sys.exit(code)")
    proc = subprocess.run([python, "-P", "-c", code], capture_output=True, text=True,
                          check=True)
    seconds, rss_kb = proc.stdout.splitlines()[-1].split()
    return float(seconds), float(rss_kb) / 1024


def bare(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    K = np.array([float(r["strike"]) for r in rows])
    n = len(K)
    prices = np.concatenate([[float(r["call"]) for r in rows], [float(r["put"]) for r in rows]])
    S, D = np.full(2 * n, 100.0), np.full(2 * n, float(rows[0]["discount"]))
    F = np.full(2 * n, 101.005)
    flags = np.array(["c"] * n + ["p"] * n)
    start = time.perf_counter()
    vectorized_baw_implied_vol(prices, S, np.concatenate([K, K]), D, F, flags)
    return time.perf_counter() - start


def compare(make, bare, rows, chunk_size, extra=(), unit="rows", per_row="two inversions a row",
            before=None, repeat=3):
    """The command's rows/s and peak memory on tables of rows // 5 and rows (make(path, n) writes
    one and may return its row count), and on the larger one the command against the bare
    throughput, in turns, repeat times (the ratio of the medians, and of each turn); with before,
    the rows/s of another interpreter's kelvo against this one's, in turns."""
    with tempfile.TemporaryDirectory() as tmp:
        results = []
        for size in (rows // 5, rows):
            path = Path(tmp) / f"table{size}.csv"
            n = make(path, size) or size
            seconds, rss = run_cli(path, Path(tmp) / "out.csv", chunk_size, extra)
            results.append((n, seconds, rss, path))
        for n, seconds, rss, _ in results:
            print(f"{n} {unit}: {n / seconds:10.0f} rows/s, peak RSS {rss:6.1f} MB")
        n, seconds, _, path = results[-1]
        command, bares = [seconds], [bare(path)]
        for _ in range(repeat - 1):
            command.append(run_cli(path, Path(tmp) / "out.csv", chunk_size, extra)[0])
            bares.append(bare(path))
        t_command, t_bare = sorted(command)[len(command) // 2], sorted(bares)[len(bares) // 2]
        print(f"bare vectorized_baw_implied_vol on every core, same quotes: {n / t_bare:10.0f} "
              f"rows/s ({per_row}); command {n / t_command:10.0f} rows/s; command / bare = "
              f"{t_bare / t_command:.2f} (medians of {repeat} in turns; each turn: "
              + ", ".join(f"{b / c:.2f}" for b, c in zip(bares, command)) + ")")
        if before:
            times = {"before": [], "this": []}
            for _ in range(3):
                for name, python in (("before", before), ("this", sys.executable)):
                    times[name].append(run_cli(path, Path(tmp) / "out.csv", chunk_size, extra,
                                               python)[0])
            median = {name: sorted(t)[1] for name, t in times.items()}
            print(f"{n} {unit}, medians of three in turns: before {n / median['before']:10.0f} "
                  f"rows/s, this {n / median['this']:10.0f} rows/s; this / before = "
                  f"{median['before'] / median['this']:.3f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--chunk-size", type=int, default=16384)
    parser.add_argument("--before", help="an interpreter with an earlier kelvo, to compare")
    args = parser.parse_args()
    compare(make, bare, args.rows, args.chunk_size, before=args.before)


if __name__ == "__main__":
    main()

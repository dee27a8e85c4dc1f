"""The native threads of kelvo._arrays: (a) each array function on n mixed quotes with threads=2
against threads=1, in turns, five rounds (the ratio of the medians; target >= 1.85 for the
implied vol on 2 cores); (b) where the default choice starts to use threads: microseconds per
call of the implied vol and the European price on small arrays at threads=1, 2 and the default;
(c) Ctrl-C: the time from SIGINT to KeyboardInterrupt in a threaded implied vol and in threaded
forward searches, three times each; (d) Ctrl-C in the command line on a table of contracts, at
times spread over a run: the time from SIGINT to its "interrupted" message, by the pass it was
in (the second when the output's temporary file has its header).

    python3 bench/bench_threads.py [--n 200000] [--threads 2] [--cli-rows 200000]
"""
import argparse
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_iv import mixed_quotes  # noqa: E402

from kelvo import _arrays as a  # noqa: E402


def in_turns(calls, rounds=5):
    """Median seconds of each call, the calls run in turns round after round."""
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def scaling(n, threads):
    prices, S, K, D, F, flags, sigma = mixed_quotes(n)
    flags = np.array(flags)
    functions = {
        "vectorized_baw_implied_vol": (a.vectorized_baw_implied_vol, (prices, S, K, D, F)),
        "vectorized_baw_price": (a.vectorized_baw_price, (S, K, D, F, sigma)),
        "vectorized_baw_greeks": (a.vectorized_baw_greeks, (S, K, D, F, sigma)),
        "vectorized_european_implied_vol": (a.vectorized_european_implied_vol,
                                            (prices, S, K, D, F)),
        "vectorized_european_price": (a.vectorized_european_price, (S, K, D, F, sigma)),
    }
    print(f"(a) {n} mixed quotes, threads={threads} against threads=1 in turns, medians of 5")
    for name, (function, inputs) in functions.items():
        t = in_turns({k: (lambda k=k: function(*inputs, flags, threads=k)) for k in (1, threads)})
        print(f"    {name:32s} {t[1] / n * 1e6:7.3f} us per quote on one thread, "
              f"x{t[1] / t[threads]:.2f} on {threads}")


def small_arrays():
    print("(b) small arrays, us per call: threads=1 / 2 / default")
    prices, S, K, D, F, flags, sigma = mixed_quotes(16384, seed=3)
    flags = np.array(flags)
    for name, function, first in (("baw implied vol", a.vectorized_baw_implied_vol, prices),
                                  ("european price", a.vectorized_european_price, S)):
        for n in (64, 256, 1024, 4096, 16384):
            if name == "european price":
                inputs = (S[:n], K[:n], D[:n], F[:n], sigma[:n])
            else:
                inputs = (first[:n], S[:n], K[:n], D[:n], F[:n])
            repeat = max(3, 200_000 // n)
            t = {}
            for k in (1, 2, None):
                best = float("inf")
                for _ in range(5):
                    start = time.perf_counter()
                    for _ in range(repeat // 5):
                        function(*inputs, flags[:n], threads=k)
                    best = min(best, (time.perf_counter() - start) / (repeat // 5))
                t[k] = best * 1e6
            print(f"    {name:16s} n={n:6d}: {t[1]:9.1f} / {t[2]:9.1f} / {t[None]:9.1f}")


CHILD = """
import sys, time, numpy as np
from kelvo import baw_price
from kelvo._arrays import group_forwards, vectorized_baw_implied_vol
if sys.argv[1] == "iv":
    n = 4_000_000
    args = (np.full(n, 5.0), np.full(n, 100.0), np.full(n, 100.0), np.full(n, 0.99),
            np.full(n, 100.0), np.full(n, "c"))
    call = lambda: vectorized_baw_implied_vol(*args)
else:
    strikes = np.linspace(50, 150, 4_000)
    calls, puts = (np.array([baw_price(100, k, 0.99, 100, 0.2, f) for k in strikes]) for f in "cp")
    groups = 16
    call = lambda: group_forwards(
        np.tile(calls, groups), np.tile(puts, groups), np.tile(strikes, groups),
        np.arange(groups + 1) * len(strikes), np.full(groups, 100.0), np.full(groups, 0.99),
        np.ones(groups, dtype=np.int64))
print("ready", flush=True)
try:
    call()
except KeyboardInterrupt:
    print(time.perf_counter(), flush=True)
"""


def sigint_default():
    """SIGINT as the system leaves it, so that the child's Python raises KeyboardInterrupt also
    when this benchmark runs in the background (where the shell ignores SIGINT for its
    children)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def interrupt_latency():
    print("(c) Ctrl-C during a call on every core: ms from SIGINT to KeyboardInterrupt")
    for what in ("iv", "forwards"):
        latencies = []
        for _ in range(3):
            child = subprocess.Popen([sys.executable, "-P", "-c", CHILD, what],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=sigint_default)
            try:
                child.stdout.readline()
                time.sleep(0.5)
                sent = time.perf_counter()  # CLOCK_MONOTONIC, shared with the child
                child.send_signal(signal.SIGINT)
                out, err = child.communicate(timeout=60)
            finally:
                child.kill()
                child.wait()
            try:
                latencies.append(f"{(float(out) - sent) * 1e3:6.1f}")
            except ValueError:
                latencies.append(f"(no interrupt: exit {child.returncode} {err[-300:]!r})")
        print(f"    {what:9s} " + "  ".join(latencies))


def cli_interrupt_latency(rows, points=8):
    from bench_chain_cli import RATE, make

    print(f"(d) Ctrl-C in `kelvo FILE -q -o OUT` on {rows} contracts: ms from SIGINT to its "
          "message")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "table.csv"
        make(path, rows)
        out_dir = Path(tmp) / "out"
        out_dir.mkdir()
        argv = [sys.executable, "-P", "-m", "kelvo", str(path), "--rate", str(RATE), "-q", "-o",
                str(out_dir / "out.csv")]
        start = time.perf_counter()
        subprocess.run(argv, check=True, capture_output=True)
        whole = time.perf_counter() - start
        (out_dir / "out.csv").unlink()
        print(f"    a whole run: {whole:.2f} s")
        for k in range(points):
            child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True, preexec_fn=sigint_default)
            try:
                child.stderr.readline()  # the columns line: the first pass has begun
                time.sleep(whole * (k + 0.5) / points)
                second = any(f.stat().st_size > 0 for f in out_dir.iterdir())
                sent = time.perf_counter()
                child.send_signal(signal.SIGINT)
                message = child.stderr.readline()
                latency = (time.perf_counter() - sent) * 1e3
            finally:
                child.kill()
                child.wait()
            if "interrupted" not in message:
                print(f"    at {whole * (k + 0.5) / points:5.2f} s: finished first ({message!r})")
                continue
            print(f"    at {whole * (k + 0.5) / points:5.2f} s ({'second' if second else 'first'} "
                  f"pass): {latency:6.1f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--cli-rows", type=int, default=200_000)
    args = parser.parse_args()
    scaling(args.n, args.threads)
    small_arrays()
    interrupt_latency()
    if args.cli_rows:
        cli_interrupt_latency(args.cli_rows)


if __name__ == "__main__":
    main()

"""Eight threads calling every function on shared inputs (the array functions with native
threads of their own) while other threads rewrite a flags list being read. Under a GIL this
interleaves the threads at every switch point; on a free-threaded interpreter with the GIL off
they run truly in parallel."""
import random
import sys
import threading

import numpy as np
import pytest

from kelvo import _arrays as a
from kelvo import baw_core as m
from kelvo.sample import DISCOUNT, FORWARD, SPOT, STRIKES, total_sigma

N = 400
THREADS = 8
ROUNDS = 12


class CallByEquality:
    """A flag that runs Python code when compared, so the reading thread can lose the
    interpreter in the middle of a flags list."""

    def __eq__(self, other):
        return other == "c"

    __hash__ = object.__hash__


def frozen(values):
    array = np.array(values, dtype=float)
    array.setflags(write=False)
    return array


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_shared_inputs_under_concurrent_calls(fast_switching):
    rng = np.random.default_rng(7)
    K = frozen(rng.uniform(60, 140, N))
    S, D, F = frozen(np.full(N, SPOT)), frozen(np.full(N, DISCOUNT)), frozen(np.full(N, 101.0))
    prices = frozen(np.where(rng.random(N) < 0.05, np.nan, rng.uniform(0, 30, N)))
    flags = ["c" if i % 3 else "p" for i in range(N)]
    calls, puts = (frozen([m.baw_price(SPOT, k, DISCOUNT, FORWARD, total_sigma(k), flag)
                           for k in STRIKES]) for flag in "cp")
    strikes = frozen(STRIKES)

    serial_iv = m.vectorized_baw_implied_vol(prices, S, K, D, F, flags).tobytes()
    as_call = m.vectorized_baw_implied_vol(prices, S, K, D, F, ["c"] * N)
    as_put = m.vectorized_baw_implied_vol(prices, S, K, D, F, ["p"] * N)
    serial_forward = m.find_forward_baw(calls, puts, strikes, SPOT, DISCOUNT, 0.05)
    scalar_args = [(SPOT, k, DISCOUNT, FORWARD, total_sigma(k), flag)
                   for k in STRIKES[::4] for flag in "cp"]
    serial_scalar = [(m.baw_price(*a), m.baw_implied_vol(m.baw_price(*a), *a[:4], a[5]))
                     for a in scalar_args]

    churn = [CallByEquality() if i % 2 else "p" for i in range(N)]
    stop = threading.Event()
    tally = {"calls": 0, "mismatches": 0, "short": 0, "errors": []}
    lock = threading.Lock()

    def mutate(seed):
        r = random.Random(seed)
        while not stop.is_set():
            i = r.randrange(N)
            try:
                churn[i] = r.choice(["c", "p", CallByEquality(), None])
            except IndexError:  # the other mutator has the list one short just now
                continue
            if r.random() < 0.01:
                churn.append("c")
                del churn[r.randrange(len(churn))]
                if r.random() < 0.5:
                    churn.pop()  # one short until the next append
                    churn.append("p")

    def work():
        try:
            for _ in range(ROUNDS):
                got_iv = m.vectorized_baw_implied_vol(prices, S, K, D, F, flags).tobytes()
                # native threads of its own inside each of the threads
                got_pooled = a.vectorized_baw_implied_vol(prices, S, K, D, F, flags,
                                                          threads=3).tobytes()
                got_forward = m.find_forward_baw(calls, puts, strikes, SPOT, DISCOUNT, 0.05)
                got_scalar = [(m.baw_price(*a), m.baw_implied_vol(m.baw_price(*a), *a[:4], a[5]))
                              for a in scalar_args]
                try:
                    mixed = m.vectorized_baw_implied_vol(prices, S, K, D, F, churn)
                    # each element read as one flag or another: a call's or a put's volatility
                    each_ok = bool(np.all((mixed == as_call) | (mixed == as_put)
                                          | (np.isnan(mixed) & np.isnan(as_call))))
                except ValueError:
                    each_ok, mixed = True, None
                with lock:
                    tally["calls"] += 4
                    tally["short"] += mixed is None
                    tally["mismatches"] += ((got_iv != serial_iv) + (got_pooled != serial_iv)
                                            + (got_scalar != serial_scalar)
                                            + (got_forward != serial_forward) + (not each_ok))
        except Exception as error:  # reported below, with the thread's results
            tally["errors"].append(error)

    mutators = [threading.Thread(target=mutate, args=(seed,)) for seed in range(2)]
    workers = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in mutators + workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    for t in mutators:
        t.join()
    assert tally["errors"] == []
    assert tally["calls"] == 4 * THREADS * ROUNDS
    assert tally["mismatches"] == 0


def test_table_reader_writer_and_forwards_under_concurrent_calls(fast_switching):
    # the command line calls these from its reading thread and its workers at once
    from kelvo._arrays import csv_lines, group_forwards, scan_csv

    rows = [f'"S{i % 7}",{100 + i % 13}.25,{"cp"[i % 2]},2026-0{1 + i % 9}-15,{i * 0.37:.6g}'
            for i in range(N)]
    text = ("\r\n".join(rows) + "\n").encode()
    near = STRIKES[18:24]  # two groups of three strikes near the money
    calls, puts = (frozen([m.baw_price(SPOT, k, DISCOUNT, FORWARD, total_sigma(k), flag)
                           for k in near]) for flag in "cp")
    bounds = np.array([0, 3, 6])
    strikes = frozen(near)

    def once():
        scanned = scan_csv(text, 0, 1, True, 5, (1, 4), (0, 2, 3), N)
        starts, ends, pads = scanned[2:5]
        lines = csv_lines(text, starts, ends, pads, list(scanned[6]))
        forwards = group_forwards(calls, puts, strikes, bounds, [SPOT] * 2, [DISCOUNT] * 2, [1, 0])
        return repr(scanned[:2]), scanned[7][0].tobytes(), scanned[8], lines, [
            f.tobytes() for f in forwards]

    serial = once()
    results, errors = [], []

    def work():
        try:
            results.extend(once() == serial for _ in range(ROUNDS))
        except Exception as error:  # reported below
            errors.append(error)

    workers = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert errors == [] and results == [True] * (THREADS * ROUNDS)

"""The native reader, writer and batched forwards under hostile callers: arguments out of range,
index arrays rewritten by another thread while the native code runs detached, allocations that
fail. Each must end in a Python exception or the right answer, never a crash."""
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import kelvo._arrays
from kelvo._arrays import csv_lines, group_forwards, scan_csv

G, PER = 40, 5


def chains():
    n = G * PER
    return (np.full(n, 5.0), np.full(n, 4.0), np.tile(np.linspace(95, 105, PER), G),
            np.arange(0, n + 1, PER, dtype=np.int64), np.full(G, 100.0), np.full(G, 0.99))


def bounds_rewritten_after_the_check(monkeypatch):
    """The issue's race_gf.py made deterministic: the bounds and searches are rewritten by the
    last NumPy call group_forwards makes before it detaches, after it has checked them."""
    calls, puts, strikes, bounds, S, D = chains()
    search = np.ones(G, np.int64)
    expected = group_forwards(calls, puts, strikes, bounds, S, D, search)

    class Rewriting:
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, *args, **kwargs):
            bounds[-2:] = 10**9 - 1, 10**9
            search[:] = 1 << 40  # an index into the table of searches
            return np.zeros(*args, **kwargs)

    monkeypatch.setattr(kelvo._arrays, "np", Rewriting())
    got = group_forwards(calls, puts, strikes, bounds, S, D, search)
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(a, b)


def spans_rewritten_by_a_thread(monkeypatch):
    """csv_lines' last span pushed far outside the text (most of the time) and back by another
    thread, at a 1 us switch interval, while the lines are written detached: every call either
    refuses the span or writes the lines of the spans as they were."""
    n = 50_000
    text = b"".join(b"row%05d" % (i % 10**5) for i in range(n))
    starts = np.arange(n, dtype=np.int64) * 8
    ends, pads, column = starts + 8, np.zeros(n, np.int64), np.arange(n, dtype=float)
    expected = csv_lines(text, starts, ends, pads, [column])
    done = threading.Event()

    def writer():
        while not done.is_set():
            ends[-1] = 10**12
            ends[-1], ends[-1], ends[-1] = 10**12, 10**12, len(text)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(40):
            try:
                assert csv_lines(text, starts, ends, pads, [column]) == expected
            except ValueError as error:
                assert str(error) in (f"record {n - 1} does not lie in the text", "csv_lines(): "
                                      f"record {n - 1} changed while the lines were written")
    finally:
        done.set()
        thread.join()
        sys.setswitchinterval(interval)


ALLOCATIONS = """
    import resource, sys
    import numpy as np
    from kelvo._arrays import csv_lines, group_forwards, scan_csv
    text = b"1\\n" * 20_000_000
    rows = np.full(10_000_000, 5.0)
    bounds, search = np.zeros(10_000_001, np.int64), np.ones(10_000_000, np.int64)
    columns = [0] * 10_000_000
    calls = [
        lambda: scan_csv(b"a", 0, 1, True, 1, columns, [], 1),
        lambda: scan_csv(text, 0, 1, True, 1, [0], [], 10**9),
        lambda: csv_lines(b"x", np.zeros(1000, np.int64), np.ones(1000, np.int64),
                          np.zeros(1000, np.int64), [np.zeros(1000)] * 20_000),
        lambda: group_forwards(rows[:1], rows[:1], rows[:1], bounds, rows, rows, search),
    ]
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
    for call in calls:
        try:
            call()
        except MemoryError:
            print("MemoryError")
"""


def allocations_fail():
    """Each entry's allocations past an address-space limit: MemoryError, never an abort."""
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("a sanitizer's allocator ends the process on a failed allocation")
    child = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(ALLOCATIONS)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["MemoryError"] * 4


def many_fields():
    """A header of 2**31 - 1 fields costs nothing: a record of a one-byte text holds one."""
    _, _, starts, ends, pads, _, (numbers,), _, _ = scan_csv(b"7", 0, 1, True, 2**31 - 1,
                                                             [2**31 - 2], [], 1)
    assert (starts.tolist(), ends.tolist(), pads.tolist()) == ([0], [1], [2**31 - 2])
    assert np.isnan(numbers).all()


def call(function, *args):
    return lambda monkeypatch: function(*args)


TEXT = b"a,b\n1,2\n"
SPANS = (b"ab", np.array([0]), np.array([2]), np.array([0]))

HOSTILE = {
    # the reproducers
    "group_forwards bounds and search rewritten": (bounds_rewritten_after_the_check, None),
    "csv_lines spans rewritten": (spans_rewritten_by_a_thread, None),
    "scan_csv 2**40 fields": (call(scan_csv, b"a", 0, 1, True, 2**40, [], [], 1),
                              (ValueError, "n_fields must be from 1 to 2147483647, not 1099511627776")),
    "scan_csv 2**31 - 1 fields": (lambda monkeypatch: many_fields(), None),
    "scan_csv line 2**63 - 1": (call(scan_csv, TEXT, 0, 2**63 - 1, True, 2, [], [], 9),
                                (OverflowError, "counting lines from 9223372036854775807 over "
                                                "the 8 bytes ahead would overflow")),
    # every size and counter in range
    "scan_csv line 2**63": (call(scan_csv, TEXT, 0, 2**63, True, 2, [], [], 9),
                            (OverflowError, "line=9223372036854775808 does not fit in 64 bits")),
    "scan_csv line -1": (call(scan_csv, TEXT, 0, -1, True, 2, [], [], 9),
                         (ValueError, "line must be from 0 to 9223372036854775807, not -1")),
    "scan_csv position past the text": (call(scan_csv, TEXT, 9, 1, True, 2, [], [], 9),
                                        (ValueError, "position must be from 0 to 8, not 9")),
    "scan_csv records -1": (call(scan_csv, TEXT, 0, 1, True, 2, [], [], -1),
                            (ValueError, "max_records must be from 0 to")),
    "scan_csv column past the fields": (call(scan_csv, TEXT, 0, 1, True, 2, [0], [2], 9),
                                        (ValueError, "a column must be from 0 to 1, not 2")),
    "scan_csv column twice": (call(scan_csv, TEXT, 0, 1, True, 2, [1], [1], 9),
                              (ValueError, "column 1 is asked for twice")),
    "scan_csv column not an int": (call(scan_csv, TEXT, 0, 1, True, 2, [0.0], [], 9),
                                   (TypeError, "cannot be interpreted as an integer")),
    "csv_lines span past the text": (call(csv_lines, *SPANS[:2], np.array([3]), SPANS[3], [np.zeros(1)]),
                                     (ValueError, "record 0 does not lie in the text")),
    "csv_lines negative pad": (call(csv_lines, *SPANS[:3], np.array([-1]), [np.zeros(1)]),
                               (ValueError, r"pads\[0\] must be from 0 to 2147483647, not -1")),
    "group_forwards bounds past the rows": (
        call(group_forwards, [1.0], [1.0], [1.0], [0, 2], [1.0], [1.0], [1]),
        (ValueError, "bounds of group 0 are not within the rows")),
    "allocation failure": (lambda monkeypatch: allocations_fail(), None),
}


@pytest.mark.parametrize("run, error", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_calls_raise_or_answer(monkeypatch, run, error):
    if error is None:
        run(monkeypatch)
        return
    with pytest.raises(error[0], match=error[1]):
        run(monkeypatch)


"""Nanoseconds per baw_price call: the intrinsic fast path against math.hypot with six floats,
and the full American price against QuantLib's BAW engine.

    python3 bench/bench_price.py
"""
import math
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from quantlib_baw import QuantLibBAW, ql  # noqa: E402

from kelvo.baw_core import baw_price  # noqa: E402


def per_call(stmt, setup_globals, number=200_000, repeat=7):
    return min(timeit.repeat(stmt, globals=setup_globals, number=number, repeat=repeat)) / number


def main():
    g = dict(baw_price=baw_price, hypot=math.hypot, S=110.0, K=100.0, D=0.98, F=111.0,
             zero=0.0, sigma=0.25, flag="c", six=(1.0, 2.0, 3.0, 4.0, 5.0, 6.0))
    fast = per_call("baw_price(S, K, D, F, zero, flag)", g)
    hypot = per_call("hypot(1.0, 2.0, 3.0, 4.0, 5.0, 6.0)", g)
    full_call = per_call("baw_price(S, K, D, F, sigma, flag)", g, number=20_000)
    g["flag"] = "p"
    full_put = per_call("baw_price(S, K, D, F, sigma, flag)", g, number=20_000)
    print(f"baw_price, sigma = 0 (fast path): {fast * 1e9:7.1f} ns")
    print(f"math.hypot, six floats:           {hypot * 1e9:7.1f} ns   ratio {fast / hypot:.2f}")
    print(f"baw_price, full American call:    {full_call * 1e6:7.3f} us")
    print(f"baw_price, full American put:     {full_put * 1e6:7.3f} us")
    if ql is None:
        print("QuantLib not installed (pip install QuantLib, or Debian's quantlib-python)")
        return
    engine = QuantLibBAW()
    engine.price(110.0, 100.0, 0.98, 111.0, 0.25, True)
    qlg = dict(engine=engine)
    q_call = per_call("engine.price(110.0, 100.0, 0.98, 111.0, 0.25, True)", qlg, number=5_000)
    q_put = per_call("engine.price(110.0, 100.0, 0.98, 111.0, 0.25, False)", qlg, number=5_000)
    print(f"QuantLib BAW NPV, call:           {q_call * 1e6:7.3f} us   kelvo faster x{q_call / full_call:.1f}")
    print(f"QuantLib BAW NPV, put:            {q_put * 1e6:7.3f} us   kelvo faster x{q_put / full_put:.1f}")
    ours = baw_price(110.0, 100.0, 0.98, 111.0, 0.25, "c")
    theirs = engine.price(110.0, 100.0, 0.98, 111.0, 0.25, True)
    print(f"same option: kelvo {ours:.8f}  QuantLib {theirs:.8f}")


if __name__ == "__main__":
    main()

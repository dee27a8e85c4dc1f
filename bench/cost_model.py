"""The cost of one implied volatility on the benchmark grid against the arithmetic it needs.

A counting build of the kernel inverts the grid of bench_iv.py once and counts, per implied
volatility, the American prices, critical-price evaluations and erfc, exp, log and pow calls;
the same run times each of those functions on the arguments the kernel gave it, both as
independent calls free to overlap (throughput) and as a chain where each call waits for the one
before (latency). The limit is counts x costs, with the throughput costs (the lower limit, which
the targets use) and with the latency costs; the measured time per implied volatility (plain
build, best of 5) is set beside both.

    python3 -P bench/cost_model.py [--n 100000]
"""
import argparse
import platform
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_iv import mixed_quotes  # noqa: E402
from native import build_kernel_bench, run  # noqa: E402

FUNCTIONS = ("erfc", "exp", "log", "pow")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("-D", dest="defines", action="append", default=[],
                        help="a macro for both builds, e.g. -D KELVO_CODY_ERFC")
    args = parser.parse_args()
    prices, S, K, D, F, flags, _ = mixed_quotes(args.n)
    q = np.where(np.array(flags) == "c", 1.0, -1.0)
    with tempfile.TemporaryDirectory() as tmp:
        plain = build_kernel_bench(tmp, defines=args.defines)
        counting = build_kernel_bench(tmp, defines=["KELVO_COUNT_CALLS", *args.defines],
                                      name="kernel_count")
        if plain is None:
            sys.exit("needs a C++ compiler and python3-config for this interpreter")
        data = Path(tmp) / "grid.bin"
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(data)
        n, american, critical, *rest = run(counting, "cost", data)
        counts, overlapped, chained = rest[:4], rest[4::2], rest[5::2]
        measured_us = run(plain, "iv", data)[0]
    limit_ns = sum(c * t for c, t in zip(counts, overlapped))
    chained_ns = sum(c * t for c, t in zip(counts, chained))
    print(f"glibc {platform.libc_ver()[1]}, {int(n)} implied vols on the grid"
          + (f", built with {' '.join(args.defines)}" if args.defines else ""))
    print(f"per implied vol: {american:.2f} American prices, {critical:.2f} critical-price evaluations")
    print(f"{'function':>8} {'calls/IV':>10} {'ns/call':>8} {'ns/IV':>9} {'chained ns/call':>16}")
    for name, c, t, u in zip(FUNCTIONS, counts, overlapped, chained):
        print(f"{name:>8} {c:10.2f} {t:8.2f} {c * t:9.1f} {u:16.2f}")
    print(f"limit {limit_ns / 1e3:.3f} us per implied vol (chained: {chained_ns / 1e3:.3f} us); "
          f"measured {measured_us:.3f} us = {measured_us * 1e3 / limit_ns:.2f} x the limit")

if __name__ == "__main__":
    main()

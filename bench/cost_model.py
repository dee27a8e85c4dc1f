"""The cost of one implied volatility on the benchmark grid against the arithmetic it needs.

A counting build of the kernel inverts the grid of bench_iv.py once and counts, per implied
volatility, the American prices, critical-price evaluations and erfc, exp, log and pow calls;
the same run times each of those functions on the arguments the kernel gave it, both as
independent calls free to overlap (throughput) and as a chain where each call waits for the one
before (latency). The limit is counts x costs, with the throughput costs (the lower limit, which
the targets use) and with the latency costs; the measured time per implied volatility (plain
build, best of 5) is set beside both.

    python3 bench/cost_model.py [--n 100000] [--before REV | --before-tree DIR]

With --before (or --before-tree, a copy of that revision where git is not at hand) the same is
measured for the earlier kernel, with its own benchmark, and the two are set side by side.
"""
import argparse
import platform
import subprocess
import sys
import tarfile
import tempfile
from io import BytesIO
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_iv import mixed_quotes  # noqa: E402
from native import build_kernel_bench, package_in, run  # noqa: E402

FUNCTIONS = ("erfc", "exp", "log", "pow")


def measure(tmp, data, defines, label, kernel_root=None, bench_root=None):
    """Counts per implied vol, libm costs and the measured time of one kernel."""
    plain = build_kernel_bench(tmp, defines=defines, name=f"plain_{label}",
                               kernel_root=kernel_root, bench_root=bench_root)
    counting = build_kernel_bench(tmp, defines=["KELVO_COUNT_CALLS", *defines],
                                  name=f"count_{label}", kernel_root=kernel_root,
                                  bench_root=bench_root)
    if plain is None:
        sys.exit("needs a C++ compiler and python3-config for this interpreter")
    n, american, critical, *rest = run(counting, "cost", data)
    counts, overlapped, chained = rest[:4], rest[4::2], rest[5::2]
    return dict(n=n, american=american, critical=critical, counts=counts, overlapped=overlapped,
                chained=chained, measured_us=run(plain, "iv", data)[0],
                limit_ns=sum(c * t for c, t in zip(counts, overlapped)),
                chained_ns=sum(c * t for c, t in zip(counts, chained)))


def earlier_kernel(tmp, revision, tree):
    """(kernel root, bench root) of an earlier commit, from git or from a copy of its tree."""
    if tree is None:
        package = package_in(revision)
        archive = subprocess.run(["git", "-C", str(HERE.parent), "archive", revision, package,
                                  "bench"], check=True, capture_output=True).stdout
        tree = Path(tmp) / "before"
        with tarfile.open(fileobj=BytesIO(archive)) as tar:
            tar.extractall(tree)
    else:
        package = "src/kelvo" if (Path(tree) / "src" / "kelvo").is_dir() else "kelvo"
    return Path(tree) / package, Path(tree) / "bench"


def report(m, defines):
    print(f"glibc {platform.libc_ver()[1]}, {int(m['n'])} implied vols on the grid"
          + (f", built with {' '.join(defines)}" if defines else ""))
    print(f"per implied vol: {m['american']:.2f} American prices, {m['critical']:.2f} "
          "critical-price evaluations")
    print(f"{'function':>8} {'calls/IV':>10} {'ns/call':>8} {'ns/IV':>9} {'chained ns/call':>16}")
    for name, c, t, u in zip(FUNCTIONS, m["counts"], m["overlapped"], m["chained"]):
        print(f"{name:>8} {c:10.2f} {t:8.2f} {c * t:9.1f} {u:16.2f}")
    print(f"limit {m['limit_ns'] / 1e3:.3f} us per implied vol (chained: "
          f"{m['chained_ns'] / 1e3:.3f} us); measured {m['measured_us']:.3f} us = "
          f"{m['measured_us'] * 1e3 / m['limit_ns']:.2f} x the limit")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("-D", dest="defines", action="append", default=[],
                        help="a macro for both builds, e.g. -D KELVO_SYSTEM_ERFC")
    parser.add_argument("--before", help="git revision of an earlier kernel to set beside")
    parser.add_argument("--before-tree", help="a copy of that revision's tree (where git is not)")
    args = parser.parse_args()
    prices, S, K, D, F, flags, _ = mixed_quotes(args.n)
    q = np.where(np.array(flags) == "c", 1.0, -1.0)
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "grid.bin"
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(data)
        after = measure(tmp, data, args.defines, "after")
        before = None
        if args.before or args.before_tree:
            kernel_root, bench_root = earlier_kernel(tmp, args.before, args.before_tree)
            before = measure(tmp, data, args.defines, "before", kernel_root, bench_root)
    report(after, args.defines)
    if before is not None:
        label = args.before or args.before_tree
        print(f"\n{'per implied vol':>28} {'before':>10} {'after':>10}   ({label} -> this checkout)")
        rows = [("American prices", "american"), ("critical evaluations", "critical")]
        for name, key in rows:
            print(f"{name:>28} {before[key]:10.2f} {after[key]:10.2f}")
        for j, name in enumerate(FUNCTIONS):
            print(f"{name + ' calls':>28} {before['counts'][j]:10.2f} {after['counts'][j]:10.2f}")
        print(f"{'us, C++ loop':>28} {before['measured_us']:10.3f} {after['measured_us']:10.3f}")
        print(f"{'x the throughput limit':>28} "
              f"{before['measured_us'] * 1e3 / before['limit_ns']:10.2f} "
              f"{after['measured_us'] * 1e3 / after['limit_ns']:10.2f}")


if __name__ == "__main__":
    main()

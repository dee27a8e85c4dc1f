"""Instructions per implied volatility, counted by callgrind, for the kernel of this checkout
and of an earlier commit, on the same grid (bench_iv.py's quotes).

    python3 bench/callgrind_kernel.py --before REV [--n 2000]

Needs valgrind; kernel_bench.cpp from this checkout is built against both kernels.
"""
import argparse
import re
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
from native import build_kernel_bench, package_in  # noqa: E402


def instructions(exe, data, tmp):
    out = Path(tmp) / "callgrind.out"
    subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                    "--toggle-collect=*invert_grid*", f"--callgrind-out-file={out}", str(exe),
                    "iv", str(data), "1"], check=True, capture_output=True)
    text = out.read_text()
    return sum(int(m) for m in re.findall(r"^(?:summary|totals):\s+(\d+)", text, re.M)[:1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", required=True, help="git revision of the earlier kernel")
    parser.add_argument("--n", type=int, default=2000)
    args = parser.parse_args()
    prices, S, K, D, F, flags, _ = mixed_quotes(args.n)
    q = np.where(np.array(flags) == "c", 1.0, -1.0)
    with tempfile.TemporaryDirectory() as tmp:
        # the earlier kernel with the benchmark of its own time
        package = package_in(args.before)
        archive = subprocess.run(["git", "-C", str(HERE.parent), "archive", args.before, package,
                                  "bench/kernel_bench.cpp"], check=True, capture_output=True).stdout
        with tarfile.open(fileobj=BytesIO(archive)) as tar:
            tar.extractall(Path(tmp) / "before")
        data = Path(tmp) / "grid.bin"
        np.column_stack([prices, S, K, D, F, q]).astype(np.float64).tofile(data)
        counts = {}
        before = Path(tmp) / "before"
        for label, root, source in (("before", before / package, before / "bench"),
                                    ("after", None, None)):
            exe = build_kernel_bench(tmp, name=f"kernel_{label}", kernel_root=root,
                                     bench_root=source)
            counts[label] = instructions(exe, data, tmp) / args.n
    print(f"instructions per implied vol over {args.n} quotes: before ({args.before}) "
          f"{counts['before']:.0f}, after {counts['after']:.0f} "
          f"({counts['after'] / counts['before']:.2f} x)")


if __name__ == "__main__":
    main()

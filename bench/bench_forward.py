"""Milliseconds per find_forward_baw on a 41-strike chain at the default window and at a 20 %
window, the objective evaluations used, and the bound (evaluations x 2 x selected strikes x one
kernel inversion) that the call should stay within 1.2 times of.

    python3 bench/bench_forward.py
"""
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from native import build_kernel_bench, run  # noqa: E402

from kelvo.baw_core import baw_price, find_forward_baw  # noqa: E402

S, D, F, SIGMA = 100.0, 0.98, 101.3, 0.25


def smile(k):
    return SIGMA - 0.2 * np.log(k / F)


def main():
    strikes = np.arange(80.0, 121.0)
    calls = np.array([baw_price(S, k, D, F, smile(k), "c") for k in strikes])
    puts = np.array([baw_price(S, k, D, F, smile(k), "p") for k in strikes])
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_kernel_bench(tmp)
        for pct in (0.01, 0.2):
            selected = (strikes >= S * (1 - pct)) & (strikes <= S * (1 + pct))
            repeats = 20 if pct < 0.1 else 5
            best = float("inf")
            for _ in range(repeats):
                start = time.perf_counter()
                found = find_forward_baw(calls, puts, strikes, S, D, pct)
                best = min(best, time.perf_counter() - start)
            line = (f"window {pct:4.0%}: {selected.sum():2d} strikes, {best * 1e3:8.3f} ms per call, "
                    f"forward {found:.7f} (true {F})")
            if exe is not None:
                data = Path(tmp) / "chain.bin"
                rows = np.column_stack([calls[selected], puts[selected], strikes[selected]]).ravel()
                np.concatenate([[S, D], rows]).astype(np.float64).tofile(data)
                kernel_ms, evaluations, kernel_forward, us_per_iv = run(exe, "forward", data, repeats)
                bound = evaluations * 2 * selected.sum() * us_per_iv / 1e3
                line += (f"\n    {int(evaluations)} evaluations; kernel-only search {kernel_ms:.3f} ms; "
                         f"bound {bound:.3f} ms; call / bound = {best * 1e3 / bound:.2f}")
                assert abs(kernel_forward - found) < 1e-6 * found
            print(line)


if __name__ == "__main__":
    main()

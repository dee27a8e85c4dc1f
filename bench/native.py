"""Builds bench/kernel_bench.cpp against this interpreter (embedded, for SciPy's brentq)."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent


def build_kernel_bench(directory, defines=(), name="kernel_bench", kernel_root=None,
                       bench_root=None):
    compiler = shutil.which("c++") or shutil.which("g++")
    config = shutil.which(f"python{sys.version_info.major}.{sys.version_info.minor}-config",
                          path=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    if compiler is None or config is None:
        return None
    flags = subprocess.run([config, "--includes", "--ldflags", "--embed"], capture_output=True,
                           text=True, check=True).stdout.split()
    exe = Path(directory) / name
    # the module's own optimisation level (CMake Release)
    subprocess.run([compiler, "-std=c++17", "-O3", "-DNDEBUG", "-ffp-contract=off", *(f"-D{d}" for d in defines),
                    "-I", str(kernel_root or HERE.parent / "kelvo"), "-I", str(HERE),
                    str((bench_root or HERE) / "kernel_bench.cpp"), "-o", str(exe), *flags,
                    # a static libpython must export its symbols to the extension modules
                    *(sysconfig.get_config_var("LINKFORSHARED") or "").split(),
                    f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"], check=True)
    return exe


def run(exe, mode, data_file, repeats=5):
    out = subprocess.run([str(exe), mode, str(data_file), str(repeats)], capture_output=True,
                         text=True, check=True)
    return [float(x) for x in out.stdout.split()]

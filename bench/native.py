"""Builds programs that embed this interpreter (for SciPy's brentq) against kelvo's kernel
headers: bench/kernel_bench.cpp here, and the tests' implied-volatility probe."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent


def build_embedded(source, exe, defines=(), kernel_root=None, options=("-O3", "-DNDEBUG")):
    """Compiles source into exe with the kernel headers and bench/ on the include path and the
    interpreter embedded; None where no C++ compiler or python-config for it is found."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    config = shutil.which(f"python{sys.version_info.major}.{sys.version_info.minor}"
                          f"{getattr(sys, 'abiflags', '')}-config",
                          path=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    if compiler is None or config is None:
        return None
    flags = subprocess.run([config, "--includes", "--ldflags", "--embed"], capture_output=True,
                           text=True, check=True).stdout.split()
    subprocess.run([compiler, "-std=c++17", *options, "-ffp-contract=off",
                    *(f"-D{d}" for d in defines),
                    "-I", str(kernel_root or HERE.parent / "src" / "kelvo"), "-I", str(HERE),
                    str(source), "-o", str(exe), *flags,
                    # a static libpython must export its symbols to the extension modules
                    *(sysconfig.get_config_var("LINKFORSHARED") or "").split(),
                    f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"], check=True)
    return Path(exe)


def package_in(revision, repo=HERE.parent):
    """The package's folder in a commit's tree: src/kelvo, or kelvo before the src layout."""
    found = subprocess.run(["git", "-C", str(repo), "cat-file", "-e", f"{revision}:src/kelvo"],
                           capture_output=True)
    return "src/kelvo" if found.returncode == 0 else "kelvo"


def build_kernel_bench(directory, defines=(), name="kernel_bench", kernel_root=None,
                       bench_root=None):
    # the module's own optimisation level (CMake Release)
    return build_embedded((bench_root or HERE) / "kernel_bench.cpp", Path(directory) / name,
                          defines, kernel_root)


def run(exe, mode, data_file, repeats=5):
    out = subprocess.run([str(exe), mode, str(data_file), str(repeats)], capture_output=True,
                         text=True, check=True)
    return [float(x) for x in out.stdout.split()]

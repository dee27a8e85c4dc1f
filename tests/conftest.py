import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def _installed_kelvo_or_hint():
    """Without kelvo installed, say so in one line instead of an import error in every test."""
    try:
        import kelvo  # noqa: F401
    except ImportError as error:
        pytest.exit(f"{error}: install kelvo first (pip install '.[test]')", returncode=4)


def pytest_sessionstart(session):
    _installed_kelvo_or_hint()


class KernelProbe:
    """The kernel headers compiled into a small program that answers one request a line."""

    def __init__(self, exe):
        self.exe = exe

    def run(self, *requests):
        out = subprocess.run([self.exe], input="\n".join(requests) + "\n", capture_output=True,
                             text=True, check=True).stdout.split("\n")
        return [[float(tok) for tok in row.split()] for row in out[: len(requests)]]


@pytest.fixture(scope="session")
def kernel_probe(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the kernel probe")
    exe = tmp_path_factory.mktemp("probe") / "kernel_probe"
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
                    "-I", str(REPO / "src" / "kelvo"), str(REPO / "tests" / "kernel_probe.cpp"),
                    "-o", str(exe)], check=True)
    return KernelProbe(str(exe))


class IVProbe:
    """The implied-volatility kernel in a program of its own (brentq from SciPy, embedded): the
    kernel's answer, the general search's, a tight reference and the kernel's answer with four
    quotes in flight, for each record."""

    def __init__(self, exe):
        self.exe = exe

    def run(self, records, directory):
        import numpy as np

        path = Path(directory) / "records.bin"
        np.asarray(records, dtype=np.float64).tofile(path)
        subprocess.run([self.exe, str(path)], check=True)
        return np.fromfile(str(path) + ".out").reshape(-1, 4).T


@pytest.fixture(scope="session")
def iv_probe(tmp_path_factory):
    import importlib.util
    import sysconfig

    if "sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""):
        pytest.skip("the interpreter is built with a sanitizer: the probe cannot embed it")
    # the benchmarks' builder of embedding programs, loaded from its file
    spec = importlib.util.spec_from_file_location("kelvo_bench_native", REPO / "bench" / "native.py")
    native = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(native)
    exe = native.build_embedded(REPO / "tests" / "iv_probe.cpp",
                                tmp_path_factory.mktemp("iv_probe") / "iv_probe",
                                options=("-O2", "-Wall", "-Wextra"))
    if exe is None:
        pytest.skip("no C++ compiler or python-config to build the implied-volatility probe")
    return IVProbe(str(exe))

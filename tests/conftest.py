import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def _installed_kelvo_or_hint():
    """Run from the checkout without -P, `import kelvo` finds the source folder, which holds no
    built module; say so in one line instead of an import error from deep inside a test."""
    try:
        import kelvo.baw_core  # noqa: F401
    except ImportError:
        import importlib.util

        spec = importlib.util.find_spec("kelvo")
        if spec and spec.origin and REPO in Path(spec.origin).resolve().parents:
            pytest.exit("kelvo is imported from the checkout's source folder, which has no built "
                        "module: install it (pip install '.[test]') and run python3 -P -m pytest",
                        returncode=4)
        raise


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
                    "-I", str(REPO / "kelvo"), str(REPO / "tests" / "kernel_probe.cpp"),
                    "-o", str(exe)], check=True)
    return KernelProbe(str(exe))

"""Module start-up: one module object, one interpreter, SciPy's brentq checked at import."""
import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import kelvo.baw_core as m

FUNCTIONS = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"]


def test_reimport_gives_the_same_module():
    del sys.modules["kelvo.baw_core"]
    try:
        again = importlib.import_module("kelvo.baw_core")
    finally:
        sys.modules["kelvo.baw_core"] = m
    assert again is m
    assert again.baw_price is m.baw_price


def test_namespace():
    names = list(vars(m))
    assert [n for n in names if n in FUNCTIONS + ["np", "__test__"]] == ["np"] + FUNCTIONS + ["__test__"]
    assert m.__test__ == {} and m.np is __import__("numpy")
    for constant in ["_NCDF_ASYM1", "_NCDF_ASYM2", "_DBL_MAX", "_DBL_EPS", "_ONE_OVER_SQRT_TWO_PI",
                     "_ONE_OVER_SQRT_TWO", "_BRENTQ_XTOL", "_IV_MAX_SIGMA", "_IV_TOL", "_SQRT_EPS",
                     "_GOLDEN", "brentq"]:
        assert not hasattr(m, constant)
    lines = m.__doc__.split("\n")
    assert len(lines) == 5 and lines[4] == ""
    assert lines[0].endswith("Barone-Adesi-Whaley (1987) American option pricer and IV solver.")
    assert lines[1] == ""
    assert lines[2] == "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and"
    assert lines[3].startswith("find_forward_baw") and lines[3].endswith("brentq inside).")


@pytest.mark.parametrize("name, params, first, body", [
    ("baw_price", "S K D F sigma flag", "BAW American option price",
     ["", "    S spot, K strike, D discount factor, F forward, sigma total std dev.",
      "    flag: 'c' or 'p'.", "    "]),
    ("baw_implied_vol", "price S K D F flag", "BAW implied total std dev",
     ["", "    Returns sigma or NaN on failure.", "    "]),
    ("vectorized_baw_implied_vol", "prices S_arr K_arr D_arr F_arr flags", "Batch BAW IV extraction",
     ["", "    All inputs are arrays of equal length. flags is array of 'c'/'p'.",
      "    Returns numpy array of implied vols.", "    "]),
])
def test_function_attributes(name, params, first, body):
    func = getattr(m, name)
    assert (func.__name__, func.__qualname__, func.__module__) == (name, name, "kelvo.baw_core")
    assert list(inspect.signature(func).parameters) == params.split()
    lines = func.__doc__.split("\n")
    assert lines[0].startswith(first) and lines[0].endswith(".")
    assert lines[1:] == body


def test_find_forward_baw_attributes():
    func = m.find_forward_baw
    assert (func.__name__, func.__qualname__, func.__module__) == (
        "find_forward_baw", "find_forward_baw", "kelvo.baw_core")
    assert func.__doc__ == "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes."
    sig = inspect.signature(func)
    assert list(sig.parameters) == ["call_prices", "put_prices", "strikes", "S", "D", "strike_pct"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert sig.parameters["strike_pct"].default == 0.01


FAKE_ZEROS = """
import ctypes
_name = {name!r}
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
__pyx_capi__ = {{}} if _name is None else {{"brentq": _new(1, _name, None)}}
"""


def import_with_fake_scipy(tmp_path, capsule_name):
    pkg = tmp_path / "scipy" / "optimize" / "cython_optimize"
    pkg.mkdir(parents=True)
    for d in [tmp_path / "scipy", tmp_path / "scipy" / "optimize", pkg]:
        (d / "__init__.py").write_text("")
    (pkg / "_zeros.py").write_text(FAKE_ZEROS.format(name=capsule_name))
    script = textwrap.dedent("""
        import traceback
        try:
            import kelvo.baw_core
        except Exception as e:
            print(type(e).__name__)
            print(e)
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    out = subprocess.run([sys.executable, "-P", "-c", script], env=env, capture_output=True,
                         text=True, check=True, cwd=tmp_path)
    return out.stdout.splitlines()


def test_brentq_with_another_signature_fails_the_import(tmp_path):
    expected = ("double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, "
                "double, void *, double, double, int, "
                "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)")
    kind, message, frame = import_with_fake_scipy(tmp_path, b"double (double)")
    assert kind == "TypeError"
    assert message == ("C function scipy.optimize.cython_optimize._zeros.brentq has wrong signature "
                       f"(expected {expected}, got double (double))")
    assert frame == "init kelvo.baw_core"


def test_missing_brentq_fails_the_import(tmp_path):
    kind, message, frame = import_with_fake_scipy(tmp_path, None)
    assert (kind, message, frame) == (
        "ImportError", "scipy.optimize.cython_optimize._zeros does not export expected C function brentq",
        "init kelvo.baw_core")


SUBINTERPRETER = """
import sys
out, first_in_sub = sys.argv[1], sys.argv[2] == "sub-first"
code = f'''
try:
    import kelvo.baw_core
    result = "imported"
except ImportError as e:
    result = str(e)
open({out!r}, "w").write(result)
'''
import numpy  # NumPy loads into one interpreter only: kelvo's import fails in the other
if not first_in_sub:
    import kelvo.baw_core
try:
    import _interpreters as interpreters
    interp = interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create()
interpreters.run_string(interp, code)
interpreters.destroy(interp)
import kelvo.baw_core
print(kelvo.baw_core.baw_price(100, 100, 0.99, 100, 0.2, "c") > 0)
"""


@pytest.mark.parametrize("order, in_sub", [
    ("main-first", "Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process."),
    # a failed import claims nothing: the main interpreter still gets the module
    ("sub-first", None),
])
def test_one_interpreter_owns_the_module(tmp_path, order, in_sub):
    out = tmp_path / "result.txt"
    proc = subprocess.run([sys.executable, "-P", "-c", SUBINTERPRETER, str(out), order],
                          capture_output=True, text=True, cwd=tmp_path)
    if not out.exists():
        pytest.skip(f"no sub-interpreters here: {proc.stderr.strip()[-200:]}")
    assert in_sub is None or out.read_text() == in_sub
    assert out.read_text() != "imported"
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"

"""The command line on the sample chain and on bad files; the stub and the README example."""
import ast
import csv
import doctest
import inspect
import math
import re
import subprocess
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import kelvo
from kelvo import _arrays, baw_core, sample  # noqa: F401
from kelvo.cli import main

REPO = Path(__file__).resolve().parent.parent


def run_cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def forward_of(out):
    return float(re.search(r"^forward (\S+)", out, re.M).group(1))


ONE_EXPIRY = str(sample.PATH)


def test_sample_chain_recovers_forward_and_sigmas(capsys, tmp_path):
    code, out, _ = run_cli(capsys, ONE_EXPIRY, "-q", "-o", str(tmp_path / "out.csv"))
    assert code == 0
    assert forward_of(out) == pytest.approx(sample.FORWARD, abs=1e-6)
    rows = read_csv(tmp_path / "out.csv")
    assert [float(r["strike"]) for r in rows] == sample.STRIKES
    for r in rows:
        sigma = sample.total_sigma(float(r["strike"]))
        assert float(r["call_sd"]) == pytest.approx(sigma, abs=1e-8)
        assert float(r["put_sd"]) == pytest.approx(sigma, abs=1e-8)
        assert float(r["call_vol"]) == pytest.approx(sample.annual_vol(float(r["strike"])), abs=2e-8)


def test_output_round_trips(capsys, tmp_path):
    run_cli(capsys, ONE_EXPIRY, "-q", "-o", str(tmp_path / "first.csv"))
    rows = read_csv(tmp_path / "first.csv")
    with open(sample.PATH, newline="") as f:
        original = list(csv.DictReader(f))
    assert [(r["strike"], r["call"], r["put"]) for r in rows] == [
        (r["strike"], r["call"], r["put"]) for r in original]
    # the written table read back as a chain, spot and discount given as options
    code, out, _ = run_cli(capsys, str(tmp_path / "first.csv"), "--spot", "100",
                           "--discount", repr(sample.DISCOUNT), "-q", "-o", str(tmp_path / "again.csv"),
                           "--chunk-size", "7")
    assert code == 0 and forward_of(out) == pytest.approx(sample.FORWARD, abs=1e-6)
    again = read_csv(tmp_path / "again.csv")
    assert [r["call_sd"] for r in again] == [r["call_sd"] for r in rows]


def test_output_keeps_every_input_column(capsys, tmp_path):
    (tmp_path / "c.csv").write_text("note,strike,call,put\n" + "".join(
        f'"row {i}, as given",{line}\n' for i, line in enumerate(CHAIN.splitlines()[1:])))
    code, _, _ = run_cli(capsys, str(tmp_path / "c.csv"), "--spot", "100", "--discount", "0.99",
                         "-q", "-o", str(tmp_path / "out.csv"))
    rows = read_csv(tmp_path / "out.csv")
    assert code == 0 and list(rows[0]) == ["note", "strike", "call", "put", "call_sd", "put_sd",
                                           "gap"]
    assert [r["note"] for r in rows] == ["row 0, as given", "row 1, as given", "row 2, as given"]


def test_sample_takes_discount_factors(capsys):
    days = np.datetime64(sample.OPTIONS_QUOTE_DATE) + np.array(sample.OPTIONS_DAYS)
    code, out, err = run_cli(capsys, "-q", *(f"--discount={d}=0.97" for d in days))
    assert code == 0, err
    assert out.count(" 0.97000000 ") == len(days)  # not the sample's own rate


def test_table_is_printed(capsys):
    code, out, _ = run_cli(capsys, ONE_EXPIRY)
    assert code == 0 and "parity estimate" in out
    assert len([l for l in out.splitlines() if re.match(r"\s+\d+\.0{6}\s", l)]) == 41


CHAIN = "strike,call,put\n95,6.9,1.2\n100,3.2,2.6\n105,1.1,5.7\n"


GIVEN = ("--spot", "100", "--discount", "0.99")


@pytest.mark.parametrize("text, argv, message", [
    ("strike,call\n100,3\n", GIVEN, "line 1: missing column 'put'"),
    ("strike,call,price\n100,3,2\n", GIVEN, "line 1: missing column 'put'"),
    ("", GIVEN, "line 1: the file is empty"),
    ("strike,call,put\n", GIVEN, "no option rows"),
    (CHAIN.replace("3.2", "abc"), GIVEN, "line 3: call cannot be read: 'abc'"),
    (CHAIN.replace("105,1.1,5.7", ",1.1,5.7"), GIVEN, "line 4: strike cannot be read: ''"),
    (CHAIN, (), "missing columns 'spot', 'discount'"),
    ("a,b\n1,2\n", ("--rate", "0.01"), "line 1: neither a table of contracts"),
    ("underlying_symbol,quote_date,expiration,strike,option_type,bid_1545,ask_1545,"
     "underlying_bid_1545,underlying_ask_1545\nX,2025-06-02,2025-07-18,100,C,1,2,99,101\n",
     ("--rate", "0.01", "--snapshot", "eod"), "snapshot 'eod': the table has no quotes of that"),
    ("strike,call,put,spot,discount\n95,6.9,1.2,100,0.99\n100,3.2,2.6,101,0.99\n", (),
     "line 3: spot 101.0 differs from 100.0 on line 2"),
])
def test_bad_input_stops_with_exit_code_2(capsys, tmp_path, text, argv, message):
    path = tmp_path / "chain.csv"
    path.write_text(text)
    code, _, err = run_cli(capsys, str(path), *argv)
    assert code == 2
    assert message in err


def test_skip_bad_rows(capsys, tmp_path):
    text = CHAIN.replace("3.2", "abc").replace("105,1.1,5.7", "105,1.1,x") + "110,0.4,9.8\n"
    (tmp_path / "c.csv").write_text(text)
    code, _, err = run_cli(capsys, str(tmp_path / "c.csv"), "--spot", "100", "--discount", "0.99",
                           "--skip-bad-rows", "-q", "-o", str(tmp_path / "out.csv"))
    assert code == 0
    assert "skipped 2 bad rows (lines 3, 4)" in err
    rows = read_csv(tmp_path / "out.csv")  # every row written, the bad ones without results
    assert [r["strike"] for r in rows] == ["95", "100", "105", "110"]
    assert [bool(r["call_sd"]) for r in rows] == [True, False, False, True]


def test_unsolvable_prices_are_empty_cells(capsys, tmp_path):
    # a call at intrinsic value and a put above any price the model can reach
    (tmp_path / "c.csv").write_text("strike,call,put\n90,10,1.5\n100,3.2,2.6\n110,0.5,500\n")
    run_cli(capsys, str(tmp_path / "c.csv"), "--spot", "100", "--discount", "0.99", "-q",
            "-o", str(tmp_path / "out.csv"))
    rows = read_csv(tmp_path / "out.csv")
    assert rows[0]["call_sd"] == "" and rows[0]["put_sd"] != "" and rows[0]["gap"] == ""
    assert rows[2]["put_sd"] == "" and rows[2]["call_sd"] != ""


def test_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    code, _, _ = run_cli(capsys, ONE_EXPIRY, "-q", "--plot", str(tmp_path / "smile.png"))
    assert code == 0
    assert (tmp_path / "smile.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # to standard output, the summary then on standard error
    proc = subprocess.run([sys.executable, "-P", "-m", "kelvo", str(ONE_EXPIRY), "--plot", "-"],
                          capture_output=True)
    assert proc.returncode == 0 and proc.stdout[:8] == b"\x89PNG\r\n\x1a\n"
    assert b"forward" in proc.stderr


def test_plot_without_matplotlib(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from kelvo.cli import main\n"
            f"sys.exit(main(['-q', '--plot', {str(tmp_path / 'x.png')!r}]))")
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert proc.returncode == 2
    assert "pip install 'kelvo[plot]'" in proc.stderr


def test_module_entry_point():
    # without arguments, from the checkout's root as the README runs it: the sample table of
    # contracts, one summary line per expiry
    proc = subprocess.run([sys.executable, "-m", "kelvo", "-q"], capture_output=True, text=True,
                          cwd=REPO)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 1 + len(sample.OPTIONS_DAYS) and "forward" in lines[0]
    proc = subprocess.run([sys.executable, "-P", "-m", "kelvo", "--version"], capture_output=True,
                          text=True)
    assert proc.stdout == f"kelvo {kelvo.__version__}\n"
    # the source folder, where nothing is built, says so in one line
    proc = subprocess.run([sys.executable, "-c", "import kelvo"], capture_output=True, text=True,
                          cwd=REPO / "src")
    assert proc.stderr.splitlines()[-1].startswith("ImportError: kelvo's native modules are not")


@pytest.mark.parametrize("module_name", ["baw_core", "_arrays"])
def test_stub_matches_the_module(module_name):
    module = getattr(kelvo, module_name)
    stub = ast.parse(resources.files("kelvo").joinpath(f"{module_name}.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert sorted(functions) == sorted(n for n in dir(module) if not n.startswith("_") and
                                       callable(getattr(module, n)))
    assert ast.get_docstring(stub, clean=False) == module.__doc__
    for name, node in functions.items():
        signature = inspect.signature(getattr(module, name))
        args = node.args
        assert [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs] == list(
            signature.parameters)
        defaults = [ast.literal_eval(d) for d in args.defaults + args.kw_defaults if d]
        assert defaults == [p.default for p in signature.parameters.values()
                            if p.default is not p.empty]
        assert inspect.cleandoc(ast.get_docstring(node, clean=False)) == inspect.cleandoc(
            getattr(module, name).__doc__)
    assert resources.files("kelvo").joinpath("py.typed").is_file()


def test_package_exports():
    # baw_core keeps exactly its namespace; the array functions live in their own module
    assert sorted(n for n in dir(baw_core) if not n.startswith("_")) == [
        "baw_implied_vol", "baw_price", "find_forward_baw", "np", "vectorized_baw_implied_vol"]
    assert kelvo.__all__[:4] == ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol",
                                 "find_forward_baw"]
    assert all(getattr(kelvo, n) is getattr(baw_core, n) for n in kelvo.__all__[:4])
    assert all(callable(getattr(kelvo, n)) for n in kelvo.__all__)
    assert re.fullmatch(r"\d+\.\d+\.\d+", kelvo.__version__)


def test_no_module_imports_one_that_imports_it_back():
    root = Path(kelvo.__file__).resolve().parent
    modules = {".".join(("kelvo",) + p.relative_to(root).with_suffix("").parts).removesuffix(
        ".__init__"): p for p in root.rglob("*.py")}
    graph = {}
    for name, path in modules.items():
        edges = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("kelvo"):
                edges |= {f"{node.module}.{a.name}" if f"{node.module}.{a.name}" in modules
                          else node.module for a in node.names}
            elif isinstance(node, ast.Import):
                edges |= {a.name for a in node.names if a.name.startswith("kelvo")}
        graph[name] = edges & set(modules) - {name}

    def reaches(start, goal, seen):
        return any(n == goal or (n not in seen and not seen.add(n) and reaches(n, goal, seen))
                   for n in graph[start])

    assert [name for name in graph if reaches(name, name, set())] == []


def test_readme_examples_run(capsys):
    readme = (REPO / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert len(blocks) >= 2
    runner = doctest.DocTestRunner()
    for i, block in enumerate(blocks):
        if ">>> " in block:
            runner.run(doctest.DocTestParser().get_doctest(block, {}, f"README[{i}]", "README.md", 0))
        else:  # a script, run as written
            if "dask" in block:
                pytest.importorskip("dask.dataframe")
            exec(compile(block, f"README[{i}]", "exec"), {})
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("strike_pct", [0.01, 0.03, 0.3, 1.0])
@pytest.mark.parametrize("strikes", [
    [70.0, 80.0, 96.0, 99.0, 101.0, 104.0, 130.0],
    [60.0, 70.0, 97.5, 150.0, 102.5, 250.0],
    [250.0, 260.0, 300.0],
])
def test_streamed_store_gives_the_whole_chains_forward(strikes, strike_pct):
    import numpy as np
    from kelvo import chain
    from kelvo.cli.engine import ForwardQuotes, Groups

    S, D, F = 100.0, 0.98, 101.0
    K = np.array(strikes)
    calls = np.array([kelvo.baw_price(S, k, D, F, 0.3, "c") for k in K])
    puts = np.array([kelvo.baw_price(S, k, D, F, 0.3, "p") for k in K])
    groups = Groups()
    groups.S, groups.D, groups.T = np.array([S]), np.array([D]), np.array([1.0])
    groups.european = np.array([False])
    store = ForwardQuotes(strike_pct)
    put = np.repeat([False, True], len(K))
    strike, mid = np.concatenate([K, K]), np.concatenate([calls, puts])
    for start in range(0, 2 * len(K), 3):  # in pieces, consolidated as they come
        part = slice(start, start + 3)
        n = len(strike[part])
        store.add(np.zeros(n, dtype=np.int64), put[part], strike[part], mid[part], groups.S)
    # the engines take a chain's strikes in ascending order, which the objective's sum follows
    o = np.argsort(K, kind="stable")
    whole = kelvo.find_forward_baw(calls[o], puts[o], K[o], S, D, strike_pct)
    streamed = store.forwards(groups)[0][0]
    assert streamed == whole or (math.isnan(streamed) and math.isnan(whole))
    assert chain.expiry_forward(calls, puts, K, S, D, strike_pct)[0] == streamed or math.isnan(
        whole)

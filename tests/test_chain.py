"""Tables of contracts: kelvo.chain.surface against chains made from known forwards and
volatilities, and the one engine: chain.surface, the command line and kelvo.dask.surface give
the same numbers on the sample, generated tables and the real files."""
import io
import math
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from kelvo import baw_price, chain, sample, vectorized_baw_implied_vol  # noqa: E402
from kelvo.cli import main, options, parser  # noqa: E402
from kelvo.cli import engine  # noqa: E402
from kelvo.cli.common import Terminal  # noqa: E402

QUOTE_DATE = pd.Timestamp("2025-06-02")
RATE = 0.035
UNDERLYINGS = {"AAA": (100.0, 0.01), "BBB": (42.5, 0.03)}  # spot, dividend yield
DAYS = (9, 45, 180, 400)
REAL = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"

LAYOUTS = {
    "vendor": dict(names=("UnderlyingSymbol", "UnderlyingPrice", "Type", "Expiration", "DataDate",
                          "Strike", "Bid", "Ask"), date="%m/%d/%Y", types=("call", "put")),
    "snake": dict(names=("underlying_symbol", "active_underlying_price", "option_type",
                         "expiration", "quote_date", "strike", "bid_eod", "ask_eod"),
                  date="%Y-%m-%d", types=("C", "P")),
    "short": dict(names=("symbol", "spot", "cp_flag", "expiry", "date", "STRIKE", "BID", "ASK"),
                  date="%Y%m%d", types=("Call", "PUT")),
}


def vol_of(x, T):
    return 0.25 + 0.02 * math.sqrt(T) - 0.1 * x / math.sqrt(T) + 0.2 * x * x / T


def make_chain(layout, seed=0):
    spec = LAYOUTS[layout]
    symbol, spot, kind, expiration, quoted, strike, bid, ask = spec["names"]
    rows, truth = [], {}
    for name, (S, q) in UNDERLYINGS.items():
        for days in DAYS:
            T = days / 365
            D, F = math.exp(-RATE * T), S * math.exp((RATE - q) * T)
            expiry = QUOTE_DATE + pd.Timedelta(days=days)
            truth[(name, expiry)] = F
            for K in S * np.linspace(0.8, 1.2, 33):
                vol = vol_of(math.log(K / F), T)
                for flag, spelled in zip("cp", spec["types"]):
                    price = baw_price(S, K, D, F, vol * math.sqrt(T), flag)
                    rows.append({symbol: name, spot: S, kind: spelled,
                                 expiration: expiry.strftime(spec["date"]),
                                 quoted: QUOTE_DATE.strftime(spec["date"]), strike: K,
                                 bid: price * 0.995, ask: price * 1.005, "true_vol": vol})
    frame = pd.DataFrame(rows).sample(frac=1.0, random_state=seed).reset_index(drop=True)
    return frame, truth


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_surface_recovers_forwards_and_vols(layout):
    frame, truth = make_chain(layout)
    table, summary = chain.surface(frame, rate=RATE)
    assert len(summary) == len(truth)
    for row in summary.itertuples():
        assert row.forward == pytest.approx(truth[(row.symbol, row.expiry)], rel=1e-6)
    # every mid vol is the inversion at its expiry's forward, bit for bit
    names = chain.find_columns(list(frame.columns))
    q = chain.Quotes.from_frame(frame, names, rate=RATE)
    sd = vectorized_baw_implied_vol(q.mid, table[names["spot"]].to_numpy(float), q.strike,
                                    table["D"].to_numpy(), table["forward"].to_numpy(),
                                    q.flag.tolist())
    sd[sd == 0] = np.nan
    assert np.array_equal(table["sd_mid"].to_numpy(), sd, equal_nan=True)
    # and the true vol wherever the price is well conditioned: out of the money, near it
    x = np.log(q.strike / table["forward"])
    otm = np.where(q.flag == "c", x > 0, x < 0) & (np.abs(x) < 0.1) & (table["T"] > 0.1)
    assert otm.sum() > 50
    assert np.abs(table["iv_mid"] - table["true_vol"])[otm].max() < 1e-7


@pytest.mark.parametrize("change, problem", [
    (lambda f: f.drop(columns=["Strike"]), "cannot find the column for strike"),
    (lambda f: f.drop(columns=["Bid"]), "bid and ask, or mid"),
    (lambda f: f.rename(columns={"Type": "Kind"}), "cannot find the column for type"),
    (lambda f: f.drop(columns=["DataDate"]), "no quote date"),
    (lambda f: f.assign(Expiration="soon"), "Expiration: no cell reads as dates"),
])
def test_bad_layouts_are_named(change, problem):
    frame, _ = make_chain("vendor")
    with pytest.raises(ValueError, match=problem):
        chain.surface(change(frame), rate=RATE)
    with pytest.raises(ValueError, match="no interest rate"):
        chain.surface(frame)


def test_bad_cells_give_nan_not_errors():
    frame, _ = make_chain("vendor")
    aaa = frame["UnderlyingSymbol"] == "AAA"
    deep = frame.index[aaa & (frame["Type"] == "call") & (frame["Strike"] < 85)][0]
    near = frame.index[aaa & ((frame["Strike"] - 100).abs() < 6)][:3]
    frame.loc[deep, ["Bid", "Ask"]] = [1.0, 1.1]            # below intrinsic value
    frame.loc[near[0], "Bid"] = 0.0                         # a zero bid
    frame.loc[near[1], ["Bid", "Ask"]] = [np.nan, np.nan]   # a missing quote
    frame.loc[near[2], "Type"] = "straddle"                 # neither a call nor a put
    table, summary = chain.surface(frame, rate=RATE)
    assert np.isnan(table.loc[deep, "iv_mid"]) and np.isnan(table.loc[near[0], "iv_bid"])
    assert np.isfinite(table.loc[near[0], "iv_ask"])
    assert np.isnan(table.loc[near[1], ["iv_mid", "iv_bid", "iv_ask"]].astype(float)).all()
    assert np.isnan(table.loc[near[2], "iv_mid"])
    assert summary["no_iv"].sum() >= 4 and summary["forward"].notna().all()


def generated(path):
    """Two underlyings, four expiries, shuffled, with a note column that needs quoting."""
    frame, _ = make_chain("vendor", seed=3)
    frame = frame.drop(columns=["true_vol"])
    frame.insert(3, "Note", np.where(np.arange(len(frame)) % 3 == 0, 'say "hi",\nthere', "x"))
    frame.to_csv(path, index=False)


# file (or the function that writes it), options, and the chunk size of the command line
ENGINE_CASES = {
    "sample": (sample.OPTIONS_PATH, {"rate": 0.04}, 16384),
    "generated": (generated, {"rate": RATE}, 7),
}


@pytest.mark.parametrize("case", list(ENGINE_CASES))
def test_one_engine(case, tmp_path):
    source, given, chunk = ENGINE_CASES[case]
    path = tmp_path / "table.csv"
    if callable(source):
        source(path)
    else:
        path = source
    frame = pd.read_csv(path, dtype=str, keep_default_na=False, encoding="utf-8-sig")
    table, summary = chain.surface(frame, **given)

    # the command line: its summary, and its table written and read back
    argv = [str(path), "-q", "-o", str(tmp_path / "out.csv"), "--chunk-size", str(chunk)]
    for option, value in given.items():
        argv += [f"--{option.replace('_', '-')}", str(value)]
    assert main(argv) == 0
    args = parser().parse_args(argv)
    options(args)
    printed = engine.run_file(path, args, Terminal(None), None, None)
    written = pd.read_csv(tmp_path / "out.csv", dtype=str, keep_default_na=False)
    assert list(written.columns) == list(frame.columns) + list(chain.RESULT_COLUMNS)
    assert written[frame.columns].equals(frame)
    for column in chain.RESULT_COLUMNS:
        assert list(written[column]) == ["%.12g" % x if x == x else "" for x in table[column]]

    # kelvo.dask on the threaded scheduler
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    from kelvo import dask as kd

    with dask.config.set({"dataframe.shuffle.method": "tasks"}):
        parts = kd.surface(dd.from_pandas(frame, npartitions=3), **given)
        dask_table, dask_summary = dask.compute(*parts, scheduler="threads")
    dask_table = dask_table.sort_index()
    dask_summary = dask_summary.sort_values(["symbol", "quote_date", "expiry"],
                                            ignore_index=True)
    for column in chain.RESULT_COLUMNS:
        assert np.array_equal(dask_table[column].to_numpy(), table[column].to_numpy(),
                              equal_nan=True), column
    for column in chain.SUMMARY_COLUMNS:
        expected = summary[column].to_numpy()
        for got in (printed[column], dask_summary[column].to_numpy()):
            if expected.dtype == object:
                assert list(got) == list(expected)
            else:
                assert np.array_equal(np.asarray(got, dtype=expected.dtype), expected,
                                      equal_nan=True), column


def test_command_line_bad_rows_and_missing_rate(tmp_path, capsys):
    frame, _ = make_chain("vendor")
    frame = frame.drop(columns=["true_vol"]).astype({"Strike": object})
    frame.loc[5, "Strike"] = "n/a"
    path = tmp_path / "eod.csv"
    frame.to_csv(path, index=False)
    assert main([str(path), "--rate", "0.03", "-q"]) == 2
    assert "line 7: Strike cannot be read: 'n/a'" in capsys.readouterr().err
    assert main([str(path), "--rate", "0.03", "-q", "--skip-bad-rows"]) == 0
    assert "skipped 1 bad row (line 7)" in capsys.readouterr().err
    assert main([str(path), "-q"]) == 2
    assert "no interest rate" in capsys.readouterr().err
    assert main([str(path), "--rate", "0.03", "-q", "--symbol", "BBB", "--expiry",
                 (QUOTE_DATE + pd.Timedelta(days=45)).strftime("%Y-%m-%d")]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 2


def test_surface_picture(tmp_path, capsys):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = {}
    original = plt.Figure.savefig

    def record(figure, *args, **kwargs):
        smiles, term = figure.axes
        shown["lines"] = len(smiles.get_lines())
        shown["labels"] = [t.get_text() for t in smiles.get_legend().get_texts()]
        shown["term"] = len(term.get_lines()[0].get_xdata())
        shown["title"] = figure._suptitle.get_text()
        shown["ylabel"] = smiles.get_ylabel()
        return original(figure, *args, **kwargs)

    plt.Figure.savefig = record
    try:
        assert main(["-q", "--plot", str(tmp_path / "surface.png")]) == 0
    finally:
        plt.Figure.savefig = original
    n = len(sample.OPTIONS_DAYS)
    assert shown["lines"] == 3 * n  # calls, puts and the forward of each expiry
    assert len(shown["labels"]) == n and shown["term"] == n
    assert "KLVO" in shown["title"] and sample.OPTIONS_QUOTE_DATE in shown["title"]
    assert shown["ylabel"] == "annualised implied volatility"
    assert (tmp_path / "surface.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_command_line_reads_records_across_blocks(tmp_path, monkeypatch, newline):
    from kelvo.cli import reader

    frame, _ = make_chain("vendor", seed=6)
    frame = frame.drop(columns=["true_vol"])
    frame.insert(3, "Note", 'say ""hi"",\nthere')
    path = tmp_path / "eod.csv"
    path.write_bytes(("\ufeff" + frame.to_csv(index=False, lineterminator=newline)).encode())
    written = []
    for block, chunk in ((1 << 16, 1000), (1, 1)):  # at once; then a few bytes a read
        monkeypatch.setattr(reader, "BLOCK", block)
        out = tmp_path / f"out{block}.csv"
        assert main([str(path), "--rate", str(RATE), "-q", "-o", str(out), "--chunk-size",
                     str(chunk)]) == 0
        written.append(out.read_bytes())
    assert written[0] == written[1]
    table = pd.read_csv(io.BytesIO(written[0]), dtype={"Note": str})
    assert (table["Note"] == frame["Note"]).all() and len(table) == len(frame)

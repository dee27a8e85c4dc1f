"""Tables of contracts: kelvo.chain.surface and the command line on them, against chains made
from known forwards and volatilities."""
import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from kelvo import baw_price, chain, vectorized_baw_implied_vol  # noqa: E402
from kelvo.cli import main  # noqa: E402

QUOTE_DATE = pd.Timestamp("2025-06-02")
RATE = 0.035
UNDERLYINGS = {"AAA": (100.0, 0.01), "BBB": (42.5, 0.03)}  # spot, dividend yield
DAYS = (9, 45, 180, 400)

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
    q = chain.Quotes(frame, names, rate=RATE)
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
    (lambda f: f.assign(Expiration="soon"), "no cell is a date"),
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


@pytest.mark.parametrize("chunk_size", [7, 100_000])
def test_command_line_gives_the_surface(tmp_path, capsys, chunk_size):
    frame, truth = make_chain("vendor", seed=3)
    path = tmp_path / "eod.csv"
    frame.drop(columns=["true_vol"]).to_csv(path, index=False)
    table, summary = chain.surface(pd.read_csv(path), rate=RATE)
    out = tmp_path / "out.csv"
    code = main([str(path), "--rate", str(RATE), "-q", "-o", str(out), "--chunk-size",
                 str(chunk_size)])
    printed = capsys.readouterr().out
    assert code == 0 and len(printed.splitlines()) == 1 + len(truth)
    written = pd.read_csv(out)
    assert list(written.columns[:8]) == list(frame.columns[:8])
    for column in ("forward", "iv_mid", "iv_bid", "iv_ask"):
        assert np.allclose(written[column], table[column], rtol=1e-11, equal_nan=True)
    code = main([str(path), "--rate", str(RATE), "-q", "--symbol", "BBB", "--expiry",
                 (QUOTE_DATE + pd.Timedelta(days=45)).strftime("%Y-%m-%d")])
    assert code == 0 and len(capsys.readouterr().out.splitlines()) == 2


@pytest.mark.parametrize("note", ["plain", 'with, a comma and "quotes"', "two\nlines", ""])
def test_command_line_keeps_every_input_cell(tmp_path, capsys, note):
    frame, _ = make_chain("vendor", seed=4)
    frame = frame.drop(columns=["true_vol"])
    frame.insert(3, "Note", note)
    path, out = tmp_path / "eod.csv", tmp_path / "out.csv"
    frame.to_csv(path, index=False)
    assert main([str(path), "--rate", str(RATE), "-q", "-o", str(out), "--chunk-size", "50"]) == 0
    written = pd.read_csv(out, dtype={"Note": str}, keep_default_na=False)
    assert (written["Note"] == note).all() and len(written) == len(frame)
    table, _ = chain.surface(frame, rate=RATE)
    assert np.allclose(written["iv_mid"].replace("", np.nan).astype(float), table["iv_mid"],
                       rtol=1e-11, equal_nan=True)


def test_command_line_bad_rows_and_missing_rate(tmp_path, capsys):
    frame, _ = make_chain("vendor")
    frame = frame.drop(columns=["true_vol"]).astype({"Strike": object})
    frame.loc[5, "Strike"] = "n/a"
    path = tmp_path / "eod.csv"
    frame.to_csv(path, index=False)
    assert main([str(path), "--rate", "0.03", "-q"]) == 2
    assert "line 7: Strike cannot be read: 'n/a'" in capsys.readouterr().err
    assert main([str(path), "--rate", "0.03", "-q", "--skip-bad-rows"]) == 0
    assert "skipped 1 bad row (lines 7)" in capsys.readouterr().err
    assert main([str(path), "-q"]) == 2
    assert "no interest rate" in capsys.readouterr().err


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
    from kelvo import sample

    n = len(sample.OPTIONS_DAYS)
    assert shown["lines"] == 3 * n  # calls, puts and the forward of each expiry
    assert len(shown["labels"]) == n and shown["term"] == n
    assert "KLVO" in shown["title"] and sample.OPTIONS_QUOTE_DATE in shown["title"]
    assert shown["ylabel"] == "annualised implied volatility"
    assert (tmp_path / "surface.png").read_bytes()[:4] == b"\x89PNG"


def test_dask_surface_gives_the_same_numbers():
    dd = pytest.importorskip("dask.dataframe")
    import dask

    from kelvo import dask as kd

    frame, _ = make_chain("snake", seed=5)
    table, _ = chain.surface(frame, rate=RATE)
    with dask.config.set({"dataframe.shuffle.method": "tasks"}):
        got = kd.surface(dd.from_pandas(frame, npartitions=3), rate=RATE).compute(
            scheduler="threads").sort_index()
    for column in chain.RESULT_COLUMNS:
        assert np.array_equal(got[column].to_numpy(), table[column].to_numpy(), equal_nan=True)

"""Tables of contracts: kelvo.chain.surface against chains made from known forwards and
volatilities, and the one engine: chain.surface, the command line and kelvo.dask.surface give
the same numbers on the sample, generated tables and the real files."""
import importlib.util
import io
import math
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import kelvo  # noqa: E402
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
    # an option symbol of a day that does not exist is no option symbol (its row may still
    # read from the other columns)
    assert chain.occ_parts(["SPX260230C05000000", "SPX260227C05000000"])[0] is None


def real_layout(layout, seed=1):
    """A day's quotes of an American stock (ABC) and an index (SPX, European) in the layouts of
    real files, with the true forward of each expiry:
    - exchange: the exchange's end-of-day layout, quotes at 15:45 and at the close, the
      underlying's bid and ask but no price, dates written 6/2/2025 0:00:00;
    - web: option symbols only (no root, type or expiry columns), a stale last trade, no
      underlying price and no quote date (given as spot= and quote_date=);
    - broker: a symbol column of option symbols, a type column of "option" beside option_type,
      the underlying's symbol and price, quote times."""
    rng = np.random.default_rng(seed)
    quoted = pd.Timestamp("2025-06-02 15:45")
    rows, truth = [], {}
    for root, S, q, european in (("ABC", 50.0, 0.02, False), ("SPX", 5000.0, 0.013, True)):
        for days in (16, 45, 200):
            expiry = quoted.normalize() + pd.Timedelta(days=days)
            T = ((expiry + pd.Timedelta(hours=16)) - quoted) / pd.Timedelta(days=365)
            D, F = math.exp(-RATE * T), S * math.exp((RATE - q) * T)
            truth[(root, expiry)] = F
            for K in np.round(S * np.linspace(0.85, 1.15, 25), 2):
                sigma = vol_of(math.log(K / F), T) * math.sqrt(T)
                for flag in "cp":
                    price = (kelvo.price(S, K, D, F, sigma, flag, style="european") if european
                             else baw_price(S, K, D, F, sigma, flag))
                    spread = max(0.01, 0.01 * price)
                    symbol = f"{root}{expiry:%y%m%d}{flag.upper()}{round(K * 1000):08d}"
                    row = {"exchange": {
                        "underlying_symbol": f"^{root}" if european else root,
                        "quote_date": "6/2/2025 0:00:00", "root": root,
                        "expiration": f"{expiry.month}/{expiry.day}/{expiry.year} 0:00:00",
                        "strike": K, "option_type": flag,
                        "bid_1545": price - spread, "ask_1545": price + spread,
                        "underlying_bid_1545": S - 0.01, "underlying_ask_1545": S + 0.01,
                        "bid_eod": price * 1.2, "ask_eod": price * 1.3,
                        "underlying_bid_eod": S * 1.01, "underlying_ask_eod": S * 1.01},
                        "web": {"contractSymbol": symbol, "strike": K,
                                "lastPrice": price * rng.uniform(0.5, 1.5), "bid": price - spread,
                                "ask": price + spread, "option_type": ("call", "put")[flag == "p"],
                                "expiration": f"{expiry:%Y-%m-%d}"},
                        "broker": {"symbol": symbol, "type": "option",
                                   "option_type": flag.upper(), "underlying": root,
                                   "underlying_price": S, "strike": K,
                                   "expiration_date": f"{expiry:%Y%m%d}",
                                   "quote_datetime": f"{quoted:%Y-%m-%d %H:%M:%S}",
                                   "last": 0.0, "bid": price - spread, "ask": price + spread},
                    }[layout]
                    rows.append(row)
    frame = pd.DataFrame(rows).sample(frac=1.0, random_state=seed).reset_index(drop=True)
    given = {"rate": RATE}
    if layout == "web":
        frame = frame[frame["contractSymbol"].str.startswith("SPX")]
        given.update(spot=5000.0, quote_date="2025-06-02", quote_time="15:45")
    return frame, given, truth


@pytest.mark.parametrize("layout", ["exchange", "web", "broker"])
def test_real_layouts_give_the_true_forwards_and_vols(layout):
    frame, given, truth = real_layout(layout)
    table, summary = chain.surface(frame, **given)
    assert len(summary) == len(truth) - 3 * (layout == "web")
    for row in summary.itertuples():
        symbol = row.symbol.lstrip("^")
        assert row.style == ("european" if symbol == "SPX" else "american")
        assert row.forward == pytest.approx(truth[(symbol, row.expiry)], rel=2e-5), row
        assert row.strikes_used >= chain.MIN_STRIKES
    bid, mid, ask = (table[f"iv_{side}"].to_numpy(float) for side in ("bid", "mid", "ask"))
    assert np.isfinite(mid).mean() > 0.95
    both = np.isfinite(bid) & np.isfinite(mid) & np.isfinite(ask)
    assert ((bid <= mid) & (mid <= ask))[both].all() and both.mean() > 0.9
    assert "mid" in summary.attrs["columns"] and "(bid + ask)" in summary.attrs["columns"]["mid"]


def test_the_accurate_engine_finds_the_forward_of_its_prices():
    S, r, q, T = 100.0, 0.05, 0.0, 2.0
    D, F = math.exp(-r * T), S * math.exp((r - q) * T)
    K = np.arange(90.0, 111.0, 2.5)
    flags = np.tile(["c", "p"], len(K))
    strikes = np.repeat(K, 2)
    price = kelvo.price(S, strikes, D, F, 0.3 * math.sqrt(T), flags, model="alo")
    frame = pd.DataFrame({"symbol": "AAA", "spot": S, "type": flags, "expiry": "2027-06-01",
                          "date": "2025-06-01", "strike": strikes, "mid": price})
    true = {model: chain.surface(frame, rate=r, model=model)[1]["forward"][0]
            for model in ("baw", "alo")}
    F = S * math.exp(r * 730 / 365)  # the table's time: 730 calendar days
    assert true["alo"] == pytest.approx(F, rel=1e-7) and abs(true["baw"] / F - 1) > 1e-4


def test_a_stale_last_column_changes_nothing_unless_named_for_the_mid():
    frame, _ = make_chain("vendor", seed=8)
    stale = frame.assign(Last=np.where(np.arange(len(frame)) % 3 == 0, 0.0, frame["Bid"] * 0.7))
    _, summary = chain.surface(frame, rate=RATE)
    _, with_last = chain.surface(stale, rate=RATE)
    assert summary.drop(columns=[]).equals(with_last)
    _, named = chain.surface(stale, rate=RATE, columns={"mid": "Last"})
    assert named.attrs["columns"]["mid"] == "Last (named)"
    assert (named["forward"] != summary["forward"]).all()


def test_the_roots_of_one_index_are_groups_and_a_named_column_sets_the_snapshot():
    frame, _, _ = real_layout("exchange")
    both = pd.concat([frame, frame[frame["root"] == "SPX"].assign(root="SPXW")],
                     ignore_index=True)
    _, summary = chain.surface(both, rate=RATE)
    T = summary.set_index(["symbol", "expiry"])["T"]
    assert set(summary["symbol"]) == {"ABC", "SPX", "SPXW"}
    # a row without its root: the underlying's symbol, which says European as well
    both.loc[both["root"] == "SPXW", "root"] = ""
    _, blank = chain.surface(both, rate=RATE)
    assert set(blank["symbol"]) == {"ABC", "SPX", "^SPX"} and blank["style"].iloc[-1] == "european"
    assert list((T["SPXW"] - T["SPX"]) * 365 * 24) == pytest.approx([6.5] * 3)  # PM against AM
    _, eod = chain.surface(frame, rate=RATE, columns={"bid": "bid_eod"})
    assert "ask_eod" in eod.attrs["columns"]["mid"] and "_eod" in eod.attrs["columns"]["spot"]
    with pytest.raises(ValueError, match="cannot find the column for type"):  # named for the mid
        chain.surface(frame, rate=RATE, columns={"mid": "option_type"})
    with pytest.raises(ValueError, match="bid_eod and ask_1545 are quotes of two times"):
        chain.surface(frame, rate=RATE, snapshot="1545", columns={"bid": "bid_eod"})


def test_a_table_without_a_symbol_column_is_one_underlying():
    frame, _ = make_chain("vendor", seed=8)
    one = frame[frame["UnderlyingSymbol"] == frame["UnderlyingSymbol"][0]]
    _, with_symbol = chain.surface(one, rate=RATE)
    _, without = chain.surface(one.drop(columns=["UnderlyingSymbol"]), rate=RATE)
    assert np.array_equal(with_symbol["forward"], without["forward"])


@pytest.mark.parametrize("change, given, problem", [
    (lambda f: f.assign(Type="option"), {}, "Type: no cell reads as calls and puts"),
    (lambda f: f.assign(Strike=f["Strike"] * 1000), {}, r"strike_scale= \(--strike-scale\)"),
    (lambda f: f.drop(columns=["UnderlyingPrice"]), {}, "give spot="),
    (lambda f: f.assign(UnderlyingPrice=0.0), {}, "UnderlyingPrice has no positive number"),
    (lambda f: f, {"style": "bermudan"}, "style must be"),
    (lambda f: f.assign(UnderlyingPrice=np.where(f.index % 2, 1.0, 2.0)), {},
     "differs from .* in one group"),
    (lambda f: f.assign(discount=np.where(f.index % 2, 0.99, 0.98)), {"rate": None},
     "must have one discount factor"),
    (lambda f: f, {"strike_pct": float("nan")}, "strike_pct nan"),
    (lambda f: f.drop(columns=["DataDate"]), {"quote_date": QUOTE_DATE, "rate": float("nan")},
     "rate nan"),
    (lambda f: f.set_axis([*f.columns[:-1], "Bid"], axis=1), {}, "2 columns are named 'Bid'"),
    (lambda f: f, {"rate": None, "discount": 0.99}, "discount= is a mapping of expiry"),
])
def test_tables_that_cannot_be_read_right_are_refused(change, given, problem):
    frame, _ = make_chain("vendor")
    with pytest.raises(ValueError, match=problem):
        chain.surface(change(frame), **dict({"rate": RATE}, **given))


def test_quote_dates_times_and_windows():
    frame, truth = make_chain("vendor")
    later = frame.assign(DataDate=(QUOTE_DATE + pd.Timedelta(days=1)).strftime("%m/%d/%Y"))
    both = pd.concat([frame, later], ignore_index=True)
    _, summary = chain.surface(both, rate=RATE)
    assert len(summary) == 2 * len(truth) and summary["quote_date"].nunique() == 2
    table, one = chain.surface(both, rate=RATE, quote_date=QUOTE_DATE)
    assert len(one) == len(truth) and table["iv_mid"][len(frame):].isna().all()
    # a time-to-expiry column instead of the quote date; a missing cell of it leaves its row
    # without results, not its group refused
    days = (pd.to_datetime(frame["Expiration"], format="%m/%d/%Y") - QUOTE_DATE).dt.days
    _, by_T = chain.surface(frame.drop(columns=["DataDate"]).assign(T=days / 365), rate=RATE)
    assert by_T["forward"].tolist() == one["forward"].tolist() and by_T["quote_date"].isna().all()
    table, _ = chain.surface(frame.assign(T=(days / 365).where(frame.index != 3)), rate=RATE)
    assert np.isnan(table["iv_mid"][3]) and table["iv_mid"].notna().sum() > len(frame) / 2
    # a day quoted at a time of day moves no other day's times to expiry
    timed = later.assign(DataDate=later["DataDate"] + " 15:45:00")
    _, beside = chain.surface(pd.concat([frame, timed], ignore_index=True), rate=RATE)
    on_the_day = lambda s: s["T"][s["quote_date"] == QUOTE_DATE].tolist()  # noqa: E731
    assert on_the_day(beside) == on_the_day(summary) and len(on_the_day(summary)) == len(truth)
    # dates as datetimes (a time zone's wall time), the quote date as a Timestamp
    zoned = frame.drop(columns=["DataDate"]).assign(Expiration=pd.to_datetime(
        frame["Expiration"], format="%m/%d/%Y").dt.tz_localize("America/New_York"))
    assert chain.surface(zoned, rate=RATE, quote_date=QUOTE_DATE)[1].equals(one)
    # a quote date that cannot be read leaves its row without results and moves no other
    unreadable = frame.copy()
    unreadable.loc[0, "DataDate"] = "n/a"
    table, broken = chain.surface(unreadable, rate=RATE)
    assert np.isnan(table["iv_mid"][0]) and broken["T"].equals(one["T"].reset_index(drop=True))
    # a same-day expiry: expired, unless the quotes were taken before the close
    today = frame.assign(Expiration=QUOTE_DATE.strftime("%m/%d/%Y"))
    assert chain.surface(today, rate=RATE)[1]["forward"].isna().all()
    _, intraday = chain.surface(today, rate=RATE, quote_time="10:00")
    assert np.allclose(intraday["T"], 6 / 24 / 365) and intraday["forward"].notna().all()
    # an AM-settled root expires at 9:30: a day's quotes without a time are the close's, so its
    # times to expiry are 6.5 hours short of whole days (they were whole days, as if quoted at
    # 9:30 where the PM-settled ones of one snapshot were quoted at 16:00)
    first = frame[frame["UnderlyingSymbol"] == frame["UnderlyingSymbol"][0]]
    _, pm = chain.surface(first, rate=RATE)
    _, am = chain.surface(first.assign(UnderlyingSymbol="SPX"), rate=RATE)
    assert np.allclose(am["T"], pm["T"] - 6.5 / 24 / 365, rtol=0, atol=1e-15)
    # a window of four usable strikes by default; a width given is used as find_forward_baw does
    assert (summary["strikes_used"] >= 4).all()
    assert (chain.surface(frame, rate=RATE, strike_pct=0.01)[1]["strikes_used"] <= 2).all()
    # the at-the-money vol lies between the vols of the strikes around the forward
    table, summary = chain.surface(frame, rate=RATE)
    for row in summary.itertuples():
        rows = table[(table["UnderlyingSymbol"] == row.symbol) & (table["Expiration"] ==
                                                                   row.expiry.strftime("%m/%d/%Y"))]
        below = rows[rows["Strike"] <= row.forward].nlargest(2, "Strike")["iv_mid"].mean()
        above = rows[rows["Strike"] >= row.forward].nsmallest(2, "Strike")["iv_mid"].mean()
        assert min(below, above) <= row.atm_vol <= max(below, above)


@pytest.mark.parametrize("convert", ["pyarrow", "polars", "nullable", "arrow-backed"])
def test_arrow_polars_and_nullable_tables(convert):
    frame, _ = make_chain("snake", seed=2)
    frame.loc[::7, "bid_eod"] = np.nan  # missing quotes: pandas' NA in a nullable column
    if convert == "arrow-backed":  # Arrow's dates, and the days to expiry as durations
        pytest.importorskip("pyarrow")
        frame = frame.assign(expiration=pd.to_datetime(frame["expiration"]))
        table = frame.assign(dte=frame["expiration"] - QUOTE_DATE).convert_dtypes(
            dtype_backend="pyarrow")
    elif convert == "nullable":
        table = frame.convert_dtypes()
        # discount factors as a Series on the expiries, as a mapping
        factors = {day: 0.99 for day in frame["expiration"].unique()}
        assert chain.surface(frame, discount=pd.Series(factors))[1].equals(
            chain.surface(frame, discount=factors)[1])
    else:
        module = pytest.importorskip(convert)
        table = (module.Table.from_pandas(frame) if convert == "pyarrow"
                 else module.from_pandas(frame))
    assert chain.surface(table, rate=RATE)[1].equals(chain.surface(frame, rate=RATE)[1])


def generated(path):
    """Two underlyings, four expiries, shuffled, with a note column that needs quoting."""
    frame, _ = make_chain("vendor", seed=3)
    frame = frame.drop(columns=["true_vol"])
    frame.insert(3, "Note", np.where(np.arange(len(frame)) % 3 == 0, 'say "hi",\nthere', "x"))
    frame.to_csv(path, index=False)


def writes(layout, columns=None):
    def write(path):
        frame, _, _ = real_layout(layout)
        frame[columns or list(frame.columns)].to_csv(path, index=False)
    return write


# file (or the function that writes it), options, and the chunk size of the command line
ENGINE_CASES = {
    "sample": (sample.OPTIONS_PATH, {"rate": 0.04, "greeks": True}, 16384),
    "generated": (generated, {"rate": RATE}, 7),
    "accurate engine": (generated, {"rate": RATE, "model": "alo", "precision": "fast"}, 500),
    "exchange": (writes("exchange"), {"rate": RATE}, 100),
    "broker": (writes("broker"), {"rate": RATE}, 1000),
    "option symbols only": (writes("web", ["contractSymbol", "bid", "ask"]),
                            {"rate": RATE, "spot": 5000.0, "quote_date": "2025-06-02"}, 100),
    # the real files, with the rates of their quote dates (and the web dump's spot and date)
    "dn_lower": (REAL / "dn_lower_SPXW_2018.csv", {"rate": 0.0145}, 3000),
    # the mid named (over bid and ask); the file's own delta... kept beside the greeks
    "dn_lower, mid named": (REAL / "dn_lower_SPXW_2018.csv",
                            {"rate": 0.0145, "greeks": True, "columns": {"mid": "last"}}, 3000),
    "datashop_A": (REAL / "datashop_A_20171130_smallset.csv", {"rate": 0.0127}, 16384),
    "datashop_calcs": (REAL / "datashop_calcs_SPX_20160104.csv", {"rate": 0.005}, 16384),
    "yahoo": (REAL / "yahoo_SPX_all_20260130.csv",
              {"rate": 0.036, "spot": 6936.0, "quote_date": "2026-01-30"}, 16384),
}


@pytest.mark.parametrize("case", list(ENGINE_CASES))
def test_one_engine(case, tmp_path, capsys):
    source, given, chunk = ENGINE_CASES[case]
    path = tmp_path / "table.csv"
    if callable(source):
        source(path)
    elif source.exists():
        path = source
    else:
        pytest.skip(f"{source} is not here")
    frame = pd.read_csv(path, dtype=str, keep_default_na=False, encoding="utf-8-sig")
    table, summary = chain.surface(frame, **given)

    # the command line: its summary, its table written and read back, and every quote printed
    # with its underlying (the root of its option symbol where there is no symbol column)
    argv = [str(path), "-o", str(tmp_path / "out.csv"), "--chunk-size", str(chunk)]
    for option, value in given.items():
        if option == "columns":
            argv += [x for role, name in value.items() for x in ("--column", f"{role}={name}")]
            continue
        argv += [f"--{option.replace('_', '-')}"] + ([] if value is True else [str(value)])
    capsys.readouterr()
    assert main(argv) == 0
    shown = capsys.readouterr().out.split("\n\n")[0].splitlines()[1:]
    assert len(shown) == len(frame) and all(line[:12].strip() for line in shown)
    argv.append("-q")
    args = parser().parse_args(argv)
    options(args)
    printed = engine.run_file(path, args, Terminal(None), None, None)
    written = pd.read_csv(tmp_path / "out.csv", dtype=str, keep_default_na=False)
    results = chain.RESULT_COLUMNS + (chain.GREEK_COLUMNS if given.get("greeks") else ())
    kept = chain.kept_input_names(list(frame.columns), results)
    assert list(written.columns) == kept + list(results) == list(table.columns)
    assert written[kept].set_axis(frame.columns, axis=1).equals(frame)
    for column in results:
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
    for column in results:
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


def real_files():
    spec = importlib.util.spec_from_file_location("kelvo_bench_real_files", Path(
        __file__).resolve().parent.parent / "bench" / "real_files.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name", ["dn_lower_SPXW_2018.csv", "datashop_A_20171130_smallset.csv",
                                  "yahoo_SPX_all_20260130.csv"])
def test_real_files_are_right(name):
    tool = real_files()
    if not (REAL / name).exists():
        pytest.skip(f"{name} is not here")
    f = tool.figures(REAL / name, tool.OPTIONS[name])
    # every expiry with two-sided quotes gets a forward, inside its parity band
    assert f["forwards"] == f["two-sided"] > 0 and f["inside band"] >= 0.98 * f["forwards"]
    assert f["between bid and ask"] >= 0.99 * f["mid vols"] > 0


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


def test_pictures_of_a_surface(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    from kelvo import plot

    backend = matplotlib.get_backend()
    table, summary = chain.surface(pd.read_csv(sample.OPTIONS_PATH), rate=0.04)
    figure = plot.surface(table, summary)
    assert isinstance(figure, matplotlib.figure.Figure) and len(figure.axes) == 2
    assert "KLVO on 2026-12-08" in figure._suptitle.get_text()
    smiles, term = figure.axes
    # calls, puts and the forward of each expiry; one legend entry and one term point each
    assert len(smiles.get_lines()) == 3 * len(summary)
    assert len(smiles.get_legend().get_texts()) == len(term.get_lines()[0].get_xdata()) == len(
        summary)
    assert smiles.get_ylabel() == "annualised implied volatility"
    # the command line draws the same picture into its file
    assert main(["-q", "--plot", str(tmp_path / "surface.png")]) == 0
    assert (tmp_path / "surface.png").read_bytes()[:4] == b"\x89PNG"
    # the accurate engine's vols are called so, not BAW's
    alo = chain.surface(pd.read_csv(sample.OPTIONS_PATH), rate=0.04, model="alo",
                        precision="fast")
    assert "American (ALO fast)" in plot.surface(*alo)._suptitle.get_text()
    axes = matplotlib.figure.Figure().subplots()
    assert plot.surface(table, summary, axes) is axes.figure and axes.get_legend()
    assert matplotlib.get_backend() == backend  # a notebook's backend stays as it was
    with pytest.raises(ValueError, match=r"no quotes on 2019-01-01 \(the quote dates: 2026-12-08"):
        plot.surface(table, summary, quote_date="2019-01-01")
    # a summary read back with nullable dtypes, an expiry without a forward among them
    nullable = summary.assign(forward=summary["forward"].where(summary.index != 0))
    plot.surface(table, nullable.convert_dtypes())

    # fifty expiries of six underlyings: four drawn, each with a colour bar of the time to
    # expiry, the two with the fewest quotes left out, and said so
    symbols, expiries = [f"S{i}" for i in range(6)], 50
    keys = [(s, e) for s in symbols for e in range(expiries)]
    day = np.datetime64("2026-01-30", "ns")
    many = {"symbol": np.array([k[0] for k in keys], dtype=object),
            "quote_date": np.full(len(keys), day),
            "expiry": day + np.array([np.timedelta64(7 * (1 + k[1]), "D") for k in keys]),
            "style": np.full(len(keys), "american"),
            "T": np.array([7 * (1 + k[1]) / 365 for k in keys]),
            "forward": np.full(len(keys), 100.0), "atm_vol": np.full(len(keys), 0.2),
            "quotes": np.array([10 + symbols.index(k[0]) for k in keys])}
    K = np.linspace(80, 120, 9)
    n = len(keys) * len(K)
    points = {"symbol": np.repeat(many["symbol"], len(K)), "quote_date": np.full(n, day),
              "expiry": np.repeat(many["expiry"], len(K)),
              "flag": np.tile(np.where(K < 100, "p", "c"), len(keys)),
              "strike": np.tile(K, len(keys)), "forward": np.full(n, 100.0),
              "mid": np.full(n, 0.2), "bid": np.full(n, 0.19), "ask": np.full(n, 0.21)}
    figure = plot.surface_figure(points, many)
    labels = [a.get_label() for a in figure.axes]
    assert len(labels) == 4 * 3 and labels.count("<colorbar>") == 4
    assert "2 more underlyings left out: S0, S1" in figure._suptitle.get_text()
    figure.savefig(tmp_path / "many.png")

    # quote dates none of which has a forward: the picture says so, not "with a forward"
    days = day + np.array([0, 1], dtype="timedelta64[D]")
    none = {**{k: v[:2] for k, v in many.items()}, "quote_date": days,
            "forward": np.full(2, np.nan)}
    figure = plot.surface_figure({k: v[:0] for k, v in points.items()}, none)
    title = figure._suptitle.get_text()
    assert "(the last of 2 quote dates)" in title and "no expiry has a forward" in title
    assert figure.axes[0].get_legend().get_texts()[0].get_text() == "2026-02-13 (no forward)"


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

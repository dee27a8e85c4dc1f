"""kelvo.dask against the in-process functions: threaded scheduler, a local cluster of worker
processes, odd and empty chunks, NaN and unsolvable rows, and a worker killed while it computes."""
import os
import signal
import time
from pathlib import Path

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from kelvo import baw_price, find_forward_baw, vectorized_baw_implied_vol  # noqa: E402
from kelvo import _arrays as kelvo_arrays  # noqa: E402
from kelvo import dask as kd  # noqa: E402

import dask  # noqa: E402
dd = pytest.importorskip("dask.dataframe")

from helpers import quotes  # noqa: E402


@pytest.fixture(scope="module")
def data():
    prices, S, K, D, F, flags = quotes(300_000)
    return (prices, S, K, D, F, np.array(flags)), vectorized_baw_implied_vol(
        prices, S, K, D, F, flags)


def same(a, b):
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


@pytest.mark.parametrize("chunks", [7919, 100_000, 300_000])
def test_threaded_arrays_equal_the_in_process_call(data, chunks):
    (prices, S, K, D, F, flags), expected = data
    # inputs chunked differently from prices are rechunked to them
    arrays = [da.from_array(a, chunks=chunks if i % 2 == 0 else 12_345)
              for i, a in enumerate((prices, S, K, D, F))]
    got = kd.implied_vol(*arrays, da.from_array(flags, chunks=chunks))
    assert same(got.compute(scheduler="threads", num_workers=2), expected)


def test_scalars_broadcast_and_shapes_are_checked(data):
    (prices, S, K, D, F, flags), _ = data
    n = 1000
    got = kd.implied_vol(prices[:n], 100.0, K[:n], 0.97, 101.0, "c").compute(scheduler="sync")
    assert same(got, vectorized_baw_implied_vol(prices[:n], [100.0] * n, K[:n], [0.97] * n,
                                                [101.0] * n, ["c"] * n))
    with pytest.raises(ValueError, match="K_arr has shape"):
        kd.implied_vol(prices[:n], S[:n], K[:n - 1], D[:n], F[:n], flags[:n])


def test_dataframe_with_empty_partitions_and_nan_rows(data):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    (prices, S, K, D, F, flags), expected = data
    n = 50_000
    frame = pd.DataFrame({"mid": prices[:n], "S": S[:n], "K": K[:n], "D": D[:n], "F": F[:n],
                          "flag": flags[:n], "row": np.arange(n)})
    # a filter that empties whole partitions: only the first and last tenth of the rows pass
    keep = (frame.row < n // 10) | (frame.row >= n - n // 10)
    ddf = dd.from_pandas(frame, npartitions=13)
    ddf = ddf[(ddf.row < n // 10) | (ddf.row >= n - n // 10)]
    got = kd.implied_vol(ddf, columns={"price": "mid"}).compute(scheduler="threads")
    assert got.name == "iv" and list(got.index) == list(frame.index[keep])
    assert same(got.to_numpy(), expected[:n][keep])


def chain_frame(pd, expiries=12, seed=9):
    rng = np.random.default_rng(seed)
    rows = []
    for e in range(expiries):
        S, T = 100.0, 0.1 + 0.2 * e
        D, F = np.exp(-0.03 * T), S * np.exp(0.02 * T) * rng.uniform(0.995, 1.005)
        for k in rng.permutation(np.arange(80.0, 121.0)):
            s = (0.22 + 0.3 * np.log(k / F) ** 2) * np.sqrt(T)
            rows.append((T, k, baw_price(S, k, D, F, s, "c"), baw_price(S, k, D, F, s, "p"), S, D))
    return pd.DataFrame(rows, columns=["expiry", "strike", "call", "put", "S", "D"])


def test_forwards_per_expiry_equal_the_in_process_search():
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    frame = chain_frame(pd)
    got = kd.forwards(dd.from_pandas(frame, npartitions=5), strike_pct=0.05)
    got = got.compute(scheduler="threads").sort_index()
    for expiry, group in frame.groupby("expiry"):
        group = group.sort_values("strike", kind="stable")
        assert got[expiry] == find_forward_baw(group.call.to_numpy(), group.put.to_numpy(),
                                               group.strike.to_numpy(), 100.0,
                                               group.D.iloc[0], 0.05)


def test_the_frames_first_rows_and_columns_whatever_the_partitions():
    # a strike quoted twice and an index not ascending: the frame's first quote wins, as
    # in-process; an underlying without a price, alone in its part: the columns the whole
    # frame's first rows choose
    pd = pytest.importorskip("pandas")
    from kelvo.chain import expiry_forward, surface
    frame = chain_frame(pd, expiries=3)
    frame = pd.concat([frame, frame[frame.strike == 100].assign(call=lambda d: d.call + 0.3)],
                      ignore_index=True).iloc[::-1]
    for source in (frame, dd.from_pandas(frame, npartitions=3, sort=False)):
        got = kd.forwards(source).compute(scheduler="threads")
        for expiry, group in frame.groupby("expiry", sort=False):
            assert got[expiry] == expiry_forward(group.call, group.put, group.strike, 100.0,
                                                 group.D.iloc[0])[0]
    real = Path(__file__).resolve().parents[2] / "shared" / "data" / "real"
    if not real.exists():
        pytest.skip(f"{real} is not here")
    day = pd.read_csv(real / "dn_lower_SPXW_2018.csv").query("quotedate == '01/16/2018'")
    frame = pd.concat([day.iloc[::-1], day.assign(underlying="XYZ", underlying_last=0.0)],
                      ignore_index=True)
    table, summary = surface(frame, rate=0.0145)
    for n in (1, 2):
        got = dask.compute(*kd.surface(dd.from_pandas(frame, npartitions=n), npartitions=n,
                                       rate=0.0145), scheduler="threads")
        assert got[1].forward.tolist() == summary.forward.tolist()
        assert np.array_equal(got[0].sort_index().iv_mid, table.iv_mid, equal_nan=True)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=40)
    with cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.filterwarnings("ignore:Sending large graph")
def test_local_cluster_equals_the_in_process_call(client, data):
    (prices, S, K, D, F, flags), expected = data
    arrays = [da.from_array(a, chunks=40_001) for a in (prices, S, K, D, F, flags)]
    assert same(client.compute(kd.implied_vol(*arrays)).result(), expected)


@pytest.mark.filterwarnings("ignore:Sending large graph")
def test_a_killed_worker_is_replaced_and_the_result_is_complete(client, data):
    (prices, S, K, D, F, flags), expected = data
    arrays = [da.from_array(a, chunks=5_000) for a in (prices, S, K, D, F, flags)]
    future = client.compute(kd.implied_vol(*arrays))
    deadline = time.monotonic() + 30
    while not client.processing() or not any(client.processing().values()):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    pids = client.run(os.getpid)
    victim = sorted(pids)[0]
    os.kill(pids[victim], signal.SIGKILL)  # its nanny starts a new worker process
    assert not future.done()
    assert same(future.result(timeout=120), expected)
    client.wait_for_workers(2, timeout=60)
    assert pids[victim] not in client.run(os.getpid).values()


# Every kind of flags the in-process function takes means the same here.
@pytest.mark.parametrize("make_flags", [
    lambda n: "cpc" * (n // 3),
    lambda n: ["c", None, "p"] * (n // 3),
    lambda n: np.array(["c", None, 3.0] * (n // 3), dtype=object),
    lambda n: tuple("ccp" * (n // 3)),
    lambda n: da.from_array(np.array(["c", None, "p"] * (n // 3), dtype=object), chunks=4),
])
def test_flag_kinds_agree_with_the_in_process_call(make_flags):
    n = 12
    prices, K = np.linspace(2, 8, n), np.linspace(95, 106, n)
    flags = make_flags(n)
    expected = vectorized_baw_implied_vol(prices, [100.0] * n, K, [0.99] * n, [103.0] * n,
                                          flags.compute() if hasattr(flags, "compute") else flags)
    got = kd.implied_vol(da.from_array(prices, chunks=5), 100.0, K, 0.99, 103.0, flags)
    assert same(got.compute(scheduler="sync"), expected)


@pytest.mark.filterwarnings("ignore:Dask currently has limited support:UserWarning")
def test_frames_pandas_missing_flags_and_unknown_chunks():
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    n = 12
    frame = pd.DataFrame({"price": np.linspace(2, 8, n), "S": 100.0, "K": np.linspace(95, 106, n),
                          "D": 0.99, "F": 103.0, "flag": ["c", None, "p"] * (n // 3)})
    expected = vectorized_baw_implied_vol(*(frame[c].to_numpy() for c in "price S K D F".split()),
                                          frame["flag"].tolist())
    ddf = dd.from_pandas(frame, npartitions=3)
    for source in (frame, ddf):  # a pandas frame is taken as one partition
        assert same(kd.implied_vol(source).compute(scheduler="sync"), expected)
    # arrays from a frame have unknown chunk sizes, aligned block for block
    arrays = [ddf[c].to_dask_array() for c in ("price", "K", "flag")]
    got = kd.implied_vol(arrays[0], 100.0, arrays[1], 0.99, 103.0, arrays[2])
    assert same(got.compute(scheduler="sync"), expected)


def test_rows_with_a_missing_expiry_form_their_own_group():
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    K = np.linspace(90, 110, 9)
    rows = [pd.DataFrame({"expiry": expiry, "strike": K, "S": 100.0, "D": 0.99,
                          "call": [baw_price(100, k, 0.99, F, 0.2, "c") for k in K],
                          "put": [baw_price(100, k, 0.99, F, 0.2, "p") for k in K]})
            for expiry, F in ((0.5, 101.0), (np.nan, 102.0))]
    frame = pd.concat(rows, ignore_index=True)
    import dask

    with dask.config.set({"dataframe.shuffle.method": "tasks"}):  # whatever client is around
        got = kd.forwards(dd.from_pandas(frame, npartitions=2), strike_pct=0.05).compute(
            scheduler="sync")
    assert len(got) == 2
    assert got[0.5] == pytest.approx(101.0, rel=1e-6)
    assert got[got.index.isna()].iloc[0] == pytest.approx(102.0, rel=1e-6)


def test_prices_and_greeks_chunk_wise(data):
    pd = pytest.importorskip("pandas")
    (prices, S, K, D, F, flags), _ = data
    n = 20_000
    sigma = np.random.default_rng(9).uniform(0.05, 1.0, n)
    args = (S[:n], K[:n], D[:n], F[:n], sigma, flags[:n])
    expected = kelvo_arrays.vectorized_baw_greeks(*args)
    chunked = [da.from_array(a, chunks=3001) for a in args[:5]]
    got = kd.greeks(*chunked, flags[:n])
    computed = dict(zip(got, dask.compute(*got.values(), scheduler="threads")))
    assert all(same(computed[g], expected[g]) for g in expected)
    assert same(kd.price(*chunked, flags[:n]).compute(scheduler="threads"), expected["price"])
    frame = pd.DataFrame(dict(zip(("S", "K", "D", "F", "vol", "flag"), args)))
    ddf = dd.from_pandas(frame, npartitions=5)
    by_frame = kd.greeks(ddf, columns={"sigma": "vol"}).compute(scheduler="threads")
    assert list(by_frame.columns) == ["price", "delta", "gamma", "vega", "dF", "dD"]
    assert all(same(by_frame[g].to_numpy(), expected[g]) for g in expected)

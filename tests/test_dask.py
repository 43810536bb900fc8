"""Segmentation on a Dask LocalCluster of two process workers, on small data."""
import datetime
import importlib.util
import os
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import segmora
import segmora_dask as sd

dd = pytest.importorskip("dask.dataframe", reason="Dask is not installed (pip install '.[dask]')")
distributed = pytest.importorskip("dask.distributed", reason="Dask is not installed (pip install '.[dask]')")
import dask.array as da  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
spec = importlib.util.spec_from_file_location("scale_out_dask", os.path.join(ROOT, "examples", "scale_out_dask.py"))
example = importlib.util.module_from_spec(spec)
spec.loader.exec_module(example)

NOW = datetime.datetime.now(datetime.timezone.utc)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def features():
    return example.feature_frame(3_000, 5, 4).compute()


def fitted(model):
    return model.centers, model.inertia, model.n_iter


@pytest.mark.parametrize("n_parts, as_array, max_iter, init", [
    (1, False, 300, "k-means++"), (1, True, 300, "k-means++"), (1, False, 1, "k-means++"), (4, False, 300, "k-means++"),
    (3, True, 300, "k-means++"), (5, False, 0, "k-means++"), (1, True, 300, "k-means||"), (4, False, 300, "k-means||"),
    (3, True, 2, "k-means||"),
])
def test_distributed_fit_equals_the_in_memory_loop(client, features, n_parts, as_array, max_iter, init):
    frame = dd.from_pandas(features, npartitions=n_parts, sort=False)
    chunks = [np.ascontiguousarray(p.compute().to_numpy()) for p in frame.to_delayed()]
    data = da.concatenate([da.from_array(c, chunks=c.shape) for c in chunks]) if as_array else frame
    model, labels = sd.fit_predict_kmeans_dask(client, data, 4, max_iter=max_iter, random_state=5, sample_fraction=1.0,
                                               init=init)
    assert fitted(model) == fitted(sd.fit_kmeans_chunks(chunks, 4, max_iter=max_iter, random_state=5, init=init))
    if n_parts == 1 and init == "k-means++":
        expected = segmora.kmeans_py(chunks[0], 4, max_iter=max_iter, random_state=5)
        assert fitted(model) == fitted(expected) and labels.compute().tolist() == expected.labels
    if max_iter == 300:  # converged: the fit's labels are the model's predictions
        assert labels.compute().tolist() == model.predict(np.vstack(chunks))
    segments = sd.predict_dask(model, frame).compute()
    assert segments.index.equals(features.index) and segments.tolist() == model.predict(np.vstack(chunks))
    if n_parts == 3:  # fitted engine objects travel pickled too
        seg = segmora.PyAudienceSegmenter(4, n_jobs=1)
        seg.fit(np.vstack(chunks))
        assert sd.predict_dask(seg, frame).compute().tolist() == seg.predict(np.vstack(chunks))


def test_blocks_held_by_one_worker_are_spread_before_the_fit(client, features):
    workers = sorted(client.scheduler_info()["workers"])
    sizes = [900, 600, 500, 400, 300, 300]
    blocks = [client.scatter(features.to_numpy()[:n], workers=[workers[0]]) for n in sizes]
    blocks, where = sd._place_evenly(client, blocks, sizes)
    homes = client.who_has(blocks)
    assert [list(homes[b.key]) for b in blocks] == [[w] for w in where]
    assert sorted(sum(n for n, w in zip(sizes, where) if w == worker) for worker in workers) == [1500, 1500]


TIMESTAMP_FORMS = {
    "text": lambda ts: ts,
    "datetime64-utc": lambda ts: pd.to_datetime(ts, utc=True),
    "datetime64-naive": lambda ts: pd.to_datetime(ts, utc=True).dt.tz_localize(None).astype("datetime64[s]"),
    "epoch-seconds": lambda ts: pd.to_datetime(ts, utc=True).dt.as_unit("s").astype("int64").astype("Int64"),
}


def transactions(n_parts, form):
    tx = example.transaction_frame(1_500, 200, n_parts, NOW, seed=n_parts).compute()
    tx["timestamp"] = TIMESTAMP_FORMS[form](tx["timestamp"])
    if form != "text":  # one missing time, one after as_of (each customer's only row), one NaN amount
        tx.loc[len(tx)] = ["lost", None, 5.0]
        tx.loc[len(tx)] = ["late", TIMESTAMP_FORMS[form](pd.Series([(NOW + pd.Timedelta(days=2)).isoformat()]))[0], 1.0]
        tx.loc[3, "amount"] = np.nan
    return tx


def warned(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [str(w.message) for w in caught]


@pytest.mark.parametrize("n_parts, scoring, form", [(1, "quintile", "text"), (3, "decile", "datetime64-utc"),
                                                    (6, "percentile", "datetime64-naive"), (4, "quintile", "epoch-seconds")])
def test_distributed_rfm_equals_rfm_from_columns(client, n_parts, scoring, form):
    tx = transactions(n_parts, form)
    settings = sd.RFMSettings("linear", 30, scoring)
    expected, expected_warnings = warned(lambda: segmora.rfm_from_columns(
        tx["customer_id"], tx["timestamp"], tx["amount"], settings.config(), NOW))
    got, got_warnings = warned(lambda: sd.rfm_dask(client, dd.from_pandas(tx, npartitions=n_parts, sort=False),
                                                   settings, now=NOW))
    assert got_warnings == expected_warnings
    assert len(expected_warnings) == (0 if form == "text" else 3)
    row = lambda cid, r, f, m, rank, segment: (cid, repr(float(r)), repr(float(f)), repr(float(m)), rank, segment)
    assert [row(s.customer_id, s.recency, s.frequency, s.monetary, s.rfm_rank, s.rfm_segment) for s in got] == list(
        map(row, expected["customer_id"], expected["recency"], expected["frequency"], expected["monetary"],
            (f"{r}{f}{m}" for r, f, m in zip(expected["r_score"], expected["f_score"], expected["m_score"])),
            expected["segment"]))


@pytest.mark.parametrize("n_parts, form, as_of, amounts, int_ids", [
    (1, "text", None, True, False), (3, "datetime64-utc", NOW, True, True), (5, "datetime64-naive", None, False, False),
    (4, "epoch-seconds", NOW, True, False)])
def test_distributed_clv_summary_equals_clv_summary_from_columns(client, n_parts, form, as_of, amounts, int_ids):
    tx = transactions(n_parts, form)
    if int_ids:
        tx["customer_id"] = tx["customer_id"].map(lambda c: sum(map(ord, c)) * 1009 + len(c))
    if not amounts:
        tx = tx.drop(columns="amount")
    frame = dd.from_pandas(tx, npartitions=n_parts, sort=False)
    tx = frame.compute()  # the columns as Dask gives them (strings become Arrow strings)
    expected, expected_warnings = warned(lambda: segmora.clv_summary_from_columns(
        tx["customer_id"], tx["timestamp"], tx.get("amount"), as_of, 7.0))
    got, got_warnings = warned(lambda: sd.clv_summary_dask(client, frame, as_of, 7.0))
    assert got_warnings == expected_warnings and len(got_warnings) == (form != "text") * (1 + amounts + (as_of is not None))
    assert list(got) == list(expected) and got["customer_id"].dtype == expected["customer_id"].dtype
    assert list(got["customer_id"]) == list(expected["customer_id"])
    for column in list(expected)[1:]:
        assert got[column].tobytes() == expected[column].tobytes(), column


def test_prediction_keeps_feature_names():
    # A scikit-learn model fitted on named columns predicts each partition without a feature-name warning.
    from sklearn.cluster import KMeans

    frame = pd.DataFrame({"a": [0.0, 0.1, 5.0, 5.1], "b": [0.0, 0.2, 5.0, 4.9]})
    model = KMeans(2, n_init=1, random_state=0).fit(frame)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        labels = sd._predict_partition(frame, model)
    assert labels.tolist() == model.predict(frame).tolist()


def test_rfm_straight_from_a_parquet_dataset(client, tmp_path):
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    import out_of_core

    out_of_core.write_transactions(str(tmp_path), 2_000, 150, NOW, files=3)
    frame = pd.read_parquet(str(tmp_path))
    expected = segmora.calculate_rfm_py(list(frame.itertuples(index=False, name=None)), sd.RFMSettings().config())
    got = out_of_core.rfm_from_parquet(client, str(tmp_path), NOW)
    assert [repr(s) + s.rfm_rank for s in got] == [repr(s) + s.rfm_rank for s in expected]
    assert [(s.recency, s.monetary) for s in got] == [(s.recency, s.monetary) for s in expected]


def test_the_example_runs_on_two_workers():
    out = example.main(workers=2, rows=4_000, features=3, partitions=3, transactions=800, customers=90)
    assert int(out["sizes"].sum()) == 4_000 and len(out["scores"]) == len(out["summary"]) == 90

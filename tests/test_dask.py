"""Segmentation on a Dask LocalCluster of two process workers, on small data."""
import datetime
import importlib.util
import os

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


@pytest.mark.parametrize("n_parts, as_array, max_iter", [(1, False, 300), (1, True, 300), (1, False, 1),
                                                          (4, False, 300), (3, True, 300), (5, False, 0)])
def test_distributed_fit_equals_the_in_memory_loop(client, features, n_parts, as_array, max_iter):
    frame = dd.from_pandas(features, npartitions=n_parts, sort=False)
    chunks = [np.ascontiguousarray(p.compute().to_numpy()) for p in frame.to_delayed()]
    data = da.concatenate([da.from_array(c, chunks=c.shape) for c in chunks]) if as_array else frame
    model = sd.fit_kmeans_dask(client, data, 4, max_iter=max_iter, random_state=5, sample_fraction=1.0)
    assert fitted(model) == fitted(sd.fit_kmeans_chunks(chunks, 4, max_iter=max_iter, random_state=5))
    if n_parts == 1:
        assert fitted(model) == fitted(segmora.kmeans_py(chunks[0], 4, max_iter=max_iter, random_state=5))
    labels = sd.predict_dask(model, frame).compute()
    assert labels.index.equals(features.index) and labels.tolist() == model.predict(np.vstack(chunks))
    if n_parts == 3:  # fitted engine objects travel pickled too
        seg = segmora.PyAudienceSegmenter(4, n_jobs=1)
        seg.fit(np.vstack(chunks))
        assert sd.predict_dask(seg, frame).compute().tolist() == seg.predict(np.vstack(chunks))


@pytest.mark.parametrize("n_parts, scoring", [(1, "quintile"), (3, "decile"), (6, "percentile")])
def test_distributed_rfm_equals_calculate_rfm_py(client, n_parts, scoring):
    tx = example.transaction_frame(1_500, 200, n_parts, NOW, seed=n_parts)
    settings = sd.RFMSettings("linear", 30, scoring)
    expected = segmora.calculate_rfm_py(list(tx.compute().itertuples(index=False, name=None)), settings.config())
    got = sd.rfm_dask(client, tx, settings, now=NOW.isoformat())
    assert [repr(s) + s.rfm_rank for s in got] == [repr(s) + s.rfm_rank for s in expected]
    assert [(s.recency, s.monetary) for s in got] == [(s.recency, s.monetary) for s in expected]


def test_the_example_runs_on_two_workers():
    out = example.main(workers=2, rows=4_000, features=3, partitions=3, transactions=800, customers=90)
    assert int(out["sizes"].sum()) == 4_000 and len(out["scores"]) == 90

"""Data larger than memory on one machine: mini-batch k-means over a Parquet
dataset read batch by batch, and RFM straight from Parquet with Dask.

    pip install '.[dask]' pyarrow
    python examples/out_of_core.py --rows 5000000 --dir /tmp/segmora-parquet

Writes a features dataset (several Parquet files, written a file at a time)
and a transactions dataset unless they exist, then:

* streams the features with ``pyarrow.dataset`` in record batches of
  ``--batch-size`` rows into ``segmora.MiniBatchKMeans.partial_fit``: memory
  holds a few batches, never the dataset;
* scores RFM with ``segmora_dask.rfm_dask`` on ``dask.dataframe.read_parquet``
  of the transactions, on a local cluster of process workers.
"""

from __future__ import annotations

import argparse
import datetime
import os

import numpy as np

import segmora

FEATURES = ["recency", "frequency", "monetary", "tenure"]
CENTERS = np.array([[10.0, 8.0, 900.0, 30.0], [60.0, 3.0, 300.0, 20.0], [200.0, 1.0, 80.0, 6.0],
                    [30.0, 12.0, 2000.0, 40.0]])


def write_features(path: str, rows: int, files: int = 8, seed: int = 0, row_group: int = 65_536) -> None:
    """`rows` rows around CENTERS, one Parquet file at a time (memory: one file's rows), in row groups of
    `row_group` rows (a reader decodes one row group at a time)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    os.makedirs(path, exist_ok=True)
    rng = np.random.default_rng(seed)
    per_file = -(-rows // files)
    for f in range(files):
        n = max(0, min(per_file, rows - f * per_file))
        values = CENTERS[rng.integers(0, len(CENTERS), n)] * rng.normal(1.0, 0.05, (n, len(FEATURES)))
        pq.write_table(pa.table({c: values[:, j] for j, c in enumerate(FEATURES)}),
                       os.path.join(path, f"part-{f:04d}.parquet"), row_group_size=row_group)


def batches(path: str, columns: list[str], batch_size: int):
    """The dataset's rows as record batches of up to `batch_size` rows, in order, one row group in memory at a time.

    Row groups are read one by one on the calling thread: a scanner reading
    ahead on its own threads would hold as much of the dataset as a slow
    consumer leaves unread.
    """
    import pyarrow.dataset as ds

    for fragment in ds.dataset(path, format="parquet").get_fragments():
        for row_group in fragment.split_by_row_group():
            yield from row_group.to_table(columns=columns, use_threads=False).to_batches(max_chunksize=batch_size)


def fit_minibatch(path: str, n_clusters: int = 4, batch_size: int = 65_536, random_state: int = 0):
    """MiniBatchKMeans fed the dataset's record batches in order, each as a float64 array."""
    model = segmora.MiniBatchKMeans(n_clusters, random_state=random_state)
    for batch in batches(path, FEATURES, batch_size):
        rows = np.column_stack([batch.column(j).to_numpy() for j in range(batch.num_columns)])
        model.partial_fit(rows)
    return model


def write_transactions(path: str, n_transactions: int, n_customers: int, now: datetime.datetime, files: int = 4,
                       seed: int = 1) -> None:
    """customer_id, timestamp (RFC 3339 text, half a day past whole days before `now`), amount."""
    import pandas as pd

    os.makedirs(path, exist_ok=True)
    rng = np.random.default_rng(seed)
    per_file = -(-n_transactions // files)
    for f in range(files):
        n = max(0, min(per_file, n_transactions - f * per_file))
        days = rng.integers(0, 365, n)
        pd.DataFrame({
            "customer_id": [f"C{c:06d}" for c in rng.integers(0, n_customers, n)],
            "timestamp": [(now - datetime.timedelta(days=int(d), hours=12)).strftime("%Y-%m-%dT%H:%M:%SZ")
                          for d in days],
            "amount": np.round(rng.gamma(2.0, 40.0, n), 2),
        }).to_parquet(os.path.join(path, f"part-{f:04d}.parquet"), index=False)


def rfm_from_parquet(client, path: str, now: datetime.datetime, settings=None):
    """RFM records of the transactions dataset, read by Dask partition by partition."""
    import dask.dataframe as dd

    import segmora_dask as sd

    return sd.rfm_dask(client, dd.read_parquet(path), settings or sd.RFMSettings(), now=now.isoformat())


def main(directory: str, rows: int = 1_000_000, batch_size: int = 65_536, transactions: int = 100_000,
         customers: int = 10_000, workers: int = 2) -> dict:
    from dask.distributed import Client, LocalCluster

    features, tx = os.path.join(directory, "features"), os.path.join(directory, "transactions")
    now = datetime.datetime.now(datetime.timezone.utc)
    if not os.path.isdir(features):
        write_features(features, rows)
    model = fit_minibatch(features, batch_size=batch_size)
    print("mini-batch centers (recency, frequency, monetary, tenure):")
    print(np.round(model.cluster_centers_[np.argsort(model.cluster_centers_[:, 2])], 1))

    write_transactions(tx, transactions, customers, now)
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        scores = rfm_from_parquet(client, tx, now)
    print(f"RFM: {len(scores)} customers, first: {scores[0]!r}")
    return {"model": model, "scores": scores, "now": now}


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default="segmora-parquet")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--batch-size", type=int, default=65_536)
    args = parser.parse_args()
    main(args.dir, rows=args.rows, batch_size=args.batch_size)

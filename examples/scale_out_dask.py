"""Segmentation on a Dask cluster: k-means, RFM and per-partition prediction.

    pip install '.[dask]'
    python examples/scale_out_dask.py --workers 2 --rows 1000000

Starts a LocalCluster of process workers, generates the feature rows on the
workers (never on the driver), fits k-means with k-means|| seeds sampled on the
workers and the Lloyd loop over the partitions (the rows never leave their
workers), scores RFM and summarises every customer for the purchase and spend
models from a Dask DataFrame of transactions, and labels every row partition by
partition with the fitted model.
"""

from __future__ import annotations

import argparse
import datetime

import numpy as np
import pandas as pd

import segmora_dask as sd


def feature_frame(n_rows: int, n_features: int, n_partitions: int, seed: int = 0):
    """A Dask DataFrame of blob-shaped features, each partition generated on a worker."""
    import dask
    import dask.dataframe as dd

    columns = [f"f{j}" for j in range(n_features)]
    per_part = -(-n_rows // n_partitions)

    def make(i: int) -> pd.DataFrame:
        rng = np.random.default_rng(seed * 7919 + i)
        n = max(0, min(per_part, n_rows - i * per_part))
        centers = np.arange(4, dtype=np.float64)[rng.integers(0, 4, n)] * 5.0
        values = rng.normal(0.0, 1.0, (n, n_features)) + centers[:, None]
        return pd.DataFrame(values, columns=columns, index=pd.RangeIndex(i * per_part, i * per_part + n))

    meta = pd.DataFrame({c: pd.Series(dtype="float64") for c in columns})
    return dd.from_delayed([dask.delayed(make)(i) for i in range(n_partitions)], meta=meta)


def transaction_frame(n_transactions: int, n_customers: int, n_partitions: int, now: datetime.datetime,
                      seed: int = 1):
    """A Dask DataFrame of transactions: customer_id, timestamp (RFC 3339 text), amount."""
    import dask.dataframe as dd

    rng = np.random.default_rng(seed)
    days = rng.integers(0, 365, n_transactions)
    # Half a day past whole days, so the day counts do not depend on when this runs.
    stamps = [(now - datetime.timedelta(days=int(d), hours=12)).strftime("%Y-%m-%dT%H:%M:%SZ") for d in days]
    frame = pd.DataFrame({
        "customer_id": [f"C{c:06d}" for c in rng.integers(0, n_customers, n_transactions)],
        "timestamp": stamps,
        "amount": np.round(rng.gamma(2.0, 40.0, n_transactions), 2),
    })
    return dd.from_pandas(frame, npartitions=n_partitions, sort=False)


def main(workers: int = 2, rows: int = 200_000, features: int = 8, partitions: int = 8, clusters: int = 4,
         transactions: int = 20_000, customers: int = 2_000) -> dict:
    from dask.distributed import Client, LocalCluster

    now = datetime.datetime.now(datetime.timezone.utc)
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        features_df = feature_frame(rows, features, partitions)
        model = sd.fit_kmeans_dask(client, features_df, clusters)
        segments = sd.predict_dask(model, features_df)
        sizes = segments.value_counts().compute().sort_index()

        tx = transaction_frame(transactions, customers, partitions, now)
        scores = sd.rfm_dask(client, tx, sd.RFMSettings("exponential", 30, "quintile"), now=now.isoformat())
        summary = pd.DataFrame(sd.clv_summary_dask(client, tx, as_of=now, period_days=7.0))

    print(f"k-means: {model.n_iter} iterations, inertia {model.inertia:.1f}")
    print("segment sizes:", dict(sizes))
    print(f"RFM: {len(scores)} customers, first: {scores[0]!r}")
    print(f"summary for the purchase models (weeks): {len(summary)} customers, "
          f"{(summary['frequency'] > 0).mean():.0%} with repeat purchases")
    return {"model": model, "sizes": sizes, "scores": scores, "summary": summary, "now": now}


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--clusters", type=int, default=4)
    args = parser.parse_args()
    main(workers=args.workers, rows=args.rows, partitions=args.partitions, clusters=args.clusters)

"""Segmentation over partitioned data: k-means and RFM on Dask.

The heavy work runs partition by partition through segmora's chunk functions;
the driver only combines small per-partition results, in partition order:

* k-means: each Lloyd iteration sends the k x d centers to every partition and
  brings back k x d sums, k counts and one inertia per partition. Labels stay
  with the partitions. With one partition the fit reproduces
  ``segmora.kmeans_py`` bit for bit from the same seed; with several it is
  deterministic for a fixed partitioning.
* RFM: transactions are shuffled so that each customer lives in one partition;
  each partition reads its columns as ``segmora.rfm_from_columns`` does and
  yields one (customer, recency, frequency, monetary, first row, latest
  purchase) tuple per customer with a count of what it skipped, and one global
  step scores and names them, giving exactly ``rfm_from_columns``'s records and
  warnings for the same instant.

``fit_kmeans_chunks`` and ``rfm_chunks`` work on plain in-memory chunks; the
``*_dask`` functions take Dask collections and a ``dask.distributed.Client``.
This module imports Dask only inside the functions that need it.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Callable, Iterable, Sequence

import segmora

__all__ = [
    "CentersModel",
    "RFMSettings",
    "combine_steps",
    "fit_kmeans_chunks",
    "fit_kmeans_dask",
    "predict_dask",
    "rfm_chunks",
    "rfm_dask",
    "utc_now",
]


# ---- k-means ----


@dataclasses.dataclass(frozen=True)
class CentersModel:
    """A fitted k-means model as plain values: picklable, predicts anywhere."""

    centers: list[list[float]]
    inertia: float
    n_iter: int

    def predict(self, data: Any) -> list[int]:
        """Label of the nearest center of every row (ties to the lower index)."""
        return segmora.kmeans_chunk_step(data, self.centers)[6]


def combine_steps(steps: Sequence[tuple], centers: Sequence[Sequence[float]]) -> tuple[list[list[float]], bool]:
    """Next centers from chunk steps in partition order, and whether a cluster was empty.

    Sums and counts are added partition by partition; an empty cluster takes
    the row farthest from its nearest center (ties to the later row).
    """
    k = len(centers)
    sums = [list(row) for row in steps[0][0]]
    counts = list(steps[0][1])
    for step in steps[1:]:
        for c in range(k):
            counts[c] += step[1][c]
            row, add = sums[c], step[0][c]
            for j in range(len(row)):
                row[j] += add[j]
    farthest, farthest_d = None, -math.inf
    for step in steps:
        if step[5] is not None and step[4] >= farthest_d:
            farthest, farthest_d = step[5], step[4]
    empty = False
    for c in range(k):
        if counts[c] > 0:
            count = float(counts[c])
            sums[c] = [v / count for v in sums[c]]
        else:
            empty = True
            sums[c] = list(farthest)
    return sums, empty


def _lloyd(run_steps: Callable, run_inertia: Callable, n_rows: Sequence[int], seeds: list[list[float]],
           max_iter: int) -> CentersModel:
    """The Lloyd loop over partitions.

    run_steps(centers, labels) -> (the chunk steps' first six items in
    partition order, handles of the new labels); run_inertia(centers, labels)
    -> per-partition inertias. Labels are None (all 0) before the first
    iteration.
    """
    centers, labels = seeds, None
    used, step_inertia = None, 0.0
    n_iter = 0
    while n_iter < max_iter:
        steps, labels_next = run_steps(centers, labels)
        changed = any(s[3] for s in steps)
        new_centers, empty = combine_steps(steps, centers)
        used, step_inertia = centers, sum_in_order(s[2] for s in steps)
        centers, labels = new_centers, labels_next
        n_iter += 1
        if not (changed or empty):
            break
    if used is not None and used == centers:
        inertia = step_inertia
    else:
        if labels is None:
            labels = [[0] * n for n in n_rows]
        inertia = sum_in_order(run_inertia(centers, labels))
    return CentersModel(centers=centers, inertia=inertia, n_iter=n_iter)


def sum_in_order(values: Iterable[float]) -> float:
    """Left-to-right sum from zero (math.fsum would round differently)."""
    total = 0.0
    for v in values:
        total += v
    return total


def _rows_of(chunk: Any) -> Any:
    """A pandas DataFrame as a float64 array; arrays and row lists as they are."""
    if hasattr(chunk, "to_numpy") and hasattr(chunk, "columns"):
        import numpy as np

        return np.ascontiguousarray(chunk.to_numpy(dtype=np.float64))
    return chunk


def fit_kmeans_chunks(chunks: Sequence[Any], n_clusters: int, max_iter: int = 300, random_state: int = 42,
                      sample: Any = None) -> CentersModel:
    """k-means over in-memory chunks of rows (2-D float64 arrays, pandas DataFrames or lists of rows).

    Seeds by k-means++ on ``sample`` (default: all rows, chunk after chunk),
    so one chunk gives exactly ``segmora.kmeans_py``'s result.
    """
    chunks = [_rows_of(chunk) for chunk in chunks]
    if sample is None:
        sample = [list(row) for chunk in chunks for row in chunk]
    else:
        sample = _rows_of(sample)
    seeds = segmora.kmeans_py(sample, n_clusters, max_iter=0, random_state=random_state).centers

    def run_steps(centers, labels):
        steps = [segmora.kmeans_chunk_step(chunk, centers, None if labels is None else labels[i])
                 for i, chunk in enumerate(chunks)]
        return steps, [s[6] for s in steps]

    def run_inertia(centers, labels):
        return [segmora.kmeans_chunk_inertia(chunk, centers, labels[i]) for i, chunk in enumerate(chunks)]

    return _lloyd(run_steps, run_inertia, [len(c) for c in chunks], seeds, max_iter)


def _step_summary(step: tuple) -> tuple:
    return step[:6]


def _step_labels(step: tuple) -> list[int]:
    return step[6]


def _sample_block(block: Any, fraction: float, seed: int) -> Any:
    import numpy as np

    n = len(block)
    take = np.random.default_rng(seed).random(n) < fraction
    return np.ascontiguousarray(block[take], dtype=np.float64)


def _as_blocks(client: Any, data: Any) -> list:
    """Futures of the row blocks of a Dask array or DataFrame, in order, as float64 arrays."""
    import numpy as np
    import dask

    if hasattr(data, "columns"):  # a DataFrame: one block per partition
        parts = data.to_delayed()
        to_array = dask.delayed(lambda frame: np.ascontiguousarray(frame.to_numpy(dtype=np.float64)))
        parts = [to_array(p) for p in parts]
    else:
        if data.ndim != 2:
            raise ValueError(f"expected a 2-D array, got {data.ndim} dimensions")
        data = data.rechunk({1: -1})
        to_array = dask.delayed(lambda block: np.ascontiguousarray(block, dtype=np.float64))
        parts = [to_array(b) for b in data.to_delayed().ravel()]
    return client.compute(parts)


def fit_kmeans_dask(client: Any, data: Any, n_clusters: int, max_iter: int = 300, random_state: int = 42,
                    sample_fraction: float = 0.01) -> CentersModel:
    """k-means over a Dask array or DataFrame of numeric columns.

    k-means++ seeds come from a sample drawn on the workers (each partition
    keeps a ``sample_fraction`` of its rows, from a generator seeded by
    ``random_state`` and the partition's index); the Lloyd loop then runs with
    one reduction of k x d values per iteration. Deterministic for a fixed
    partitioning and seed.
    """
    import numpy as np

    if not 0.0 < sample_fraction <= 1.0:
        raise ValueError(f"sample_fraction must be in (0, 1], got {sample_fraction}")
    blocks = _as_blocks(client, data)
    n_rows = client.gather([client.submit(len, b) for b in blocks])
    # Small data: the sample keeps at least some 20 rows per cluster.
    sample_fraction = max(sample_fraction, min(1.0, 20.0 * n_clusters / max(1, sum(n_rows))))
    if sample_fraction == 1.0:
        samples = client.gather(blocks)
    else:
        samples = client.gather([client.submit(_sample_block, b, sample_fraction, random_state * 1_000_003 + i,
                                               pure=False) for i, b in enumerate(blocks)])
    sample = np.ascontiguousarray(np.concatenate(samples))
    seeds = segmora.kmeans_py(sample, n_clusters, max_iter=0, random_state=random_state).centers
    # Each partition's steps run where its block lives, so its labels never move.
    homes = client.who_has(blocks)
    where = [{"workers": list(homes[b.key])[:1]} if homes.get(b.key) else {} for b in blocks]

    def run_steps(centers, labels):
        futures = [client.submit(segmora.kmeans_chunk_step, b, centers, None if labels is None else labels[i],
                                 pure=False, **where[i]) for i, b in enumerate(blocks)]
        summaries = client.gather([client.submit(_step_summary, f, **where[i]) for i, f in enumerate(futures)])
        new_labels = [client.submit(_step_labels, f, **where[i]) for i, f in enumerate(futures)]
        return summaries, new_labels

    def run_inertia(centers, labels):
        if labels and not hasattr(labels[0], "key"):
            labels = client.scatter(labels)
        return client.gather([client.submit(segmora.kmeans_chunk_inertia, b, centers, lbl, pure=False)
                              for b, lbl in zip(blocks, labels)])

    return _lloyd(run_steps, run_inertia, n_rows, seeds, max_iter)


def _predict_partition(frame: Any, model: Any) -> Any:
    import numpy as np
    import pandas as pd

    # A model fitted on named columns is given the frame itself, so it sees the names it knows.
    values = frame if hasattr(model, "feature_names_in_") else np.ascontiguousarray(frame.to_numpy(dtype=np.float64))
    labels = model.predict(values) if len(values) else []
    return pd.Series(np.asarray(labels, dtype=np.int64), index=frame.index, name="segment")


def predict_dask(model: Any, frame: Any) -> Any:
    """Segment of every row of a Dask DataFrame, partition by partition.

    ``model`` is any fitted model with ``predict``: a ``CentersModel``, a fitted
    ``segmora.KMeans`` or ``PyAudienceSegmenter``; it travels to the workers pickled.
    """
    return frame.map_partitions(_predict_partition, model, meta=("segment", "int64"))


# ---- RFM ----


@dataclasses.dataclass(frozen=True)
class RFMSettings:
    """The RFM settings as plain values, so they travel to workers."""

    decay_function: str = "linear"
    decay_half_life_days: int = 30
    scoring_method: str = "quintile"

    def config(self) -> segmora.PyRFMConfig:
        decay = getattr(segmora.PyDecayFunction, self.decay_function)()
        scoring = getattr(segmora.PyScoringMethod, self.scoring_method)()
        return segmora.PyRFMConfig(decay_function=decay, decay_half_life_days=self.decay_half_life_days,
                                   scoring_method=scoring)


def utc_now() -> str:
    """The current instant as RFC 3339 text, read once for a whole computation."""
    import datetime

    return datetime.datetime.now(datetime.timezone.utc).isoformat()


def rfm_chunks(chunks: Sequence[tuple[Sequence[tuple], Sequence[int]]], settings: RFMSettings,
               now: Any) -> list[segmora.PyRFMScore]:
    """RFM over in-memory partitions of (transactions, global row numbers), each customer in one partition.

    ``now`` is the instant recency counts from, the same for every partition: an
    RFC 3339 str (``utc_now()`` reads one), a datetime (naive ones are UTC), a
    date (midnight UTC), a NumPy datetime64 or int epoch seconds.
    """
    config = settings.config()
    values = []
    for transactions, rows in chunks:
        values.extend(segmora.rfm_partition_values(transactions, config, now, rows=list(rows)))
    return segmora.score_rfm_values(values, config)


def _partition_values(frame: Any, settings: RFMSettings, as_of: Any, cut_off: bool) -> tuple:
    frame = frame.sort_values("_row", kind="stable")
    return segmora.rfm_partition_columns(frame["customer_id"], frame["timestamp"], frame["amount"],
                                         frame["_row"].to_numpy(dtype="int64"), as_of, settings.config(),
                                         cut_off=cut_off)


def _with_rows(frame: Any, offset: int) -> Any:
    import numpy as np

    return frame.assign(_row=np.arange(offset, offset + len(frame), dtype="int64"))


def rfm_dask(client: Any, transactions: Any, settings: RFMSettings = RFMSettings(),
             now: Any = None) -> list[segmora.PyRFMScore]:
    """RFM records from a Dask DataFrame with columns customer_id, timestamp and amount.

    The columns take every form ``segmora.rfm_from_columns`` takes (timestamps as
    datetime64, epoch seconds, datetimes, dates or RFC 3339 text) and the result
    is its records, in its order, with its warnings: ``now`` is its ``as_of``
    (an RFC 3339 str, datetime, datetime64 or epoch seconds; transactions dated
    after it are left out), default the current instant, read once. Rows are
    numbered in partition order, shuffled so that each customer lives in one
    partition, reduced to one tuple per customer on the workers, then scored and
    named in one step on the driver.
    """
    import dask

    cut_off = now is not None
    as_of = now if cut_off else utc_now()
    lengths = transactions.map_partitions(len).compute()
    offsets = [0]
    for n in list(lengths)[:-1]:
        offsets.append(offsets[-1] + int(n))
    parts = transactions.to_delayed()
    numbered = [dask.delayed(_with_rows)(p, off) for p, off in zip(parts, offsets)]
    import dask.dataframe as dd

    meta = transactions._meta.assign(_row=transactions._meta.index.astype("int64"))
    frame = dd.from_delayed(numbered, meta=meta).shuffle(on="customer_id",
                                                         npartitions=transactions.npartitions)
    parts = client.gather(client.compute([dask.delayed(_partition_values)(p, settings, as_of, cut_off)
                                          for p in frame.to_delayed()]))
    flat = [v for values, _ in parts for v in values]
    return segmora.score_rfm_values(flat, settings.config(), reports=[report for _, report in parts])

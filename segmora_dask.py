"""Segmentation over partitioned data: k-means and RFM on Dask.

The heavy work runs partition by partition through segmora's partition
functions; the driver only combines small per-partition results, in partition
order:

* k-means: every partition's rows stay where they are for the whole fit. Each
  Lloyd iteration sends the k x d centers out and brings back, per partition,
  k x d sums, k counts, the inertia, the farthest row and whether a label
  changed: a few hundred bytes, whatever the number of rows. Seeds come from
  k-means|| (Bahmani et al., 2012), sampled on the partitions. With one
  partition and k-means++ seeds the fit reproduces ``segmora.kmeans_py`` bit
  for bit; with several it is deterministic for a fixed partitioning.
* RFM: transactions are shuffled so that each customer lives in one partition;
  each partition reads its columns as ``segmora.rfm_from_columns`` does and
  yields one (customer, recency, frequency, monetary, first row, latest
  purchase) tuple per customer with a count of what it skipped, and one global
  step scores and names them, giving exactly ``rfm_from_columns``'s records and
  warnings for the same instant.
* Summaries for the purchase and spend models: the same shuffle, each
  partition summarised by ``segmora.clv_partition_columns`` and the summaries
  combined by ``segmora.combine_clv_partitions``: exactly
  ``segmora.clv_summary_from_columns``' columns and warnings.

``fit_kmeans_chunks`` and ``rfm_chunks`` work on plain in-memory chunks; the
``*_dask`` functions take Dask collections and a ``dask.distributed.Client``.
The driver loops here serve ``segmora_spark`` as well. This module imports
Dask only inside the functions that need it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import re
from typing import Any, Callable, Iterable, Sequence

import numpy as np

import segmora

__all__ = [
    "CentersModel",
    "RFMSettings",
    "clv_summary_dask",
    "combine_steps",
    "fit_kmeans_chunks",
    "fit_kmeans_dask",
    "fit_predict_kmeans_dask",
    "predict_dask",
    "rfm_chunks",
    "rfm_dask",
    "utc_now",
]


# ---- k-means ----


@dataclasses.dataclass(frozen=True)
class CentersModel:
    """A fitted k-means model as plain values: picklable, predicts anywhere.

    >>> CentersModel([[0.0], [10.0]], inertia=2.0, n_iter=3).predict([[1.0], [8.0]])
    [0, 1]
    """

    centers: list[list[float]]
    inertia: float
    n_iter: int

    def predict(self, data: Any) -> list[int]:
        """Label of the nearest center of every row (ties to the lower index)."""
        return segmora.kmeans_chunk_step(data, self.centers)[6]


def combine_steps(steps: Sequence[tuple], centers: Sequence[Sequence[float]]) -> tuple[list[list[float]], bool]:
    """Next centers from ``segmora.kmeans_chunk_step`` results in partition order, and whether a cluster was empty.

    Sums and counts are added partition by partition; an empty cluster takes
    the row farthest from its nearest center (ties to the later row).

    >>> centers = [[0.0], [10.0]]
    >>> steps = [segmora.kmeans_chunk_step(chunk, centers) for chunk in ([[0.0], [1.0]], [[10.0], [12.0]])]
    >>> combine_steps(steps, centers)
    ([[0.5], [11.0]], False)
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


def sum_in_order(values: Iterable[float]) -> float:
    """Left-to-right sum from zero (math.fsum would round differently)."""
    total = 0.0
    for v in values:
        total += v
    return total


def fresh_totals(k: int, d: int) -> np.ndarray:
    """Empty Lloyd totals for ``segmora.kmeans_block_step``: zeros, the farthest distance -inf."""
    totals = np.zeros(k * d + k + 2 + d)
    totals[k * d + k + 1] = -np.inf
    return totals


_AT_ROW = re.compile(r"at row (\d+), column (\d+)$")


@contextlib.contextmanager
def located(partition: int, first_row: int = 0):
    """Names the partition, and the row within it, in the RuntimeError of a partition function."""
    try:
        yield
    except RuntimeError as error:
        text = str(error)
        at = _AT_ROW.search(text)
        if at:
            text = (f"{text[:at.start()]}at row {int(at.group(1)) + first_row}, column {at.group(2)} "
                    f"of partition {partition}")
        else:
            text = f"{text} (partition {partition})"
        raise RuntimeError(text) from None


def _combine_totals(parts: Sequence[np.ndarray], k: int, d: int) -> np.ndarray:
    """The partitions' totals added in partition order; the farthest row is the last of the farthest."""
    far = k * d + k + 1
    total = parts[0].copy()
    for part in parts[1:]:
        total[:far] += part[:far]
        if part[far] >= total[far]:
            total[far:] = part[far:]
    return total


def _next_centers(total: np.ndarray, k: int, d: int) -> tuple[np.ndarray, bool]:
    """Sums divided by counts; an empty cluster takes the farthest row. Also whether one was empty."""
    counts = total[k * d:k * d + k]
    centers = total[:k * d].reshape(k, d).copy()
    empty = counts == 0
    centers[~empty] /= counts[~empty, None]
    centers[empty] = total[k * d + k + 2:]
    return centers, bool(empty.any())


class _Blocks:
    """Partitions held in one process: their rows, and between calls their labels
    and nearest-candidate distances. Every method answers with (partition index,
    result) pairs, so answers from several holders merge in partition order.
    Serves in-memory fits directly and Dask fits as one actor per worker.
    """

    def __init__(self, indices: Sequence[int], *blocks: np.ndarray) -> None:
        self.indices = list(indices)
        self.blocks = [_as_float_block(b) for b in blocks]
        self.labels: list[np.ndarray] | None = None
        self.best: list[np.ndarray] | None = None

    def n_rows(self) -> list[tuple[int, int]]:
        return [(i, len(b)) for i, b in zip(self.indices, self.blocks)]

    def row(self, index: int, row: int) -> np.ndarray:
        return self.blocks[self.indices.index(index)][row].copy()

    def step(self, centers: np.ndarray) -> list[tuple[int, tuple[np.ndarray, bool]]]:
        if self.labels is None:
            self.labels = [np.zeros(len(b), dtype=np.int64) for b in self.blocks]
        k, d = centers.shape
        out = []
        for i, block, labels in zip(self.indices, self.blocks, self.labels):
            totals = fresh_totals(k, d)
            with located(i):
                changed = segmora.kmeans_block_step(block, centers, totals, labels)
            out.append((i, (totals, changed)))
        return out

    def inertia(self, centers: np.ndarray) -> list[tuple[int, float]]:
        labels = self.labels or [None] * len(self.blocks)
        out = []
        for i, block, lbl in zip(self.indices, self.blocks, labels):
            with located(i):
                out.append((i, segmora.kmeans_block_inertia(block, centers, lbl)))
        return out

    def seeding_round(self, new: np.ndarray, oversampling: float, seed: int, round_: int) -> list[tuple[int, tuple]]:
        if self.best is None:
            self.best = [np.full(len(b), np.inf) for b in self.blocks]
        out = []
        for i, block, best in zip(self.indices, self.blocks, self.best):
            with located(i):
                cost, rows, d2, u = segmora.kmeans_parallel_round(block, new, oversampling, seed, i, round_, best)
            offered = block[np.array(rows, dtype=np.intp)] if rows else np.zeros((0, new.shape[1]))
            out.append((i, (cost, offered, np.array(d2), np.array(u))))
        return out

    def weights(self, candidates: np.ndarray) -> list[tuple[int, np.ndarray]]:
        self.best = None
        m, d = candidates.shape
        out = []
        for i, block in zip(self.indices, self.blocks):
            totals = fresh_totals(m, d)
            with located(i):
                segmora.kmeans_block_step(block, candidates, totals)
            out.append((i, totals[m * d:m * d + m]))
        return out


def _as_float_block(block: Any) -> np.ndarray:
    """A pandas DataFrame, array or list of rows as a C-contiguous float64 array (no copy when it is one)."""
    if hasattr(block, "to_numpy") and hasattr(block, "columns"):
        block = block.to_numpy(dtype=np.float64)
    array = np.ascontiguousarray(block, dtype=np.float64)
    if array.ndim != 2:
        if array.size == 0:  # an empty chunk
            return array.reshape(0, 0)
        raise ValueError(f"expected a 2-D block of rows, got {array.ndim} dimensions")
    return array


class _InMemory:
    """The partitioned-fit interface over one local ``_Blocks``."""

    def __init__(self, blocks: Sequence[Any]) -> None:
        self.holder = _Blocks(range(len(blocks)), *blocks)
        self.n_rows = [n for _, n in self.holder.n_rows()]

    def _in_order(self, pairs):
        return [v for _, v in sorted(pairs, key=lambda p: p[0])]

    def row(self, index: int, row: int) -> np.ndarray:
        return self.holder.row(index, row)

    def step(self, centers, previous):
        return self._in_order(self.holder.step(centers))

    def inertia(self, centers, previous):
        return self._in_order(self.holder.inertia(centers))

    def seeding_round(self, new, candidates, oversampling, seed, round_):
        return self._in_order(self.holder.seeding_round(new, oversampling, seed, round_))

    def weights(self, candidates):
        return self._in_order(self.holder.weights(candidates))


def _lloyd(parts: Any, seeds: Any, max_iter: int) -> tuple[CentersModel, np.ndarray | None]:
    """The Lloyd loop over partitions; also the centers the final labels are nearest to (None: all 0).

    ``parts.step(centers, previous)`` gives each partition's (totals, changed)
    in partition order, where ``previous`` are the centers of the step before
    (None before the first); ``parts.inertia(centers, previous)`` each
    partition's inertia under the labels of the last step.
    """
    centers = np.array(seeds, dtype=np.float64)
    k, d = centers.shape
    previous = None
    step_inertia = 0.0
    n_iter = 0
    while n_iter < max_iter:
        steps = parts.step(centers, previous)
        total = _combine_totals([t for t, _ in steps], k, d)
        new_centers, empty = _next_centers(total, k, d)
        previous, centers = centers, new_centers
        step_inertia = float(total[k * d + k])
        n_iter += 1
        if not (any(changed for _, changed in steps) or empty):
            break
    if previous is not None and np.array_equal(previous, centers):
        inertia = step_inertia  # the last step's distances are the final ones
    else:
        inertia = sum_in_order(parts.inertia(centers, previous))
    return CentersModel(centers=centers.tolist(), inertia=inertia, n_iter=n_iter), previous


def seeding_rounds(n_rows: int) -> int:
    """Oversampling rounds of k-means|| for n rows: ceil(log10 n), at least 2."""
    return max(2, math.ceil(math.log10(max(n_rows, 1))))


def _kmeans_parallel(parts: Any, n_clusters: int, random_state: int) -> np.ndarray:
    """k-means|| seeds: one uniform row, oversampling rounds of 2k expected picks each, weighted k-means++.

    ``parts.seeding_round(new, candidates, l, seed, round)`` gives each
    partition's (cost, offered rows, their d2, their draws) in partition order
    (``new``: the candidates added by the previous round, ``candidates``: all
    of them); ``parts.weights(candidates)`` each partition's counts of rows
    nearest to each candidate.
    """
    n = sum(parts.n_rows)
    first = segmora.kmeans_parallel_first(n, n_clusters, random_state)
    index = 0
    while first >= parts.n_rows[index]:
        first -= parts.n_rows[index]
        index += 1
    candidates = parts.row(index, first)[None, :]
    bad = np.flatnonzero(~np.isfinite(candidates[0]))
    if len(bad):  # found here, or every partition would blame the candidate
        value = candidates[0, bad[0]]
        text = "NaN" if np.isnan(value) else "inf" if value > 0 else "-inf"
        raise RuntimeError(f"Data validation error: data contains a non-finite value ({text}) at row {first}, "
                           f"column {bad[0]} of partition {index}")
    new = candidates
    oversampling = 2.0 * n_clusters
    rounds = seeding_rounds(n)
    for round_ in range(rounds + 64):
        shares = parts.seeding_round(new, candidates, oversampling, random_state, round_)
        phi = sum_in_order(cost for cost, _, _, _ in shares)
        kept = [rows[u * phi < oversampling * d2] for _, rows, d2, u in shares]
        new = np.concatenate(kept) if kept else candidates[:0]
        candidates = np.concatenate([candidates, new])
        # Past the planned rounds, go on only while there are fewer candidates than clusters.
        if not phi > 0 or (round_ + 1 >= rounds and len(candidates) >= n_clusters):
            break
    weights = np.zeros(len(candidates))
    for counts in parts.weights(candidates):
        weights += counts
    return np.array(segmora.kmeans_parallel_reduce(candidates, weights, n_clusters, random_state))


def _initial_centers(init: Any, parts: Any, n_clusters: int, random_state: int, sample: Callable[[], Any]) -> Any:
    """Seeds by `init`, after kmeans_py's checks of n_clusters against the rows of all partitions."""
    segmora.kmeans_parallel_first(sum(parts.n_rows), n_clusters, random_state)
    if isinstance(init, str):
        if init == "k-means||":
            return _kmeans_parallel(parts, n_clusters, random_state)
        if init == "k-means++":
            return segmora.kmeans_py(sample(), n_clusters, max_iter=0, random_state=random_state).centers
        raise ValueError(f"init must be 'k-means||', 'k-means++' or an array of centers, got {init!r}")
    seeds = np.array(init, dtype=np.float64)
    if seeds.ndim != 2 or len(seeds) != n_clusters:
        raise ValueError(f"init must hold {n_clusters} centers (one row each), got an array of shape {seeds.shape}")
    return seeds


def fit_kmeans_chunks(chunks: Sequence[Any], n_clusters: int, max_iter: int = 300, random_state: int = 42,
                      sample: Any = None, init: Any = "k-means++") -> CentersModel:
    """k-means over in-memory chunks of rows (2-D float64 arrays, pandas DataFrames or lists of rows).

    ``init``: "k-means++" seeds on ``sample`` (default: all rows, chunk after
    chunk), so one chunk gives exactly ``segmora.kmeans_py``'s result;
    "k-means||" samples the chunks as ``fit_kmeans_dask`` does its
    partitions, giving the same fit for the same split; or a k x d array of
    seeds.

    >>> import numpy as np
    >>> rows = np.array([[0.0, 1.0], [1.0, 1.0], [10.0, 5.0], [11.0, 5.0]])
    >>> fit_kmeans_chunks([rows[:2], rows[2:]], 2)
    CentersModel(centers=[[10.5, 5.0], [0.5, 1.0]], inertia=1.0, n_iter=2)
    """
    parts = _InMemory(chunks)

    def all_rows():
        if sample is not None:
            return _as_float_block(sample)
        return np.concatenate([b for b in parts.holder.blocks if b.size] or [np.zeros((0, 0))])

    seeds = _initial_centers(init, parts, n_clusters, random_state, all_rows)
    return _lloyd(parts, seeds, max_iter)[0]


def _as_blocks(client: Any, data: Any) -> list:
    """Futures of the row blocks of a Dask array or DataFrame, in order, as float64 arrays."""
    import dask

    if hasattr(data, "columns"):  # a DataFrame: one block per partition
        parts = data.to_delayed()
    else:
        if data.ndim != 2:
            raise ValueError(f"expected a 2-D array, got {data.ndim} dimensions")
        parts = list(data.rechunk({1: -1}).to_delayed().ravel())
    return client.compute([dask.delayed(_as_float_block)(p) for p in parts])


def _same(value: Any) -> Any:
    return value


def _place_evenly(client: Any, blocks: list, n_rows: Sequence[int]) -> tuple[list, list[str]]:
    """Moves blocks so that every worker holds close to the same number of rows.

    Blocks go from the most loaded worker to the least loaded one, the largest
    block that narrows the gap first, until no move narrows it. Returns the
    block futures (moved ones replaced) and each block's worker.
    """
    from dask.distributed import wait

    wait(blocks)
    workers = sorted(client.scheduler_info()["workers"])
    homes = client.who_has(blocks)
    where = [min(homes.get(b.key) or workers) for b in blocks]
    load = dict.fromkeys(workers, 0)
    for w, n in zip(where, n_rows):
        load[w] += n
    moved = set()
    while True:
        heavy = max(workers, key=lambda w: (load[w], w))
        light = min(workers, key=lambda w: (load[w], w))
        gap = load[heavy] - load[light]
        movable = [i for i, w in enumerate(where) if w == heavy and 0 < n_rows[i] < gap]
        if not movable:
            break
        i = max(movable, key=lambda j: (n_rows[j], -j))
        where[i] = light
        load[heavy] -= n_rows[i]
        load[light] += n_rows[i]
        moved.add(i)
    for i in sorted(moved):
        blocks[i] = client.submit(_same, blocks[i], workers=[where[i]], allow_other_workers=False, pure=False)
    wait(blocks)
    return blocks, where


class _OnWorkers:
    """The partitioned-fit interface over one ``_Blocks`` actor per worker.

    Every call goes straight to the actors (not through the scheduler) and
    returns the answers of all partitions in partition order.
    """

    def __init__(self, client: Any, blocks: list, where: Sequence[str], n_rows: Sequence[int]) -> None:
        by_worker: dict[str, list[int]] = {}
        for i, w in enumerate(where):
            by_worker.setdefault(w, []).append(i)
        self._futures = [client.submit(_Blocks, idx, *[blocks[i] for i in idx], actor=True, workers=[w],
                                       allow_other_workers=False)
                         for w, idx in sorted(by_worker.items())]
        self.actors = [f.result() for f in self._futures]
        self.n_rows = list(n_rows)
        self._holder = {i: a for a, (_, idx) in zip(self.actors, sorted(by_worker.items())) for i in idx}

    def _all(self, method: str, *args: Any) -> list:
        calls = [getattr(actor, method)(*args) for actor in self.actors]
        pairs = [pair for call in calls for pair in call.result()]
        return [v for _, v in sorted(pairs, key=lambda p: p[0])]

    def row(self, index: int, row: int) -> np.ndarray:
        return self._holder[index].row(index, row).result()

    def step(self, centers, previous):
        return self._all("step", centers)

    def inertia(self, centers, previous):
        return self._all("inertia", centers)

    def seeding_round(self, new, candidates, oversampling, seed, round_):
        return self._all("seeding_round", new, oversampling, seed, round_)

    def weights(self, candidates):
        return self._all("weights", candidates)

    def close(self) -> None:
        self.actors = []
        self._holder = {}
        self._futures = []


def _sample_block(block: Any, fraction: float, seed: int) -> Any:
    take = np.random.default_rng(seed).random(len(block)) < fraction
    return np.ascontiguousarray(block[take], dtype=np.float64)


def _block_labels(block: np.ndarray, centers: np.ndarray | None) -> np.ndarray:
    """Nearest of `centers` for every row (all 0 without centers), as int64."""
    labels = np.zeros(len(block), dtype=np.int64)
    if centers is not None and len(block):
        segmora.kmeans_block_step(block, centers, fresh_totals(*centers.shape), labels)
    return labels


def _fit_dask(client: Any, data: Any, n_clusters: int, max_iter: int, random_state: int, sample_fraction: float,
              init: Any) -> tuple[CentersModel, np.ndarray | None, list, list[str], list[int]]:
    if not 0.0 < sample_fraction <= 1.0:
        raise ValueError(f"sample_fraction must be in (0, 1], got {sample_fraction}")
    blocks = _as_blocks(client, data)
    n_rows = client.gather([client.submit(len, b) for b in blocks])
    blocks, where = _place_evenly(client, blocks, n_rows)
    parts = _OnWorkers(client, blocks, where, n_rows)
    try:
        def sample():
            # Small data: the sample keeps at least some 20 rows per cluster.
            fraction = max(sample_fraction, min(1.0, 20.0 * n_clusters / max(1, sum(n_rows))))
            if fraction == 1.0:
                chosen = client.gather(blocks)
            else:
                chosen = client.gather([client.submit(_sample_block, b, fraction, random_state * 1_000_003 + i,
                                                      pure=False, workers=[w])
                                        for i, (b, w) in enumerate(zip(blocks, where))])
            return np.ascontiguousarray(np.concatenate(chosen))

        seeds = _initial_centers(init, parts, n_clusters, random_state, sample)
        model, previous = _lloyd(parts, seeds, max_iter)
    finally:
        parts.close()
    return model, previous, blocks, where, n_rows


def fit_kmeans_dask(client: Any, data: Any, n_clusters: int, max_iter: int = 300, random_state: int = 42,
                    sample_fraction: float = 0.01, init: Any = "k-means||") -> CentersModel:
    """k-means over a Dask array or DataFrame of numeric columns.

    Every partition's block is placed so that the workers hold about the same
    number of rows (blocks move only when that narrows the spread) and stays on
    its worker for the whole fit, held by one actor per worker. Each Lloyd
    iteration is one direct call per worker, sending the k x d centers and
    bringing back per partition k x d sums, k counts, the inertia, the farthest
    row and whether a label changed; partitions are combined in partition order.


    ``init``: "k-means||" (default) samples candidates on the workers, seeded
    by ``random_state`` and the partition's index, and picks the seeds by
    weighted k-means++ on the driver; "k-means++" seeds on a ``sample_fraction``
    of the rows gathered on the driver (1.0 with one partition reproduces
    ``segmora.kmeans_py``); or a k x d array of seeds. Deterministic for a fixed
    partitioning and seed.

    >>> import numpy as np, dask.array as da
    >>> from dask.distributed import Client
    >>> rows = da.from_array(np.array([[0.0, 1.0], [1.0, 1.0], [10.0, 5.0], [11.0, 5.0]]), chunks=(2, 2))
    >>> with Client(processes=False, n_workers=1, dashboard_address=None) as client:
    ...     model = fit_kmeans_dask(client, rows, 2, random_state=1)
    >>> model.centers
    [[10.5, 5.0], [0.5, 1.0]]
    """
    return _fit_dask(client, data, n_clusters, max_iter, random_state, sample_fraction, init)[0]


def fit_predict_kmeans_dask(client: Any, data: Any, n_clusters: int, max_iter: int = 300, random_state: int = 42,
                            sample_fraction: float = 0.01, init: Any = "k-means||") -> tuple[CentersModel, Any]:
    """``fit_kmeans_dask``, and the fit's labels as a Dask array of int64.

    The labels are those of the last Lloyd step (as ``segmora.kmeans_py``
    gives them), computed once after the fit on the workers that hold the
    rows, chunked like the partitions and kept there until computed.

    >>> import numpy as np, dask.array as da
    >>> from dask.distributed import Client
    >>> rows = da.from_array(np.array([[0.0, 1.0], [1.0, 1.0], [10.0, 5.0], [11.0, 5.0]]), chunks=(2, 2))
    >>> with Client(processes=False, n_workers=1, dashboard_address=None) as client:
    ...     model, labels = fit_predict_kmeans_dask(client, rows, 2, random_state=1)
    ...     labels.compute().tolist()
    [1, 1, 0, 0]
    """
    import dask
    import dask.array as da

    model, previous, blocks, where, n_rows = _fit_dask(client, data, n_clusters, max_iter, random_state,
                                                       sample_fraction, init)
    futures = [client.submit(_block_labels, b, previous, workers=[w], pure=False) for b, w in zip(blocks, where)]
    chunks = [da.from_delayed(dask.delayed(f), shape=(n,), dtype=np.int64) for f, n in zip(futures, n_rows)]
    return model, da.concatenate(chunks)


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

    >>> import pandas as pd, dask.dataframe as dd
    >>> frame = dd.from_pandas(pd.DataFrame({"recency": [0.0, 11.0, 1.0], "spend": [1.0, 5.0, 1.0]}), npartitions=2)
    >>> predict_dask(CentersModel([[0.5, 1.0], [10.5, 5.0]], 1.0, 2), frame).compute().tolist()
    [0, 1, 0]
    """
    return frame.map_partitions(_predict_partition, model, meta=("segment", "int64"))


# ---- RFM ----


@dataclasses.dataclass(frozen=True)
class RFMSettings:
    """The RFM settings as plain values, so they travel to workers: the names of
    PyDecayFunction's and PyScoringMethod's static methods, and the half-life.

    >>> RFMSettings("exponential", 60, "decile").config().decay_half_life_days
    60
    """

    decay_function: str = "linear"
    decay_half_life_days: int = 30
    scoring_method: str = "quintile"

    def config(self) -> segmora.PyRFMConfig:
        decay = getattr(segmora.PyDecayFunction, self.decay_function)()
        scoring = getattr(segmora.PyScoringMethod, self.scoring_method)()
        return segmora.PyRFMConfig(decay_function=decay, decay_half_life_days=self.decay_half_life_days,
                                   scoring_method=scoring)


def utc_now() -> str:
    """The current instant as RFC 3339 text, read once for a whole computation.

    >>> utc_now().endswith("+00:00")
    True
    """
    import datetime

    return datetime.datetime.now(datetime.timezone.utc).isoformat()


def rfm_chunks(chunks: Sequence[tuple[Sequence[tuple], Sequence[int]]], settings: RFMSettings,
               now: Any) -> list[segmora.PyRFMScore]:
    """RFM over in-memory partitions of (transactions, global row numbers), each customer in one partition.

    ``now`` is the instant recency counts from, the same for every partition: an
    RFC 3339 str (``utc_now()`` reads one), a datetime (naive ones are UTC), a
    date (midnight UTC), a NumPy datetime64 or int epoch seconds.

    >>> tx = [("a", "2024-05-01T00:00:00Z", 10.0), ("b", "2024-05-20T00:00:00Z", 5.0),
    ...       ("a", "2024-05-25T00:00:00Z", 7.5)]
    >>> rfm_chunks([([tx[0], tx[2]], [0, 2]), ([tx[1]], [1])], RFMSettings(), "2024-06-01T00:00:00Z")
    [RFMScore(customer_id=a, r=5, f=5, m=5, segment=Champions), RFMScore(customer_id=b, r=3, f=3, m=3, segment=Lost)]
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


def _by_customer(client: Any, transactions: Any, reduce: Callable[[Any], Any]) -> list:
    """``reduce(partition)`` of every partition once the rows are numbered in partition order (column ``_row``)
    and shuffled so that each customer lives in one partition; results gathered in partition order."""
    import dask
    import dask.dataframe as dd

    lengths = transactions.map_partitions(len).compute()
    offsets = [0]
    for n in list(lengths)[:-1]:
        offsets.append(offsets[-1] + int(n))
    numbered = [dask.delayed(_with_rows)(p, off) for p, off in zip(transactions.to_delayed(), offsets)]
    meta = transactions._meta.assign(_row=transactions._meta.index.astype("int64"))
    frame = dd.from_delayed(numbered, meta=meta).shuffle(on="customer_id", npartitions=transactions.npartitions)
    return client.gather(client.compute([dask.delayed(reduce)(p) for p in frame.to_delayed()]))


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

    >>> import pandas as pd, dask.dataframe as dd
    >>> from dask.distributed import Client
    >>> tx = dd.from_pandas(pd.DataFrame({"customer_id": ["a", "b", "a"], "amount": [10.0, 5.0, 7.5],
    ...                                   "timestamp": pd.to_datetime(["2024-05-01", "2024-05-20", "2024-05-25"])}),
    ...                     npartitions=2)
    >>> with Client(processes=False, n_workers=1, dashboard_address=None) as client:
    ...     rfm_dask(client, tx, now="2024-06-01T00:00:00Z")
    [RFMScore(customer_id=a, r=5, f=5, m=5, segment=Champions), RFMScore(customer_id=b, r=3, f=3, m=3, segment=Lost)]
    """
    cut_off = now is not None
    as_of = now if cut_off else utc_now()
    parts = _by_customer(client, transactions, lambda p: _partition_values(p, settings, as_of, cut_off))
    flat = [v for values, _ in parts for v in values]
    return segmora.score_rfm_values(flat, settings.config(), reports=[report for _, report in parts])


# ---- summaries for the purchase and spend models ----


def _partition_summary(frame: Any, as_of: Any, period_days: float) -> tuple:
    frame = frame.sort_values("_row", kind="stable")
    amounts = frame["amount"] if "amount" in frame.columns else None
    return segmora.clv_partition_columns(frame["customer_id"], frame["timestamp"], amounts,
                                         frame["_row"].to_numpy(dtype="int64"), as_of, period_days)


def clv_summary_dask(client: Any, frame: Any, as_of: Any = None, period_days: float = 1.0) -> dict[str, Any]:
    """``segmora.clv_summary_from_columns`` over a Dask DataFrame of transactions.

    Columns: customer_id, timestamp and, optionally, amount, in every form
    ``clv_summary_from_columns`` takes. The result is its dict of columns
    (customer_id, frequency, recency, T and, with amounts, monetary_value) with
    the same values, customers in the same order (first appearance) and the same
    warnings. ``as_of`` (default: the latest timestamp in the data) and
    ``period_days`` mean what they mean there. Rows are numbered in partition
    order and shuffled so that each customer lives in one partition; each
    partition is summarised on its worker (``segmora.clv_partition_columns``)
    and the driver combines the summaries (``segmora.combine_clv_partitions``),
    taking T against the latest timestamp of all partitions when ``as_of`` is
    None. Ids come as a pandas array of the column's dtype (a list for float
    ids, which are read as ints).

        summary = pandas.DataFrame(clv_summary_dask(client, transactions, period_days=7.0))
    """
    segmora.clv_summary_from_columns([], [], None, as_of, period_days)  # the arguments' errors, before any work
    parts = _by_customer(client, frame, lambda p: _partition_summary(p, as_of, period_days))
    summary = segmora.combine_clv_partitions(parts, period_days)
    dtype = frame._meta["customer_id"].dtype
    if dtype.kind != "f":
        import pandas as pd

        summary["customer_id"] = pd.array(summary["customer_id"], dtype=dtype)
    return summary

"""Segmentation on Spark: k-means, prediction and RFM over Spark DataFrames.

The same partition functions and driver loops as ``segmora_dask``, run through
``DataFrame.mapInArrow``: rows travel to the Python workers as Arrow record
batches (no pandas on the way), and the driver only combines small
per-partition results, in partition order.

* k-means: the chosen columns are packed once into row-major float64 blocks,
  cached by Spark. Each Lloyd iteration is one Spark job: every partition adds
  its blocks in row order into k x d sums, k counts, the inertia and the
  farthest row, and tells whether a label changed by labelling its rows with
  the previous centers too (Spark keeps no state between jobs). Seeds come from
  k-means|| sampled on the partitions. With one partition and the same seeds
  the fit equals ``segmora.kmeans_py`` bit for bit; with several it is
  deterministic for a fixed partitioning, and equal to ``segmora_dask``'s fit
  of the same partitions.
* RFM and the summaries for the purchase and spend models: transactions are
  grouped by customer in Spark (each customer's rows in one partition), each
  partition's rows are read in the frame's order as Arrow columns and reduced
  by ``segmora.rfm_partition_columns`` (one tuple per customer) or
  ``segmora.clv_partition_columns`` (one summary per customer), and the driver
  combines them: exactly ``segmora.rfm_from_columns``' records, or
  ``segmora.clv_summary_from_columns``' columns, and their warnings for the
  same rows.

This module imports PySpark and pyarrow only inside its functions; the
extension never imports it.
"""

from __future__ import annotations

import contextlib
import itertools
import pickle
import re
import warnings
from typing import Any, Callable, Iterator, Sequence

import numpy as np

import segmora
from segmora_dask import CentersModel, RFMSettings, _initial_centers, _lloyd, fresh_totals, located, utc_now

__all__ = ["BLOCK_BYTES", "CentersModel", "RFMSettings", "clv_summary_spark", "fit_kmeans_spark", "predict_spark",
           "reduce_customers", "rfm_spark"]

# Bytes per packed block (rounded to whole rows, at least 1,024 rows). Each
# block travels to Python as an Arrow batch of its own, so the JVM writes the
# next block while the worker labels this one.
BLOCK_BYTES = 1 << 20
_ARROW_BATCH = "spark.sql.execution.arrow.maxRecordsPerBatch"


def _block_rows(d: int) -> int:
    return max(1024, BLOCK_BYTES // (8 * d))


_NUMERIC = ("byte", "short", "integer", "long", "float", "double", "decimal")


@contextlib.contextmanager
def _quiet():
    """No pandas-version warning from PySpark: data moves as Arrow batches, pandas is not used."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas",
                                category=FutureWarning)
        yield


@contextlib.contextmanager
def _one_block_per_batch(spark: Any):
    """Arrow batches of one packed block while a job of the fit runs (the session's setting is restored after).

    With Spark's default of 10,000 records per batch a partition's blocks would
    travel as one batch, and the worker would wait for all of them first.
    """
    before = spark.conf.get(_ARROW_BATCH, None)
    spark.conf.set(_ARROW_BATCH, "1")
    try:
        yield
    finally:
        if before is None:
            spark.conf.unset(_ARROW_BATCH)
        else:
            spark.conf.set(_ARROW_BATCH, before)


def _feature_columns(frame: Any, columns: Sequence[str] | None) -> list[str]:
    """The requested columns, or every numeric column of the frame, checked to be numeric."""
    types = dict((f.name, f.dataType.typeName()) for f in frame.schema.fields)
    if columns is None:
        columns = [name for name, kind in types.items() if kind in _NUMERIC]
    columns = list(columns)
    if not columns:
        raise ValueError("the frame has no numeric columns to cluster")
    for name in columns:
        if name not in types:
            raise ValueError(f"no column named {name!r}; the frame has {sorted(types)}")
        if types[name] not in _NUMERIC:
            raise TypeError(f"column {name!r} is {types[name]}, not numeric")
    return columns


def _record(**columns: Any) -> Any:
    import pyarrow as pa

    return pa.RecordBatch.from_pydict({name: [value] for name, value in columns.items()})


# ---- packed blocks ----


def _pack(batches: Iterator[Any], d: int) -> Iterator[Any]:
    """Rows as (part, first_row, n, rows) records of up to _block_rows(d) row-major float64 rows of one partition.

    Column 0 of the input holds each row's partition index, columns 1 .. d its values.
    """
    part, first, pending, held = None, 0, [], 0
    block_rows = _block_rows(d)

    def block():
        rows = np.ascontiguousarray(np.concatenate(pending) if len(pending) > 1 else pending[0])
        return _record(part=part, first_row=first, n=len(rows), rows=rows.tobytes())

    for batch in batches:
        if batch.num_rows == 0:
            continue
        parts = batch.column(0).to_numpy()
        # Nulls read as NaN, which the partition functions refuse by name.
        values = np.column_stack([batch.column(j).to_numpy(zero_copy_only=False).astype(np.float64, copy=False)
                                  for j in range(1, d + 1)])
        for run_part in np.unique(parts):  # a batch holds one partition's rows, but be sure
            run = values[parts == run_part]
            if run_part != part:
                if pending:
                    yield block()
                part, first, pending, held = int(run_part), 0, [], 0
            while len(run):
                take = min(len(run), block_rows - held)
                pending.append(run[:take])
                held += take
                run = run[take:]
                if held == block_rows:
                    yield block()
                    first, pending, held = first + held, [], 0
    if pending:
        yield block()


def _blocks(batches: Iterator[Any], d: int) -> Iterator[tuple[int, int, np.ndarray]]:
    """(part, first_row, rows) of each packed block of one partition, in row order, read in place."""
    for batch in batches:
        parts, firsts, rows = batch.column("part"), batch.column("first_row"), batch.column("rows")
        for i in range(batch.num_rows):
            values = np.frombuffer(rows[i].as_buffer(), dtype=np.float64)
            yield parts[i].as_py(), firsts[i].as_py(), values.reshape(-1, d)


class _SparkPartitions:
    """The partitioned-fit interface over a cached DataFrame of packed blocks: one Spark job per call.

    Each job returns one record per non-empty partition: its index and its
    result pickled, or the text of a RuntimeError or ValueError it raised,
    which the driver raises again (the first one in partition order).
    """

    def __init__(self, packed: Any, d: int, n_partitions: int) -> None:
        self.packed, self.d = packed, d
        self.n_rows = [0] * n_partitions
        for row in packed.select("part", "n").collect():
            self.n_rows[row["part"]] += row["n"]

    def _run(self, per_partition: Callable[[Iterator], Any]) -> list:
        """per_partition(blocks of one partition) -> result, for every non-empty partition, in partition order.

        A task may hold several partitions (the packed frame is coalesced to
        the cluster's cores): their blocks come one partition after the other.
        """
        d = self.d

        def job(batches):
            for part, blocks in itertools.groupby(_blocks(batches, d), key=lambda block: block[0]):
                try:
                    result = per_partition(blocks)
                except (RuntimeError, ValueError) as error:
                    yield _record(part=part, error=f"{type(error).__name__}: {error}", result=None)
                    return
                yield _record(part=part, error=None, result=pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL))

        with _quiet(), _one_block_per_batch(self.packed.sparkSession):
            rows = sorted(self.packed.mapInArrow(job, "part long, error string, result binary").collect(),
                          key=lambda r: r["part"])
        for r in rows:
            if r["error"] is not None:
                kind, _, message = r["error"].partition(": ")
                raise (ValueError if kind == "ValueError" else RuntimeError)(message)
        return [pickle.loads(r["result"]) for r in rows]

    def row(self, index: int, row: int) -> np.ndarray:
        from pyspark.sql import functions as F

        block = (self.packed.where((F.col("part") == index) & (F.col("first_row") <= row)
                                   & (F.col("first_row") + F.col("n") > row)).collect()[0])
        values = np.frombuffer(block["rows"], dtype=np.float64).reshape(-1, self.d)
        return values[row - block["first_row"]].copy()

    def step(self, centers, previous):
        k, d = centers.shape

        def per_partition(blocks):
            totals, changed = fresh_totals(k, d), False
            for part, first, rows in blocks:
                with located(part, first):
                    changed |= segmora.kmeans_block_step(rows, centers, totals, None, previous)
            return totals, changed

        return self._run(per_partition)

    def inertia(self, centers, previous):
        def per_partition(blocks):
            total = 0.0
            for part, first, rows in blocks:
                with located(part, first):
                    total = segmora.kmeans_block_inertia(rows, centers, None, previous, total)
            return total

        return self._run(per_partition)

    def seeding_round(self, new, candidates, oversampling, seed, round_):
        def per_partition(blocks):
            cost, offered, distances, draws = 0.0, [], [], []
            for part, first, rows in blocks:
                with located(part, first):
                    cost, picked, d2, u = segmora.kmeans_parallel_round(rows, candidates, oversampling, seed, part,
                                                                        round_, None, first, cost)
                offered.append(rows[np.array(picked, dtype=np.intp)])
                distances += d2
                draws += u
            return cost, np.concatenate(offered), np.array(distances), np.array(draws)

        return self._run(per_partition)

    def weights(self, candidates):
        m, d = candidates.shape

        def per_partition(blocks):
            totals = fresh_totals(m, d)
            for part, first, rows in blocks:
                with located(part, first):
                    segmora.kmeans_block_step(rows, candidates, totals)
            return totals[m * d:m * d + m]

        return self._run(per_partition)


def fit_kmeans_spark(frame: Any, n_clusters: int, max_iter: int = 300, random_state: int = 42,
                     columns: Sequence[str] | None = None, init: Any = "k-means||") -> CentersModel:
    """k-means over the numeric columns of a Spark DataFrame (``columns``: which ones, default all numeric).

    The columns are packed once into row-major float64 blocks of up to
    BLOCK_BYTES, each tagged with its partition, cached for the fit (in at
    most one Spark partition per core) and released after it. Each Lloyd
    iteration is one ``mapInArrow`` job returning k x d sums, k counts, the
    inertia, the farthest row and a changed flag per partition; the driver adds
    them in partition order. ``init``: "k-means||" (default; seeded by
    ``random_state`` and each partition's index) or a k x d array of seeds.
    Returns a ``CentersModel``; a null or non-finite value raises RuntimeError
    naming it.

        model = fit_kmeans_spark(spark.table("customers"), 6, columns=["recency", "frequency", "monetary"])
    """
    if isinstance(init, str) and init != "k-means||":
        raise ValueError(f"init must be 'k-means||' or an array of centers, got {init!r}")
    parts = _packed(frame, _feature_columns(frame, columns))
    try:
        seeds = _initial_centers(init, parts, n_clusters, random_state, None)
        return _lloyd(parts, seeds, max_iter)[0]
    finally:
        parts.packed.unpersist()


def _packed(frame: Any, columns: list[str]) -> _SparkPartitions:
    """The columns packed into blocks tagged with their partition, persisted (the caller unpersists)."""
    from pyspark.sql import functions as F

    d = len(columns)
    source = frame.select(F.spark_partition_id().alias("part"),
                          *[F.col(c).cast("double").alias(f"f{j}") for j, c in enumerate(columns)])
    n_partitions = source.rdd.getNumPartitions()
    with _quiet():
        packed = source.mapInArrow(lambda batches: _pack(batches, d), "part long, first_row long, n long, rows binary")
    # One task per core at most: a task costs far more than a block, and blocks keep their partition's index.
    cores = max(1, frame.sparkSession.sparkContext.defaultParallelism)
    packed = (packed.coalesce(cores) if n_partitions > cores else packed).persist()
    return _SparkPartitions(packed, d, n_partitions)


# ---- prediction ----


def _labels(model: Any, values: np.ndarray, names: list[str]) -> np.ndarray:
    if isinstance(model, CentersModel):
        centers = np.asarray(model.centers, dtype=np.float64)
        labels = np.zeros(len(values), dtype=np.int64)
        segmora.kmeans_block_step(values, centers, fresh_totals(*centers.shape), labels)
        return labels
    if getattr(model, "feature_names_in_", None) is not None:
        import pandas as pd

        values = pd.DataFrame(values, columns=names)  # the names the model was fitted with
    return np.asarray(model.predict(values), dtype=np.int64)


def predict_spark(model: Any, frame: Any, columns: Sequence[str] | None = None, output: str = "segment") -> Any:
    """The frame with a column ``output`` (long) holding each row's segment, computed batch by batch.

    ``model`` is any fitted model with ``predict``: the ``CentersModel`` of a
    fit, a fitted ``segmora.KMeans`` or ``PyAudienceSegmenter``; it travels to
    the workers pickled. ``columns`` default to every numeric column, in the
    frame's order (give the fit's columns when the frame has others).

        scored = predict_spark(model, spark.table("customers"), columns=["recency", "frequency", "monetary"])
    """
    import pyarrow as pa
    from pyspark.sql.types import LongType, StructField, StructType

    columns = _feature_columns(frame, columns)
    if output in frame.columns:
        raise ValueError(f"the frame already has a column named {output!r}")
    schema = StructType(frame.schema.fields + [StructField(output, LongType(), False)])
    positions = [frame.columns.index(c) for c in columns]

    def label(batches):
        for batch in batches:
            values = np.empty((batch.num_rows, len(positions)))
            for j, position in enumerate(positions):
                values[:, j] = batch.column(position).to_numpy(zero_copy_only=False)
            labels = _labels(model, values, columns) if batch.num_rows else np.zeros(0, np.int64)
            yield pa.RecordBatch.from_arrays(batch.columns + [pa.array(labels, type=pa.int64())],
                                             names=batch.schema.names + [output])

    with _quiet():
        return frame.mapInArrow(label, schema)


# ---- per-customer reductions ----


def reduce_customers(frame: Any, reduce: Callable[[list[Any]], Any], schema: str, customer: str = "customer_id",
                     partitions: int | None = None) -> Any:
    """A DataFrame of ``reduce``'s records: the rows grouped so that each customer lives in one partition.

    Every row is numbered in ``frame``'s order (column ``_row``: Spark's
    monotonically increasing id, the partition's index in the upper bits and
    the row's number within it in the lower 33) before the rows are
    hash-partitioned by ``customer``; ``reduce`` receives all Arrow record
    batches of one partition and returns one record batch of ``schema`` (or
    None). RFM and the summaries for the purchase and spend models reduce this
    way.
    """
    from pyspark.sql import functions as F

    numbered = frame.withColumn("_row", F.monotonically_increasing_id())
    grouped = numbered.repartition(partitions or frame.rdd.getNumPartitions(), customer)

    def job(batches):
        result = reduce(list(batches))
        if result is not None:
            yield result

    with _quiet():
        return grouped.mapInArrow(job, schema)


_ROW_BITS = 33  # the row's number within its partition, in a monotonically increasing id
_AT_INDEX = re.compile(r"at index (\d+)")


class _Positions:
    """Positions in ``frame``'s order of its monotonically increasing ids, from the partitions' row counts
    (one Spark job, run on first use)."""

    def __init__(self, frame: Any) -> None:
        self.frame = frame
        self.offsets: list[int] | None = None

    def __call__(self, row_id: int) -> int:
        offsets = self.offsets
        if offsets is None:
            from pyspark.sql import functions as F

            counts = dict(self.frame.select(F.spark_partition_id().alias("p")).groupBy("p").count().collect())
            offsets = self.offsets = list(itertools.accumulate(
                (counts.get(p, 0) for p in range(max(counts, default=0))), initial=0))
        return offsets[row_id >> _ROW_BITS] + (row_id & ((1 << _ROW_BITS) - 1))

    def report(self, report: tuple) -> tuple:
        """A skip report's first indexes (after their counts) as positions."""
        out = list(report)
        for count, first in ((1, 2), (4, 5), (6, 7), (9, 10)):
            if out[count]:
                out[first] = self(out[first])
        return tuple(out)


def _by_customer(frame: Any, columns: Sequence[str], reduce: Callable[..., Any]) -> tuple[list, _Positions]:
    """``reduce(*columns, rows)`` of every partition once each customer lives in one partition, and the positions.

    Each partition's rows reach ``reduce`` as Arrow columns in ``frame``'s
    order, ``rows`` being their numbers (``reduce_customers``' ``_row``,
    ascending); decimal amounts are read as float64. A ValueError, TypeError,
    OverflowError or RuntimeError a partition raises is raised again on the
    driver, its "at index" turned into a position in ``frame`` (the first in
    ``frame``'s order when several partitions fail).
    """
    import pyarrow as pa

    def partition(batches):
        batches = [b for b in batches if b.num_rows]
        if not batches:
            return None
        table = pa.Table.from_batches(batches).sort_by("_row")
        rows = table.column("_row").to_numpy()
        values = [table.column(name) for name in columns]
        values = [v.cast(pa.float64()) if pa.types.is_decimal(v.type) else v for v in values]
        try:
            result, error = pickle.dumps(reduce(*values, rows), protocol=pickle.HIGHEST_PROTOCOL), None
        except (ValueError, TypeError, OverflowError, RuntimeError) as caught:
            text = str(caught)
            at = _AT_INDEX.search(text)
            first = int(rows[int(at.group(1))]) if at and int(at.group(1)) < len(rows) else -1
            result, error = None, pickle.dumps((type(caught), text, first))
        return pa.RecordBatch.from_arrays([pa.array([result], pa.binary()), pa.array([error], pa.binary())],
                                          names=["result", "error"])

    positions = _Positions(frame)
    with _quiet():
        records = reduce_customers(frame.select(*columns), partition, "result binary, error binary").collect()
    errors = [pickle.loads(r["error"]) for r in records if r["error"] is not None]
    if errors:
        kind, text, first = min(errors, key=lambda e: (e[2] < 0, e[2]))
        if first >= 0:
            text = _AT_INDEX.sub(f"at index {positions(first)}", text, count=1)
        raise kind(text)
    return [pickle.loads(r["result"]) for r in records], positions


def rfm_spark(frame: Any, settings: RFMSettings = RFMSettings(), now: Any = None) -> list[segmora.PyRFMScore]:
    """RFM records from a Spark DataFrame of transactions: customer_id, timestamp, amount.

    Every column form Spark has reads as ``segmora.rfm_from_columns`` reads
    the same Arrow columns: ids as str or integers; timestamps as Spark
    timestamps (with or without a time zone; without, UTC), dates (midnight
    UTC), RFC 3339 text or integer epoch seconds; amounts as numbers. The
    result is ``rfm_from_columns``' records for the same rows and ``as_of``, in
    its order, with its warnings (missing and unreadable timestamps, rows
    dated after ``now``, customers left without a usable purchase, NaN
    amounts, each with its first position in ``frame``). ``now`` is that
    ``as_of``: an RFC 3339 str, datetime, date, datetime64 or epoch seconds
    (transactions dated after it are left out); default the current instant,
    read once, with nothing left out.

    Customers are grouped in Spark, each partition's rows are read in
    ``frame``'s order and reduced to one tuple per customer by
    ``segmora.rfm_partition_columns`` on the workers, and the driver scores and
    names them (``segmora.score_rfm_values``).

        scores = rfm_spark(spark.table("transactions"), RFMSettings("exponential", 30, "quintile"))
    """
    cut_off = now is not None
    as_of = now if cut_off else utc_now()
    segmora.rfm_from_columns([], [], [], as_of=as_of)  # the instant's errors, before any work

    def reduce(ids, stamps, amounts, rows):
        return segmora.rfm_partition_columns(ids, stamps, amounts, rows, as_of, settings.config(), cut_off=cut_off)

    parts, positions = _by_customer(frame, ["customer_id", "timestamp", "amount"], reduce)
    values = [v for part_values, _ in parts for v in part_values]
    return segmora.score_rfm_values(values, settings.config(),
                                    reports=[positions.report(report) for _, report in parts])


def clv_summary_spark(frame: Any, as_of: Any = None, period_days: float = 1.0) -> dict[str, Any]:
    """``segmora.clv_summary_from_columns`` over a Spark DataFrame of transactions.

    Columns: customer_id, timestamp and, optionally, amount, read as
    ``rfm_spark`` reads them. The result is ``clv_summary_from_columns``' dict
    of columns for the same rows (customer_id as a list, then frequency,
    recency, T and, with amounts, monetary_value as float64 arrays), customers
    in the same order (first appearance), with the same warnings. ``as_of``
    (default: the latest timestamp in the data) and ``period_days`` mean what
    they mean there.

    Customers are grouped in Spark, each partition summarised on the workers
    by ``segmora.clv_partition_columns`` with its rows in ``frame``'s order, and
    the driver combines the summaries (``segmora.combine_clv_partitions``),
    taking T against the latest timestamp of all partitions when ``as_of`` is
    None.

        summary = pandas.DataFrame(clv_summary_spark(spark.table("transactions"), period_days=7.0))
    """
    segmora.clv_summary_from_columns([], [], None, as_of, period_days)  # the arguments' errors, before any work
    columns = ["customer_id", "timestamp"] + (["amount"] if "amount" in frame.columns else [])

    def reduce(ids, stamps, *rest):
        amounts, rows = rest if len(rest) == 2 else (None, rest[0])
        return segmora.clv_partition_columns(ids, stamps, amounts, rows, as_of, period_days)

    parts, positions = _by_customer(frame, columns, reduce)
    return segmora.combine_clv_partitions([(summary, day, positions.report(report)) for summary, day, report in parts],
                                          period_days)

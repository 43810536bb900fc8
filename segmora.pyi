"""Python module initialization"""

from datetime import datetime
from collections.abc import Iterable, Sequence
from typing import Any, Self, final, overload

__version__: str
__author__: str

_Rows = Sequence[Sequence[float]] | Any  # float rows, or any 2-D numeric array-like (NumPy, pandas, Arrow)

# ---- clustering ----

@final
class PyAudienceSegmenter:
    """A k-means segmenter that keeps its fit: fit() clusters a feature matrix
    (k-means++ seeding from seed 42, at most 300 Lloyd iterations, on n_jobs workers)
    and predict() labels new rows with the nearest fitted center.

    n_clusters: an int >= 0 (checked by fit); n_jobs: worker threads, None for one per
    CPU (results never depend on it). It pickles with its fit.

    >>> seg = PyAudienceSegmenter(2)
    >>> seg.fit([[0.0], [0.5], [9.0], [10.0]])
    >>> seg, seg.predict([[8.0]])
    (AudienceSegmenter(n_clusters=2, method=kmeans), [0])
    """
    def __new__(cls, n_clusters: int, n_jobs: int | None = None) -> "PyAudienceSegmenter":
        """A segmenter of n_clusters clusters fitting on n_jobs workers (None: one per CPU)."""
    def fit(self, data: _Rows) -> None:
        """Fit k-means to the rows of `data` and keep the labels and centers for predict().

        k-means++ seeding from the fixed seed 42, then at most 300 Lloyd iterations on
        n_jobs workers (the result does not depend on n_jobs). A later fit replaces the
        earlier one; a failed fit keeps it.

        data: rows of floats (a list of lists, or a 2-D NumPy array or DataFrame of numbers).
        Raises RuntimeError for n_clusters 0, no rows, or more clusters than rows, and
        ValueError ("ShapeError/...") for rows that do not make a matrix.

        >>> seg = PyAudienceSegmenter(2)
        >>> seg.fit([[0.0], [0.5], [9.0], [10.0]])
        >>> seg.predict([[1.0], [8.0]])
        [1, 0]
        """
    def predict(self, data: _Rows) -> list[int]:
        """The nearest fitted center of every row of `data` (squared Euclidean distance,
        ties to the lower index), as a list of cluster indices. The fit is not changed.

        Raises RuntimeError "Clustering error: predict() called before fit() ..." before a
        successful fit, and "Data validation error: data has {} features but centers have {}
        features" for another column count.
        """
    def get_n_clusters(self) -> int:
        """The number of clusters given to the constructor."""
    @property
    def n_jobs(self) -> int:
        """Worker threads of fit (-1 when constructed with None: one per CPU)."""

@final
class PyKMeansResult:
    """A k-means fit as kmeans_py returns it: labels, centers, inertia and n_iter.

    Made only by kmeans_py; the attributes are read-only and return new copies.

    >>> r = kmeans_py([[0.0], [1.0], [10.0]], 2)
    >>> r.labels, r.centers, r.inertia, r.n_iter
    ([0, 0, 1], [[0.5], [10.0]], 0.5, 2)
    """
    @property
    def labels(self) -> list[int]:
        """Cluster index (0 to k - 1) of every row, in row order (a new list on every read)."""
    @property
    def inertia(self) -> float:
        """Sum over the rows of the squared Euclidean distance to the center of the row's cluster."""
    @property
    def n_iter(self) -> int:
        """Lloyd iterations run: fewer than max_iter when the labels stopped changing."""
    @property
    def centers(self) -> list[list[float]]:
        """The k cluster centers, one list of d floats each (a new copy on every read)."""

def kmeans_py(
    data: _Rows,
    n_clusters: int,
    max_iter: int | None = None,
    random_state: int | None = None,
    n_jobs: int | None = None,
) -> PyKMeansResult:
    """K-means clustering of the rows of `data`: k-means++ seeding from the seeded
    ChaCha12 generator, then Lloyd iterations until no label changes or max_iter.

    data: rows of floats (a list of lists, or any 2-D numeric array: NumPy, pandas, Arrow).
    n_clusters: k, an int >= 1.
    max_iter: at most this many Lloyd iterations (None: 300).
    random_state: the seed (None: 42); equal seeds give bit-identical results.
    n_jobs: worker threads of the assignment step (None: one per CPU); the result never
    depends on it.

    Returns a PyKMeansResult. Raises RuntimeError "Invalid configuration: n_clusters
    must be > 0", "Data validation error: data has no rows" or "Invalid configuration:
    n_clusters (k) cannot exceed number of data points (n)"; ValueError "ShapeError/..."
    for rows that do not make a matrix; TypeError or OverflowError for a bad argument.

    >>> r = kmeans_py([[0.0], [1.0], [10.0], [11.0]], 2)
    >>> r.labels, r.centers, r.inertia
    ([1, 1, 0, 0], [[10.5], [0.5]], 1.0)
    """

@final
class PyMiniBatchKMeans:
    """Mini-batch k-means for chunked or streaming ingestion.

    Unlike `kmeans_py` and `PyAudienceSegmenter.fit`, which need the whole data
    set as one in-memory matrix for repeated full passes, `partial_fit` consumes
    one chunk at a time and updates centers incrementally, bounding memory to
    O(chunk_size + n_clusters) regardless of the total data size.

    A chunk with a NaN or infinite value is refused before anything changes;
    `predict` labels a row with a NaN value 0.

    >>> model = PyMiniBatchKMeans(2, random_state=7)
    >>> model.partial_fit([[0.0], [0.5], [9.0], [10.0]])
    >>> model.partial_fit([[1.0], [9.5]])
    >>> model.predict([[0.2], [8.0]]), model
    ([0, 1], MiniBatchKMeans(initialized=true))
    """
    def __new__(cls, n_clusters: int, random_state: int = 42) -> "PyMiniBatchKMeans":
        """A model of n_clusters centers (ValueError "Invalid configuration: n_clusters
        must be > 0" for 0) whose seeding draws from random_state (an int >= 0, not None).
        """
    def partial_fit(self, chunk: _Rows) -> None:
        """Ingest one chunk of rows, updating centers in place. The first
        chunk ever passed must have at least `n_clusters` rows.

        chunk: rows of floats (lists or a 2-D array). Seeding takes k-means++ centers
        from the first chunk; later chunks move each row's nearest center toward it by
        1 / (rows that center has absorbed). An empty chunk changes nothing. Raises
        RuntimeError for a seeding chunk of fewer than n_clusters rows, another number of
        columns, or a NaN or infinite value; nothing changes then.
        """
    def predict(self, data: _Rows) -> list[int]:
        """Assign each row of `data` to its nearest fitted center.

        RuntimeError before the first chunk, or for another number of columns.
        """
    def is_initialized(self) -> bool:
        """Whether a chunk has seeded the centers."""
    @property
    def centers(self) -> list[list[float]]:
        """The current centers, one list of floats each (an empty list before seeding)."""

@final
class PyKPrototypesResult:
    """A k-prototypes fit as kprototypes_py returns it: labels, numeric centers,
    categorical modes, the mismatch weight gamma, the total cost and n_iter.

    Made only by kprototypes_py; the attributes are read-only and return new copies.

    >>> r = kprototypes_py([[1.0], [1.2], [8.0], [8.5]], [["a"], ["a"], ["b"], ["b"]], 2)
    >>> r.labels, r.centers, r.modes
    ([1, 1, 0, 0], [[8.25], [1.1]], [['b'], ['a']])
    """
    @property
    def labels(self) -> list[int]:
        """Cluster index (0 to k - 1) of every row, in row order."""
    @property
    def centers(self) -> list[list[float]]:
        """The numeric part of each prototype: the mean of its rows' numeric features."""
    @property
    def modes(self) -> list[list[int | str]]:
        """The categorical part of each prototype: the most frequent value of each categorical column, as given (int or str).
        """
    @property
    def gamma(self) -> float:
        """Cost of one categorical mismatch: the root of the mean variance of the numeric columns (at least 1e-9)."""
    @property
    def cost(self) -> float:
        """Sum over the rows of the cost to their own prototype (squared distance plus gamma per mismatch)."""
    @property
    def n_iter(self) -> int:
        """Iterations run: fewer than max_iter when the labels stopped changing."""

def kprototypes_py(
    data: _Rows,
    categorical: Sequence[Sequence[int | str]] | Any | None,
    n_clusters: int,
    max_iter: int | None = None,
    random_state: int | None = None,
    n_jobs: int | None = None,
) -> PyKPrototypesResult:
    """Cluster rows with numeric features `data` and categorical features
    `categorical` (None, or one row of ints or strs per data row) by
    k-prototypes: squared Euclidean distance on the numeric part plus `gamma`
    per categorical mismatch. Defaults: 300 iterations, seed 42, one worker
    per CPU.

    data: rows of floats (lists, or a 2-D NumPy array or DataFrame of numbers).
    categorical: rows of ints or strs (lists, or a 2-D integer or object array), or None.
    n_clusters, max_iter, random_state: ints >= 0; n_jobs: worker threads (the
    result is the same for any n_jobs).

    Returns a PyKPrototypesResult. Raises RuntimeError for n_clusters 0, no rows,
    more clusters than rows, or a NaN or infinite number; ValueError when the
    categorical rows do not match the data rows in number or width.

    >>> r = kprototypes_py([[1.0], [1.2], [8.0], [8.5]], [["a"], ["a"], ["b"], ["b"]], 2)
    >>> r.labels, r.n_iter
    ([1, 1, 0, 0], 2)
    """

# ---- k-means and RFM over partitions ----

def kmeans_chunk_step(
    data: _Rows,
    centers: _Rows,
    previous_labels: Sequence[int] | None = None,
) -> tuple[list[list[float]], list[int], float, bool, float, list[float] | None, list[int]]:
    """One Lloyd step over a chunk of rows, for k-means over partitioned data.

    Each row is labelled with its nearest center (squared Euclidean distance, ties to
    the lower index). Returns (sums, counts, inertia, changed, farthest_distance,
    farthest_row, labels): per-center sums of the chunk's rows and their counts, the
    rows' squared distances to their centers summed in row order, whether a label
    differs from previous_labels (True without them), the largest such distance and
    its row (None for an empty chunk), and the labels. The sums and counts of every
    chunk added in chunk order and divided give the next centers, exactly as
    kmeans_py's update over all the rows.

    data: rows of floats (lists or a 2-D array); centers: k rows of the same width;
    previous_labels: the chunk's labels from the step before, or None.
    Raises RuntimeError when there are no centers or the widths differ.

    >>> kmeans_chunk_step([[0.0], [1.0], [10.0]], [[0.0], [10.0]])
    ([[1.0], [10.0]], [2, 1], 1.0, True, 1.0, [1.0], [0, 0, 1])
    """
def kmeans_chunk_inertia(data: _Rows, centers: _Rows, labels: Sequence[int]) -> float:
    """Sum of squared distances of a chunk's rows to their labelled centers, in row order.

    data: rows of floats; centers: k rows of the same width; labels: one center index per
    row (a list, NumPy array or pandas Series). Raises RuntimeError for a label without a
    center or another width.

    >>> kmeans_chunk_inertia([[0.0], [1.0], [10.0]], [[0.5], [10.0]], [0, 0, 1])
    0.5
    """
def kmeans_block_step(
    data: _Rows,
    centers: _Rows,
    totals: Any,
    labels: Any = None,
    previous_centers: _Rows | None = None,
) -> bool:
    """Adds one block of a partition's rows to the partition's Lloyd totals and returns whether a label changed.

    data: the rows (a 2-D C-contiguous float64 array is read in place). centers: k x d.
    totals: a float64 array of k*d + k + 2 + d values updated in place: the k x d sums, the k counts,
    the inertia, the farthest distance and the farthest row; fresh totals are zeros with the farthest
    distance -inf. Blocks of one partition go in row order; the partitions' totals added in partition
    order and the sums divided by the counts give the next centers.
    labels: an int64 array of one label per row holding the previous labels, overwritten with the new
    ones; without it, labels are compared with the nearest of previous_centers, else with 0.

    Raises RuntimeError for no centers, a width or size mismatch or a non-finite value (the totals and
    labels then hold partial results), TypeError for outputs that are not writable arrays.

    >>> import numpy as np
    >>> block, centers = np.array([[0.0], [1.0], [10.0], [11.0]]), np.array([[0.0], [10.0]])
    >>> totals = np.zeros(2 * 1 + 2 + 2 + 1); totals[2 * 1 + 2 + 1] = -np.inf   # k = 2, d = 1
    >>> labels = np.zeros(4, dtype=np.int64)
    >>> kmeans_block_step(block, centers, totals, labels), totals.tolist(), labels.tolist()
    (True, [1.0, 21.0, 2.0, 2.0, 2.0, 1.0, 11.0], [0, 0, 1, 1])
    """
def kmeans_block_inertia(
    data: _Rows,
    centers: _Rows,
    labels: Any = None,
    label_centers: _Rows | None = None,
    start: float = 0.0,
) -> float:
    """start plus the squared distances of a block's rows to their labelled centers, summed in row order
    (pass one block's result as the next block's start). Labels come from labels (int64 array or list),
    else the nearest of label_centers, else 0. Raises RuntimeError for a label naming no center, a width
    mismatch or a non-finite value.

    >>> kmeans_block_inertia([[0.0], [1.0], [10.0], [11.0]], [[0.5], [10.5]], [0, 0, 1, 1])
    1.0
    """
def kmeans_parallel_first(n_rows: int, n_clusters: int, random_state: int) -> int:
    """k-means|| seeding, first step: the row (0 .. n_rows-1, counted across partitions in partition order)
    that becomes the first candidate, drawn from the seed's ChaCha12 stream 0. Raises RuntimeError as
    kmeans_py does for n_clusters = 0, no rows, or more clusters than rows.

    >>> 0 <= kmeans_parallel_first(1_000_000, 8, 42) < 1_000_000
    True
    """
def kmeans_parallel_round(
    data: _Rows,
    candidates: _Rows,
    oversampling: float,
    random_state: int,
    partition: int,
    round: int,
    best: Any = None,
    first_row: int = 0,
    start: float = 0.0,
) -> tuple[float, list[int], list[float], list[float]]:
    """k-means|| seeding, one round over one block of a partition: (cost, rows, distances, draws).

    Every row's squared distance d2 to its nearest candidate is taken (the smaller of that and its value
    in best, a float64 array of one value per row updated in place, when given); cost is start plus the
    d2 in row order. Row j of the partition (first_row + its index in the block) draws u, uniform in
    [0, 1), from the seed's ChaCha12 stream 1 + partition at the round's position; rows, distances and
    draws list the rows with u * (running cost) < oversampling * d2. The driver adds the partitions'
    costs in partition order into phi and keeps the rows with u * phi < oversampling * d2.

    >>> import numpy as np
    >>> block = np.array([[0.0], [1.0], [10.0], [11.0]])
    >>> best = np.full(4, np.inf)                      # no candidate seen yet
    >>> cost, rows, d2, u = kmeans_parallel_round(block, block[[2]], 4.0, 42, 0, 0, best)
    >>> cost, rows, d2, best.tolist()
    (182.0, [0, 1], [100.0, 81.0], [100.0, 81.0, 0.0, 1.0])
    """
def kmeans_parallel_reduce(
    candidates: _Rows, weights: Sequence[float] | Any, n_clusters: int, random_state: int
) -> list[list[float]]:
    """k-means|| seeding, last step: n_clusters seeds chosen among the candidates by weighted k-means++
    (weights: the rows nearest to each candidate), drawn from the seed's ChaCha12 stream 0. Returns the
    seeds as a list of rows. Raises RuntimeError for n_clusters = 0, no candidates, weights of another
    length, a negative or non-finite weight or value.

    >>> kmeans_parallel_reduce([[0.0], [10.0]], [2.0, 2.0], 2, 42)
    [[0.0], [10.0]]
    """
def rfm_partition_values(
    transactions: Sequence[_Transaction],
    config: PyRFMConfig,
    now: str | datetime | Any,
    rows: Sequence[int] | None = None,
    n_jobs: int | None = None,
) -> list[tuple[str, float, float, float, int, int, int]]:
    """Raw RFM values of one partition's customers at the instant `now`, for RFM over
    partitioned data (each customer in one partition).

    transactions: (customer_id, timestamp, amount) tuples as calculate_rfm_py takes them;
    config: a PyRFMConfig; now: the instant of the whole computation (RFC 3339 text, a
    datetime (naive: UTC), a date (midnight UTC), a NumPy datetime64 or int epoch
    seconds); rows: each transaction's position in the whole input (default 0, 1, ...).

    Returns one (customer_id, recency, frequency, monetary, first_row, last_seconds,
    last_nanos) tuple per customer with a parsed transaction, for score_rfm_values.
    Raises RuntimeError "Data validation error: now is not an RFC 3339 date-time: ..."
    for a text that does not parse.

    >>> tx = [("a", "2024-05-01T00:00:00Z", 10.0), ("b", "2024-05-20T00:00:00Z", 5.0),
    ...       ("a", "2024-05-25T00:00:00Z", 7.5)]
    >>> [v[:4] for v in rfm_partition_values(tx, PyRFMConfig(), "2024-06-01T00:00:00Z")]
    [('a', 0.9222222222222223, 2.0, 17.5), ('b', 0.8666666666666667, 1.0, 5.0)]
    """
def score_rfm_values(
    values: Sequence[tuple[str, float, float, float, int, int, int]],
    config: PyRFMConfig,
    reports: Sequence[tuple[int, int, int, str, int, int, int, int, int, int, int]] | None = None,
) -> list[PyRFMScore]:
    """Scores and names the gathered per-customer values of every partition, giving
    calculate_rfm_py's records (the last step of RFM over partitioned data).

    values: the tuples of rfm_partition_values or rfm_partition_columns of every
    partition, in partition order; config: the PyRFMConfig of the computation (its
    scoring method applies); reports: the partitions' skip reports (from
    rfm_partition_columns), warned about once for the whole input as
    rfm_from_columns warns.

    Returns a list of PyRFMScore, highest monetary value first. A malformed tuple is a
    TypeError or ValueError naming `values` and the item.

    >>> tx = [("a", "2024-05-01T00:00:00Z", 10.0), ("b", "2024-05-20T00:00:00Z", 5.0)]
    >>> values = rfm_partition_values(tx, PyRFMConfig(), "2024-06-01T00:00:00Z")
    >>> score_rfm_values(values, PyRFMConfig())
    [RFMScore(customer_id=a, r=3, f=3, m=5, segment=Promising), RFMScore(customer_id=b, r=5, f=5, m=3, segment=Loyal Customers)]
    """

# ---- sql export ----

def export_segment_sql(
    segment_name: str,
    dialect: str,
    table_name: str,
    customer_id: str | None = None,
    recency_score: str | None = None,
    frequency_score: str | None = None,
    monetary_score: str | None = None,
) -> str:
    """Export a single segment as SQL query

    segment_name: a segment key ("Champions", "VIP", "LoyalCustomers",
    "PotentialLoyalists", "CannotLose", "AtRisk", "AboutToSleep", "NewCustomers",
    "Promising", "NeedAttention", "Lost", "AtRiskSleeping", "Hibernating"); dialect:
    "ansi", "snowflake", "bigquery", "redshift", "postgresql" (or "postgres"),
    "oracle", "sqlserver" (or "mssql", "sql_server") or "mysql", any case;
    table_name and the column names: SQL identifiers (letters, digits and "_", not
    starting with a digit, optionally dot-qualified). The columns default to
    customer_id, recency_score, frequency_score and monetary_score, holding 1-5
    (quintile) scores; rfm_from_columns names its columns r_score, f_score and
    m_score, so pass recency_score="r_score" and so on for a table of its output.

    Returns the query selecting the segment's customers with the segment's display
    name. Raises ValueError "Unsupported SQL dialect: ...", "Invalid configuration:
    Segment '...' not found. Available segments: ..." or "Invalid configuration:
    Invalid SQL identifier ...".

    >>> print(export_segment_sql("VIP", "postgres", "rfm", recency_score="r_score",
    ...                          frequency_score="f_score", monetary_score="m_score"))
    SELECT customer_id, 'VIP' AS segment
    FROM rfm
    WHERE (r_score = 5 AND f_score = 3 AND m_score = 5) OR (r_score = 5 AND f_score = 2 AND m_score = 5) OR (r_score = 5 AND f_score = 1 AND m_score = 5);
    """
def export_all_segments_sql(
    dialect: str,
    table_name: str,
    customer_id: str | None = None,
    recency_score: str | None = None,
    frequency_score: str | None = None,
    monetary_score: str | None = None,
) -> dict[str, str]:
    """Export all segments as SQL queries

    Returns a dict of every segment key to its query, as export_segment_sql
    writes it; the arguments and errors are export_segment_sql's.

    >>> queries = export_all_segments_sql("bigquery", "analytics.rfm")
    >>> len(queries), queries["Lost"].splitlines()[1]
    (13, 'FROM analytics.rfm')
    """
def get_supported_sql_dialects() -> list[str]:
    """Get list of supported SQL dialects

    The canonical names, in order.

    >>> get_supported_sql_dialects()
    ['ansi', 'snowflake', 'bigquery', 'redshift', 'postgresql', 'oracle', 'sqlserver', 'mysql']
    """
def get_segment_rfm_patterns(segment_name: str) -> list[tuple[int, int, int]]:
    """Get RFM patterns for a segment

    The (recency, frequency, monetary) quintile-score triples that make up the
    segment with key `segment_name` (the keys of export_segment_sql); ValueError for an
    unknown key.

    >>> get_segment_rfm_patterns("VIP")
    [(5, 3, 5), (5, 2, 5), (5, 1, 5)]
    """

# ---- streaming segmentation ----

@final
class PyStreamingEvent:
    """One customer event for the streaming engine.

    customer_id: str; event_type: "purchase", "engagement", "pageview" (or "page_view")
    or "custom", any case; value: a number; timestamp: whole seconds since the Unix epoch
    (an int, NumPy integers too; at most 9999-12-31T23:59:59Z); metadata: None or a
    dict of str to str. A wrong type is a TypeError naming the argument; an unknown
    event type or a timestamp beyond the range a ValueError. The event type and
    metadata are kept with the event but not read back.

    >>> event = PyStreamingEvent("c1", "Purchase", 25.0, 1717200000, {"channel": "web"})
    >>> event.customer_id, event.value, event.timestamp
    ('c1', 25.0, 1717200000)
    """
    def __new__(
        cls,
        customer_id: str,
        event_type: str,
        value: float,
        timestamp: int,
        metadata: dict[str, str] | None = None,
    ) -> "PyStreamingEvent":
        """An event of customer_id with its type, value, epoch-second timestamp and metadata."""
    @property
    def customer_id(self) -> str:
        """The customer the event belongs to."""
    @property
    def value(self) -> float:
        """The amount the event carries (purchase amount, engagement weight, ...)."""
    @property
    def timestamp(self) -> int:
        """Event time, whole seconds since the Unix epoch."""

@final
class PyStreamingConfig:
    """Settings of a streaming engine.

    batch_size: the buffer's capacity (the buffer is flushed when it is reached);
    batch_timeout_ms, window ("minute", "hour", "day" or "week", any case) and
    decay_factor are kept with the configuration. Integers out of range raise
    OverflowError, an unknown window ValueError.

    >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig(batch_size=500, window="DAY"))
    """
    def __new__(
        cls, batch_size: int = 100, batch_timeout_ms: int = 5000, window: str = "hour", decay_factor: float = 0.95
    ) -> "PyStreamingConfig":
        """A configuration; the class documents the arguments."""

@final
class PyStreamingSegmentUpdate:
    """What one event did to its customer's segment: the previous and new segment,
    whether it changed, the confidence and the processing time. Made by process_event
    and process_batch; the attributes are read-only.
    """
    @property
    def customer_id(self) -> str:
        """The event's customer."""
    @property
    def previous_segment(self) -> str | None:
        """The segment before the event; None for a customer seen for the first time."""
    @property
    def new_segment(self) -> str | None:
        """The segment after the event."""
    @property
    def segment_changed(self) -> bool:
        """Whether the segment changed (False exactly when previous_segment equals new_segment)."""
    @property
    def confidence(self) -> float:
        """Confidence of the label: 0.85."""
    @property
    def timestamp(self) -> int:
        """Processing time, whole seconds since the Unix epoch."""

@final
class PyStreamingSegmentationEngine:
    """Stateful real-time segmentation engine: feed it events one at a time (or
    in batches) and it maintains an incrementally-updated RFM-like state and
    segment assignment per customer, without requiring a full batch refit.

    `process_batch` is also the drift-triggered re-clustering checkpoint:
    once enough customers are tracked, the first batch arms a drift
    baseline, and every batch after that checks the current RFM
    distribution against it via `DriftDetector`. If drift crosses
    `recluster_config`'s threshold, a real k-means re-fit runs over every
    tracked customer's (recency, frequency, monetary) vector and segment
    assignments are overwritten with the fresh cluster labels.

    config: a PyStreamingConfig; recluster_config: a PyReclusterConfig (None for
    its defaults). The engine pickles with its whole state.

    >>> import time
    >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig(), PyReclusterConfig(min_customers=2))
    >>> _ = engine.process_batch([PyStreamingEvent(c, "purchase", 10.0, int(time.time())) for c in "ab"])
    >>> engine.customer_count(), engine.get_segment("a")
    (2, 'At Risk')
    """
    def __new__(
        cls, config: PyStreamingConfig, recluster_config: PyReclusterConfig | None = None
    ) -> "PyStreamingSegmentationEngine":
        """An engine with `config` (a PyStreamingConfig) and `recluster_config` (a
        PyReclusterConfig; None for its defaults).
        """
    def process_event(self, event: PyStreamingEvent) -> PyStreamingSegmentUpdate:
        """Apply one event to its customer and relabel the customer by the score rule.

        The customer's running state gains the event (frequency + 1, monetary + value; the
        latest event is the one with the greatest timestamp) and its recency is the whole
        days from that event to now. The score ((100 - min(recency, 100)) + min(frequency,
        100) + min(monetary / 1000, 100)) / 3 names the segment: "Champions" from 80,
        "Loyal Customers" from 60, "Potential Loyalists" from 40, "At Risk" from 20, else
        "Lost". Returns the PyStreamingSegmentUpdate; event must be a PyStreamingEvent
        (TypeError otherwise).

        >>> import time
        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> update = engine.process_event(PyStreamingEvent("c1", "purchase", 50.0, int(time.time())))
        >>> update.previous_segment, update.new_segment, update.segment_changed
        (None, 'At Risk', True)
        """
    def process_batch(self, events: Sequence[PyStreamingEvent]) -> list[PyStreamingSegmentUpdate]:
        """Apply a batch of events in order, then run the drift checkpoint.

        events: a sequence of PyStreamingEvent; every item is copied before the first is
        applied, so a bad item (TypeError naming its index) changes nothing. The
        checkpoint flushes the buffer, arms the drift baseline once enough customers are
        tracked, and later re-fits k-means over every customer when drift crosses the
        re-cluster threshold (see the class). Returns the updates in event order; a
        RuntimeError of the re-fit discards them, the events staying applied.

        >>> import time
        >>> now = int(time.time())
        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> updates = engine.process_batch([PyStreamingEvent(c, "purchase", 10.0, now) for c in "abca"])
        >>> [u.customer_id for u in updates], engine.customer_count()
        (['a', 'b', 'c', 'a'], 3)
        """
    def get_segment(self, customer_id: str) -> str | None:
        """The customer's current segment name, or None for a customer never seen."""
    def get_all_segments(self) -> dict[str, str]:
        """A new dict of every tracked customer's id to its segment name."""
    def customer_count(self) -> int:
        """The number of customers tracked (every customer with an event)."""
    def buffer_size(self) -> int:
        """The number of events in the buffer: the events since the last flush (the buffer
        is flushed when it reaches batch_size and at every batch checkpoint).
        """
    def segment_distribution(self) -> dict[str, int]:
        """A new dict of segment name to the number of customers in it (only segments with
        customers appear).

        >>> import time
        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> _ = engine.process_batch([PyStreamingEvent(c, "purchase", 10.0, int(time.time())) for c in "ab"])
        >>> engine.segment_distribution()
        {'At Risk': 2}
        """
    def check_drift(self) -> list[PyFeatureDrift] | None:
        """Compare the current RFM distribution against the last-captured
        baseline. Returns `None` if no baseline is armed yet or there
        aren't enough tracked customers for the comparison to be
        meaningful.

        Otherwise a list of three PyFeatureDrift: recency and frequency by
        Kolmogorov-Smirnov, monetary by Hellinger.

        >>> import time
        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig(), PyReclusterConfig(min_customers=2))
        >>> engine.check_drift() is None
        True
        >>> _ = engine.process_batch([PyStreamingEvent(c, "purchase", 10.0, int(time.time())) for c in "ab"])
        >>> [d.feature_name for d in engine.check_drift()]
        ['recency', 'frequency', 'monetary']
        """
    def maybe_recluster(self) -> PyReclusterEvent | None:
        """Check for drift and, if it crosses the configured threshold, re-fit
        real k-means clusters over every tracked customer and overwrite
        their segment assignments. Returns `None` if nothing was triggered.

        A re-fit re-arms the baseline and is added to recluster_history(). RuntimeError
        for a k-means failure (the engine is unchanged).
        """
    def recluster_history(self) -> list[PyReclusterEvent]:
        """History of drift-triggered re-clusters this engine has performed.

        Oldest first.
        """
    def set_recluster_baseline(self) -> None:
        """(Re-)arm drift detection against the current RFM distribution,
        without performing a re-cluster.

        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> engine.set_recluster_baseline()
        >>> [d.severity for d in engine.check_drift() or []]
        []
        """
    def relabel(self, as_of: Any = None) -> int:
        """Re-label every tracked customer by the score rule against the instant `as_of`
        (default: now; a datetime, date, datetime64, int epoch seconds or RFC 3339 str):
        each customer's recency becomes the whole days from its latest event to `as_of`,
        so labels age between batches without events. Labels of a re-fit ("cluster_{}")
        are replaced too. Returns how many labels changed. An unreadable as_of is a
        TypeError or ValueError naming it.

        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> _ = engine.process_event(PyStreamingEvent("c1", "purchase", 50.0, 1717200000))
        >>> engine.relabel(as_of="2024-06-01T00:00:00Z"), engine.get_segment("c1")
        (1, 'At Risk')
        """
    def customer_states(self, as_of: Any = None) -> dict[str, Any]:
        """The running state of every tracked customer, in order of first event, as a dict of
        equal-length columns ready for pandas.DataFrame: customer_id, recency_days (whole days
        from the latest event to `as_of`; default now), frequency (events), monetary (summed
        values), last_event_timestamp (the greatest event timestamp, epoch seconds) and segment
        (the current label). Numbers are NumPy arrays when NumPy is loaded, else array.array.
        as_of takes what relabel takes.

        >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())
        >>> _ = engine.process_event(PyStreamingEvent("c1", "purchase", 50.0, 1717200000))
        >>> states = engine.customer_states(as_of="2024-06-11T00:00:00Z")
        >>> states["customer_id"], states["recency_days"].tolist(), states["monetary"].tolist()
        (['c1'], [10], [50.0])
        """

@final
class PyReclusterConfig:
    """Configuration for drift-triggered re-clustering: how severe drift in the
    tracked population's RFM distribution must be (`min_severity`), how many
    customers must be tracked before drift is even evaluated
    (`min_customers`), and how many clusters to re-fit with
    (`n_clusters`) when it fires.

    >>> engine = PyStreamingSegmentationEngine(PyStreamingConfig(), PyReclusterConfig("Medium", 100, 5))
    """
    def __new__(cls, min_severity: str = "high", min_customers: int = 30, n_clusters: int = 4) -> "PyReclusterConfig":
        """The re-cluster settings: min_severity "none", "low", "medium", "high" or
        "critical" (any case; ValueError otherwise), min_customers and n_clusters ints >= 0.
        """

@final
class PyReclusterEvent:
    """Record of a completed drift-triggered re-cluster: which features
    drifted (and by how much), how many customers were re-fit, and into how
    many clusters.

    Made by the engine's re-fits (recluster_history(), maybe_recluster()); the
    attributes are read-only.
    """
    @property
    def timestamp(self) -> int:
        """When the re-fit ran, whole seconds since the Unix epoch."""
    @property
    def drifts(self) -> list[PyFeatureDrift]:
        """The drift of recency, frequency and monetary value that set it off (PyFeatureDrift each)."""
    @property
    def customers_reclustered(self) -> int:
        """Customers re-labelled by the re-fit."""
    @property
    def n_clusters(self) -> int:
        """Clusters of the re-fit (labels "cluster_0" onwards)."""

# ---- drift detection ----

_Floats = Sequence[float] | Any  # a list of floats, or a 1-D float64 array

@final
class PyFeatureDrift:
    """The drift of one feature between a baseline and a current sample: its score
    and severity. Made by detect_feature_drift and the streaming engine's drift check;
    the attributes are read-only.

    >>> d = detect_feature_drift("spend", [1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0], "ks")
    >>> d.drift_score, d.severity, d
    (0.5, 'critical', FeatureDrift(feature=spend, score=0.5000, severity=critical))
    """
    @property
    def feature_name(self) -> str:
        """The feature's name as given."""
    @property
    def drift_score(self) -> float:
        """The drift statistic, 0 to 1 (Kolmogorov-Smirnov or Hellinger, by method)."""
    @property
    def severity(self) -> str:
        """The graded score: "none" < 0.1 <= "low" < 0.2 <= "medium" < 0.35 <= "high" < 0.5 <= "critical"."""
    @property
    def timestamp(self) -> int:
        """When the drift was measured, whole seconds since the Unix epoch."""

@final
class PySegmentCompositionChange:
    """How one segment's membership changed between two points in time. Made by
    detect_segment_composition_change; the attributes are read-only.

    >>> [c] = detect_segment_composition_change({"vip": 40}, {"vip": 30})
    >>> c.segment_name, c.previous_size, c.current_size, c.size_change_percent
    ('vip', 40, 30, -25.0)
    """
    @property
    def segment_name(self) -> str:
        """The segment."""
    @property
    def previous_size(self) -> int:
        """Its size before (0 when it was absent)."""
    @property
    def current_size(self) -> int:
        """Its size now (0 when it is absent)."""
    @property
    def size_change_percent(self) -> float:
        """The change in size as a percentage of the whole previous population."""
    @property
    def churn_rate(self) -> float:
        """Relative shrinkage (previous - current) / previous when the segment shrank, else 0."""
    @property
    def growth_rate(self) -> float:
        """Relative growth (current - previous) / previous; 1.0 for a segment new now; 0 when it shrank."""

def kolmogorov_smirnov(baseline: _Floats, current: _Floats) -> float:
    """Kolmogorov-Smirnov statistic (max CDF gap) between two samples.

    The largest gap between the two samples' empirical CDFs, 0 to 1 (0.0 when a
    sample is empty). baseline, current: numbers (lists, NumPy arrays, pandas Series).
    ks_test also gives the p-value.

    >>> kolmogorov_smirnov([1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0])
    0.5
    """
def hellinger_distance(baseline: _Floats, current: _Floats) -> float:
    """Hellinger distance between two samples' fitted distributions.

    Each sample is fitted with a normal distribution (mean and population
    standard deviation); the result is the Hellinger distance of the two normals, 0
    for equal fits and approaching 1 for far-apart ones.

    >>> hellinger_distance([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
    0.0
    """
def chi_square_drift(baseline_counts: dict[str, int], current_counts: dict[str, int]) -> float:
    """Chi-square statistic for drift between two categorical count distributions.

    baseline_counts, current_counts: dicts of category (str) to count (int >= 0).
    Each baseline category k expects E = its baseline share times the current total;
    the result is the mean over the baseline categories of (observed - E)^2 / E
    (categories only in current_counts add nothing). chi_square_test gives the
    homogeneity test with a p-value.

    >>> chi_square_drift({"web": 50, "app": 50}, {"web": 70, "app": 30})
    8.0
    """
def detect_feature_drift(feature_name: str, baseline: _Floats, current: _Floats, method: str) -> PyFeatureDrift:
    """Detect drift in a single numeric feature between a `baseline` and
    `current` sample, classified into a severity level ("none"/"low"/
    "medium"/"high"/"critical").

    method: "ks" (or "kolmogorov_smirnov") and "chi_square" (or "chi2") score by
    the Kolmogorov-Smirnov statistic; "hellinger" (or "hellinger_distance") and "kl"
    (or "kullback_leibler") by the Hellinger distance of fitted normals; any case.
    Another method is a ValueError "Unknown drift method '...'. Expected one of: ks,
    kl, hellinger, chi_square". Returns a PyFeatureDrift.

    >>> detect_feature_drift("spend", [1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0], "KS").severity
    'critical'
    """
def detect_segment_composition_change(
    previous_segments: dict[str, int], current_segments: dict[str, int]
) -> list[PySegmentCompositionChange]:
    """Compare segment membership counts between two points in time and report
    size/churn/growth changes per segment.

    previous_segments, current_segments: dicts of segment name to member count.
    Returns one PySegmentCompositionChange per segment of either table (no set order).

    >>> changes = detect_segment_composition_change({"A": 50, "B": 50}, {"A": 60, "B": 40})
    >>> sorted((c.segment_name, c.size_change_percent, c.growth_rate, c.churn_rate) for c in changes)
    [('A', 10.0, 0.2, 0.0), ('B', -10.0, 0.0, 0.2)]
    """

# drift tests with p-values and the drift reference (registered after the table)

_Column = Sequence[Any] | Any  # a list, NumPy array, pandas Series, Arrow array or polars Series
_Bins = int | Sequence[float]  # a number of quantile bins, or strictly increasing bin edges
_Counts = dict[str, int] | Any  # a dict of category to count, or a pandas Series of counts (value_counts())

def ks_test(baseline: _Column, current: _Column) -> tuple[float, float]:
    """Two-sample Kolmogorov-Smirnov test (two-sided): (statistic, p_value).

    The statistic is the largest gap between the two empirical CDFs. The p-value is exact
    (counted lattice paths) when neither sample has more than 10,000 values, else taken from
    the Kolmogorov distribution of the effective size round(nb nc / (nb + nc)); both as
    scipy.stats.ks_2samp(baseline, current) computes them.

    baseline, current: numbers (a list, NumPy array, pandas Series, Arrow array or polars
    Series; datetimes, dates and datetime64 values count as seconds since the epoch). Missing
    values (None, NaN, NaT, nulls) are left out; a side with no value left is a ValueError.

    >>> statistic, p = ks_test([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])  # p = 2 / C(6, 3)
    >>> statistic, round(p, 12)
    (1.0, 0.1)
    """
def chi_square_test(baseline_counts: _Counts, current_counts: _Counts) -> tuple[float, float]:
    """Chi-square test of homogeneity of two category count tables: (statistic, p_value).

    baseline_counts, current_counts: dicts of category (str) to count (int >= 0), or pandas
    Series of counts by category such as Series.value_counts() gives. The test runs
    on the 2 x C table of both sides' counts over every category either side has (a category
    counted 0 on both sides is left out), as scipy.stats.chi2_contingency(table,
    correction=False) does; the p-value is the chi-square upper tail with C - 1 degrees of
    freedom. A side whose counts add up to 0 is a ValueError.

    >>> chi_square_test({"web": 70, "app": 30}, {"web": 50, "app": 50})[1] < 0.01
    True
    """
def wasserstein_distance(baseline: _Column, current: _Column) -> float:
    """Wasserstein-1 (earth mover's) distance between two samples, in the feature's own units:
    the area between their empirical CDFs, as scipy.stats.wasserstein_distance computes it.

    baseline, current: numbers (a list, NumPy array, pandas Series, Arrow array or polars
    Series; datetimes, dates and datetime64 values count as seconds since the epoch). Missing
    values (None, NaN, NaT, nulls) are left out; a side with no value left is a ValueError.

    >>> wasserstein_distance([0.0, 1.0], [5.0, 6.0])
    5.0
    """
def population_stability_index(baseline: _Column, current: _Column, bins: _Bins = 10) -> float:
    """Population stability index: the sum over bins of (c - b) * ln(c / b), b and c the shares
    of the baseline and current values in the bin. A share below 0.0001 counts as 0.0001, so
    that an empty bin adds a large but finite term. Read it as < 0.1 stable, 0.1-0.25 moving,
    > 0.25 shifted.

    baseline, current: numbers (a list, NumPy array, pandas Series, Arrow array or polars
    Series; datetimes, dates and datetime64 values count as seconds since the epoch). Missing
    values (None, NaN, NaT, nulls) are left out; a side with no value left is a ValueError.
    bins: the number of bins, cut at the baseline's quantiles k / bins by linear interpolation
    (equal quantiles merge), or a sequence of strictly increasing edges used as given: bin k
    holds edges[k-1] <= x < edges[k], with one more bin below the first edge and one above
    the last.

    >>> population_stability_index([1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0, 4.0])
    0.0
    """
def jensen_shannon_distance(baseline: _Column, current: _Column, bins: _Bins = 10) -> float:
    """Jensen-Shannon distance (base 2, from 0 for equal to 1 for disjoint) between the shares
    of the two samples in each bin: the square root of the Jensen-Shannon divergence, as
    scipy.spatial.distance.jensenshannon(b, c, base=2) computes it. Empty bins need no floor.

    baseline, current: numbers (a list, NumPy array, pandas Series, Arrow array or polars
    Series; datetimes, dates and datetime64 values count as seconds since the epoch). Missing
    values (None, NaN, NaT, nulls) are left out; a side with no value left is a ValueError.
    bins: the number of bins, cut at the baseline's quantiles k / bins by linear interpolation
    (equal quantiles merge), or a sequence of strictly increasing edges used as given: bin k
    holds edges[k-1] <= x < edges[k], with one more bin below the first edge and one above
    the last.

    >>> jensen_shannon_distance([0.0, 1.0], [5.0, 6.0], bins=[2.0])
    1.0
    """

_Table = Any  # a pandas DataFrame, a dict of columns, or an Arrow table (pyarrow, polars, __arrow_c_stream__)

@final
class DriftReference:
    """A baseline table kept for repeated drift reports.

    baseline_columns: a pandas DataFrame, a dict of columns (lists, NumPy arrays, pandas Series,
    Arrow arrays) or an Arrow table (pyarrow, polars, anything with __arrow_c_stream__).
    Columns of numbers (ints, floats, booleans, datetimes as seconds) are numeric: they are
    sorted once and cut into 10 bins at their deciles. Columns of texts (str, pandas categories,
    Arrow strings and dictionaries) are categorical: their categories are counted once.
    categorical: names of columns to count as categories even though they hold numbers
    (codes such as store ids). Missing values (None, NaN, NaT, nulls) are counted and left out.
    A column without values, a name in categorical the table lacks, or a name given twice is
    a ValueError; a column of another type is a TypeError.

    compare() grades a later table against it, column by column. The reference pickles.

    >>> ref = DriftReference({"spend": [10.0, 12.5, 9.0, 30.0], "channel": ["web", "app", "web", "web"]})
    >>> report = ref.compare({"spend": [11.0, 40.0, 38.0], "channel": ["app", "app", None]})
    >>> report["method"]
    ['ks', 'psi', 'chi_square', 'psi']
    """
    def __new__(cls, baseline_columns: _Table, categorical: Sequence[str] | None = None) -> "DriftReference":
        """A reference of the baseline table's columns; the class documents the arguments."""
    def compare(
        self, current_columns: _Table, methods: Sequence[str] | None = None, n_jobs: int | None = None
    ) -> dict[str, Any]:
        """Grades the drift of a later table against the reference, column by column.

        current_columns: a table of the same columns (any form the constructor takes), each of
        the same kind; missing values are counted and left out.
        methods: tests to run, among "ks" (Kolmogorov-Smirnov, with its p-value), "chi_square"
        (homogeneity of the counts, with its p-value), "wasserstein" (in the feature's units),
        "psi" (population stability index) and "jensen_shannon" (distance, base 2). Default: ks
        and psi for numeric columns, chi_square and psi for categorical ones. ks and wasserstein
        skip categorical columns; chi_square, psi and jensen_shannon use a numeric column's
        decile bins, a categorical column's categories (new ones included).
        n_jobs: worker threads (default: one per CPU); each column runs on one worker, and the
        report is the same for any n_jobs.

        Returns a dict of equal-length columns for pandas.DataFrame, one row per column and test
        in column order: feature, method, statistic, p_value (NaN for tests without one),
        severity ("none" < 0.1 <= "low" < 0.2 <= "medium" < 0.35 <= "high" < 0.5 <= "critical",
        graded on the statistic), n_baseline, n_current, missing_current. A column missing on
        either side, a column without values, texts where the reference has numbers, or
        categories read from texts on one side and numbers on the other is a ValueError.
        """
    @property
    def columns(self) -> list[str]:
        """The reference's column names, in table order."""
    @property
    def categorical(self) -> list[str]:
        """The names of the columns counted as categories, in table order."""

# ---- behavioral segmentation ----

@final
class PyCondition:
    """One comparison of a customer field with a number, the building block of a
    PyBehavioralRule.

    field: the field name, a SQL identifier (ValueError "Invalid configuration: ..."
    otherwise); operator: ">", ">=", "<", "<=", "==" (or "="), "!=" (or "<>"), "in" or
    "contains" (exact case, ValueError otherwise); value: a number.

    >>> PyBehavioralRule("big", "spends a lot", [PyCondition("total_spent", ">", 1000)]).to_sql()
    'total_spent > 1000'
    """
    def __new__(cls, field: str, operator: str, value: float) -> "PyCondition":
        """The condition `field operator value`; the class documents the arguments."""

@final
class PyBehavioralRule:
    """A named rule: its conditions joined by "AND" or "OR" (logic, any case;
    ValueError otherwise). A customer matches when the conditions hold together
    (AND) or any of them holds (OR); to_sql() renders the SQL WHERE fragment.

    name, description: str; conditions: a sequence of PyCondition (copied).

    >>> rule = PyBehavioralRule("lapsed", "", [PyCondition("days_since", ">", 90), PyCondition("orders", "<", 2)], "or")
    >>> rule.to_sql()
    'days_since > 90 OR orders < 2'
    """
    def __new__(
        cls, name: str, description: str, conditions: Sequence[PyCondition], logic: str = "AND"
    ) -> "PyBehavioralRule":
        """A rule of `conditions` joined by `logic`; the class documents the arguments."""
    def to_sql(self) -> str:
        """Render this rule as a SQL WHERE-clause fragment.

        >>> PyBehavioralRule("r", "", [PyCondition("a", ">", 1), PyCondition("b", "<", 2)], "OR").to_sql()
        'a > 1 OR b < 2'
        """

@final
class PyBehavioralSegment:
    """A named segment of customers that satisfy all of its rules, with a priority
    for PyBehavioralSegmenter.classify_primary (higher wins).

    name, description: str; rules: a sequence of PyBehavioralRule (copied); priority:
    an int >= 0 (default 0).

    >>> vip = PyBehavioralSegment("vip", "big spenders", [PyBehavioralRule("big", "", [PyCondition("monetary", ">", 1000)])])
    >>> vip.matches({"monetary": 1500.0}), vip.to_sql()
    (True, '((monetary > 1000))')
    """
    def __new__(
        cls, name: str, description: str, rules: Sequence[PyBehavioralRule], priority: int = 0
    ) -> "PyBehavioralSegment":
        """A segment of `rules` with a priority; the class documents the arguments."""
    def to_sql(self) -> str:
        """The segment's rules as one SQL condition: each rule's fragment in parentheses,
        joined by AND, all in parentheses.

        >>> vip = PyBehavioralSegment("vip", "", [PyBehavioralRule("big", "", [PyCondition("monetary", ">", 1000)]),
        ...                                       PyBehavioralRule("often", "", [PyCondition("orders", ">=", 5)])])
        >>> vip.to_sql()
        '((monetary > 1000) AND (orders >= 5))'
        """
    def matches(self, customer_data: dict[str, float]) -> bool:
        """Does this customer's data (field name -> numeric value) satisfy the
        segment's rule(s)?

        customer_data: a dict of field name to number. A field the data lacks makes its
        condition false.

        >>> vip = PyBehavioralSegment("vip", "", [PyBehavioralRule("big", "", [PyCondition("monetary", ">", 1000)])])
        >>> vip.matches({"monetary": 1500.0}), vip.matches({"orders": 3.0})
        (True, False)
        """

@final
class PyBehavioralSegmenter:
    """Rule-based (deterministic, explainable) customer segmentation — an
    alternative to statistical clustering when segment boundaries need to be
    human-defined business rules (e.g. "high value = monetary > 1000").

    segments: a sequence of PyBehavioralSegment (copied, order kept).

    >>> big = PyBehavioralRule("big", "", [PyCondition("monetary", ">", 1000)])
    >>> PyBehavioralSegmenter([PyBehavioralSegment("vip", "", [big])]).classify({"monetary": 2000.0})
    ['vip']
    """
    def __new__(cls, segments: Sequence[PyBehavioralSegment]) -> "PyBehavioralSegmenter":
        """A segmenter of `segments` (PyBehavioralSegment each, copied, order kept)."""
    def classify(self, customer_data: dict[str, float]) -> list[str]:
        """All segment names this customer's data matches (there may be more
        than one — segments are not mutually exclusive by default).

        >>> big = PyBehavioralRule("big", "", [PyCondition("monetary", ">", 1000)])
        >>> often = PyBehavioralRule("often", "", [PyCondition("orders", ">=", 5)])
        >>> segmenter = PyBehavioralSegmenter([PyBehavioralSegment("vip", "", [big], priority=2),
        ...                                    PyBehavioralSegment("regular", "", [often], priority=1)])
        >>> segmenter.classify({"monetary": 1500.0, "orders": 7.0})
        ['vip', 'regular']
        """
    def classify_primary(self, customer_data: dict[str, float]) -> str | None:
        """The single highest-priority matching segment name, if any.

        >>> often = PyBehavioralRule("often", "", [PyCondition("orders", ">=", 5)])
        >>> segmenter = PyBehavioralSegmenter([PyBehavioralSegment("regular", "", [often], priority=1)])
        >>> segmenter.classify_primary({"orders": 7.0}), segmenter.classify_primary({"orders": 1.0})
        ('regular', None)
        """
    def export_sql(self) -> str:
        """Combined SQL export of every configured segment's rule(s).

        Per segment, in order: "-- Segment: {name}", then "SELECT * FROM customers WHERE
        {the segment's to_sql()};" and a blank line ("" without segments).
        """

# ---- cluster evaluation ----

@final
class PyQualityReport:
    """A clustering's quality as assess_cluster_quality reports it: silhouette,
    Davies-Bouldin, Calinski-Harabasz, inertia, the number of clusters and an overall
    0-100 score. The attributes are read-only.

    >>> r = assess_cluster_quality([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1], [[0.5], [9.5]])
    >>> r.inertia, r.n_clusters
    (1.0, 2)
    >>> r
    QualityReport(silhouette=0.8885, davies_bouldin=0.1111, calinski_harabasz=162.00, overall=64.98)
    """
    @property
    def silhouette_score(self) -> float:
        """Silhouette coefficient, -1 to 1 (higher is better)."""
    @property
    def davies_bouldin_score(self) -> float:
        """Davies-Bouldin index against the given centers, >= 0 (lower is better)."""
    @property
    def calinski_harabasz_score(self) -> float:
        """Calinski-Harabasz index (higher is better)."""
    @property
    def inertia(self) -> float:
        """Sum of squared distances of the rows to the centers of their labels."""
    @property
    def n_clusters(self) -> int:
        """Largest label + 1 (1 for no labels)."""
    @property
    def overall_score(self) -> float:
        """The three indices combined into one score, nominally 0 to 100."""

def silhouette_score(data: _Rows, labels: Sequence[int]) -> float:
    """Silhouette coefficient for a clustering (-1 to 1; higher is better).

    data: rows of floats (lists or a 2-D array); labels: one cluster index per row.
    Rows alone in their cluster score 0; a single cluster gives 0.0.

    >>> silhouette_score([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1])
    0.8885448916408669
    """
def davies_bouldin_score(data: _Rows, labels: Sequence[int], centers: _Rows) -> float:
    """Davies-Bouldin index for a clustering (>= 0; lower is better).

    data: rows of floats; labels: one cluster index per row; centers: one row per
    cluster.

    >>> davies_bouldin_score([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1], [[0.5], [9.5]])
    0.1111111111111111
    """
def calinski_harabasz_score(data: _Rows, labels: Sequence[int]) -> float:
    """Calinski-Harabasz index for a clustering (higher is better).

    Between-cluster over within-cluster dispersion, each per degree of freedom.

    >>> calinski_harabasz_score([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1])
    162.0
    """
def assess_cluster_quality(data: _Rows, labels: Sequence[int], centers: _Rows) -> PyQualityReport:
    """Comprehensive cluster quality report combining silhouette,
    Davies-Bouldin, Calinski-Harabasz, and inertia into a single 0-100
    overall score.

    Returns a PyQualityReport. A label without a center row is a ValueError
    ("Data validation error: ...").

    >>> assess_cluster_quality([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1], [[0.5], [9.5]]).overall_score > 60
    True
    """

@final
class PyKEstimationResult:
    """A suggested number of clusters with the method's scores and confidence, as the
    estimate_k_* functions return it. The attributes are read-only.

    >>> r = estimate_k_elbow([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (1, 4))
    >>> r.k, r.scores[:2]
    (2, [(1, 402.8333333333333), (2, 122.5)])
    """
    @property
    def method(self) -> str:
        """"elbow", "silhouette", "gap_statistic" or "ensemble"."""
    @property
    def scores(self) -> list[tuple[int, float]]:
        """One (k, score) pair per k tried, in increasing k (empty for "ensemble")."""
    @property
    def k(self) -> int:
        """The suggested number of clusters."""
    @property
    def confidence(self) -> float:
        """How clearly the method prefers k (method-specific, 0 to 1)."""

def estimate_k_elbow(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult:
    """Estimate the optimal number of clusters via the elbow method (inertia
    curvature) over `k_range = (k_min, k_max)`.

    data: rows of floats; k_range: a tuple (k_min, k_max). Every k is fitted with
    k-means (seed 42). Returns a PyKEstimationResult whose scores are the inertias.

    >>> estimate_k_elbow([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (2, 4)).k
    3
    """
def estimate_k_gap_statistic(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult:
    """Estimate the optimal number of clusters via the gap statistic.

    data: rows of floats; k_range: a tuple (k_min, k_max). Returns a
    PyKEstimationResult whose scores are the gaps.

    >>> estimate_k_gap_statistic([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (2, 4)).k
    3
    """
def estimate_k_silhouette(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult:
    """Estimate the optimal number of clusters via silhouette analysis.

    data: rows of floats; k_range: a tuple (k_min, k_max). Returns a
    PyKEstimationResult whose scores are the silhouette coefficients.

    >>> estimate_k_silhouette([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (2, 4)).k
    3
    """
def estimate_k_combined(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult:
    """Estimate the optimal number of clusters via a majority vote across the
    elbow, gap-statistic, and silhouette methods.

    Returns a PyKEstimationResult of method "ensemble" (no scores).

    >>> estimate_k_combined([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (2, 4))
    KEstimationResult(method=ensemble, k=3, confidence=1.00)
    """

# ---- rfm ----

_Transaction = tuple[str, str | datetime, float]  # (customer id, RFC 3339 text or date-time, amount)

@final
class PyRFMConfig:
    """Settings of an RFM computation; None takes the default.

    recency_window_days (90), frequency_threshold (1) and monetary_threshold (0.0) are
    stored and readable but not used by the computation. decay_function (a
    PyDecayFunction, default linear) turns the days since a customer's latest purchase
    into the recency weight, with decay_half_life_days (30) as its half-life h.
    scoring_method (a PyScoringMethod, default quintile) sets the score range.

    Integers out of range raise OverflowError, other types TypeError, naming the argument.

    >>> config = PyRFMConfig(decay_function=PyDecayFunction.exponential(), decay_half_life_days=60)
    >>> config.decay_half_life_days, config.recency_window_days
    (60, 90)
    """
    def __new__(
        cls,
        recency_window_days: int | None = None,
        frequency_threshold: int | None = None,
        monetary_threshold: float | None = None,
        decay_function: PyDecayFunction | None = None,
        decay_half_life_days: int | None = None,
        scoring_method: PyScoringMethod | None = None,
    ) -> "PyRFMConfig":
        """A configuration; None takes each default (the class lists them)."""
    @property
    def recency_window_days(self) -> int:
        """Recency window in days (default 90); stored, not used by the computation."""
    @property
    def frequency_threshold(self) -> int:
        """Frequency threshold (default 1); stored, not used by the computation."""
    @property
    def monetary_threshold(self) -> float:
        """Monetary threshold (default 0.0); stored, not used by the computation."""
    @property
    def decay_half_life_days(self) -> int:
        """Half-life h of the recency decay, in days (default 30)."""

@final
class PyRFMScore:
    """One customer's RFM record: the recency weight, frequency and monetary value, a
    rank score on each, and the segment they name.

    Made by calculate_rfm_py and score_rfm_values; the attributes are read-only.

    >>> [s] = calculate_rfm_py([("c1", "2024-01-05T10:00:00Z", 40.0)], PyRFMConfig())
    >>> s.customer_id, s.frequency, s.monetary, s.rfm_rank, s.rfm_segment
    ('c1', 1.0, 40.0, '555', 'Champions')
    """
    @property
    def customer_id(self) -> str:
        """The customer's id."""
    @property
    def recency(self) -> float:
        """Recency weight of the latest purchase, 1.0 for today and falling with its age (the decay function)."""
    @property
    def frequency(self) -> float:
        """Number of purchases whose timestamp was read."""
    @property
    def monetary(self) -> float:
        """Sum of the amounts of those purchases."""
    @property
    def recency_score(self) -> int:
        """Rank score on recency: 5 (quintile), 10 (decile) or 100 (percentile) for the most recent."""
    @property
    def frequency_score(self) -> int:
        """Rank score on frequency, highest for the most frequent."""
    @property
    def monetary_score(self) -> int:
        """Rank score on monetary value, highest for the biggest spender."""
    @property
    def rfm_segment(self) -> str:
        """Segment name: a score above 3 is high, and the three highs name it (all high: "Champions")."""
    @property
    def rfm_rank(self) -> str:
        """The three scores written one after another, recency first (5, 4, 5 give "545")."""

@final
class PyDecayFunction:
    """How the days since a customer's latest purchase become the recency weight.

    Made by the static methods linear(), exponential() and inverse(); pass one to
    PyRFMConfig(decay_function=...).

    >>> PyDecayFunction.exponential()
    DecayFunction(exponential)
    """
    @staticmethod
    def linear() -> PyDecayFunction:
        """Linear decay: the recency weight falls in a straight line from 1 for a purchase today
        to 0 at three half-lives, (3h - d) / (3h) clamped to 0..1, for d days since the last
        purchase and h = decay_half_life_days.
        """
    @staticmethod
    def exponential() -> PyDecayFunction:
        """Exponential decay: the recency weight 2^(-d/h) halves every h =
        decay_half_life_days days after the last purchase (at most 1).
        """
    @staticmethod
    def inverse() -> PyDecayFunction:
        """Inverse decay: the recency weight 1 / (d/h + 1) is 1 for a purchase today and 0.5
        after h = decay_half_life_days days.
        """

@final
class PyScoringMethod:
    """The range of the rank scores: quintile() 1 to 5, decile() 1 to 10, percentile()
    1 to 100. Pass one to PyRFMConfig(scoring_method=...).

    >>> PyRFMConfig(scoring_method=PyScoringMethod.decile()).decay_half_life_days
    30
    """
    @staticmethod
    def quintile() -> PyScoringMethod:
        """Scores 1 to 5 by rank: ceil((1 - i/n) * 5) at position i of n, highest value first."""
    @staticmethod
    def decile() -> PyScoringMethod:
        """Scores 1 to 10 by rank: ceil((1 - i/n) * 10) at position i of n, highest value first."""
    @staticmethod
    def percentile() -> PyScoringMethod:
        """Scores 1 to 100 by rank: trunc((1 - i/n) * 100), at least 1, at position i of n, highest value first."""

@final
class PySegmentType:
    """A named RFM segment type, made by its static method (champions(), vip(), ...).

    as_str() gives its display name; PySegmentProfile(segment_type) its description.

    >>> PySegmentType.cannot_lose().as_str()
    'Cannot Lose Them'
    """
    @staticmethod
    def champions() -> PySegmentType:
        """The "Champions" segment type."""
    @staticmethod
    def loyal_customers() -> PySegmentType:
        """The "Loyal Customers" segment type."""
    @staticmethod
    def potential_loyalists() -> PySegmentType:
        """The "Potential Loyalists" segment type."""
    @staticmethod
    def at_risk() -> PySegmentType:
        """The "At Risk" segment type."""
    @staticmethod
    def cannot_lose() -> PySegmentType:
        """The "Cannot Lose Them" segment type."""
    @staticmethod
    def vip() -> PySegmentType:
        """The "VIP" segment type."""
    @staticmethod
    def new_customers() -> PySegmentType:
        """The "New Customers" segment type."""
    @staticmethod
    def need_attention() -> PySegmentType:
        """The "Need Attention" segment type."""
    def as_str(self) -> str:
        """The segment type's display name, e.g. "Cannot Lose Them"."""

@final
class PySegmentProfile:
    """A segment type with its display name, description and (empty) statistics.

    segment_type: a PySegmentType (TypeError otherwise).

    >>> p = PySegmentProfile(PySegmentType.vip())
    >>> p.description, p
    ('Premium customers with exceptional value metrics', SegmentProfile(type=VIP, size=0, avg_monetary=0.00))
    """
    def __new__(cls, segment_type: PySegmentType) -> "PySegmentProfile":
        """The empty profile of `segment_type` (a PySegmentType)."""
    @property
    def segment_type(self) -> str:
        """The segment type's display name."""
    @property
    def description(self) -> str:
        """The segment type's one-line description."""
    @property
    def size(self) -> int:
        """Number of customers (0: a new profile carries no statistics)."""
    @property
    def avg_recency(self) -> float:
        """Average recency (0.0 in a new profile)."""
    @property
    def avg_frequency(self) -> float:
        """Average frequency (0.0 in a new profile)."""
    @property
    def avg_monetary(self) -> float:
        """Average monetary value (0.0 in a new profile)."""
    @property
    def revenue_contribution(self) -> float:
        """Share of revenue (0.0 in a new profile)."""
    @property
    def churn_risk(self) -> float:
        """Churn risk (0.0 in a new profile)."""

def calculate_rfm_py(
    transactions: Sequence[_Transaction],
    config: PyRFMConfig,
    n_jobs: int | None = None,
) -> list[PyRFMScore]:
    """RFM scores of every customer from a list of transactions.

    transactions: a sequence of (customer_id, timestamp, amount) tuples (or a DataFrame
    with those three columns in that order): customer_id a str; timestamp RFC 3339 text
    with a zone ("2024-03-01T10:00:00Z", "2024-03-01 10:00:00+02:00"), or a datetime
    (naive: UTC), date (midnight UTC) or NumPy datetime64; amount a number.
    config: a PyRFMConfig.
    n_jobs: worker threads (None: one per CPU); results never depend on it.

    Each customer's recency is the decay weight of the days from its latest purchase to
    now, frequency its number of purchases and monetary their sum; each dimension is
    then scored by rank (quintile, decile or percentile) and the three scores name the
    segment. A transaction whose timestamp does not read is skipped (a UserWarning
    counts them). Returns a list of PyRFMScore, highest monetary value first.

    An int customer id or an int (epoch-second) timestamp is a TypeError naming the item
    and element ("argument 'transactions': item 0, element 1: ..."): rfm_from_columns
    takes those, and columns of any kind.

    >>> scores = calculate_rfm_py([("a", "2024-01-05T10:00:00Z", 40.0), ("b", "2024-02-01T09:30:00Z", 15.5),
    ...                            ("a", "2024-02-11T12:00:00Z", 22.0)], PyRFMConfig())
    >>> [(s.customer_id, s.frequency, s.monetary, s.rfm_segment) for s in scores]
    [('a', 2.0, 62.0, 'Champions'), ('b', 1.0, 15.5, 'Lost')]
    """

# ---- lookalike audiences ----

_Vector = Sequence[float] | Any  # a float list, or a 1-D float64 array

@final
class PySeedCustomer:
    """A seed or candidate customer for lookalike audiences: an id, a numeric feature
    vector, a lifetime value, a cohort label and categorical attributes (used only by
    the "jaccard" metric). The values are copied in; only customer_id reads back.

    customer_id: str; features: floats (a list, NumPy array or pandas Series); ltv: a
    number (default 0.0); cohort: str (default ""); categorical_features: None or a
    dict of str to str. A wrong type is a TypeError naming the argument.
    seed_customers() builds many at once.

    >>> PySeedCustomer("s1", [1.0, 0.0], ltv=200.0, categorical_features={"region": "north"}).customer_id
    's1'
    """
    def __new__(
        cls,
        customer_id: str,
        features: _Vector,
        ltv: float = 0.0,
        cohort: str = "",
        categorical_features: dict[str, str] | None = None,
    ) -> "PySeedCustomer":
        """A customer with an id, features, ltv, cohort and categorical features (see the class)."""
    @property
    def customer_id(self) -> str:
        """The customer's id."""

@final
class PyLookalikeCandidate:
    """A candidate as find_similar_customers ranks it: its id, similarity and
    percentile rank. The attributes are read-only.

    >>> seed = PySeedCustomer("s1", [1.0, 0.0])
    >>> best = find_similar_customers(seed, [PySeedCustomer("a", [1.0, 0.1]), PySeedCustomer("b", [0.0, 1.0])], 2)
    >>> [(c.customer_id, c.percentile) for c in best]
    [('a', 0.0), ('b', 50.0)]
    """
    @property
    def customer_id(self) -> str:
        """The candidate's id."""
    @property
    def similarity_score(self) -> float:
        """Its similarity to the seed under the metric."""
    @property
    def percentile(self) -> float:
        """Its rank as a percentage of the candidates: i / n * 100 at position i (0.0 for the best)."""

@final
class PyLookalikeAudience:
    """A lookalike audience as generate_lookalike summarises it: how many seeds and
    lookalikes, their similarity range and mean, and a predicted lifetime value.
    lookalike_audience() gives the members themselves. The attributes are read-only.

    >>> seeds = [PySeedCustomer("s1", [1.0, 0.0], ltv=200.0)]
    >>> candidates = [PySeedCustomer("a", [1.0, 0.1]), PySeedCustomer("b", [0.0, 1.0])]
    >>> generate_lookalike(seeds, candidates, percentile_threshold=0.5)
    LookalikeAudience(name=Lookalike (cosine), seeds=1, lookalikes=1, avg_similarity=0.9950)
    """
    @property
    def audience_name(self) -> str:
        """"Lookalike (metric)", or "Empty" without seeds or candidates."""
    @property
    def seed_count(self) -> int:
        """Number of seed customers."""
    @property
    def lookalike_count(self) -> int:
        """Number of candidates selected."""
    @property
    def min_similarity(self) -> float:
        """Smallest similarity among the selected."""
    @property
    def max_similarity(self) -> float:
        """Largest similarity among the selected."""
    @property
    def avg_similarity(self) -> float:
        """Mean similarity of the selected."""
    @property
    def predicted_ltv(self) -> float:
        """avg_similarity times the seeds' mean lifetime value."""

def generate_lookalike(
    seed_customers: Sequence[PySeedCustomer],
    candidate_customers: Sequence[PySeedCustomer],
    metric: str = "cosine",
    percentile_threshold: float = 0.9,
    max_lookalikes: int | None = None,
) -> PyLookalikeAudience:
    """Build a lookalike audience: score every candidate against the average
    feature profile of the seed customers, keep the top `percentile_threshold`
    fraction (e.g. 0.9 = top 10%), capped at `max_lookalikes`.

    seed_customers, candidate_customers: lists of PySeedCustomer; metric: "cosine",
    "euclidean", "manhattan" or "jaccard" (categorical features), any case (ValueError
    otherwise); percentile_threshold: a number; max_lookalikes: an int >= 0 or None.
    Returns a PyLookalikeAudience; lookalike_audience() gives its members.

    >>> seeds = [PySeedCustomer("s1", [1.0, 0.0], ltv=200.0)]
    >>> candidates = [PySeedCustomer("a", [1.0, 0.1]), PySeedCustomer("b", [0.0, 1.0])]
    >>> generate_lookalike(seeds, candidates, percentile_threshold=0.5).lookalike_count
    1
    """
def find_similar_customers(
    seed: PySeedCustomer, candidates: Sequence[PySeedCustomer], n: int, metric: str = "cosine"
) -> list[PyLookalikeCandidate]:
    """Find the top `n` candidates most similar to a single seed customer.

    seed: a PySeedCustomer; candidates: a list of PySeedCustomer; n: an int >= 0;
    metric as generate_lookalike takes it. Returns up to n PyLookalikeCandidate, most
    similar first (ties in candidate order).

    >>> seed = PySeedCustomer("s1", [1.0, 0.0])
    >>> [c.customer_id for c in find_similar_customers(seed, [PySeedCustomer("a", [0.0, 1.0]), PySeedCustomer("b", [1.0, 0.1])], 1)]
    ['b']
    """
def cosine_similarity(vec_a: _Vector, vec_b: _Vector) -> float:
    """Cosine similarity between two equal-length numeric feature vectors.

    0.0 for vectors of unequal length, empty or of zero norm.

    >>> cosine_similarity([3.0, 4.0], [6.0, 8.0]), cosine_similarity([1.0, 0.0], [0.0, 1.0])
    (1.0, 0.0)
    """

# (customer_id, features[, ltv[, cohort[, categorical_features]]]), as a tuple or list
_SeedRecord = (
    tuple[str, _Vector]
    | tuple[str, _Vector, float]
    | tuple[str, _Vector, float, str]
    | tuple[str, _Vector, float, str, dict[str, str] | None]
    | list[Any]
)  # (customer_id, features[, ltv[, cohort[, categorical_features]]]) as a tuple or list

def seed_customers(records: Iterable[_SeedRecord]) -> list[PySeedCustomer]:
    """Build many seed or candidate customers at once: one PySeedCustomer per
    record, in order (records: a sequence or any iterable). Each record is a tuple or list
    (customer_id, features[, ltv[, cohort[, categorical_features]]]) read
    exactly like PySeedCustomer's positional arguments (features may be a NumPy
    array or pandas Series, ltv a NumPy number).

    Returns a list of PySeedCustomer. A record that is no tuple or list, or whose items
    PySeedCustomer refuses, raises the constructor's exception class with a message that
    names the record ("argument 'records': item 1: ...").

    >>> people = seed_customers([("a", [1.0, 2.0]), ("b", [0.5, 0.0], 120.0, "2024-01")])
    >>> [p.customer_id for p in people]
    ['a', 'b']
    """

# PySeedCustomer objects, or (ids, features): an id column and a 2-D feature matrix
_AudienceSide = Sequence[PySeedCustomer] | tuple[Any, Any]  # a list of PySeedCustomer, or a pair (ids, 2-D feature matrix)

def lookalike_audience(
    seed_customers: _AudienceSide,
    candidate_customers: _AudienceSide,
    metric: str = "cosine",
    percentile_threshold: float = 0.9,
    max_lookalikes: int | None = None,
) -> dict[str, Any]:
    """The members of the audience generate_lookalike describes, as columns.

    seed_customers, candidate_customers: lists of PySeedCustomer, or pairs (ids, features) with one id
    per row of a 2-D feature matrix (a NumPy array of any dtype or layout, a DataFrame, a list of rows;
    a C-contiguous float64 array is read in place, and no customer object is built). Rows of features
    carry no categorical features, so under 'jaccard' they score 0.0.

    Returns a dict of equal-length columns: customer_id (the selected ids, taken from the id column in
    its own kind: a list, a NumPy array, the array of a pandas Series, an Arrow array, a polars Series),
    similarity (float64) and rank (int64, 1 for the best), best first with ties in candidate order as
    find_similar_customers orders them; its length and similarity statistics are generate_lookalike's
    for the same arguments. Ids and feature rows of unequal count raise ValueError.

    >>> import numpy as np
    >>> X = np.array([[1.0, 0.0], [0.9, 0.1], [0.0, 1.0]])
    >>> out = lookalike_audience((['s'], X[:1]), (['a', 'b', 'c'], X), percentile_threshold=0.5)
    >>> out['customer_id'], out['rank'].tolist()
    (['a', 'b'], [1, 2])
    """

# ---- cohort analysis ----

@final
class PyCohort:
    """A cohort of customers acquired together, with its size, revenue, retention and
    retention curve. Made by create_cohort; add_retention_point extends the curve.

    >>> c = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    >>> c.size, c.revenue, c.avg_ltv, c.retention_rate_total
    (2, 150.0, 75.0, 0.5)
    >>> c.add_retention_point(1, 1)
    >>> c.retention_curve
    [(0, 1, 0.5, 0.5), (1, 1, 0.5, 0.5)]
    """
    @property
    def cohort_id(self) -> str:
        """The cohort's id as given."""
    @property
    def created_at(self) -> int:
        """The creation time given, whole seconds since the Unix epoch."""
    @property
    def size(self) -> int:
        """Number of customers."""
    @property
    def revenue(self) -> float:
        """Sum of the customers' lifetime values."""
    @property
    def avg_ltv(self) -> float:
        """Revenue per customer (0.0 for an empty cohort)."""
    @property
    def retention_rate_total(self) -> float:
        """Share of the customers flagged retained (0.0 for an empty cohort)."""
    @property
    def churn_rate_total(self) -> float:
        """1 - retention_rate_total."""
    @property
    def retention_curve(self) -> list[tuple[int, int, float, float]]:
        """Retention curve as a list of (age_in_periods, retained_count,
        churn_rate, retention_rate) tuples.
        """
    def add_retention_point(self, age_in_periods: int, retained_count: int) -> None:
        """Record how many of this cohort's original customers were still
        active `age_in_periods` periods after cohort creation.

        Both are ints >= 0; the point (age, retained, 1 - rate, rate) with rate =
        retained / size is appended to retention_curve.
        """
    def retention_decay_rate(self) -> float:
        """Average retention-rate change per period across the recorded curve.

        0.0 for a curve of fewer than two points.
        """
    def revenue_per_retained(self) -> float:
        """Revenue per retained customer: revenue over the retained count of the latest
        point of the retention curve (0.0 when it is 0).

        >>> create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)]).revenue_per_retained()
        150.0
        """
    def summary(self) -> dict[str, float]:
        """The cohort's figures as a dict: size, revenue, avg_ltv, retention_rate,
        churn_rate, decay_rate (retention_decay_rate()) and revenue_per_retained.

        >>> s = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)]).summary()
        >>> s["size"], s["retention_rate"], s["revenue_per_retained"]
        (2.0, 0.5, 150.0)
        """

def cohort_id_for(period: str, date_unix: int) -> str:
    """Derive a deterministic cohort id string from a period type and a Unix
    timestamp (e.g. all "monthly" signups in the same month get the same id).

    period: "weekly", "monthly", "quarterly" or "yearly" (any case; ValueError
    otherwise), buckets of 7, 30, 90 or 365 days counted from the epoch; date_unix:
    epoch seconds. The id names the period and the bucket number.

    >>> cohort_id_for("monthly", 1704067200)
    'cohort_657'
    """
def create_cohort(
    cohort_id: str, period: str, created_at: int, customers: Sequence[tuple[str, float, bool]]
) -> PyCohort:
    """Build a cohort from a list of (customer_id, ltv, is_retained) tuples.

    cohort_id: str; period: as cohort_id_for takes it; created_at: epoch seconds;
    customers: (customer_id str, ltv number, is_retained bool) tuples (a NumPy bool is
    taken, an int is not). Returns a PyCohort whose retention curve starts with the
    point (0, retained, churn rate, retention rate).

    >>> create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    Cohort(id=2024-01, size=2, retention=50.00%)
    """
def compare_cohorts(cohort_a: PyCohort, cohort_b: PyCohort) -> tuple[str, int, float, float, float]:
    """Compare two cohorts; returns (better_performing_cohort_id, size_diff,
    revenue_diff, avg_ltv_diff, retention_rate_diff).

    >>> a = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    >>> b = create_cohort("2024-02", "monthly", 1706745600, [("c", 80.0, True)])
    >>> compare_cohorts(a, b)
    ('2024-02', -1, -70.0, 5.0, 0.5)
    """
def aggregate_cohorts_by_period(cohorts: Sequence[PyCohort]) -> dict[str, dict[str, float]]:
    """Group cohorts by their id and compute per-group total size, total
    revenue, average retention, and cohort count.

    Returns a dict of cohort id to a dict with total_size, total_revenue,
    avg_retention and cohort_count (no set order).

    >>> a = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    >>> aggregate_cohorts_by_period([a])["2024-01"]["total_revenue"]
    150.0
    """
def cohort_retention_table(cohorts: Sequence[PyCohort]) -> list[list[float]]:
    """Build a cohort x period-age retention matrix (each row is one cohort's
    retention rate at each recorded age).

    >>> a = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    >>> a.add_retention_point(1, 1)
    >>> cohort_retention_table([a, create_cohort("2024-02", "monthly", 1706745600, [("c", 80.0, True)])])
    [[0.5, 0.5], [1.0, 0.0]]
    """
def cohort_performance_ranking(cohorts: Sequence[PyCohort]) -> tuple[str | None, str | None]:
    """Identify the best- and worst-performing cohort ids by overall retention
    rate; returns (best_id, worst_id), either of which may be None if
    `cohorts` is empty.

    >>> a = create_cohort("2024-01", "monthly", 1704067200, [("a", 100.0, True), ("b", 50.0, False)])
    >>> b = create_cohort("2024-02", "monthly", 1706745600, [("c", 80.0, True)])
    >>> cohort_performance_ranking([a, b]), cohort_performance_ranking([])
    (('2024-02', '2024-01'), (None, None))
    """
def cohort_retention_from_columns(
    customer_ids: Any,
    timestamps: Any,
    period: str = "month",
    as_of: Any = None,
    n_jobs: int | None = None,
) -> dict[str, Any]:
    """Acquisition cohorts and their retention from two transaction columns.

    customer_ids and timestamps are read as rfm_from_columns reads them (lists, NumPy arrays, pandas
    Series, Arrow arrays, polars Series; datetime64, epoch seconds, datetimes, dates or RFC 3339 text).
    period: 'week' (ISO weeks, Monday to Sunday), 'month', 'quarter' or 'year', calendar periods in UTC.
    A customer's cohort is the period of its first purchase; it is active at age a when it bought at
    least once in the period a periods later. as_of: the end of observation (a datetime, date,
    datetime64, epoch seconds or RFC 3339 text; default the latest purchase); purchases after it are
    left out, as are those with a missing or unreadable timestamp (each kind reported in a UserWarning).

    Returns a dict of equal-length columns, one row per cohort (oldest first) and age 0 to the oldest
    cohort's age at as_of: cohort (its label: '2024-W05', '2024-02', '2024-Q1' or '2024'), age, customers
    (the cohort's size), active and retention (active / customers; NaN for an age the cohort has not
    reached at as_of). cohort_retention_matrix pivots it to one row per cohort.

    >>> t = cohort_retention_from_columns(['a', 'b', 'a'], ['2024-01-05T00:00:00Z', '2024-02-01T00:00:00Z',
    ...                                   '2024-02-20T00:00:00Z'])
    >>> t['cohort'], t['age'].tolist(), t['active'].tolist()
    (['2024-01', '2024-01', '2024-02', '2024-02'], [0, 1, 0, 1], [1, 1, 1, 0])
    """
def cohort_retention_matrix(table: Any) -> dict[str, Any]:
    """The cohort x age matrix of a cohort table.

    table: the dict cohort_retention_from_columns returns, or a DataFrame made from it (any table
    with columns cohort, age and retention, one row per cohort and age).

    Returns a dict: 'cohort' (the cohorts in order of first appearance), 'age' (int64, 0 to the
    largest age) and 'retention' (a float64 matrix, one row per cohort and one column per age; NaN
    where the table has no row). A negative age, a repeated (cohort, age) or columns of unequal length
    raise ValueError.

    >>> m = cohort_retention_matrix({'cohort': ['2024-01', '2024-01', '2024-02'], 'age': [0, 1, 0],
    ...                              'retention': [1.0, 0.5, 1.0]})
    >>> m['cohort'], m['retention'].tolist()
    (['2024-01', '2024-02'], [[1.0, 0.5], [1.0, nan]])
    """

# ---- segment profiling ----

@final
class PySegmentHealth:
    """A segment's health: stability, cohesion, separation and their blend, the
    health score. Read from PyProfiledSegment.health; the attributes are read-only.

    >>> p = profile_segment(0, [0, 1], {0: [1.0, 2.0, 9.0, 10.0]}, feature_names=["spend"])
    >>> round(p.health.health_score, 2)
    80.15
    """
    @property
    def stability(self) -> float:
        """Grows with the segment's size from 0.5 (empty) toward 1."""
    @property
    def cohesion(self) -> float:
        """1 minus half the mean coefficient of variation of the features, 0 to 1."""
    @property
    def separation(self) -> float:
        """Mean standardised distance between the segment and the other rows, 0 to 1."""
    @property
    def health_score(self) -> float:
        """Weighted blend of stability, cohesion and separation, 0 to 100."""

@final
class PyProfiledSegment:
    """One segment profiled by profile_segment: size, purity, a description, key
    characteristics, health and actionability. The attributes are read-only.

    >>> p = profile_segment(0, [0, 1], {0: [1.0, 2.0, 9.0, 10.0]}, feature_names=["spend"])
    >>> p, p.key_characteristics
    (ProfiledSegment(id=0, size=2, purity=1.00), ['Homogeneous segment'])
    """
    @property
    def segment_id(self) -> int:
        """The segment id given."""
    @property
    def size(self) -> int:
        """Number of members (duplicates counted)."""
    @property
    def purity(self) -> float:
        """Label purity with labels, else a label-free homogeneity proxy; 0 to 1."""
    @property
    def business_description(self) -> str:
        """One plain-English sentence describing the segment."""
    @property
    def key_characteristics(self) -> list[str]:
        """Notable traits of the segment (never empty)."""
    @property
    def health(self) -> PySegmentHealth:
        """The segment's PySegmentHealth."""
    @property
    def actionability_score(self) -> float:
        """How actionable the segment is, 0 to 100."""

def profile_segment(
    segment_id: int,
    members: Sequence[int],
    features: dict[int, _Vector],
    feature_names: Sequence[str] | None = None,
    labels: Sequence[int] | None = None,
) -> PyProfiledSegment:
    """Profile one cluster/segment: per-feature summary statistics, a plain-
    English business description, key characteristics, and a stability/
    cohesion/separation health score.

    `members` are the segment's row indices. `features` maps a feature index
    to that feature's full column of values over all rows (used for
    cross-segment separation). `feature_names` optionally labels each feature
    index. `labels`, if given, is a ground-truth class label per row used for a
    true purity; without it `purity` is a label-free homogeneity proxy (the
    share of member values within one standard deviation of the mean).

    >>> p = profile_segment(0, [0, 1], {0: [1.0, 2.0, 9.0, 10.0]}, feature_names=["spend"])
    >>> p.size, p.purity
    (2, 1.0)
    """

# ---- lifecycle, churn and value ----

@final
class PyLifecycleProfile:
    """A customer's lifecycle stage with its confidence, order value, retention score
    and expansion potential, as classify_lifecycle_stage decides it. The attributes
    are read-only.

    >>> p = classify_lifecycle_stage("c1", 400, 12, 1200.0, 10, 1.0)
    >>> p.current_stage, p.avg_order_value, p
    ('active', 100.0, LifecycleProfile(customer_id=c1, stage=active, retention_score=0.54))
    """
    @property
    def customer_id(self) -> str:
        """The customer's id."""
    @property
    def current_stage(self) -> str:
        """The stage: "prospect", "onboarding", "active", "mature", "at_risk" or "dormant"."""
    @property
    def stage_confidence(self) -> float:
        """Confidence of the stage, fixed per rule (0.75 to 0.95)."""
    @property
    def total_purchase_count(self) -> int:
        """The purchase count given."""
    @property
    def total_value(self) -> float:
        """The total value given."""
    @property
    def avg_order_value(self) -> float:
        """Total value per purchase (0.0 without purchases)."""
    @property
    def retention_score(self) -> float:
        """Mean of min(frequency / 10, 1) and 1 - min(days since last purchase / 365, 1)."""
    @property
    def expansion_potential(self) -> float:
        """Room to grow the customer, fixed per stage (0.0 to 0.85)."""

def classify_lifecycle_stage(
    customer_id: str,
    days_since_signup: int,
    purchase_count: int,
    total_value: float,
    days_since_last_purchase: int,
    purchase_frequency: float,
) -> PyLifecycleProfile:
    """Classify a customer into a lifecycle stage (prospect / onboarding /
    active / mature / at_risk / dormant / churned) from behavioral signals.

    customer_id: str; days_since_signup and days_since_last_purchase: ints (32-bit);
    purchase_count: an int >= 0; total_value and purchase_frequency: numbers. The first
    rule that holds decides: no purchases (prospect before 30 days since signup, else
    dormant), onboarding before 30 days, dormant after 180 days without a purchase,
    at_risk after 90, mature from 731 days since signup, else active. Returns a
    PyLifecycleProfile.

    >>> classify_lifecycle_stage("c1", 400, 12, 1200.0, 120, 1.0).current_stage
    'at_risk'
    """
def lifecycle_retention_actions(stage: str) -> list[str]:
    """Recommended retention actions for a given lifecycle stage name.

    stage: "prospect", "onboarding", "active", "mature", "at_risk" (or "atrisk"),
    "dormant" or "churned", any case; ValueError "Unknown lifecycle stage '...'.
    Expected one of: ..." otherwise. Returns three actions.

    >>> lifecycle_retention_actions("AT_RISK")
    ['Targeted win-back campaign', 'Special re-engagement offer', 'Personalized product recommendations']
    """
def lifecycle_stage_distribution(profiles: Sequence[PyLifecycleProfile]) -> dict[str, float]:
    """Percentage breakdown of customers across lifecycle stages.

    profiles: a list of PyLifecycleProfile. Returns a dict of stage to percentage
    (stages without profiles are absent; no set order).

    >>> profiles = [classify_lifecycle_stage("a", 400, 12, 1200.0, 10, 1.0), classify_lifecycle_stage("b", 10, 0, 0.0, 0, 0.0)]
    >>> sorted(lifecycle_stage_distribution(profiles).items())
    [('active', 50.0), ('prospect', 50.0)]
    """

@final
class PyChurnRiskLevel:
    """One of five churn risk levels, made by its static method: very_low(), low(),
    medium(), high() or critical(). as_str() gives its name, threshold() the churn
    probability at which it starts.

    >>> level = PyChurnRiskLevel.high()
    >>> level.as_str(), level.threshold()
    ('high', 0.75)
    """
    @staticmethod
    def very_low() -> PyChurnRiskLevel:
        """The "very_low" risk level (threshold 0.1)."""
    @staticmethod
    def low() -> PyChurnRiskLevel:
        """The "low" risk level (threshold 0.25)."""
    @staticmethod
    def medium() -> PyChurnRiskLevel:
        """The "medium" risk level (threshold 0.5)."""
    @staticmethod
    def high() -> PyChurnRiskLevel:
        """The "high" risk level (threshold 0.75)."""
    @staticmethod
    def critical() -> PyChurnRiskLevel:
        """The "critical" risk level (threshold 0.9)."""
    def as_str(self) -> str:
        """The level's name: "very_low", "low", "medium", "high" or "critical"."""
    def threshold(self) -> float:
        """The churn probability at which the level starts: 0.1, 0.25, 0.5, 0.75 or 0.9."""

@final
class PyChurnPrediction:
    """A churn prediction for one customer: probability, risk level, confidence, days
    until churn and the model kind. The attributes are read-only; no function of the
    module returns one.
    """
    @property
    def customer_id(self) -> str:
        """The customer's id."""
    @property
    def churn_probability(self) -> float:
        """Predicted probability of churn, 0 to 1."""
    @property
    def risk_level(self) -> str:
        """Name of the PyChurnRiskLevel the probability falls in."""
    @property
    def confidence(self) -> float:
        """Confidence of the prediction, 0 to 1."""
    @property
    def days_until_churn_estimate(self) -> int:
        """Estimated days until the customer churns."""
    @property
    def model_type(self) -> str:
        """The model kind: "logistic_regression", "random_forest" or "gradient_boosting"."""

@final
class PyCustomerLTV:
    """A customer's simple lifetime value, as calculate_simple_ltv estimates it: the
    historical value, the annual value, predicted values over the average lifespan,
    three and five years, a rule-based churn probability and a confidence score.
    The attributes are read-only.

    >>> ltv = calculate_simple_ltv("c1", 1200.0, 12, 365, 1095)
    >>> ltv.annual_value, ltv.churn_probability, ltv
    (1200.0, 0.08, CustomerLTV(customer_id=c1, ltv=3600.00, 3yr=3060.00, 5yr=4200.00))
    """
    @property
    def customer_id(self) -> str:
        """The customer's id."""
    @property
    def historical_value(self) -> float:
        """Total spent so far."""
    @property
    def annual_value(self) -> float:
        """Average order value times purchases per year (0.0 without purchases or active days)."""
    @property
    def predicted_ltv(self) -> float:
        """Annual value over the average customer lifespan (lifespan days / 365 years)."""
    @property
    def predicted_ltv_3yr(self) -> float:
        """Three years of annual value with a 0.85 retention discount."""
    @property
    def predicted_ltv_5yr(self) -> float:
        """Five years of annual value with a 0.7 retention discount."""
    @property
    def churn_probability(self) -> float:
        """Rule-based churn probability from purchase frequency and order size, 0 to 0.4 (0.5 without data)."""
    @property
    def confidence_score(self) -> float:
        """0.75 for a computed estimate, 0.3 when there were no purchases or no active days."""

def calculate_simple_ltv(
    customer_id: str,
    total_spent: float,
    purchase_count: int,
    days_active: int,
    avg_customer_lifespan_days: int,
) -> PyCustomerLTV:
    """A rule-based lifetime value of one customer.

    customer_id: str; total_spent: a number; purchase_count: an int >= 0; days_active and
    avg_customer_lifespan_days: ints (32-bit). With a = total_spent / purchase_count and
    f = purchase_count per 365 days active: annual_value = a x f, predicted_ltv = annual
    value over the lifespan, 3- and 5-year values with 0.85 and 0.7 retention discounts,
    and a churn probability from f and a (0 to 0.4). Without purchases or active days
    every prediction is total_spent, the churn probability 0.5 and the confidence 0.3.

    Returns a PyCustomerLTV; a wrong type or range is a TypeError or OverflowError
    naming the argument.

    >>> calculate_simple_ltv("c1", 1200.0, 12, 365, 1095)
    CustomerLTV(customer_id=c1, ltv=3600.00, 3yr=3060.00, 5yr=4200.00)
    """

# ---- privacy ----

@final
class PyKAnonymityResult:
    """The outcome of check_k_anonymity: k, whether the rows are k-anonymous, and
    how many rows lie in groups of at least k and below it. The attributes are read-only.

    >>> r = check_k_anonymity([{"zip": "10001"}, {"zip": "10001"}, {"zip": "10002"}], ["zip"], 2)
    >>> r.anonymized, r.generalized_rows, r.suppressed_rows
    (False, 2, 1)
    """
    @property
    def k_value(self) -> int:
        """The k checked."""
    @property
    def anonymized(self) -> bool:
        """True when no row lies in a quasi-identifier group smaller than k."""
    @property
    def generalized_rows(self) -> int:
        """Rows in groups of at least k."""
    @property
    def suppressed_rows(self) -> int:
        """Rows in groups smaller than k (the rows suppress_to_k_anonymous drops)."""
    @property
    def information_loss(self) -> float:
        """Suppressed rows as a percentage of all rows."""

def check_k_anonymity(
    data: Sequence[dict[str, str]], quasi_identifiers: Sequence[str], k: int
) -> PyKAnonymityResult:
    """Check whether `data` (a list of row dicts) is k-anonymous with respect to
    `quasi_identifiers` (the column names that, combined, could re-identify a
    row) for the given `k`.

    data: a list of dicts of str to str; quasi_identifiers: column names (a missing
    column counts as ""); k: an int >= 0. Returns a PyKAnonymityResult;
    k_anonymity_from_columns takes a DataFrame or columns instead.

    >>> check_k_anonymity([{"zip": "10001"}, {"zip": "10001"}, {"zip": "10002"}], ["zip"], 2).suppressed_rows
    1
    """
def suppress_to_k_anonymous(
    data: Sequence[dict[str, str]], quasi_identifiers: Sequence[str], k: int
) -> list[dict[str, str]]:
    """Drop rows from `data` that fall in quasi-identifier groups smaller than
    `k`, returning only the rows that are already k-anonymous.

    The kept rows are copies, grouped by quasi-identifier key: groups in order of
    first appearance, rows in input order within a group.

    >>> suppress_to_k_anonymous([{"zip": "10001"}, {"zip": "10001"}, {"zip": "10002"}], ["zip"], 2)
    [{'zip': '10001'}, {'zip': '10001'}]
    """
def generalize_numeric(data: Sequence[float], intervals: int) -> list[int]:
    """Bucket numeric values into `intervals` equal-width bins (returns each
    value's bin index) — a generalization step for k-anonymity.

    The bins span the smallest to the largest value; the largest value falls in the
    last bin.

    >>> generalize_numeric([1.0, 2.5, 9.0, 10.0], 3)
    [0, 0, 2, 2]
    """
def calculate_information_loss(original: Sequence[float], generalized: Sequence[int], intervals: int) -> float:
    """Root-mean-square normalized distance between original values and the
    midpoints of the bins they were generalized into.

    original: the values; generalized: their bin indexes (generalize_numeric);
    intervals: the number of bins. 0 for no loss.

    >>> round(calculate_information_loss([1.0, 2.5, 9.0, 10.0], [0, 0, 2, 2], 3), 4)
    0.1211
    """
def k_anonymity_from_columns(columns: Any, quasi_identifiers: Sequence[str], k: int) -> dict[str, Any]:
    """k-anonymity of a table given by columns, with every row's group size.

    columns: a pandas DataFrame, a dict of columns (lists, NumPy arrays, pandas Series, Arrow arrays)
    or an Arrow table (pyarrow, polars). Rows group by their quasi-identifier values as their row dicts
    would: a number by its shortest decimal text (1.0 and 1 alike), a bool as 'True' or 'False', a
    missing value (None, NaN, NaT, NA, an Arrow null) as the empty string. Strings, numbers, booleans
    and categoricals are read in place where their layout allows.

    Returns a dict: 'anonymized' and 'suppressed_rows' exactly as check_k_anonymity reports them for the
    same rows, 'group_size' (int64: the size of each row's group) and 'violating' (bool: the rows
    suppress_to_k_anonymous would drop). A quasi-identifier that is no column, or columns of unequal
    length, raise ValueError; a value that is no str, number, bool or missing value TypeError.

    >>> k_anonymity_from_columns({'zip': ['10001', '10001', '10002']}, ['zip'], 2)['suppressed_rows']
    1
    """
# A float64 NumPy array gives a float64 array of its shape; any other sequence a list.
@overload
def add_laplace_noise(data: Sequence[float], epsilon: float, sensitivity: float) -> list[float]:
    """Add Laplace-mechanism noise to a vector of counts/sums for
    epsilon-differential privacy.

    Each value is rounded to a grid of a power of two chosen from the parameters
    alone, exact discrete Laplace noise of scale sensitivity / epsilon (in grid steps)
    is added, and the result is clamped at 0 (NaN gives 0.0): every released value is
    epsilon-differentially private, exactly. A float64 NumPy array comes back as a
    float64 array of its shape, any other sequence as a list. The random bits come
    from the operating system's entropy, so results differ from call to call.
    ValueError for an epsilon that is not finite and positive, or a sensitivity that
    is negative or not finite.

    >>> noisy = add_laplace_noise([120.0, 45.0], epsilon=1.0, sensitivity=1.0)
    >>> len(noisy), all(v >= 0.0 for v in noisy)
    (2, True)
    """
@overload
def add_laplace_noise(data: Any, epsilon: float, sensitivity: float) -> Any:
    """Add Laplace-mechanism noise to a vector of counts/sums for
    epsilon-differential privacy.

    Each value is rounded to a grid of a power of two chosen from the parameters
    alone, exact discrete Laplace noise of scale sensitivity / epsilon (in grid steps)
    is added, and the result is clamped at 0 (NaN gives 0.0): every released value is
    epsilon-differentially private, exactly. A float64 NumPy array comes back as a
    float64 array of its shape, any other sequence as a list. The random bits come
    from the operating system's entropy, so results differ from call to call.
    ValueError for an epsilon that is not finite and positive, or a sensitivity that
    is negative or not finite.

    >>> noisy = add_laplace_noise([120.0, 45.0], epsilon=1.0, sensitivity=1.0)
    >>> len(noisy), all(v >= 0.0 for v in noisy)
    (2, True)
    """
@overload
def add_gaussian_noise(data: Sequence[float], epsilon: float, delta: float, sensitivity: float) -> list[float]:
    """Add Gaussian-mechanism noise to a vector for (epsilon, delta)-differential
    privacy on range queries.

    Each value is rounded to a grid of a power of two, exact discrete Gaussian
    noise is added and the result clamped at 0: every released value is (epsilon,
    delta)-differentially private. The scale is sensitivity x sqrt(2 ln(1.25 / delta))
    / epsilon below epsilon = 1 and the analytic Gaussian mechanism's smallest one
    from epsilon = 1 on. delta must lie strictly between 0 and 1; other arguments as
    for add_laplace_noise.

    >>> len(add_gaussian_noise([120.0, 45.0], epsilon=1.0, delta=1e-5, sensitivity=1.0))
    2
    """
@overload
def add_gaussian_noise(data: Any, epsilon: float, delta: float, sensitivity: float) -> Any:
    """Add Gaussian-mechanism noise to a vector for (epsilon, delta)-differential
    privacy on range queries.

    Each value is rounded to a grid of a power of two, exact discrete Gaussian
    noise is added and the result clamped at 0: every released value is (epsilon,
    delta)-differentially private. The scale is sensitivity x sqrt(2 ln(1.25 / delta))
    / epsilon below epsilon = 1 and the analytic Gaussian mechanism's smallest one
    from epsilon = 1 on. delta must lie strictly between 0 and 1; other arguments as
    for add_laplace_noise.

    >>> len(add_gaussian_noise([120.0, 45.0], epsilon=1.0, delta=1e-5, sensitivity=1.0))
    2
    """

@final
class PyPrivacyBudget:
    """An epsilon budget for differentially private releases: each release consumes
    part of it, and a release the rest cannot pay for is refused.

    epsilon: the total budget, finite and > 0; delta: the delta of (epsilon, delta)
    releases, in [0, 1) (stored). ValueError otherwise. The granted costs are summed
    exactly, so 0.1 + 0.1 + 0.1 spends a budget of 0.3.

    >>> budget = PyPrivacyBudget(1.0, 1e-5)
    >>> budget.consume(0.25), budget.consume(0.9), budget.budget_percentage()
    (True, False, 25.0)
    >>> budget
    PrivacyBudget(epsilon=1, remaining=0.7500)
    """
    def __new__(cls, epsilon: float, delta: float) -> "PyPrivacyBudget":
        """A budget of `epsilon` (all of it remaining) with `delta`."""
    def consume(self, cost: float) -> bool:
        """Consume `cost` epsilon from the budget. Returns False (and leaves the
        budget untouched) if the remaining budget is insufficient.

        >>> budget = PyPrivacyBudget(1.0, 1e-5)
        >>> budget.consume(0.6), budget.consume(0.6), budget.remaining_epsilon
        (True, False, 0.4)
        """
    def budget_exhausted(self) -> bool:
        """Whether nothing is left: remaining_epsilon <= 0."""
    def budget_percentage(self) -> float:
        """The share of the budget spent, in percent: (epsilon - remaining_epsilon) / epsilon * 100."""
    @property
    def epsilon(self) -> float:
        """The total epsilon given at construction."""
    @property
    def delta(self) -> float:
        """The delta given at construction (stored only)."""
    @property
    def remaining_epsilon(self) -> float:
        """The epsilon not yet consumed."""

def rfm_from_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any,
    config: PyRFMConfig | None = None,
    as_of: Any = None,
    n_jobs: int | None = None,
) -> dict[str, Any]:
    """RFM scores of every customer from three equal-length columns.

    customer_ids: str or int values (list, NumPy array, pandas Series, Arrow array); integral floats are ints.
    timestamps: datetime64 of any unit (tz-aware pandas data is converted to UTC, naive data is UTC), int epoch
    seconds (nullable pandas and Arrow integers too), datetime objects (naive ones are UTC), dates (midnight UTC)
    or RFC 3339 strings; None, NaN and NaT are missing.
    amounts: floats.
    config: a PyRFMConfig (default PyRFMConfig()).
    as_of: the reference instant (datetime, date, datetime64, int epoch seconds or RFC 3339 str; default
    now). Transactions dated after a given as_of are left out, as are those with a missing or unreadable
    timestamp (each kind reported in a UserWarning); a customer left without a transaction is left out of
    the result.
    n_jobs: worker threads (default one per CPU); the result is the same for any n_jobs.

    Returns a dict of equal-length columns (customer_id, recency, recency_days, frequency, monetary,
    r_score, f_score, m_score, segment) in calculate_rfm_py's order; pandas.DataFrame(result) takes it as is.
    Ids given as a pandas Series keep its dtype, and the segments then come as a pandas Categorical; ids given
    as a polars Series come as a polars Series of their dtype, and the segments as a polars Categorical.
    Columns of unequal length raise ValueError; ids mixing ints and strs, or a value of another type,
    TypeError naming the column (and the item).

    >>> r = rfm_from_columns(["a", "b", "a"], ["2024-05-01T00:00:00Z", "2024-05-20T00:00:00Z",
    ...                      "2024-05-25T00:00:00Z"], [10.0, 5.0, 7.5], as_of="2024-06-01T00:00:00Z")
    >>> r["customer_id"], r["recency_days"].tolist(), r["segment"]
    (['a', 'b'], [7.0, 12.0], ['Champions', 'Lost'])
    """
def rfm_partition_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any,
    rows: Sequence[int],
    as_of: Any,
    config: PyRFMConfig | None = None,
    cut_off: bool = True,
    n_jobs: int | None = None,
) -> tuple[
    list[tuple[str, float, float, float, int, int, int]], tuple[int, int, int, str, int, int, int, int, int, int, int]
]:
    """Raw RFM values of one partition's customers, read from columns as rfm_from_columns reads them.

    rows: each transaction's position in the whole input, ascending. as_of: the reference instant of the
    whole computation; with cut_off, transactions dated after it are left out. Returns (values, report):
    one (customer_id as str, recency, frequency, monetary, first_row, last_seconds, last_nanos) tuple per
    customer with a usable transaction, and the partition's skip report, with indexes into the whole input.
    score_rfm_values(values of every partition, config, reports=[...]) then gives rfm_from_columns' records
    and warnings. Errors are rfm_from_columns' errors; rows of another length than the columns raise
    ValueError.

    >>> values, report = rfm_partition_columns(["a", "b"], ["2024-05-01T00:00:00Z", "2024-05-20T00:00:00Z"],
    ...                                        [10.0, 5.0], [0, 1], "2024-06-01T00:00:00Z")
    >>> score_rfm_values(values, PyRFMConfig(), reports=[report])[0].rfm_segment
    'Promising'
    """

# ---- estimators (scikit-learn's interface) ----

class _CentroidEstimator:
    """Shared surface of the centroid clusterers: parameters, prediction, transform and state.

    A subclass sets `_PARAMS` (constructor parameter names in order) and
    implements `_fit(X)` returning (labels, centers, inertia, n_iter) from an
    engine (NumPy arrays or lists); `_check_state(state)` may refuse more of a
    pickled state. `_ADDED_PARAMS` maps parameters that states pickled before
    them lack to the values that reproduce those fits.
    """
    n_clusters: int
    max_iter: int
    random_state: Any
    labels_: Any
    cluster_centers_: Any
    inertia_: float
    n_iter_: int
    n_features_in_: int
    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor parameters as a dict of name to the value given (`deep` has no effect:
        no parameter is an estimator).
        """
    def set_params(self, **params: Any) -> Self:
        """Set constructor parameters by name (ValueError for a name the constructor lacks); they are
        checked at the next fit. Returns self.

        >>> KMeans(3).set_params(n_clusters=2, max_iter=50)
        KMeans(n_clusters=2, max_iter=50, random_state=None, n_jobs=None, n_init=1, init='k-means++')
        """
    def fit(self, X: Any, y: Any = None) -> Self:
        """Fit to the rows of X (n_samples x n_features; `y` is ignored) and return self.
        ValueError for bad input or parameters.
        """
    def fit_predict(self, X: Any, y: Any = None) -> Any:
        """fit(X), then the labels of X's rows (labels_)."""
    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """fit(X), then X's distances to the centers (as transform)."""
    def predict(self, X: Any) -> Any:
        """The nearest center of every row of X (squared Euclidean distance, ties to the lower index),
        as an int64 array. NotFittedError before fit; ValueError for another number of features.
        """
    def transform(self, X: Any) -> Any:
        """Euclidean distances of every row of X to every center, n_samples x n_clusters, in the
        container set_output chose. NotFittedError before fit.
        """
    def score(self, X: Any, y: Any = None) -> float:
        """Opposite of the sum of squared distances of X to the nearest centers (higher is better)."""
    def get_feature_names_out(self, input_features: Any = None) -> Any:
        """Names of the transform's columns: the class name in lower case and the center number
        ("kmeans0", "kmeans1", ...), as an object array. `input_features`, when given, must match
        the columns seen by fit (ValueError otherwise).

        >>> KMeans(2).fit([[0.0], [1.0], [9.0]]).get_feature_names_out().tolist()
        ['kmeans0', 'kmeans1']
        """
    def set_output(self, *, transform: str | None = None) -> Self:
        """Container of `transform` and `fit_transform` results: "default" (a NumPy array),
        "pandas" or "polars" (a data frame with get_feature_names_out's columns; a pandas frame keeps
        the input frame's index). None leaves the setting as it is; without a setting,
        scikit-learn's global `transform_output` applies. Returns self.
        """
    def __sklearn_tags__(self) -> Any:
        """scikit-learn's tags: a clusterer of 2-D float64 input."""
    def __sklearn_is_fitted__(self) -> bool:
        """Whether fit (or partial_fit) has run."""
    def __getstate__(self) -> dict[str, Any]:
        """The pickled state: the parameters, the fit and a state version."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a pickled state; ValueError for a damaged or foreign one."""

class KMeans(_CentroidEstimator):
    """K-means clustering (k-means++ seeding, parallel Lloyd iterations) with scikit-learn's estimator interface.

    Parameters are stored as given and checked when fitting. random_state=None
    uses the engine's fixed default seed (42), so fits repeat exactly; an int
    (or a NumPy RandomState / Generator, which draws one) sets another seed.
    n_jobs=None uses one worker per CPU; results never depend on it.
    n_init fits run from successive k-means++ seedings of one generator and the
    first of least inertia is kept (n_init=1, the default, is kmeans_py's fit;
    "auto" means 1). init is "k-means++" or an array of n_clusters starting
    centers (one fit from them). fit(X, sample_weight=w) weighs the rows: the
    seeding draws rows in proportion to weight times squared distance, centers
    are weighted means and inertia_ weighs each row; whole-number weights give
    exactly, bit for bit, the fit of the data with each row repeated that many
    times (a row of weight 0 dropped).
    Fitted attributes: labels_, cluster_centers_, inertia_, n_iter_, n_features_in_
    (and feature_names_in_ for a data frame with string column names).

    >>> KMeans(2, n_init=3).fit([[0.0], [1.0], [9.0]], sample_weight=[1, 1, 2]).cluster_centers_.tolist()
    [[9.0], [0.5]]
    """

    n_jobs: int | None
    n_init: int | str
    init: Any
    def __init__(
        self,
        n_clusters: int = 8,
        *,
        max_iter: int = 300,
        random_state: Any = None,
        n_jobs: int | None = None,
        n_init: int | str = 1,
        init: Any = "k-means++",
    ) -> None:
        """Store the parameters as given; fit checks them (see the class)."""
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None) -> Self:
        """Fit to the rows of X (n_samples x n_features), each weighted by sample_weight (None: all
        alike). Returns self. ValueError for bad input, parameters, weights (negative, non-finite,
        all zero, of another length) or init (another shape than (n_clusters, n_features)).
        """
    def fit_predict(self, X: Any, y: Any = None, sample_weight: Any = None) -> Any:
        """fit(X, sample_weight=sample_weight), then the labels of X's rows."""
    def fit_transform(self, X: Any, y: Any = None, sample_weight: Any = None) -> Any:
        """fit(X, sample_weight=sample_weight), then X's distances to the centers (as transform)."""

class MiniBatchKMeans(_CentroidEstimator):
    """Mini-batch k-means (k-means++ seeding from the first batch, then per-row center updates) with
    scikit-learn's estimator interface, including `partial_fit` for data that arrives in chunks.

    `fit` makes `max_iter` passes over the rows, each in an order drawn from the
    seed: the first `batch_size` rows (at least n_clusters) of the first pass
    seed the centers, and the rest stream in batches of `batch_size` rows;
    `partial_fit` feeds one chunk to the same engine (the first chunk seeds it
    and needs at least n_clusters rows). The seeding batch or chunk is seeded
    `n_init` times from the engine's generator and the seeds of least inertia
    on it are kept. Every time at least 10 x n_clusters rows have streamed in
    since the last check, centers that have absorbed fewer rows than
    `reassignment_ratio` times the busiest center's count move onto rows of the
    current batch drawn by the generator (0 never moves a center: the plain
    PyMiniBatchKMeans stream). random_state=None uses the engine's fixed
    default seed (42), so fits repeat exactly. Fitted attributes: labels_,
    cluster_centers_, inertia_ and n_iter_ (passes for `fit`, chunks for
    `partial_fit`), n_features_in_. After `fit`, labels_ and inertia_ describe
    all rows against the final centers; after `partial_fit`, the last chunk as
    the engine absorbed it: each row's center and the sum of the rows' squared
    distances to their centers as they stood when the row arrived. A pickled
    estimator carries its engine, so `partial_fit` continues the same stream
    after unpickling.

    >>> model = MiniBatchKMeans(2, n_init=3).partial_fit([[0.0], [1.0], [9.0]])
    >>> model.partial_fit([[10.0]]).labels_.tolist(), model.inertia_  # 10 met the center at 9
    ([1], 1.0)
    """

    batch_size: int
    n_init: int | str
    reassignment_ratio: float
    def __init__(
        self,
        n_clusters: int = 8,
        *,
        batch_size: int = 1024,
        max_iter: int = 10,
        random_state: Any = None,
        n_init: int | str = 10,
        reassignment_ratio: float = 0.01,
    ) -> None:
        """Store the parameters as given; fit and partial_fit check them (see the class)."""
    def partial_fit(self, X: Any, y: Any = None) -> Self:
        """Feed one chunk of rows to the engine (the first chunk seeds it) and return self.

        labels_ and inertia_ then hold each row's center and the sum of the squared distances to
        those centers as each row arrived. ValueError for bad input or parameters, and for a first
        chunk of fewer than n_clusters rows.
        """

# ---- purchase and spend models ----

def clv_summary_from_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any = None,
    as_of: Any = None,
    period_days: float = 1.0,
    n_jobs: int | None = None,
) -> dict[str, Any]:
    """Per-customer summaries for BetaGeoModel, ParetoNBDModel and GammaGammaModel from transactions.

    Takes the columns rfm_from_columns takes (str or int ids; datetime64, epoch seconds, datetimes, dates or
    RFC 3339 strings; float amounts) and skips and reports the same rows. A customer's purchases are first
    merged per UTC calendar day (one purchase a day, worth the day's total); purchases after as_of (default:
    the latest timestamp in the data) are left out. frequency is the number of purchase days after the first,
    recency the time from the first to the last purchase day, T the time from the first purchase day to
    as_of's day, both in units of period_days days (1.0: days, 7.0: weeks); monetary_value is the mean of the
    repeat days' totals (0.0 without a repeat purchase). ValueError for period_days not finite and > 0.

    Returns a dict of equal-length columns (customer_id, frequency, recency, T and, with amounts,
    monetary_value), customers in order of first appearance; pandas.DataFrame(result) takes it as is.

    >>> s = clv_summary_from_columns(["a", "a", "a", "b"], ["2024-01-02T10:00:00Z", "2024-02-10T09:00:00Z",
    ...                              "2024-05-01T12:00:00Z", "2024-01-15T10:00:00Z"], [20.0, 35.0, 25.0, 10.0],
    ...                              as_of="2024-06-30T00:00:00Z")
    >>> s["frequency"].tolist(), s["recency"].tolist(), s["T"].tolist(), s["monetary_value"].tolist()
    ([2.0, 0.0], [120.0, 0.0], [180.0, 167.0], [30.0, 0.0])
    """
def clv_partition_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any,
    rows: Sequence[int],
    as_of: Any = None,
    period_days: float = 1.0,
    n_jobs: int | None = None,
) -> tuple[dict[str, Any], int | None, tuple[int, int, int, str, int, int, int, int, int, int, int]]:
    """The summary of one partition's customers (every transaction of them), read as clv_summary_from_columns
    reads its columns.

    amounts: floats, or None for none. rows: each transaction's position in the whole input, ascending.
    as_of: the reference instant of the whole computation (transactions dated after it are left out), or None
    for the latest timestamp of the whole input, which only combine_clv_partitions knows.

    Returns (summary, as_of_day, report): clv_summary_from_columns' columns against this partition's as_of (the
    given one, else its own latest timestamp) plus first_day (int64 UTC day numbers, days since 1970-01-01, of
    each customer's first purchase) and first_row (int64 positions where each customer first appears); the
    day number of that as_of (None without a usable row and no as_of); and the partition's skip report, with
    positions in the whole input. combine_clv_partitions(every partition's result) then gives
    clv_summary_from_columns' result and warnings. ValueError for rows that are not ascending non-negative
    positions, one per transaction, and as clv_summary_from_columns.

        part = clv_partition_columns(ids, stamps, amounts, rows, None)
    """
def combine_clv_partitions(
    parts: Sequence[tuple[dict[str, Any], int | None, tuple[int, int, int, str, int, int, int, int, int, int, int]]],
    period_days: float = 1.0,
) -> dict[str, Any]:
    """The summary of every customer from the results of clv_partition_columns over the partitions of one input
    (each customer's transactions in one partition), with clv_summary_from_columns' warnings for the whole
    input.

    parts: the (summary, as_of_day, report) results, in any order. Customers come in order of first appearance
    in the whole input; T is taken against the latest as_of day of the parts. period_days: as given to the
    parts.

    Returns clv_summary_from_columns' dict of columns, the ids as a list. RuntimeError for a customer found in
    more than one partition; ValueError for parts of another shape, or with and without monetary_value.

        summary = combine_clv_partitions([clv_partition_columns(*p) for p in partitions])
    """

class _CustomerModel:
    """Shared surface of the purchase and spend models: fitting, fitted state, repr and pickling.

    A subclass sets `_MODEL` (the engine's name for it), `_PARAMS` (the
    parameter names in the engine's order) and `_SUMMARY` (what fit reads, for
    messages).
    """
    max_iter: int
    tol: float
    n_jobs: int | None
    params_: dict[str, float]
    log_likelihood_: float
    n_iter_: int
    converged_: bool
    def __init__(self, *, max_iter: int = 100, tol: float = 1e-8, n_jobs: int | None = None) -> None:
        """Store the settings of the fit: at most max_iter Newton steps, converged when a step moves
        no log-parameter by more than tol, n_jobs worker threads (None: one per CPU).
        """
    def __getstate__(self) -> dict[str, Any]:
        """The constructor arguments and the fitted state, with a format version."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restores a pickled state; ValueError for a foreign or damaged one."""

class _PurchaseModel(_CustomerModel):
    """Shared predictions of the purchase models (BG/NBD, Pareto/NBD)."""
    def fit(self, frequency: Any, recency: Any, T: Any) -> Self:
        """fit(frequency, recency, T)

        Fits the model by maximum likelihood and returns self.

        frequency: repeat purchases of each customer (whole numbers >= 0);
        recency: time from the first to the last purchase (0 without a repeat
        purchase); T: time from the first purchase to the end of the
        observation, all in the same unit (1-D arrays, pandas Series or lists of
        equal length, as clv_summary_from_columns returns them). Sets params_
        (a dict), log_likelihood_ (the total), n_iter_ (Newton steps) and
        converged_. A fit that does not converge within max_iter steps warns
        (UserWarning) and sets converged_ False. ValueError names the argument
        and the first bad index for a value that is not finite, negative, a
        fractional frequency, a recency above T or above 0 without a repeat
        purchase; no customers is a RuntimeError.
        """
    def probability_alive(self, frequency: Any, recency: Any, T: Any) -> Any:
        """probability_alive(frequency, recency, T)

        P(alive): the probability that each customer is still active at T, as a
        float64 array (1.0 for customers without a repeat purchase under BG/NBD).
        Arguments and errors as for fit.
        """
    def predict_purchases(self, t: float, frequency: Any, recency: Any, T: Any) -> Any:
        """predict_purchases(t, frequency, recency, T)

        Expected number of purchases of each customer in the next t periods
        (after T), given its history, as a float64 array. t is a float >= 0 in
        the unit of recency and T. Arguments and errors as for fit.
        """
    def expected_purchases(self, t: Any) -> Any:
        """expected_purchases(t)

        Expected number of purchases in (0, t] of a customer just acquired: a
        float for a number t, a float64 array for an array or list of them.
        ValueError for a t that is negative or not finite.
        """

class BetaGeoModel(_PurchaseModel):
    """BetaGeoModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    BG/NBD ("beta-geometric / negative binomial") model of repeat purchases (Fader, Hardie and Lee, 2005).

    While alive, a customer buys at rate lambda ~ Gamma(r, alpha); after each
    purchase it drops out with probability p ~ Beta(a, b). Fitted by maximum
    likelihood with Newton's method on the logarithms of the parameters
    (analytic gradient and Hessian, at most max_iter steps; converged when a
    step changes no log-parameter by more than tol). n_jobs caps the worker
    threads; results never depend on it. Fitted attributes: params_ ({"r",
    "alpha", "a", "b"}), log_likelihood_, n_iter_, converged_.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # 1,000 simulated customers:
    >>> T = rng.uniform(20.0, 60.0, 1000)                           # days since the first purchase,
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)   # days active,
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)  # repeat purchases
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> model = BetaGeoModel().fit(frequency, recency, T)
    >>> model.converged_, sorted(model.params_)
    (True, ['a', 'alpha', 'b', 'r'])
    >>> model.probability_alive([0.0, 4.0], [0.0, 50.0], [60.0, 60.0]).round(3).tolist()
    [1.0, 0.804]
    """

class ParetoNBDModel(_PurchaseModel):
    """ParetoNBDModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    Pareto/NBD model of repeat purchases (Schmittlein, Morrison and Colombo, 1987).

    While alive, a customer buys at rate lambda ~ Gamma(r, alpha) and drops out
    at rate mu ~ Gamma(s, beta), at any time. The interface is BetaGeoModel's;
    params_ holds "r", "alpha", "s", "beta". The likelihood's Gaussian
    hypergeometric terms are summed as series of positive terms, never NaN.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # simulated as for BetaGeoModel
    >>> T = rng.uniform(20.0, 60.0, 1000)
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> model = ParetoNBDModel().fit(frequency, recency, T)
    >>> model.predict_purchases(30, [4.0], [50.0], [60.0]).round(3).tolist()   # the next 30 days
    [1.346]
    """

class GammaGammaModel(_CustomerModel):
    """GammaGammaModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    Gamma-Gamma model of the average spend of repeat customers (Fader, Hardie and Lee, 2005).

    A customer's purchases have mean value p / nu with nu ~ Gamma(q, v); the
    mean of x purchases is observed. Fitted like BetaGeoModel; params_ holds
    "p", "q", "v". Only customers with frequency > 0 enter the fit (the model
    describes the mean of repeat purchases; a customer without one has none),
    and of those only the ones whose purchases were worth more than 0.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # simulated as for BetaGeoModel
    >>> T = rng.uniform(20.0, 60.0, 1000)
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> value = np.where(frequency > 0, rng.gamma(6.0, 1 / rng.gamma(4.0, 1 / 15.0, 1000)), 0.0)
    >>> spend = GammaGammaModel().fit(frequency, value)
    >>> spend.expected_average_value([0.0, 3.0], [0.0, 40.0]).round(2).tolist()
    [32.93, 39.91]
    >>> purchases = BetaGeoModel().fit(frequency, recency, T)
    >>> spend.customer_lifetime_value(purchases, [4.0], [50.0], [60.0], [40.0], months=6).round(2).tolist()
    [245.07]
    """
    def fit(self, frequency: Any, monetary_value: Any) -> Self:
        """fit(frequency, monetary_value)

        Fits the model on the customers with frequency > 0 and returns self.
        monetary_value is the mean value of each customer's repeat purchases
        (>= 0). Customers with frequency 0 are left out, and so are repeat
        customers whose mean spend is 0 (the model has no spend to describe;
        a UserWarning counts them). ValueError names the argument and the
        first bad index; no repeat customer of positive spend is a RuntimeError.
        """
    def expected_average_value(self, frequency: Any, monetary_value: Any) -> Any:
        """expected_average_value(frequency, monetary_value)

        Expected mean spend per purchase of each customer given its history, as
        a float64 array: p (v + x m) / (p x + q - 1), the population mean
        p v / (q - 1) for customers with frequency 0.
        """
    def customer_lifetime_value(
        self,
        purchase_model: _PurchaseModel,
        frequency: Any,
        recency: Any,
        T: Any,
        monetary_value: Any,
        months: int = 12,
        discount_rate: float = 0.01,
        period_days: float = 1.0,
    ) -> Any:
        """customer_lifetime_value(purchase_model, frequency, recency, T, monetary_value, months=12, discount_rate=0.01, period_days=1.0)

        Discounted value of each customer over the next `months` months, as a
        float64 array: for month k = 1 .. months, the expected average value
        times the purchases purchase_model (a fitted BetaGeoModel or
        ParetoNBDModel) expects between months k - 1 and k, divided by
        (1 + discount_rate)^k. A month is 30 days; period_days is the length in
        days of the unit of recency and T (1.0: days, 7.0: weeks).
        """

# ---- info submodule ----

class _Info:
    """The `info` submodule: the algorithm names ("kmeans", "kprototypes",
    "minibatchkmeans"), the metric names ("silhouette", "davies_bouldin",
    "calinski_harabasz") and the number of RFM segment types (13).

    >>> info.algorithms, info.segments
    (['kmeans', 'kprototypes', 'minibatchkmeans'], 13)
    """
    algorithms: list[str]
    metrics: list[str]
    segments: int

info: _Info

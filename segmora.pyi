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
    def __new__(cls, n_clusters: int, n_jobs: int | None = None) -> "PyAudienceSegmenter": ...
    def fit(self, data: _Rows) -> None: ...
    def predict(self, data: _Rows) -> list[int]: ...
    def get_n_clusters(self) -> int: ...
    @property
    def n_jobs(self) -> int: ...

@final
class PyKMeansResult:
    @property
    def labels(self) -> list[int]: ...
    @property
    def inertia(self) -> float: ...
    @property
    def n_iter(self) -> int: ...
    @property
    def centers(self) -> list[list[float]]: ...

def kmeans_py(
    data: _Rows,
    n_clusters: int,
    max_iter: int | None = None,
    random_state: int | None = None,
    n_jobs: int | None = None,
) -> PyKMeansResult: ...

@final
class PyMiniBatchKMeans:
    def __new__(cls, n_clusters: int, random_state: int = 42) -> "PyMiniBatchKMeans": ...
    def partial_fit(self, chunk: _Rows) -> None: ...
    def predict(self, data: _Rows) -> list[int]: ...
    def is_initialized(self) -> bool: ...
    @property
    def centers(self) -> list[list[float]]: ...

@final
class PyKPrototypesResult:
    @property
    def labels(self) -> list[int]: ...
    @property
    def centers(self) -> list[list[float]]: ...
    @property
    def modes(self) -> list[list[int | str]]: ...
    @property
    def gamma(self) -> float: ...
    @property
    def cost(self) -> float: ...
    @property
    def n_iter(self) -> int: ...

def kprototypes_py(
    data: _Rows,
    categorical: Sequence[Sequence[int | str]] | Any | None,
    n_clusters: int,
    max_iter: int | None = None,
    random_state: int | None = None,
    n_jobs: int | None = None,
) -> PyKPrototypesResult: ...

# ---- k-means and RFM over partitions ----

def kmeans_chunk_step(
    data: _Rows,
    centers: _Rows,
    previous_labels: Sequence[int] | None = None,
) -> tuple[list[list[float]], list[int], float, bool, float, list[float] | None, list[int]]: ...
def kmeans_chunk_inertia(data: _Rows, centers: _Rows, labels: Sequence[int]) -> float: ...
def kmeans_block_step(
    data: _Rows,
    centers: _Rows,
    totals: Any,
    labels: Any = None,
    previous_centers: _Rows | None = None,
) -> bool:
    """Add one block of a partition's rows to its Lloyd totals (a float64 array of k*d + k + 2 + d
    values, updated in place); labels (int64 array) hold the previous labels and receive the new ones.
    Returns whether a label changed."""
def kmeans_block_inertia(
    data: _Rows,
    centers: _Rows,
    labels: Any = None,
    label_centers: _Rows | None = None,
    start: float = 0.0,
) -> float:
    """start plus the squared distances of the rows to their labelled centers, in row order."""
def kmeans_parallel_first(n_rows: int, n_clusters: int, random_state: int) -> int:
    """k-means|| seeding: the row of the whole input that becomes the first candidate."""
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
    """k-means|| seeding, one round over one block: (cost, offered rows, their d2, their draws)."""
def kmeans_parallel_reduce(
    candidates: _Rows, weights: Sequence[float] | Any, n_clusters: int, random_state: int
) -> list[list[float]]:
    """k-means|| seeding, last step: n_clusters seeds by weighted k-means++ over the candidates."""
def rfm_partition_values(
    transactions: Sequence[_Transaction],
    config: PyRFMConfig,
    now: str,
    rows: Sequence[int] | None = None,
    n_jobs: int | None = None,
) -> list[tuple[str, float, float, float, int, int, int]]: ...
def score_rfm_values(
    values: Sequence[tuple[str, float, float, float, int, int, int]],
    config: PyRFMConfig,
    reports: Sequence[tuple[int, int, int, str, int, int, int, int, int, int, int]] | None = None,
) -> list[PyRFMScore]: ...

# ---- sql export ----

def export_segment_sql(
    segment_name: str,
    dialect: str,
    table_name: str,
    customer_id: str | None = None,
    recency_score: str | None = None,
    frequency_score: str | None = None,
    monetary_score: str | None = None,
) -> str: ...
def export_all_segments_sql(
    dialect: str,
    table_name: str,
    customer_id: str | None = None,
    recency_score: str | None = None,
    frequency_score: str | None = None,
    monetary_score: str | None = None,
) -> dict[str, str]: ...
def get_supported_sql_dialects() -> list[str]: ...
def get_segment_rfm_patterns(segment_name: str) -> list[tuple[int, int, int]]: ...

# ---- streaming segmentation ----

@final
class PyStreamingEvent:
    def __new__(
        cls,
        customer_id: str,
        event_type: str,
        value: float,
        timestamp: int,
        metadata: dict[str, str] | None = None,
    ) -> "PyStreamingEvent": ...
    @property
    def customer_id(self) -> str: ...
    @property
    def value(self) -> float: ...
    @property
    def timestamp(self) -> int: ...

@final
class PyStreamingConfig:
    def __new__(
        cls, batch_size: int = 100, batch_timeout_ms: int = 5000, window: str = "hour", decay_factor: float = 0.95
    ) -> "PyStreamingConfig": ...

@final
class PyStreamingSegmentUpdate:
    @property
    def customer_id(self) -> str: ...
    @property
    def previous_segment(self) -> str | None: ...
    @property
    def new_segment(self) -> str | None: ...
    @property
    def segment_changed(self) -> bool: ...
    @property
    def confidence(self) -> float: ...
    @property
    def timestamp(self) -> int: ...

@final
class PyStreamingSegmentationEngine:
    def __new__(
        cls, config: PyStreamingConfig, recluster_config: PyReclusterConfig | None = None
    ) -> "PyStreamingSegmentationEngine": ...
    def process_event(self, event: PyStreamingEvent) -> PyStreamingSegmentUpdate: ...
    def process_batch(self, events: Sequence[PyStreamingEvent]) -> list[PyStreamingSegmentUpdate]: ...
    def get_segment(self, customer_id: str) -> str | None: ...
    def get_all_segments(self) -> dict[str, str]: ...
    def customer_count(self) -> int: ...
    def buffer_size(self) -> int: ...
    def segment_distribution(self) -> dict[str, int]: ...
    def check_drift(self) -> list[PyFeatureDrift] | None: ...
    def maybe_recluster(self) -> PyReclusterEvent | None: ...
    def recluster_history(self) -> list[PyReclusterEvent]: ...
    def set_recluster_baseline(self) -> None: ...
    def relabel(self, as_of: Any = None) -> int:
        """Re-label every tracked customer by the score rule, recency counted from its
        latest event to `as_of` (default now); returns how many labels changed."""
    def customer_states(self, as_of: Any = None) -> dict[str, Any]:
        """Every tracked customer's running state as a dict of columns (customer_id,
        recency_days to `as_of`, frequency, monetary, last_event_timestamp, segment)."""

@final
class PyReclusterConfig:
    def __new__(cls, min_severity: str = "high", min_customers: int = 30, n_clusters: int = 4) -> "PyReclusterConfig": ...

@final
class PyReclusterEvent:
    @property
    def timestamp(self) -> int: ...
    @property
    def drifts(self) -> list[PyFeatureDrift]: ...
    @property
    def customers_reclustered(self) -> int: ...
    @property
    def n_clusters(self) -> int: ...

# ---- drift detection ----

_Floats = Sequence[float] | Any  # a list of floats, or a 1-D float64 array

@final
class PyFeatureDrift:
    @property
    def feature_name(self) -> str: ...
    @property
    def drift_score(self) -> float: ...
    @property
    def severity(self) -> str: ...
    @property
    def timestamp(self) -> int: ...

@final
class PySegmentCompositionChange:
    @property
    def segment_name(self) -> str: ...
    @property
    def previous_size(self) -> int: ...
    @property
    def current_size(self) -> int: ...
    @property
    def size_change_percent(self) -> float: ...
    @property
    def churn_rate(self) -> float: ...
    @property
    def growth_rate(self) -> float: ...

def kolmogorov_smirnov(baseline: _Floats, current: _Floats) -> float: ...
def hellinger_distance(baseline: _Floats, current: _Floats) -> float: ...
def chi_square_drift(baseline_counts: dict[str, int], current_counts: dict[str, int]) -> float: ...
def detect_feature_drift(feature_name: str, baseline: _Floats, current: _Floats, method: str) -> PyFeatureDrift: ...
def detect_segment_composition_change(
    previous_segments: dict[str, int], current_segments: dict[str, int]
) -> list[PySegmentCompositionChange]: ...

# drift tests with p-values and the drift reference (registered after the table)

_Column = Sequence[Any] | Any  # a list, NumPy array, pandas Series, Arrow array or polars Series
_Bins = int | Sequence[float]

def ks_test(baseline: _Column, current: _Column) -> tuple[float, float]:
    """Two-sample two-sided Kolmogorov-Smirnov test: (statistic, p_value), as scipy.stats.ks_2samp."""
def chi_square_test(baseline_counts: dict[str, int], current_counts: dict[str, int]) -> tuple[float, float]:
    """Chi-square test of homogeneity of two category count tables: (statistic, p_value)."""
def wasserstein_distance(baseline: _Column, current: _Column) -> float:
    """Wasserstein-1 distance between two samples, in the feature's own units."""
def population_stability_index(baseline: _Column, current: _Column, bins: _Bins = 10) -> float:
    """Population stability index over the baseline's quantile bins or the given edges (shares floored at 1e-4)."""
def jensen_shannon_distance(baseline: _Column, current: _Column, bins: _Bins = 10) -> float:
    """Jensen-Shannon distance (base 2, in [0, 1]) over the baseline's quantile bins or the given edges."""

_Table = Any  # a pandas DataFrame, a dict of columns, or an Arrow table (pyarrow, polars, __arrow_c_stream__)

@final
class DriftReference:
    """A baseline table kept for repeated drift reports (numeric columns sorted and binned once, categories counted once)."""
    def __new__(cls, baseline_columns: _Table, categorical: Sequence[str] | None = None) -> "DriftReference": ...
    def compare(
        self, current_columns: _Table, methods: Sequence[str] | None = None, n_jobs: int | None = None
    ) -> dict[str, Any]:
        """Drift report of a later table: a dict of columns (feature, method, statistic, p_value, severity, ...)."""
    @property
    def columns(self) -> list[str]:
        """The reference's column names, in order."""
    @property
    def categorical(self) -> list[str]:
        """The names of its categorical columns."""

# ---- behavioral segmentation ----

@final
class PyCondition:
    def __new__(cls, field: str, operator: str, value: float) -> "PyCondition": ...

@final
class PyBehavioralRule:
    def __new__(
        cls, name: str, description: str, conditions: Sequence[PyCondition], logic: str = "AND"
    ) -> "PyBehavioralRule": ...
    def to_sql(self) -> str: ...

@final
class PyBehavioralSegment:
    def __new__(
        cls, name: str, description: str, rules: Sequence[PyBehavioralRule], priority: int = 0
    ) -> "PyBehavioralSegment": ...
    def to_sql(self) -> str: ...
    def matches(self, customer_data: dict[str, float]) -> bool: ...

@final
class PyBehavioralSegmenter:
    def __new__(cls, segments: Sequence[PyBehavioralSegment]) -> "PyBehavioralSegmenter": ...
    def classify(self, customer_data: dict[str, float]) -> list[str]: ...
    def classify_primary(self, customer_data: dict[str, float]) -> str | None: ...
    def export_sql(self) -> str: ...

# ---- cluster evaluation ----

@final
class PyQualityReport:
    @property
    def silhouette_score(self) -> float: ...
    @property
    def davies_bouldin_score(self) -> float: ...
    @property
    def calinski_harabasz_score(self) -> float: ...
    @property
    def inertia(self) -> float: ...
    @property
    def n_clusters(self) -> int: ...
    @property
    def overall_score(self) -> float: ...

def silhouette_score(data: _Rows, labels: Sequence[int]) -> float: ...
def davies_bouldin_score(data: _Rows, labels: Sequence[int], centers: _Rows) -> float: ...
def calinski_harabasz_score(data: _Rows, labels: Sequence[int]) -> float: ...
def assess_cluster_quality(data: _Rows, labels: Sequence[int], centers: _Rows) -> PyQualityReport: ...

@final
class PyKEstimationResult:
    @property
    def method(self) -> str: ...
    @property
    def scores(self) -> list[tuple[int, float]]: ...
    @property
    def k(self) -> int: ...
    @property
    def confidence(self) -> float: ...

def estimate_k_elbow(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult: ...
def estimate_k_gap_statistic(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult: ...
def estimate_k_silhouette(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult: ...
def estimate_k_combined(data: _Rows, k_range: tuple[int, int]) -> PyKEstimationResult: ...

# ---- rfm ----

_Transaction = tuple[str, str | datetime, float]

@final
class PyRFMConfig:
    def __new__(
        cls,
        recency_window_days: int | None = None,
        frequency_threshold: int | None = None,
        monetary_threshold: float | None = None,
        decay_function: PyDecayFunction | None = None,
        decay_half_life_days: int | None = None,
        scoring_method: PyScoringMethod | None = None,
    ) -> "PyRFMConfig": ...
    @property
    def recency_window_days(self) -> int: ...
    @property
    def frequency_threshold(self) -> int: ...
    @property
    def monetary_threshold(self) -> float: ...
    @property
    def decay_half_life_days(self) -> int: ...

@final
class PyRFMScore:
    @property
    def customer_id(self) -> str: ...
    @property
    def recency(self) -> float: ...
    @property
    def frequency(self) -> float: ...
    @property
    def monetary(self) -> float: ...
    @property
    def recency_score(self) -> int: ...
    @property
    def frequency_score(self) -> int: ...
    @property
    def monetary_score(self) -> int: ...
    @property
    def rfm_segment(self) -> str: ...
    @property
    def rfm_rank(self) -> str: ...

@final
class PyDecayFunction:
    @staticmethod
    def linear() -> PyDecayFunction: ...
    @staticmethod
    def exponential() -> PyDecayFunction: ...
    @staticmethod
    def inverse() -> PyDecayFunction: ...

@final
class PyScoringMethod:
    @staticmethod
    def quintile() -> PyScoringMethod: ...
    @staticmethod
    def decile() -> PyScoringMethod: ...
    @staticmethod
    def percentile() -> PyScoringMethod: ...

@final
class PySegmentType:
    @staticmethod
    def champions() -> PySegmentType: ...
    @staticmethod
    def loyal_customers() -> PySegmentType: ...
    @staticmethod
    def potential_loyalists() -> PySegmentType: ...
    @staticmethod
    def at_risk() -> PySegmentType: ...
    @staticmethod
    def cannot_lose() -> PySegmentType: ...
    @staticmethod
    def vip() -> PySegmentType: ...
    @staticmethod
    def new_customers() -> PySegmentType: ...
    @staticmethod
    def need_attention() -> PySegmentType: ...
    def as_str(self) -> str: ...

@final
class PySegmentProfile:
    def __new__(cls, segment_type: PySegmentType) -> "PySegmentProfile": ...
    @property
    def segment_type(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def avg_recency(self) -> float: ...
    @property
    def avg_frequency(self) -> float: ...
    @property
    def avg_monetary(self) -> float: ...
    @property
    def revenue_contribution(self) -> float: ...
    @property
    def churn_risk(self) -> float: ...

def calculate_rfm_py(
    transactions: Sequence[_Transaction],
    config: PyRFMConfig,
    n_jobs: int | None = None,
) -> list[PyRFMScore]: ...

# ---- lookalike audiences ----

_Vector = Sequence[float] | Any  # a float list, or a 1-D float64 array

@final
class PySeedCustomer:
    def __new__(
        cls,
        customer_id: str,
        features: _Vector,
        ltv: float = 0.0,
        cohort: str = "",
        categorical_features: dict[str, str] | None = None,
    ) -> "PySeedCustomer": ...
    @property
    def customer_id(self) -> str: ...

@final
class PyLookalikeCandidate:
    @property
    def customer_id(self) -> str: ...
    @property
    def similarity_score(self) -> float: ...
    @property
    def percentile(self) -> float: ...

@final
class PyLookalikeAudience:
    @property
    def audience_name(self) -> str: ...
    @property
    def seed_count(self) -> int: ...
    @property
    def lookalike_count(self) -> int: ...
    @property
    def min_similarity(self) -> float: ...
    @property
    def max_similarity(self) -> float: ...
    @property
    def avg_similarity(self) -> float: ...
    @property
    def predicted_ltv(self) -> float: ...

def generate_lookalike(
    seed_customers: Sequence[PySeedCustomer],
    candidate_customers: Sequence[PySeedCustomer],
    metric: str = "cosine",
    percentile_threshold: float = 0.9,
    max_lookalikes: int | None = None,
) -> PyLookalikeAudience: ...
def find_similar_customers(
    seed: PySeedCustomer, candidates: Sequence[PySeedCustomer], n: int, metric: str = "cosine"
) -> list[PyLookalikeCandidate]: ...
def cosine_similarity(vec_a: _Vector, vec_b: _Vector) -> float: ...

# (customer_id, features[, ltv[, cohort[, categorical_features]]]), as a tuple or list
_SeedRecord = (
    tuple[str, _Vector]
    | tuple[str, _Vector, float]
    | tuple[str, _Vector, float, str]
    | tuple[str, _Vector, float, str, dict[str, str] | None]
    | list[Any]
)

def seed_customers(records: Iterable[_SeedRecord]) -> list[PySeedCustomer]: ...

# PySeedCustomer objects, or (ids, features): an id column and a 2-D feature matrix
_AudienceSide = Sequence[PySeedCustomer] | tuple[Any, Any]

def lookalike_audience(
    seed_customers: _AudienceSide,
    candidate_customers: _AudienceSide,
    metric: str = "cosine",
    percentile_threshold: float = 0.9,
    max_lookalikes: int | None = None,
) -> dict[str, Any]:
    """The members of the audience generate_lookalike describes, as columns.

    Returns {"customer_id", "similarity", "rank"}, best first (ties in
    candidate order); either side may be an (ids, features) pair read
    without building customer objects.
    """

# ---- cohort analysis ----

@final
class PyCohort:
    @property
    def cohort_id(self) -> str: ...
    @property
    def created_at(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def revenue(self) -> float: ...
    @property
    def avg_ltv(self) -> float: ...
    @property
    def retention_rate_total(self) -> float: ...
    @property
    def churn_rate_total(self) -> float: ...
    @property
    def retention_curve(self) -> list[tuple[int, int, float, float]]: ...
    def add_retention_point(self, age_in_periods: int, retained_count: int) -> None: ...
    def retention_decay_rate(self) -> float: ...
    def revenue_per_retained(self) -> float: ...
    def summary(self) -> dict[str, float]: ...

def cohort_id_for(period: str, date_unix: int) -> str: ...
def create_cohort(
    cohort_id: str, period: str, created_at: int, customers: Sequence[tuple[str, float, bool]]
) -> PyCohort: ...
def compare_cohorts(cohort_a: PyCohort, cohort_b: PyCohort) -> tuple[str, int, float, float, float]: ...
def aggregate_cohorts_by_period(cohorts: Sequence[PyCohort]) -> dict[str, dict[str, float]]: ...
def cohort_retention_table(cohorts: Sequence[PyCohort]) -> list[list[float]]: ...
def cohort_performance_ranking(cohorts: Sequence[PyCohort]) -> tuple[str | None, str | None]: ...
def cohort_retention_from_columns(
    customer_ids: Any,
    timestamps: Any,
    period: str = "month",
    as_of: Any = None,
    n_jobs: int | None = None,
) -> dict[str, Any]:
    """Acquisition cohorts and their retention from two transaction columns.

    Calendar periods in UTC ("week" = ISO week, "month", "quarter", "year");
    returns {"cohort", "age", "customers", "active", "retention"}, one row per
    cohort and age, retention NaN for an age not reached at as_of.
    """
def cohort_retention_matrix(table: Any) -> dict[str, Any]:
    """The cohort x age matrix of a cohort table: {"cohort", "age", "retention"}."""

# ---- segment profiling ----

@final
class PySegmentHealth:
    @property
    def stability(self) -> float: ...
    @property
    def cohesion(self) -> float: ...
    @property
    def separation(self) -> float: ...
    @property
    def health_score(self) -> float: ...

@final
class PyProfiledSegment:
    @property
    def segment_id(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def purity(self) -> float: ...
    @property
    def business_description(self) -> str: ...
    @property
    def key_characteristics(self) -> list[str]: ...
    @property
    def health(self) -> PySegmentHealth: ...
    @property
    def actionability_score(self) -> float: ...

def profile_segment(
    segment_id: int,
    members: Sequence[int],
    features: dict[int, _Vector],
    feature_names: Sequence[str] | None = None,
    labels: Sequence[int] | None = None,
) -> PyProfiledSegment: ...

# ---- lifecycle, churn and value ----

@final
class PyLifecycleProfile:
    @property
    def customer_id(self) -> str: ...
    @property
    def current_stage(self) -> str: ...
    @property
    def stage_confidence(self) -> float: ...
    @property
    def total_purchase_count(self) -> int: ...
    @property
    def total_value(self) -> float: ...
    @property
    def avg_order_value(self) -> float: ...
    @property
    def retention_score(self) -> float: ...
    @property
    def expansion_potential(self) -> float: ...

def classify_lifecycle_stage(
    customer_id: str,
    days_since_signup: int,
    purchase_count: int,
    total_value: float,
    days_since_last_purchase: int,
    purchase_frequency: float,
) -> PyLifecycleProfile: ...
def lifecycle_retention_actions(stage: str) -> list[str]: ...
def lifecycle_stage_distribution(profiles: Sequence[PyLifecycleProfile]) -> dict[str, float]: ...

@final
class PyChurnRiskLevel:
    @staticmethod
    def very_low() -> PyChurnRiskLevel: ...
    @staticmethod
    def low() -> PyChurnRiskLevel: ...
    @staticmethod
    def medium() -> PyChurnRiskLevel: ...
    @staticmethod
    def high() -> PyChurnRiskLevel: ...
    @staticmethod
    def critical() -> PyChurnRiskLevel: ...
    def as_str(self) -> str: ...
    def threshold(self) -> float: ...

@final
class PyChurnPrediction:
    @property
    def customer_id(self) -> str: ...
    @property
    def churn_probability(self) -> float: ...
    @property
    def risk_level(self) -> str: ...
    @property
    def confidence(self) -> float: ...
    @property
    def days_until_churn_estimate(self) -> int: ...
    @property
    def model_type(self) -> str: ...

@final
class PyCustomerLTV:
    @property
    def customer_id(self) -> str: ...
    @property
    def historical_value(self) -> float: ...
    @property
    def annual_value(self) -> float: ...
    @property
    def predicted_ltv(self) -> float: ...
    @property
    def predicted_ltv_3yr(self) -> float: ...
    @property
    def predicted_ltv_5yr(self) -> float: ...
    @property
    def churn_probability(self) -> float: ...
    @property
    def confidence_score(self) -> float: ...

def calculate_simple_ltv(
    customer_id: str,
    total_spent: float,
    purchase_count: int,
    days_active: int,
    avg_customer_lifespan_days: int,
) -> PyCustomerLTV: ...

# ---- privacy ----

@final
class PyKAnonymityResult:
    @property
    def k_value(self) -> int: ...
    @property
    def anonymized(self) -> bool: ...
    @property
    def generalized_rows(self) -> int: ...
    @property
    def suppressed_rows(self) -> int: ...
    @property
    def information_loss(self) -> float: ...

def check_k_anonymity(
    data: Sequence[dict[str, str]], quasi_identifiers: Sequence[str], k: int
) -> PyKAnonymityResult: ...
def suppress_to_k_anonymous(
    data: Sequence[dict[str, str]], quasi_identifiers: Sequence[str], k: int
) -> list[dict[str, str]]: ...
def generalize_numeric(data: Sequence[float], intervals: int) -> list[int]: ...
def calculate_information_loss(original: Sequence[float], generalized: Sequence[int], intervals: int) -> float: ...
def k_anonymity_from_columns(columns: Any, quasi_identifiers: Sequence[str], k: int) -> dict[str, Any]:
    """k-anonymity of a DataFrame, a dict of columns or an Arrow table.

    Returns {"anonymized", "suppressed_rows"} as check_k_anonymity reports
    them for the same rows, plus per row "group_size" (int64) and
    "violating" (bool).
    """
# A float64 NumPy array gives a float64 array of its shape; any other sequence a list.
@overload
def add_laplace_noise(data: Sequence[float], epsilon: float, sensitivity: float) -> list[float]: ...
@overload
def add_laplace_noise(data: Any, epsilon: float, sensitivity: float) -> Any: ...
@overload
def add_gaussian_noise(data: Sequence[float], epsilon: float, delta: float, sensitivity: float) -> list[float]: ...
@overload
def add_gaussian_noise(data: Any, epsilon: float, delta: float, sensitivity: float) -> Any: ...

@final
class PyPrivacyBudget:
    def __new__(cls, epsilon: float, delta: float) -> "PyPrivacyBudget": ...
    def consume(self, cost: float) -> bool: ...
    def budget_exhausted(self) -> bool: ...
    def budget_percentage(self) -> float: ...
    @property
    def epsilon(self) -> float: ...
    @property
    def delta(self) -> float: ...
    @property
    def remaining_epsilon(self) -> float: ...

def rfm_from_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any,
    config: PyRFMConfig | None = None,
    as_of: Any = None,
    n_jobs: int | None = None,
) -> dict[str, Any]: ...
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
    """One partition's per-customer RFM values and skip report, read from columns as
    rfm_from_columns reads them; score_rfm_values(values, config, reports) finishes."""

# ---- estimators (scikit-learn's interface) ----

class _CentroidEstimator:
    n_clusters: int
    max_iter: int
    random_state: Any
    labels_: Any
    cluster_centers_: Any
    inertia_: float
    n_iter_: int
    n_features_in_: int
    def get_params(self, deep: bool = True) -> dict[str, Any]: ...
    def set_params(self, **params: Any) -> Self: ...
    def fit(self, X: Any, y: Any = None) -> Self: ...
    def fit_predict(self, X: Any, y: Any = None) -> Any: ...
    def fit_transform(self, X: Any, y: Any = None) -> Any: ...
    def predict(self, X: Any) -> Any: ...
    def transform(self, X: Any) -> Any: ...
    def score(self, X: Any, y: Any = None) -> float: ...
    def get_feature_names_out(self, input_features: Any = None) -> Any:
        """Names of transform's columns, "kmeans0", "kmeans1", ... (the class name in lower case).

        input_features, when given, must match the columns seen by fit (ValueError otherwise).
        """
    def set_output(self, *, transform: str | None = None) -> Self:
        """Container of transform and fit_transform results: "default", "pandas" or "polars".

        None leaves the setting; without one, scikit-learn's global transform_output applies.
        """
    def __sklearn_tags__(self) -> Any: ...
    def __sklearn_is_fitted__(self) -> bool: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

class KMeans(_CentroidEstimator):
    """K-means (k-means++ seeding, parallel Lloyd iterations) with scikit-learn's estimator interface.

    n_init fits run from successive seedings of one generator and the first of
    least inertia is kept (1, the default, is kmeans_py's fit; "auto" means 1);
    init is "k-means++" or an (n_clusters, n_features) array of starting
    centers. fit(X, sample_weight=w) weighs the rows; whole-number weights fit
    exactly, bit for bit, as the rows repeated that many times in place.
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
    ) -> None: ...
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None) -> Self:
        """Fit to the rows of X, each weighted by sample_weight (None: all alike); returns self.

        ValueError for bad input, parameters, weights (negative, non-finite, all zero, of another
        length) or init (another shape than (n_clusters, n_features)).
        """
    def fit_predict(self, X: Any, y: Any = None, sample_weight: Any = None) -> Any:
        """fit(X, sample_weight=sample_weight), then the labels of X's rows."""
    def fit_transform(self, X: Any, y: Any = None, sample_weight: Any = None) -> Any:
        """fit(X, sample_weight=sample_weight), then X's distances to the centers."""

class MiniBatchKMeans(_CentroidEstimator):
    """Mini-batch k-means with scikit-learn's estimator interface, `partial_fit` for chunked data.

    The seeding batch or chunk is seeded n_init times (default 10) and the seeds
    of least inertia on it are kept; every 10 x n_clusters rows, centers that
    absorbed fewer rows than reassignment_ratio (default 0.01) times the busiest
    center's count move onto rows of the current batch.
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
    ) -> None: ...
    def partial_fit(self, X: Any, y: Any = None) -> Self:
        """Feed one chunk of rows to the engine (the first chunk seeds it); returns self.

        labels_ and inertia_ then hold each row's center and the sum of the squared distances to
        those centers as each row arrived.
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
    """Per-customer frequency, recency, T and monetary_value from transactions (purchases merged per UTC day)."""
def clv_partition_columns(
    customer_ids: Any,
    timestamps: Any,
    amounts: Any,
    rows: Sequence[int],
    as_of: Any = None,
    period_days: float = 1.0,
    n_jobs: int | None = None,
) -> tuple[dict[str, Any], int | None, tuple[int, int, int, str, int, int, int, int, int, int, int]]:
    """One partition's customer summaries (with first_day and first_row), its as_of day and skip report,
    read from columns as clv_summary_from_columns reads them; combine_clv_partitions finishes."""
def combine_clv_partitions(
    parts: Sequence[tuple[dict[str, Any], int | None, tuple[int, int, int, str, int, int, int, int, int, int, int]]],
    period_days: float = 1.0,
) -> dict[str, Any]:
    """clv_summary_from_columns' columns and warnings from every partition's clv_partition_columns result."""

class _CustomerModel:
    max_iter: int
    tol: float
    n_jobs: int | None
    params_: dict[str, float]
    log_likelihood_: float
    n_iter_: int
    converged_: bool
    def __init__(self, *, max_iter: int = 100, tol: float = 1e-8, n_jobs: int | None = None) -> None:
        """Newton's method on log-parameters: at most max_iter steps, converged when a step moves none by more than tol."""
    def __getstate__(self) -> dict[str, Any]:
        """The constructor arguments and the fitted state, with a format version."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restores a pickled state; ValueError for a foreign or damaged one."""

class _PurchaseModel(_CustomerModel):
    def fit(self, frequency: Any, recency: Any, T: Any) -> Self:
        """Maximum-likelihood fit on per-customer summaries; returns self."""
    def probability_alive(self, frequency: Any, recency: Any, T: Any) -> Any:
        """P(alive) of each customer at T, as a float64 array."""
    def predict_purchases(self, t: float, frequency: Any, recency: Any, T: Any) -> Any:
        """Expected purchases of each customer in the next t periods, as a float64 array."""
    def expected_purchases(self, t: Any) -> Any:
        """Expected purchases in (0, t] of a new customer: a float, or an array for an array of t."""

class BetaGeoModel(_PurchaseModel):
    """BG/NBD model of repeat purchases; params_ r, alpha, a, b."""

class ParetoNBDModel(_PurchaseModel):
    """Pareto/NBD model of repeat purchases; params_ r, alpha, s, beta."""

class GammaGammaModel(_CustomerModel):
    """Gamma-Gamma model of repeat customers' average spend; params_ p, q, v."""
    def fit(self, frequency: Any, monetary_value: Any) -> Self:
        """Maximum-likelihood fit on the customers with frequency > 0; returns self."""
    def expected_average_value(self, frequency: Any, monetary_value: Any) -> Any:
        """Expected mean spend per purchase of each customer, as a float64 array."""
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
        """Discounted value of each customer over the next months (30-day months), as a float64 array."""

# ---- info submodule ----

class _Info:
    algorithms: list[str]
    metrics: list[str]
    segments: int

info: _Info

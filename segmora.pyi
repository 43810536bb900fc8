"""Python module initialization"""

from collections.abc import Sequence
from typing import Any, final

__version__: str
__author__: str

_Rows = Sequence[Sequence[float]] | Any  # a list of float rows, or a 2-D float64 array

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

# ---- info submodule ----

class _Info:
    algorithms: list[str]
    metrics: list[str]
    segments: int

info: _Info

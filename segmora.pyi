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

# ---- info submodule ----

class _Info:
    algorithms: list[str]
    metrics: list[str]
    segments: int

info: _Info

"""kprototypes_py and PyKPrototypesResult against an independent model of the whole algorithm."""
import collections
import math
import struct

import numpy as np
import pytest

import segmora
from chacha_model import kmeans_plus_plus_rows, sqdist


def ordered_sum(values):
    total = 0.0
    for v in values:
        total += v
    return total


def kprototypes_model(num, cat, k, max_iter, seed):
    """Plain-Python k-prototypes: returns labels, centers, modes, gamma, cost, n_iter."""
    n, d = len(num), len(num[0])
    m = len(cat[0]) if cat else 0
    columns = [{} for _ in range(m)]  # value -> code, first appearance first
    codes = [[columns[j].setdefault(v, len(columns[j])) for j, v in enumerate(row)] for row in cat or []]
    total = 0.0
    for j in range(d):
        mean = ordered_sum(row[j] for row in num) / n
        total += ordered_sum((row[j] - mean) ** 2 for row in num) / n
    gamma = max(math.sqrt(total / max(d, 1)), 1e-9)

    def cost(i, c):
        return sqdist(num[i], centers[c]) + (gamma * sum(a != b for a, b in zip(codes[i], modes[c])) if m else 0.0)

    chosen = kmeans_plus_plus_rows(num, k, seed)
    centers = [list(num[i]) for i in chosen]
    modes = [list(codes[i]) for i in chosen] if m else [[] for _ in range(k)]
    labels, t, passes = [0] * n, 0, 0
    while t < max_iter:
        new = [min(range(k), key=lambda c: (cost(i, c), c)) for i in range(n)]
        changed, labels = new != labels, new
        for c in range(k):
            members = [i for i in range(n) if labels[i] == c]
            if not members:
                continue
            centers[c] = [ordered_sum(num[i][j] for i in members) / len(members) for j in range(d)]
            for j in range(m):
                counts = collections.Counter(codes[i][j] for i in members)
                modes[c][j] = max(counts, key=lambda code: (counts[code], code))
        passes += 1
        if not changed:
            break
        t += 1
    total_cost = ordered_sum(cost(i, labels[i]) for i in range(n))
    values = [list(col) for col in columns]
    return labels, centers, [[values[j][code] for j, code in enumerate(row)] for row in modes], gamma, total_cost, passes


def mixed(n, seed, d=2, m=2):
    rng = np.random.default_rng(seed)
    group = rng.integers(0, 3, size=n)
    num = rng.normal(size=(n, d)) + group[:, None] * 3.0
    words = np.array(["web", "store", "app", "phone"])
    cat = [[str(words[(g + rng.integers(0, 2)) % 4]), int(rng.integers(0, 3))][:m] for g in group]
    return num, cat


def bits(values):
    return [struct.pack("<d", v) for v in values]


@pytest.mark.parametrize("n,k,max_iter,seed,m", [
    (60, 3, 300, 42, 2), (80, 4, 300, 7, 1), (50, 2, 2, 0, 2), (40, 5, 300, 2**64 - 1, 2), (45, 3, 0, 9, 2),
    (60, 3, 300, 11, 0),
])
def test_matches_the_model(n, k, max_iter, seed, m):
    num, cat = mixed(n, seed % 997, m=max(m, 1))
    cat = cat if m else None
    r = segmora.kprototypes_py(num, cat, k, max_iter=max_iter, random_state=seed, n_jobs=2)
    labels, centers, modes, gamma, cost, n_iter = kprototypes_model(num.tolist(), cat, k, max_iter, seed)
    assert r.labels == labels and r.centers == centers and r.modes == modes and r.n_iter == n_iter
    assert bits([r.gamma, r.cost]) == bits([gamma, cost])


def test_numpy_and_pandas_inputs_give_the_callers_values():
    pd = pytest.importorskip("pandas")
    num, cat = mixed(200, 6)
    frame = pd.DataFrame({"channel": [c[0] for c in cat], "plan": np.array([c[1] for c in cat], dtype=np.int64)})
    ref = segmora.kprototypes_py(num.tolist(), cat, 3)
    for categorical in (frame.to_numpy(dtype=object), frame.values.tolist(), list(frame.itertuples(index=False))):
        r = segmora.kprototypes_py(num, categorical, 3)
        assert (r.labels, r.modes) == (ref.labels, ref.modes)
        assert all(type(v) in (str, int) for row in r.modes for v in row)


@pytest.mark.parametrize("dtype", ["int8", "uint16", "int32", "int64", "uint64"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_integer_arrays_match_lists(dtype, order):
    num, cat = mixed(300, 8)
    codes = [[row[1], len(row[0])] for row in cat]
    ref = segmora.kprototypes_py(num, codes, 3)
    r = segmora.kprototypes_py(num, np.array(codes, dtype=dtype, order=order), 3)
    assert (r.labels, r.modes) == (ref.labels, ref.modes)


@pytest.mark.parametrize("data,categorical,k,exc,text", [
    ([], None, 0, RuntimeError, "Invalid configuration: n_clusters must be > 0"),
    ([], [], 1, RuntimeError, "Data validation error: data has no rows"),
    ([[1.0]], [["a"]], 2, RuntimeError, "Invalid configuration: n_clusters (2) cannot exceed number of data points (1)"),
    ([[1.0], [math.nan]], [["a"], ["b"]], 1, RuntimeError,
     "Data validation error: data contains a non-finite value (NaN) at row 1, column 0"),
    ([[1.0], [2.0]], [["a", 1], ["b"]], 1, ValueError, "categorical row 1 has 1 values but row 0 has 2"),
    ([[1.0], [2.0]], [["a"]], 1, ValueError, "categorical has 1 rows but data has 2: row 1 has no counterpart"),
    ([[1.0], [2.0]], [], 0, ValueError, "categorical has 0 rows but data has 2: row 0 has no counterpart"),
    ([[1.0]], [["a"], ["b"]], 1, ValueError, "categorical has 2 rows but data has 1: row 1 has no counterpart"),
    ([[1.0, 2.0], [3.0]], [["a"]], 1, ValueError, "ShapeError/OutOfBounds: out of bounds indexing"),
    ([[1.0]], "abc", 1, TypeError, "argument 'categorical': Can't extract `str` to `Vec`"),
    ([[1.0]], [["a", 1.5]], 1, TypeError, "argument 'categorical': row 0, column 1: categorical values must be int or str, not float"),
    ([[1.0]], [[2**70]], 1, OverflowError, "argument 'categorical'"),
    ([[1.0]], np.array([[2**63]], dtype=np.uint64), 1, OverflowError, "argument 'categorical'"),
    ([[1.0]], np.array([[1.5]]), 1, TypeError, "argument 'categorical': row 0, column 0: categorical values must be int or str, not"),
    ([[1.0], [2.0]], [["a"]], "x", TypeError, "argument 'n_clusters'"),  # conversion before shape
])
def test_errors_in_validation_order(data, categorical, k, exc, text):
    with pytest.raises(exc) as err:
        segmora.kprototypes_py(data, categorical, k)
    assert str(err.value).startswith(text)

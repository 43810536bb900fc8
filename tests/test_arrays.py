"""Array-likes wherever a matrix or a vector is taken: NumPy of any dtype and order, pandas, Arrow."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from segmora import kmeans_py, silhouette_score

X = np.random.default_rng(5).integers(-50, 50, size=(60, 3)).astype(np.float64)
REF = kmeans_py(X.tolist(), 3, random_state=7)
FRAME = pd.DataFrame(X, columns=["a", "b", "c"])
TABLE = pa.Table.from_pandas(FRAME, preserve_index=False)
TWO_D = "data must be 2-D (one row of features per record), got "
COL = "argument 'data': column "


def wider(a):
    """The rows inside a larger array, so the view has gaps between rows and columns."""
    out = np.zeros((a.shape[0] * 2, a.shape[1] * 2), dtype=a.dtype)
    out[::2, ::2] = a
    return out[::2, ::2]


ARRAY_LIKES = {
    "c": X, "fortran": np.asfortranarray(X), "strided": wider(X), "int64": X.astype(np.int64),
    "int8": X.astype(np.int8), "int16": X.astype(np.uint8 if X.min() >= 0 else np.int16),
    "float32": X.astype(np.float32), "big-endian": X.astype(">f8"), "float16": X.astype(np.float16),
    "frame": FRAME, "mixed-frame": FRAME.astype({"b": np.int32}), "indexed-frame": FRAME.set_axis(range(100, 160)),
    "arrow": TABLE, "arrow-chunks": pa.concat_tables([TABLE.slice(0, 25), TABLE.slice(25)]),
    "arrow-batch": pa.RecordBatch.from_pandas(FRAME, preserve_index=False), "object": X.astype(object),
    "memoryview": memoryview(X),
}


@pytest.mark.parametrize("data", ARRAY_LIKES.values(), ids=ARRAY_LIKES.keys())
def test_array_likes_match_lists(data):
    got = kmeans_py(data, 3, random_state=7)
    assert (got.labels, got.centers, got.inertia) == (REF.labels, REF.centers, REF.inertia)
    assert silhouette_score(data, pd.Series(REF.labels, index=range(100, 160))) == silhouette_score(X.tolist(), REF.labels)


@pytest.mark.parametrize("data, error, message", [
    (X[:, 0], ValueError, TWO_D + "a 1-D array of 60 values"), (FRAME["a"], ValueError, TWO_D + "a 1-D array of 60 values"),
    (pa.array([1.0, 2.0]), ValueError, TWO_D + "a 1-D array of 2 values"), (np.float64(2.0), ValueError, TWO_D + "a 0-d value"),
    (np.zeros((2, 2, 2)), ValueError, TWO_D + "a 3-D array"),
    (FRAME.assign(d="x"), TypeError, COL + "3 has non-numeric dtype str"),
    (FRAME.assign(b=pd.Timestamp("2024-01-01")), TypeError, COL + "1 has non-numeric dtype "),
    (np.array([["a", "b"]]), TypeError, COL + "0 has non-numeric dtype <U1"),
    (np.array([[1.0, "x"]], dtype=object), TypeError, COL + "1 has non-numeric dtype object (a str value)"),
    (TABLE.append_column("s", pa.array(["x"] * 60)), TypeError, COL + "3 has non-numeric dtype (Arrow format 'u')"),
    (TABLE.append_column("k", pa.array([1.0, 2.0] * 30).dictionary_encode()), TypeError,
     COL + "3 has non-numeric dtype (Arrow dictionary-encoded, categorical)"),
    # Arrow nulls read as NaN.
    (pa.table({"a": [1.0, None, 3.0]}), RuntimeError, "Data validation error: data contains a non-finite value (NaN) at row 1, column 0"),
])
def test_wrong_rank_dtype_or_value(data, error, message):
    with pytest.raises(error) as caught:
        kmeans_py(data, 1)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)

"""k_anonymity_from_columns: the row path's groups, read from columns of many kinds."""

import datetime as dt
import math
from collections import Counter
from decimal import Decimal

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import segmora

N = 300
RNG = np.random.default_rng(4)
pick = lambda values: [values[i] for i in RNG.integers(0, len(values), N)]  # noqa: E731
STRS = pick(["a", "b", "", None, "é"])
INTS = RNG.integers(-3, 4, N)
FLOATS = pick([0.0, -0.0, 1.0, 0.1, 1e20, 2.5, math.nan, -math.inf])
BOOLS = RNG.random(N) < 0.3
MIXED = pick([1, 1.0, "1", None, True, 2, "x", np.float32(0.1), np.int64(7), math.nan])
NULLABLE = pick([1, 2, None])
CATEGORY = pick(["x", "y", None, ""])
FRAME = pd.DataFrame({"s": pd.Series(STRS, dtype="str"), "i": INTS, "f": FLOATS, "b": BOOLS, "o": pd.Series(MIXED, dtype=object),
                      "n": pd.Series(NULLABLE, dtype="Int64"), "c": pd.Series(CATEGORY, dtype="category"),
                      "u": INTS.astype(np.uint8) % 3, "h": np.asarray(FLOATS, dtype=np.float32)})


def text(v):
    """A value's text in its row dict: numbers in shortest decimal, missing values empty."""
    if v is None or v is pd.NA or (isinstance(v, (float, np.floating)) and math.isnan(v)):
        return ""
    if isinstance(v, (bool, np.bool_)):
        return str(bool(v))
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if isinstance(v, (float, np.floating)):
        if math.isinf(v):
            return "inf" if v > 0 else "-inf"
        s = format(Decimal(repr(float(v))), "f")
        return s[:-2] if s.endswith(".0") else s
    return v


ROWS = [{q: text(FRAME[q].iloc[i]) for q in FRAME} | {"row": str(i)} for i in range(N)]


def row_path(qi, k, rows=ROWS):
    kept = {r["row"] for r in segmora.suppress_to_k_anonymous(rows, qi, k)}
    check = segmora.check_k_anonymity(rows, qi, k)
    sizes = Counter(tuple(r.get(q, "") for q in qi) for r in rows)
    return (check.anonymized, check.suppressed_rows, [sizes[tuple(r.get(q, "") for q in qi)] for r in rows],
            [r["row"] not in kept for r in rows])


def columnar(out):
    assert list(out) == ["anonymized", "suppressed_rows", "group_size", "violating"]
    assert out["group_size"].dtype == np.int64 and out["violating"].dtype == np.bool_
    return out["anonymized"], out["suppressed_rows"], out["group_size"].tolist(), out["violating"].tolist()


ARROW = pa.Table.from_pandas(FRAME.drop(columns="o"), preserve_index=False)
FORMS = {
    "frame": FRAME,
    "dict-of-lists": {q: list(FRAME[q].astype(object).where(FRAME[q].notna(), None)) for q in FRAME},
    "dict-of-arrays": {q: FRAME[q].to_numpy() for q in FRAME},
    "arrow": ARROW,
    "arrow-batches": pa.Table.from_batches(ARROW.to_batches(max_chunksize=70)),
    "polars": pl.from_arrow(ARROW),
}
QIS = [["s"], ["i", "f"], ["b", "n", "c"], ["u", "h", "s"], ["o"], ["s", "i", "f", "b", "n", "c", "u", "h"], []]


# A column of mixed objects ("o") has no Arrow type, so the Arrow and polars forms go without it.
FORM_QIS = [pytest.param(form, qi, id=f"{form}-{'-'.join(qi)}") for form in FORMS for qi in QIS
            if not ("o" in qi and form.startswith(("arrow", "polars")))]


@pytest.mark.parametrize("k", [0, 1, 2, 3, 40])
@pytest.mark.parametrize("form, qi", FORM_QIS)
def test_same_groups_as_the_row_path(form, qi, k):
    assert columnar(segmora.k_anonymity_from_columns(FORMS[form], qi, k)) == row_path(qi, k)


LARGE = 100_000


@pytest.mark.parametrize("columns", [
    {"t": [f"id{i % 30_000}" for i in range(LARGE)]},                                   # many texts: hashed
    {"t": pa.array([f"customer-{i % 9_000:06d}" for i in range(LARGE)], pa.string_view())},
    {"v": np.arange(LARGE) % 777 * 10**12},                                               # a wide range: hashed
    {q: (np.arange(LARGE) * m) % LARGE for q, m in zip("abcd", (1, 7, 13, 31))},          # keys past 63 bits
    {"x": pd.Series(np.arange(LARGE) % 5000).astype("category"), "y": np.arange(LARGE) % 3 == 0},
], ids=["texts", "string-views", "wide-integers", "four-keys", "categories"])
def test_large_columns_against_pandas(columns):
    qi = list(columns)
    frame = pd.DataFrame({q: np.asarray(v) for q, v in columns.items()})
    sizes = frame.groupby(qi, sort=False, observed=True)[qi[0]].transform("size").to_numpy()
    out = segmora.k_anonymity_from_columns(columns, qi, 15)
    assert out["group_size"].tolist() == sizes.tolist()
    assert (out["suppressed_rows"], out["violating"].tolist()) == (int((sizes < 15).sum()), (sizes < 15).tolist())


@pytest.mark.parametrize("columns, qi, k, expected", [
    ({}, [], 5, (True, 0, [], [])),
    ({"a": [1, 2, 3]}, [], 4, (False, 3, [3, 3, 3], [True] * 3)),
    (FRAME.iloc[:0], ["s", "i"], 2, (True, 0, [], [])),
    ({"zip": ["10001", "10001", "10002"]}, ["zip"], 2, (False, 1, [2, 2, 1], [False, False, True])),
    ({"a": ["", None, math.nan, pd.NA]}, ["a"], 4, (True, 0, [4] * 4, [False] * 4)),  # all missing: the empty text
    ({"a": [1, 1.0, "1", True]}, ["a"], 3, (False, 1, [3, 3, 3, 1], [False, False, False, True])),
])
def test_small_tables(columns, qi, k, expected):
    assert columnar(segmora.k_anonymity_from_columns(columns, qi, k)) == expected


@pytest.mark.parametrize("columns, qi, k, exc, message", [
    ([{"a": "x"}], ["a"], 1, TypeError,
     "argument 'columns': expected a DataFrame, a dict of columns or an Arrow table, not list"),
    (FRAME, ["s", "zip"], 1, ValueError, "columns has no column 'zip'"),
    ({"a": [1, 2], "b": [1, 2, 3]}, ["a", "b"], 1, ValueError,
     "quasi-identifier columns must have the same length: 'a' has 2 rows, 'b' 3"),
    ({"d": np.array(["2024-01-01"], dtype="datetime64[ns]")}, ["d"], 1, TypeError,
     "argument 'columns': column 'd' has unsupported dtype datetime64[ns]"),
    ({"d": ["x", dt.date(2024, 1, 1)]}, ["d"], 1, TypeError,
     "argument 'columns': column 'd' has a date value at row 1; expected str, int, float, bool or a missing value"),
    ({"d": pa.array([dt.datetime(2024, 1, 1)])}, ["d"], 1, TypeError,
     "argument 'columns': column 'd' has unsupported Arrow format 'tsu:'"),
    ({"a": "xyz"}, ["a"], 1, TypeError, "argument 'columns': column 'a' has a str, not a column of values"),
    ({"a": [1]}, "a", 1, TypeError, "argument 'quasi_identifiers': Can't extract `str` to `Vec`"),
    ({"a": [1]}, ["a"], -1, OverflowError, None),
])
def test_errors(columns, qi, k, exc, message):
    with pytest.raises(exc) as err:
        segmora.k_anonymity_from_columns(columns, qi, k)
    assert type(err.value) is exc and (message is None or str(err.value) == message)

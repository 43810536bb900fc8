"""rfm_from_columns: the same records as calculate_rfm_py, from columns of many forms."""

import datetime as dt
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import segmora
from segmora import PyRFMConfig, PyScoringMethod, calculate_rfm_py, rfm_from_columns

UTC = dt.timezone.utc
NOW = dt.datetime.now(UTC).replace(microsecond=0)
RNG = np.random.default_rng(11)
N = 600
IDS = [f"c{i}" for i in RNG.integers(0, 90, N)]
# Whole seconds, never within an hour of a day boundary relative to now: the day counts are unambiguous.
AGES = RNG.integers(0, 200, N) * 86400 + RNG.integers(3600, 82800, N)
WHEN = [NOW - dt.timedelta(seconds=int(s)) for s in AGES]
AMOUNTS = RNG.uniform(-5, 300, N).round(2)
STAMPS = pd.Series(pd.to_datetime(WHEN, utc=True))
NAIVE = STAMPS.dt.tz_localize(None).to_numpy()
TEXTS = [w.isoformat() for w in WHEN]
COLUMNS = ["customer_id", "recency", "recency_days", "frequency", "monetary", "r_score", "f_score", "m_score", "segment"]


def reference(ids, when, amounts, config=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scores = calculate_rfm_py([(i, w, float(a)) for i, w, a in zip(ids, when, amounts)], config or PyRFMConfig())
    return [(s.customer_id, s.recency, s.frequency, s.monetary, s.recency_score, s.frequency_score, s.monetary_score,
             s.rfm_segment) for s in scores]


REF = reference(IDS, TEXTS, AMOUNTS)


def rows(out):
    assert list(out) == COLUMNS
    assert len({len(v) for v in out.values()}) == 1
    return list(zip(*(out[k] for k in COLUMNS if k != "recency_days")))


@pytest.mark.parametrize("timestamps", [
    STAMPS, STAMPS.dt.tz_convert("Asia/Kolkata"), NAIVE, NAIVE.astype("datetime64[s]"), NAIVE.astype("datetime64[ms]"),
    pd.DatetimeIndex(STAMPS), TEXTS, [w.astimezone(dt.timezone(dt.timedelta(hours=-7))) for w in WHEN],
    [int(w.timestamp()) for w in WHEN], np.array([int(w.timestamp()) for w in WHEN]), pa.array(STAMPS),
], ids=["series-utc", "series-kolkata", "datetime64-ns", "datetime64-s", "datetime64-ms", "index", "rfc3339",
        "aware-datetime", "int-list", "int-array", "arrow"])
@pytest.mark.parametrize("ids", [
    IDS, pd.Series(IDS, index=range(7, 7 + N)), pa.array(IDS), np.array(IDS, dtype=object),
    pd.Series(IDS).astype("category"), pa.array(IDS).dictionary_encode(), pa.chunked_array([IDS[:250], [], IDS[250:]]),
    pa.array(IDS, pa.large_string()),
], ids=["list", "series", "arrow", "object-array", "category", "arrow-dictionary", "arrow-chunks", "arrow-large"])
def test_same_records_as_calculate_rfm(timestamps, ids):
    assert rows(rfm_from_columns(ids, timestamps, pd.Series(AMOUNTS), as_of=NOW)) == REF


@pytest.mark.parametrize("as_of", [NOW, NOW.isoformat(), np.datetime64(NOW.replace(tzinfo=None)), pd.Timestamp(NOW)])
def test_as_of_forms_and_integer_ids(as_of):
    decile = PyRFMConfig(scoring_method=PyScoringMethod.decile())
    out = rfm_from_columns(np.array([int(i[1:]) for i in IDS]), STAMPS, AMOUNTS, config=decile, as_of=as_of)
    got = rows(out)
    ref = reference(IDS, TEXTS, AMOUNTS, decile)
    assert [f"c{r[0]}" for r in got] == [r[0] for r in ref]
    assert got[0][1:] == ref[0][1:]
    days = {i: min(AGES[k] for k in range(N) if IDS[k] == i) // 86400 for i in set(IDS)}
    assert list(out["recency_days"]) == [days[f"c{c}"] for c in out["customer_id"]]


def test_missing_timestamps_and_nan_amounts_are_reported():
    stamps, texts, amounts = STAMPS.copy(), list(TEXTS), AMOUNTS.copy()
    stamps[[3, 40]] = pd.NaT
    texts[5] = "1997-01-01"
    amounts[8] = np.nan
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = rfm_from_columns(IDS, stamps, amounts, as_of=NOW)
        rfm_from_columns(IDS, texts, AMOUNTS, as_of=NOW)
        mixed = rfm_from_columns(["a", "b", "c", "d"], [NOW, pd.NaT, None, float("nan")], [1.0] * 4, as_of=NOW)
    assert list(mixed["customer_id"]) == ["a"] and list(mixed["frequency"]) == [1.0]
    assert [str(w.message) for w in caught] == [
        f"skipped 2 of {N} transactions with a missing timestamp (None or NaT; first at index 3)",
        f"1 of {N} transactions have a NaN amount (first at index 8); the monetary value of their customers is NaN",
        f"skipped 1 of {N} transactions whose timestamp is not an RFC 3339 date-time with a zone (first at index 5: "
        "'1997-01-01')",
        "skipped 3 of 4 transactions with a missing timestamp (None or NaT; first at index 1); 3 customers with no "
        "usable transaction left out",
    ]
    kept = [k for k in range(N) if k not in (3, 40)]
    got = rows(out)
    assert [g[0] for g in got] == [r[0] for r in reference([IDS[k] for k in kept], [TEXTS[k] for k in kept], amounts[kept])]
    assert math.isnan(dict((g[0], g[3]) for g in got)[IDS[8]])


IDS_ARG, TWO = "argument 'customer_ids': ", [1.0, 2.0]


@pytest.mark.parametrize("args, error, message", [
    ((IDS[:3], WHEN[:2], AMOUNTS[:3]), ValueError,
     "customer_ids, timestamps and amounts must have the same length, got 3, 2 and 3"),
    ((["a", 1], WHEN[:2], TWO), TypeError, IDS_ARG + "ids must be all int or all str; item 1 is a int"),
    (([1, "a"], WHEN[:2], TWO), TypeError, IDS_ARG + "ids must be all int or all str; item 1 is a str"),
    ((["a", None], WHEN[:2], TWO), ValueError, "customer_ids has a missing value at index 1"),
    ((["a", pd.NA], WHEN[:2], TWO), ValueError, "customer_ids has a missing value at index 1"),
    ((["a"], [1.5], [1.0]), TypeError, "argument 'timestamps': a timestamp must be a datetime, date, datetime64, int or str, not float"),
    (("abc", WHEN[:3], [1.0] * 3), TypeError, IDS_ARG + "Can't extract `str` to `Vec`"),
    ((["a"], [NOW], [1.0], "2024-01-01"), ValueError, "as_of '2024-01-01' is not an RFC 3339 date-time with a zone"),
    ((["a"], [NOW], [1.0], 1.5), TypeError, "argument 'as_of': expected a datetime, date, datetime64, int (epoch seconds) or"),
    ((["a"], [NOW], [1.0], pd.NaT), ValueError, "as_of is NaT"),
    ((["a", "b"], WHEN[:2], np.ones((2, 1))), ValueError, "amounts must be 1-D, got a 2-D array"),
    ((["a", "b"], WHEN[:2], pd.DataFrame({"x": TWO})), ValueError, "amounts must be 1-D, got a 2-D array"),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as caught:
        rfm_from_columns(*args[:3], as_of=args[3] if len(args) > 3 else NOW)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)


# Keys equal in their first eight bytes, or in length, or only by a NUL byte.
TRICKY = ["", "a", "a\0", "prefix12", "prefix12X", "prefix12Y", "prefix12X" + "z" * 8, "prefix12X" + "y" * 8,
          "x" * 300, "x" * 299 + "y", "é" * 5]


@pytest.mark.parametrize("form", [list, pa.array, lambda v: pa.array(v, pa.large_string()), pd.Series,
                                  lambda v: pa.chunked_array([v[:7], v[7:]])],
                         ids=["list", "arrow", "arrow-large", "series", "arrow-chunks"])
def test_keys_sharing_a_head_stay_apart(form):
    ids = [TRICKY[(i * 7) % len(TRICKY)] for i in range(70_000)]  # enough rows to split across workers
    stamps = np.full(len(ids), np.datetime64("2024-05-01T00:00:00"))
    out = rfm_from_columns(form(ids), stamps, np.arange(len(ids), dtype=float), as_of="2024-06-01T00:00:00Z", n_jobs=2)
    totals = {k: sum(i for i in range(len(ids)) if ids[i] == k) for k in TRICKY}
    assert dict(zip(out["customer_id"], out["monetary"])) == totals


def test_empty_and_frame_ready():
    assert pd.DataFrame(rfm_from_columns([], [], [], as_of=NOW)).shape == (0, 9)
    frame = pd.DataFrame(rfm_from_columns(IDS, STAMPS, AMOUNTS, as_of=NOW))
    assert frame.dtypes["r_score"] == np.int64 and frame.dtypes["monetary"] == np.float64
    # From pandas, ids keep their dtype and segments come as categories (values unchanged).
    for ids in (pd.Series(IDS, dtype="string[pyarrow]"), pd.Series(IDS).astype("category"),
                pd.Series([int(i[1:]) for i in IDS])):
        frame = pd.DataFrame(rfm_from_columns(ids, STAMPS, AMOUNTS, as_of=NOW))
        assert frame["customer_id"].dtype == ids.dtype and frame["segment"].dtype == "category"
        assert [str(i) for i in frame["customer_id"]] == [r[0].lstrip("c" if ids.dtype == np.int64 else "") for r in REF]
        assert list(frame["segment"]) == [r[-1] for r in REF]


AS_OF = 1_717_200_000  # 2024-06-01T00:00:00Z
FAR = (AS_OF - np.iinfo(np.int64).min - 1) // 86400  # whole days back to the earliest tick


@pytest.mark.parametrize("stamps, expected", [  # expected: (frequency, recency_days) of a and b
    (np.array([2**62, 0], dtype="datetime64[D]"), OverflowError),
    (np.array([-(2**62), 0], dtype="datetime64[h]"), OverflowError),
    (np.array([np.iinfo(np.int64).min + 1, 0], dtype="datetime64[s]"), [(1.0, FAR), (1.0, AS_OF // 86400)]),
    (np.array([np.iinfo(np.int64).min, 0]), [(1.0, FAR), (1.0, AS_OF // 86400)]),  # epoch seconds: no NaT
    (np.array(["NaT", "2024-05-31T12"], dtype="datetime64[m]"), [(1.0, 0.0)]),  # a is left out
])
def test_extreme_ticks(stamps, expected):
    call = lambda: rfm_from_columns(["a", "b"], stamps, [1.0, 2.0], as_of="2024-06-01T00:00:00Z")
    if expected is OverflowError:
        with pytest.raises(OverflowError, match="argument 'timestamps': datetime out of range"):
            call()
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = call()
    got = sorted(zip(out["customer_id"], out["frequency"], out["recency_days"]))
    assert [(f, None if math.isnan(d) else d) for _, f, d in got] == expected


def test_columns_without_numpy_are_array_buffers():
    code = ("import sys, segmora; out = segmora.rfm_from_columns(['a', 'b'], ['2024-01-01T00:00:00Z'] * 2, [1.0, 2.0], "
            "as_of='2024-01-02T00:00:00Z'); print('numpy' in sys.modules, type(out['monetary']).__name__, "
            "list(out['monetary']), out['r_score'].typecode)")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(segmora.__file__))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert proc.stdout.split() == ["False", "array", "[2.0,", "1.0]", "q"], proc.stderr


@pytest.mark.parametrize("kind", ["str", "int"])
def test_large_inputs_agree_for_every_n_jobs(kind):
    n, rng = 70_000, np.random.default_rng(3)  # large enough for the grouping to split across workers
    keys = rng.integers(0, 9000, n)
    ids = [f"k{k}" for k in keys] if kind == "str" else keys
    ages = rng.integers(3600, 82800, n) + rng.integers(0, 100, n) * 86400
    stamps = pd.Series(pd.Timestamp(NOW) - pd.to_timedelta(ages, unit="s"))
    amounts = rng.uniform(0, 50, n).round(2)
    runs = [rows(rfm_from_columns(ids, stamps, amounts, as_of=NOW, n_jobs=j)) for j in (1, 2, 3, 5)]
    assert all(r == runs[0] for r in runs[1:])
    ref = reference([str(i) for i in ids], [t.isoformat() for t in stamps], amounts)
    assert [(str(r[0]), *r[1:]) for r in runs[0]] == ref


T0 = AS_OF - 86400  # 2024-05-31T00:00:00Z, one day before as_of
MISSING_B = "skipped 1 of 2 transactions with a missing timestamp (None or NaT; first at index 1); 1 customer with no " \
            "usable transaction left out"


@pytest.mark.parametrize("stamps, expected, warned", [  # expected: {id: recency_days}
    ([np.int64(T0), T0], {"a": 1, "b": 1}, []),
    ([np.datetime64("2024-05-01T00:00:00"), np.datetime64("2024-05-02", "D")], {"a": 31, "b": 30}, []),
    (np.array([np.datetime64(T0, "s"), dt.date(2024, 5, 2)], dtype=object), {"a": 1, "b": 30}, []),
    ([dt.date(2024, 5, 1), dt.datetime(2024, 5, 31, 12)], {"a": 31, "b": 0}, []),  # naive: UTC
    ([pd.Timestamp("2024-05-31 23:00"), pd.NaT], {"a": 0}, [MISSING_B]),
    (pd.Series([T0, None], dtype="Int64"), {"a": 1}, [MISSING_B]),
    (pd.Series([T0, None], dtype="int64[pyarrow]"), {"a": 1}, [MISSING_B]),
    (pa.array([T0, None]), {"a": 1}, [MISSING_B]),
    (pa.chunked_array([[T0], [T0 - 86400]], pa.int32()), {"a": 1, "b": 2}, []),
    (pa.array([dt.date(2024, 5, 1), None]), {"a": 31}, [MISSING_B]),
    (pa.array([T0 * 1000, T0 * 1000], pa.timestamp("ms")), {"a": 1, "b": 1}, []),
    ([np.float64(T0), 1.0], TypeError, []),  # float seconds are no timestamps
], ids=["numpy-int", "numpy-datetime64", "object-array", "date-naive", "pandas-timestamps", "Int64", "int64-pyarrow",
        "arrow-nulls", "arrow-int32-chunks", "arrow-date32", "arrow-timestamp-ms", "floats"])
def test_timestamps_read_what_they_mean(stamps, expected, warned):
    call = lambda: rfm_from_columns(["a", "b"], stamps, [1.0, 2.0], as_of=AS_OF)
    if expected is TypeError:
        with pytest.raises(TypeError, match="a timestamp must be a datetime, date, datetime64, int or str, not float"):
            call()
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = call()
    assert dict(zip(out["customer_id"], out["recency_days"])) == expected
    assert [str(w.message) for w in caught] == warned


@pytest.mark.parametrize("as_of, days", [
    (pd.Timestamp("2024-06-01"), 1), (dt.date(2024, 6, 1), 1), (dt.datetime(2024, 6, 1), 1), (AS_OF, 1),
    (np.datetime64("2024-06", "M"), 1), (np.datetime64("3000-01-01", "D"), 356_326),  # beyond 2262: no wrap
])
def test_as_of_forms(as_of, days):
    out = rfm_from_columns(["a"], [T0], [1.0], as_of=as_of)
    assert list(out["recency_days"]) == [days]


def test_rows_after_as_of_are_left_out():
    stamps = [T0, T0 + 2 * 86400, T0 - 86400, T0 + 1]  # only index 1 is after as_of
    ids = ["a", "b", "a", "c"]
    with pytest.warns(UserWarning) as caught:
        out = rfm_from_columns(ids, stamps, [1.0, 2.0, 4.0, 8.0], as_of=AS_OF)
    assert [str(w.message) for w in caught] == [
        "skipped 1 of 4 transactions dated after as_of (first at index 1); 1 customer with no usable transaction left out"]
    assert dict(zip(out["customer_id"], zip(out["frequency"], out["monetary"]))) == {"a": (2.0, 5.0), "c": (1.0, 8.0)}
    # The same as the earlier rows alone, read at the same instant; without as_of nothing is cut.
    assert rows(out) == rows(rfm_from_columns(["a", "a", "c"], [T0, T0 - 86400, T0 + 1], [1.0, 4.0, 8.0], as_of=AS_OF))
    assert len(rfm_from_columns(ids, stamps, [1.0] * 4)["customer_id"]) == 3


@pytest.mark.parametrize("ids, expected", [
    (pd.Series([3.0, 1.0, 3.0]), [3, 1]), (np.array([3.0, 1.0, 3.0]), [3, 1]), ([3.0, 1, np.float64(3.0)], [3, 1]),
    (pa.array([3.0, 1.0, 3.0]), [3, 1]),
    (pd.Series([3.0, np.nan, 3.0]), "customer_ids has a missing value at index 1"),
    ([3.0, 1.0, float("nan")], "customer_ids has a missing value at index 2"),
    (pd.Series([3.5, 1.0, 3.0]), "argument 'customer_ids': ids must be all int or all str; item 0 is a float that is "
                                 "not a whole number (3.5)"),
])
def test_float_ids_are_integers(ids, expected):
    call = lambda: rfm_from_columns(ids, [T0, T0 - 86400, T0], [1.0, 2.0, 4.0], as_of=AS_OF)
    if isinstance(expected, str):
        with pytest.raises((ValueError, TypeError)) as caught:
            call()
        assert str(caught.value) == expected
        return
    out = call()
    assert list(out["customer_id"]) == expected and all(type(i) is int for i in out["customer_id"])


# ---- polars in, polars out ----

import polars as pl  # noqa: E402

PL_STAMPS = pl.from_pandas(STAMPS)
LONG_IDS = [f"customer-number-{i}" for i in IDS]  # past 12 bytes: views into a data buffer


@pytest.mark.parametrize("ids, names", [
    (pl.Series("cid", IDS), IDS), (pl.Series("cid", LONG_IDS), LONG_IDS),
    (pl.concat([pl.Series("cid", IDS[:250]), pl.Series("cid", IDS[250:])], rechunk=False), IDS),
    (pl.Series("cid", IDS, dtype=pl.Categorical), IDS),
], ids=["string-views", "long-views", "chunks", "categorical"])
@pytest.mark.parametrize("amounts", [pl.Series(AMOUNTS), pl.Series(np.concatenate([[7.0], AMOUNTS])).slice(1)],
                         ids=["float64", "float64-offset"])
def test_polars_columns_give_polars_columns(ids, names, amounts):
    out = rfm_from_columns(ids, PL_STAMPS, amounts, as_of=NOW)
    ref = REF if names is IDS else reference(names, TEXTS, AMOUNTS)
    assert rows(out) == ref
    assert isinstance(out["customer_id"], pl.Series) and out["customer_id"].dtype == ids.dtype
    assert out["segment"].dtype == pl.Categorical and out["segment"].to_list() == [r[-1] for r in ref]
    frame = pl.DataFrame(out)
    assert frame.columns == COLUMNS and frame.height == len(ref)


def test_polars_nulls_in_ids_and_amounts():
    with pytest.raises(ValueError, match="^customer_ids has a missing value at index 2$"):
        rfm_from_columns(pl.Series(["a", "b", None]), PL_STAMPS[:3], [1.0] * 3, as_of=NOW)
    with pytest.warns(UserWarning, match="1 of 3 transactions have a NaN amount"):
        out = rfm_from_columns(pl.Series(["a", "b", "a"]), PL_STAMPS[:3], pl.Series([1.0, None, 2.0]), as_of=NOW)
    assert math.isnan(dict(zip(out["customer_id"], out["monetary"]))["b"])

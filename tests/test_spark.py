"""Segmentation on Spark in local mode (local[2]), one SparkSession for the whole run."""
import datetime
import importlib.util
import os
import shutil
import sys
import warnings

import numpy as np
import pytest

import segmora
import segmora_dask as sd

pytest.importorskip("pyspark", reason="PySpark is not installed (pip install '.[spark]')")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs a Java runtime (apt-get install openjdk-17-jre-headless)", allow_module_level=True)
from pyspark.sql import SparkSession  # noqa: E402
from pyspark.sql import functions as F  # noqa: E402

import segmora_spark as ss  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
spec = importlib.util.spec_from_file_location("scale_out_spark", os.path.join(ROOT, "examples", "scale_out_spark.py"))
example = importlib.util.module_from_spec(spec)
spec.loader.exec_module(example)

NOW = datetime.datetime.now(datetime.timezone.utc)
COLUMNS = ["recency", "frequency", "monetary"]


@pytest.fixture(scope="session")
def spark():
    os.environ["PYSPARK_PYTHON"] = sys.executable  # workers import segmora from this interpreter's path
    warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas", category=FutureWarning)
    session = (SparkSession.builder.master("local[2]").appName("segmora tests")
               .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "4").config("spark.sql.session.timeZone", "UTC")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="session")
def features(spark):
    """3,000 rows of three columns in 3 partitions, cached, and the same rows per partition as arrays."""
    frame = example.feature_frame(spark, 3_000, 3, seed=5).persist()
    table = frame.select(F.spark_partition_id().alias("p"), *COLUMNS).toArrow()
    parts = np.array(table.column("p"))
    rows = np.column_stack([np.array(table.column(c)) for c in COLUMNS])
    return frame, [np.ascontiguousarray(rows[parts == p]) for p in range(3)]


def fitted(model):
    return model.centers, model.inertia, model.n_iter


@pytest.mark.parametrize("n_parts, init, max_iter", [(1, "seeds", 300), (1, "seeds", 2), (3, "seeds", 300),
                                                     (3, "k-means||", 300)])
def test_spark_fit_equals_kmeans_py_and_the_dask_loop(features, n_parts, init, max_iter):
    frame, chunks = features
    if n_parts == 1:
        frame, chunks = frame.coalesce(1), [np.vstack(chunks)]
    rows = np.vstack(chunks)
    expected = segmora.kmeans_py(rows, 4, max_iter=max_iter, random_state=3)
    seeds = segmora.kmeans_py(rows, 4, max_iter=0, random_state=3).centers if init == "seeds" else init
    model = ss.fit_kmeans_spark(frame, 4, max_iter=max_iter, random_state=3, columns=COLUMNS, init=seeds)
    assert fitted(model) == fitted(sd.fit_kmeans_chunks(chunks, 4, max_iter=max_iter, random_state=3, init=seeds))
    if n_parts == 1:
        assert fitted(model) == fitted(expected)
    elif init == "seeds":  # partition sums round differently from one running sum
        np.testing.assert_allclose(model.centers, expected.centers, rtol=0, atol=1e-12)
        assert model.inertia == pytest.approx(expected.inertia, rel=1e-12) and model.n_iter == expected.n_iter


def test_predict_adds_a_segment_column_from_any_fitted_model(features):
    frame, chunks = features
    rows = np.vstack(chunks)
    estimator = segmora.KMeans(4, random_state=0).fit(rows)
    segmenter = segmora.PyAudienceSegmenter(4, n_jobs=1)
    segmenter.fit(rows)
    model = sd.fit_kmeans_chunks(chunks, 4, random_state=0)
    for fitted_model, expected in [(model, model.predict(rows)), (estimator, estimator.predict(rows).tolist()),
                                   (segmenter, segmenter.predict(rows))]:
        scored = ss.predict_spark(fitted_model, frame, columns=COLUMNS)
        assert scored.columns == COLUMNS + ["segment"]
        assert scored.select("segment").toArrow().column(0).to_pylist() == expected
    with pytest.raises(ValueError, match="already has a column named 'segment'"):
        ss.predict_spark(model, ss.predict_spark(model, frame))


SPARK_FORMS = {
    "timestamp": lambda c: c,
    "text": lambda c: F.date_format(c, "yyyy-MM-dd'T'HH:mm:ss'Z'"),
    "epoch-seconds": F.unix_timestamp,
    "timestamp-ntz": lambda c: c.cast("timestamp_ntz"),
    "date": F.to_date,
}


def warned(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [str(w.message) for w in caught if w.category is UserWarning]


@pytest.mark.parametrize("n_parts, form, scoring, as_of, amount", [
    (1, "timestamp", "quintile", None, "double"), (3, "text", "decile", NOW, "double"),
    (4, "epoch-seconds", "percentile", None, "decimal(12,2)"), (2, "timestamp-ntz", "quintile", NOW, None),
    (3, "date", "decile", None, "double")])
def test_spark_rfm_and_clv_summary_equal_the_in_memory_functions(spark, n_parts, form, scoring, as_of, amount):
    """One missing time, one after NOW (each its customer's only row) and a null amount, in a partition of their own."""
    tx = example.transaction_frame(spark, 1_500, 200, n_parts, NOW, seed=n_parts)
    extra = [("lost", None, 5.0), ("late", NOW + datetime.timedelta(days=2), 1.0),
             ("C000007", NOW - datetime.timedelta(days=3, hours=12), None)]
    tx = tx.union(spark.createDataFrame(extra, tx.schema)).withColumn("timestamp", SPARK_FORMS[form](F.col("timestamp")))
    tx = (tx.withColumn("amount", F.col("amount").cast(amount)) if amount else tx.drop("amount")).persist()
    table = tx.toArrow()
    ids, stamps = table.column("customer_id"), table.column("timestamp")
    amounts = table.column("amount").cast("double") if amount else None
    settings = sd.RFMSettings("linear", 30, scoring)
    if amount:
        expected, expected_warnings = warned(lambda: segmora.rfm_from_columns(ids, stamps, amounts, settings.config(), NOW))
        got, got_warnings = warned(lambda: ss.rfm_spark(tx, settings, now=NOW))
        assert got_warnings == expected_warnings and len(got_warnings) == 3
        assert [(s.customer_id, s.recency, s.frequency, repr(s.monetary), s.rfm_rank, s.rfm_segment) for s in got] == [
            (c, r, f, repr(float(m)), f"{a}{b}{d}", g) for c, r, f, m, a, b, d, g in zip(
                expected["customer_id"], expected["recency"], expected["frequency"], expected["monetary"],
                expected["r_score"], expected["f_score"], expected["m_score"], expected["segment"])]
    expected, expected_warnings = warned(lambda: segmora.clv_summary_from_columns(ids, stamps, amounts, as_of, 7.0))
    got, got_warnings = warned(lambda: ss.clv_summary_spark(tx, as_of, 7.0))
    assert got_warnings == expected_warnings and list(got) == list(expected)
    assert got["customer_id"] == expected["customer_id"]
    for column in list(expected)[1:]:
        assert got[column].tobytes() == expected[column].tobytes(), column
    tx.unpersist()


@pytest.mark.parametrize("call", [ss.rfm_spark, ss.clv_summary_spark])
def test_a_missing_customer_id_is_reported_at_its_position_in_the_frame(spark, call):
    rows = [(None if i in (40, 77) else i % 7, 1_700_000_000 + i * 3_600, float(i)) for i in range(100)]
    tx = spark.createDataFrame(rows, "customer_id long, timestamp long, amount double").repartition(3)
    position = tx.toArrow().column("customer_id").to_pylist().index(None)
    with pytest.raises(ValueError) as err:
        call(tx)
    assert str(err.value) == f"customer_ids has a missing value at index {position}"


def test_bad_values_and_arguments_are_refused_by_name(spark, features):
    with_null = spark.createDataFrame([(1.0, 2.0), (None, 3.0), (2.0, 1.0)], "a double, b double").coalesce(1)
    with pytest.raises(RuntimeError,
                       match=r"^Data validation error: data contains a non-finite value \(NaN\) at row 1, column 0 "
                             r"of partition 0$"):
        ss.fit_kmeans_spark(with_null, 2, init=[[0.0, 0.0], [1.0, 1.0]])
    with pytest.raises(RuntimeError, match=r"^Invalid configuration: n_clusters \(5\) cannot exceed number of data "
                                           r"points \(3\)$"):
        ss.fit_kmeans_spark(with_null.na.drop().union(with_null.limit(1)), 5)
    with pytest.raises(TypeError, match="column 'x' is string, not numeric"):
        ss.fit_kmeans_spark(spark.createDataFrame([("a",)], "x string"), 1, columns=["x"])


def test_the_example_runs_on_the_shared_session(spark):
    out = example.main(spark, rows=4_000, partitions=3, transactions=800, customers=90)
    assert sum(out["sizes"].values()) == 4_000 and len(out["scores"]) == len(out["summary"]["customer_id"]) == 90

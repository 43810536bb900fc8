"""Streaming engine: score-rule labels, buffer, lookups, drift baseline and drift-triggered re-fits."""
import ast
import os
import subprocess
import sys
import time

import pytest

import segmora

DAY = 86400


def ev(customer, value=0.0, days=0, kind="purchase"):
    """An event `days` whole days before now (negative: in the future), an hour off the day boundary."""
    now = int(time.time())
    offset = days * DAY + (3600 if days >= 0 else -3600)
    return segmora.PyStreamingEvent(customer, kind, value, now - offset)


def engine(batch_size=100, min_severity="none", min_customers=5, n_clusters=2):
    return segmora.PyStreamingSegmentationEngine(
        segmora.PyStreamingConfig(batch_size=batch_size),
        segmora.PyReclusterConfig(min_severity, min_customers, n_clusters),
    )


def raises_exactly(exc, message, call, *args):
    with pytest.raises(exc) as err:
        call(*args)
    assert type(err.value) is exc and str(err.value) == message


def population(n, spread=1.0):
    return [ev(f"c{i}", value=1000.0 * i * spread, days=i % 30) for i in range(n)]


@pytest.mark.parametrize("value,days,segment", [
    (100000.0, -39, "Champions"), (100000.0, -38, "Loyal Customers"), (1e9, 0, "Loyal Customers"), (79000.0, 0, "Loyal Customers"),
    (78999.0, 0, "Potential Loyalists"), (19000.0, 0, "Potential Loyalists"), (18999.0, 0, "At Risk"), (50.0, 0, "At Risk"),
    (-41000.0, 0, "At Risk"), (-41001.0, 0, "Lost"), (0.0, 200, "Lost"), (0.0, 99, "Lost"), (0.0, 41, "At Risk"),
    (0.0, -10, "At Risk"), (0.0, -60, "Potential Loyalists"),
])
def test_first_event_score_rule(value, days, segment):
    e = engine()
    before = int(time.time())
    u = e.process_event(ev("x", value, days))
    assert (u.customer_id, u.previous_segment, u.new_segment, u.segment_changed, u.confidence) == (
        "x", None, segment, True, 0.85)
    assert before <= u.timestamp <= int(time.time())
    assert (e.get_segment("x"), e.get_all_segments(), e.segment_distribution()) == (segment, {"x": segment}, {segment: 1})


def test_running_state_relabels_and_reports_changes():
    e = engine()
    updates = [e.process_event(ev("vip", 1000.0)) for _ in range(100)]
    assert updates[-1].new_segment == "Champions"  # (100 + 100 + 100) / 3
    assert (updates[0].new_segment, updates[1].previous_segment, updates[1].segment_changed) == (
        "At Risk", "At Risk", False)
    changed = [u.segment_changed for u in updates]
    assert changed.count(True) == len({u.new_segment for u in updates})
    e.process_event(ev("new", 0.0, 200))
    assert e.get_all_segments() == {"vip": "Champions", "new": "Lost"}
    assert e.segment_distribution() == {"Champions": 1, "Lost": 1}
    assert (e.customer_count(), e.get_segment("nobody")) == (2, None)


def states(e, as_of):
    out = e.customer_states(as_of=as_of)
    assert list(out) == ["customer_id", "recency_days", "frequency", "monetary", "last_event_timestamp", "segment"]
    return {c: row for c, *row in zip(*(list(v) for v in out.values()))}


@pytest.mark.parametrize("days", [[1, 300], [300, 1], [5, 300, 1, 40]])
def test_a_late_event_does_not_make_a_customer_lapsed(days):
    # The latest event is the greatest timestamp, whatever the arrival order.
    e, ordered = engine(), engine()
    for d in days:
        e.process_event(ev("x", 10.0, d))
    for d in sorted(days, reverse=True):
        ordered.process_event(ev("x", 10.0, d))
    now = int(time.time())
    assert states(e, now) == states(ordered, now)
    assert states(e, now)["x"][0] == 1 and e.get_segment("x") == ordered.get_segment("x") == "At Risk"


def test_labels_age_against_an_instant():
    e = engine(min_customers=2)
    e.process_batch([ev("a", 50.0), ev("b", 50.0, 30)])
    now = int(time.time())
    assert e.get_all_segments() == {"a": "At Risk", "b": "At Risk"}  # (100 + 1 + 0.05) / 3 and (70 + 1.05) / 3
    assert e.relabel(now + 400 * DAY) == 2 and e.get_all_segments() == {"a": "Lost", "b": "Lost"}
    assert e.relabel(now + 400 * DAY) == 0
    assert states(e, now + 400 * DAY)["a"][:3] == [400, 1, 50.0]
    # Snapshots count recency to the clock from the latest event, not from a stored label time.
    assert [d.drift_score for d in e.check_drift()] == [0.0, 0.0, 0.0]
    assert e.relabel("1970-01-01T00:00:00Z") == 2 and e.get_segment("a") == "Champions"  # far in the future
    e.process_batch([])  # a re-fit (min_severity none) labels clusters; relabel replaces them
    assert set(e.get_all_segments().values()) <= {"cluster_0", "cluster_1"}
    assert e.relabel() == 2 and e.get_all_segments() == {"a": "At Risk", "b": "At Risk"}


def test_small_buffer_never_drops_events():
    e = engine(batch_size=10, min_customers=10**9)
    sizes = []
    for i in range(1000):
        e.process_event(ev(f"c{i % 50}", 1000.0))
        sizes.append(e.buffer_size())
    assert e.segment_distribution() == {"Potential Loyalists": 50}  # (100 + 20 + 20) / 3 after 20 events each
    assert max(sizes) == 9 and min(sizes) == 0
    e.process_batch([ev("c0")] * 5)
    assert e.buffer_size() == 0  # flushed at the checkpoint


def test_baseline_arms_at_min_customers_and_refits_every_batch():
    e = engine(min_customers=5, n_clusters=2)
    e.process_batch(population(4))
    assert e.check_drift() is None  # no baseline: 4 < 5
    e.process_batch([ev("c4", 4000.0)])  # exactly 5: arms, no check in this batch
    assert e.recluster_history() == []
    drifts = e.check_drift()
    assert [(d.feature_name, d.drift_score, d.severity) for d in drifts] == [
        ("recency", 0.0, "none"), ("frequency", 0.0, "none"), ("monetary", 0.0, "none")]
    for batch in range(1, 4):
        assert len(e.process_batch([])) == 0
        assert len(e.recluster_history()) == batch
    assert set(e.segment_distribution()) == {"cluster_0", "cluster_1"}
    last = e.recluster_history()[-1]
    assert (last.customers_reclustered, last.n_clusters, [d.feature_name for d in last.drifts]) == (
        5, 2, ["recency", "frequency", "monetary"])
    cluster = e.get_segment("c1")
    u = e.process_event(ev("c1", 1000.0))
    assert (u.previous_segment, u.segment_changed) == (cluster, True)


def test_high_threshold_refits_only_on_drift():
    e = engine(min_severity="high", min_customers=20, n_clusters=3)
    e.process_batch(population(20))
    e.process_batch([ev("c0", 1.0)])
    assert e.recluster_history() == []  # one customer moved a little
    e.process_batch([ev(f"c{i}", 1e6, 0) for i in range(20)] * 3)
    event = e.recluster_history()[0]
    assert [d.severity for d in event.drifts][1:] == ["critical", "critical"]
    assert e.check_drift()[1].drift_score == 0.0  # re-armed on the new population
    assert e.maybe_recluster() is None


REFIT_SCRIPT = """
import segmora
now = 1_700_000_000
e = segmora.PyStreamingSegmentationEngine(segmora.PyStreamingConfig(), segmora.PyReclusterConfig("none", 40, 4))
for spread in (1, 3):
    e.process_batch([segmora.PyStreamingEvent(f"c{i}", "purchase", 1000.0 * i * spread, now - i * 86400) for i in range(40)])
print(list(e.get_all_segments().items()))
"""


def test_refit_labels_repeat_across_processes():
    # Each process keys its string hash differently; customers and labels must not depend on it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(segmora.__file__), os.environ.get("PYTHONPATH", "")]))
    runs = [subprocess.run([sys.executable, "-c", REFIT_SCRIPT], capture_output=True, text=True, env=env, check=True).stdout
            for _ in range(2)]
    labels = ast.literal_eval(runs[0])
    assert runs[0] == runs[1] and len({v for _, v in labels}) == 4
    assert [k for k, _ in labels] == [f"c{i}" for i in range(40)]


def test_cluster_count_reduced_to_customers():
    e = engine(min_customers=3, n_clusters=10)
    e.process_batch(population(3))
    e.set_recluster_baseline()
    assert e.maybe_recluster().n_clusters == 3


@pytest.mark.parametrize("n_clusters,min_customers,feed,message", [
    (0, 3, 3, "Invalid configuration: n_clusters must be > 0"),
    (4, 0, 0, "Data validation error: data has no rows"),
])
def test_kmeans_errors_keep_the_batch_applied(n_clusters, min_customers, feed, message):
    e = engine(min_customers=min_customers, n_clusters=n_clusters)
    e.process_batch(population(feed))  # arms
    raises_exactly(RuntimeError, message, e.process_batch, [ev("late", 50.0)] if feed else [])
    assert e.recluster_history() == [] and e.buffer_size() == 0
    assert e.get_segment("late") == ("At Risk" if feed else None)
    raises_exactly(RuntimeError, message, e.maybe_recluster)


class Reentrant:
    """A sequence whose item access calls back into the engine."""

    def __init__(self, engine, items):
        self.engine, self.items = engine, items

    __len__ = lambda self: len(self.items)
    __getitem__ = lambda self, i: (self.engine.customer_count(), self.items[i])[1]


@pytest.mark.parametrize("make_batch,exc,message", [
    (lambda e: [ev("a"), 7, ev("b")], TypeError, "argument 'events': item 1: 'int' object cannot be converted to 'PyStreamingEvent'"),
    (lambda e: "abc", TypeError, "argument 'events': Can't extract `str` to `Vec`"),
    (lambda e: Reentrant(e, [ev("a")]), RuntimeError, "argument 'events': Already mutably borrowed"),
])
def test_bad_batch_changes_nothing(make_batch, exc, message):
    e = engine(min_customers=1)
    e.process_batch([ev("z", 5.0), ev("y", 5.0)])
    e.process_event(ev("z", 5.0))
    state = (e.get_all_segments(), e.buffer_size(), e.check_drift()[1].drift_score)
    raises_exactly(exc, message, e.process_batch, make_batch(e))
    assert (e.get_all_segments(), e.buffer_size(), e.check_drift()[1].drift_score) == state


EVENT_MESSAGE = "Unknown event type '{}'. Expected one of: purchase, engagement, pageview, custom"
Event, StreamingConfig, ReclusterConfig = segmora.PyStreamingEvent, segmora.PyStreamingConfig, segmora.PyReclusterConfig


@pytest.mark.parametrize("make,exc,message", [
    (lambda: Event("c", "click", 1.0, 0), ValueError, EVENT_MESSAGE.format("click")),
    (lambda: Event("c", "PURCHASE ", 1.0, 0), ValueError, EVENT_MESSAGE.format("purchase ")),
    (lambda: Event("c", "custom", "1", 0), TypeError, "argument 'value': must be real number, not str"),
    (lambda: Event("c", "custom", 1.0, 2**63), OverflowError, "argument 'timestamp': out of range for a 64-bit signed integer"),
    *[(lambda v=v: Event("c", "purchase", v, 0), ValueError, f"argument 'value': must be a finite number, got {text}")
      for v, text in [(float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf")]],
    (lambda: Event("c", "purchase", 1.0, 253402300800), ValueError, "argument 'timestamp': must be whole seconds since "
     "the Unix epoch up to 253402300799 (9999-12-31T23:59:59Z), got 253402300800 (milliseconds?)"),
    (lambda: Event("c", "custom", 1.0, 0, {"k": 1}), TypeError, "argument 'metadata': value of 'k': 'int' object cannot be converted to 'str'"),
    (lambda: StreamingConfig(window="hours"), ValueError, "Unknown window 'hours'. Expected one of: minute, hour, day, week"),
    (lambda: StreamingConfig(batch_size=None), TypeError,
     "argument 'batch_size': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: StreamingConfig(batch_size=-1), OverflowError, "argument 'batch_size': can't convert negative int to unsigned"),
    (lambda: ReclusterConfig("Severe"), ValueError,
     "Unknown drift severity 'severe'. Expected one of: none, low, medium, high, critical"),
    (lambda: segmora.PyStreamingSegmentationEngine(ReclusterConfig()), TypeError,
     "argument 'config': 'PyReclusterConfig' object cannot be converted to 'PyStreamingConfig'"),
])
def test_constructor_errors(make, exc, message):
    raises_exactly(exc, message, make)


def test_constructors_accept_any_case_and_a_new_engine_is_empty():
    assert segmora.PyStreamingEvent("c", "purchase", -1e308, 253402300799).timestamp == 253402300799  # the last second
    event = segmora.PyStreamingEvent("c", "Page_View", 2, -5, {"src": "web"})
    assert (event.customer_id, event.value, event.timestamp) == ("c", 2.0, -5)
    segmora.PyReclusterConfig(min_severity="CRITICAL")
    e = segmora.PyStreamingSegmentationEngine(segmora.PyStreamingConfig(window="HOUR", decay_factor=1))
    assert (e.segment_distribution(), e.get_all_segments(), e.customer_count(), e.buffer_size()) == ({}, {}, 0, 0)
    assert (e.check_drift(), e.maybe_recluster(), e.recluster_history()) == (None, None, [])


def cdnow_like_log(seed=7, customers=400):
    """A CDNOW-like purchase log: customers join over 12 weeks, then buy again after gamma-distributed gaps
    for 78 weeks; amounts in quarter dollars (exact sums in any order). Rows in time order."""
    import numpy as np

    rng, start, rows = np.random.default_rng(seed), 852_076_800, []  # 1997-01-01T00:00:00Z
    for c in range(customers):
        t = start + int(rng.integers(0, 84 * DAY))
        while t < start + 546 * DAY:
            rows.append((t, f"{c:05d}", float(rng.integers(20, 400)) / 4))
            t += int(rng.gamma(0.6, 120) * DAY) + int(rng.integers(1, DAY))
    rows.sort()
    return [r[1] for r in rows], [r[0] for r in rows], [r[2] for r in rows], start + 546 * DAY


@pytest.mark.parametrize("shuffled", [False, True])
def test_streamed_log_equals_rfm_from_columns(shuffled):
    import random

    ids, stamps, amounts, as_of = cdnow_like_log()
    order = list(range(len(ids)))
    if shuffled:
        random.Random(3).shuffle(order)
    e = engine(batch_size=500, min_severity="high", min_customers=50, n_clusters=4)
    for start in range(0, len(order), 250):
        e.process_batch([segmora.PyStreamingEvent(ids[i], "purchase", amounts[i], stamps[i]) for i in order[start:start + 250]])
    got = states(e, as_of)
    rfm = segmora.rfm_from_columns(ids, stamps, amounts, as_of=as_of)
    expected = {c: [d, f, m] for c, d, f, m in zip(rfm["customer_id"], rfm["recency_days"], rfm["frequency"], rfm["monetary"])}
    assert {c: row[:3] for c, row in got.items()} == expected
    last = {}
    for c, t in zip(ids, stamps):
        last[c] = max(t, last.get(c, t))
    assert {c: row[3] for c, row in got.items()} == last
    e.relabel(as_of)
    reference = engine(batch_size=500, min_customers=10**9)
    for i in range(len(ids)):
        reference.process_event(segmora.PyStreamingEvent(ids[i], "purchase", amounts[i], stamps[i]))
    reference.relabel(as_of)
    assert e.get_all_segments() == reference.get_all_segments()

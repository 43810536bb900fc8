"""Segment profiling: statistics, description, characteristics, purity and health."""

import math

import numpy as np
import pytest

import segmora

HOMOGENEOUS = {0: [5.0] * 10 + [0.0] * 5}


def profile(members, features, names=None, labels=None, sid=7):
    return segmora.profile_segment(sid, members, features, names, labels)


def figures(p):
    h = p.health
    return [p.purity, h.stability, h.cohesion, h.separation, h.health_score, p.actionability_score]


# ---- reference model (NumPy statistics, features by index) ----


def ref_figures(members, features):
    n = len(members)
    cols = [np.asarray(features[k], dtype=float) for k in sorted(features)]
    vals = [c[[m for m in members if m < len(c)]] for c in cols]
    stats = [(v.mean(), v.std(), v.max() - v.min()) if len(v) else (0.0, 0.0, 0.0) for v in vals]
    cohesion = 1 - min(np.mean([s / m if m > 1e-10 else 0.0 for m, s, _ in stats]) * 0.5, 1) if cols else 0.5
    seps = []
    for c, inside in zip(cols, vals):
        outside = np.delete(c, sorted(set(m for m in members if m < len(c))))
        if len(inside) and len(outside):
            pooled = (inside.std() + outside.std()) / 2
            seps.append(min(abs(inside.mean() - outside.mean()) / pooled, 2) * 0.5 if pooled >= 1e-10 else 0.0)
    separation = float(np.mean(seps)) if seps else 0.0
    fractions = [np.mean(np.abs(v - v.mean()) <= v.std()) for v in vals if len(v)]
    purity = float(np.mean(fractions)) if fractions and n else 0.0
    stability = 1 / (1 + math.exp(-n / 100))
    health = min(max((0.3 * stability + 0.3 * cohesion + 0.4 * separation) * 100, 0), 100)
    spread = sum(s / (r + 1e-10) for _, s, r in stats) / max(len(stats), 1)
    return [purity, stability, cohesion, separation, health, min((min(n, 1000) / 1000 + spread) * 50, 100)]


@pytest.mark.parametrize("seed", range(6))
def test_figures_match_reference_model(seed):
    rng = np.random.default_rng(seed)
    rows = int(rng.integers(5, 300))
    features = {int(k): rng.gamma(2.0, 10.0, size=int(rng.integers(1, rows + 1))) for k in
                rng.choice(9, size=int(rng.integers(1, 5)), replace=False)}
    members = rng.integers(0, rows, size=int(rng.integers(1, rows))).tolist()
    assert figures(profile(members, features)) == pytest.approx(ref_figures(members, features), rel=1e-9, abs=1e-12)


def test_homogeneous_segment():
    p = profile(list(range(10)), HOMOGENEOUS)
    assert p.business_description == "Segment 7 is a small but engaged group (10 members) with mean score of 5.00"
    assert p.key_characteristics == ["Homogeneous segment"]
    assert (p.health.cohesion, p.health.separation, p.purity) == (1.0, 0.0, 1.0)
    assert repr(p) == "ProfiledSegment(id=7, size=10, purity=1.00)"


@pytest.mark.parametrize("features, names, mean, expected", [
    ({0: [1, 1, 1, 10]}, None, "3.25", ["High feature_0 (mean: 3.25)", "Variable feature_0 (std: 3.90)"]),
    ({0: [10, 10, 10, 1]}, ["spend"], "7.75", ["Low spend (mean: 7.75)", "Variable spend (std: 3.90)"]),
    ({0: [10, 10, 10, 4]}, ["spend"], "8.50", ["Homogeneous segment"]),
    ({0: [1, 4, 1, 4]}, ["a", "b"], "2.50", ["Variable a (std: 1.50)"]),
    ({0: [math.nan, 1, 2]}, None, None, ["Homogeneous segment"]),
    # described by index whatever the dict order; names beyond the features present are unused
    ({3: [1, 1, 1, 10], 1: [8, 8, 8, 8], 2: [10, 10, 10, 1]}, ["zero", "one"], "8.00",
     ["Low feature_2 (mean: 7.75)", "Variable feature_2 (std: 3.90)", "High feature_3 (mean: 3.25)",
      "Variable feature_3 (std: 3.90)"]),
])
def test_characteristics(features, names, mean, expected):
    p = profile(list(range(max(map(len, features.values())))), features, names)
    assert p.key_characteristics == expected
    assert mean is None or p.business_description.endswith(f"with mean score of {mean}")


@pytest.mark.parametrize("n, word", [(0, "small but engaged"), (49, "small but engaged"), (50, "moderate-sized"),
                                     (199, "moderate-sized"), (200, "large"), (999, "large"), (1000, "very large")])
def test_size_words(n, word):
    p = profile([10**6] * n, {0: [1.0]})  # members beyond every column count toward size only
    assert p.business_description == f"Segment 7 is a {word} group ({n} members) with mean score of 0.00"
    assert p.size == n


@pytest.mark.parametrize("members, labels, purity", [
    (list(range(10)), [2] * 8 + [5] * 2, 0.8), ([0, 0, 1], [1, 2], 2 / 3), ([0, 1, 9], [3, 4], 0.5),
    ([5, 6], [1], 0.0), ([], [1], 0.0),
])
def test_label_purity(members, labels, purity):
    assert profile(members, HOMOGENEOUS, labels=labels).purity == purity


@pytest.mark.parametrize("members, features, tail, chars, fig", [
    ([], {}, "limited feature data", ["Homogeneous segment"], [0.0, 0.5, 0.5, 0.0, 30.0, 0.0]),
    ([], HOMOGENEOUS, "mean score of 0.00", ["Homogeneous segment"], [0.0, 0.5, 1.0, 0.0, 45.0, 0.0]),
    ([0, 1], {}, "limited feature data", ["Homogeneous segment"], None),
    ([9], {0: []}, "mean score of 0.00", ["Homogeneous segment"], None),
])
def test_degenerate_inputs(members, features, tail, chars, fig):
    p = profile(members, features)
    assert p.business_description.endswith(tail) and p.key_characteristics == chars
    if fig:
        assert figures(p) == pytest.approx(fig)


def test_numpy_columns_and_bit_identical_repeats():
    rng = np.random.default_rng(1)
    features = {k: rng.normal(50, 10, 500) for k in range(4)}
    a = profile(list(range(0, 500, 3)), features, labels=rng.integers(0, 3, 500).tolist())
    b = profile(list(range(0, 500, 3)), {k: v.tolist() for k, v in features.items()},
                labels=rng.integers(0, 3, 500).tolist())
    assert figures(a)[1:] == figures(b)[1:] and a.key_characteristics == b.key_characteristics


@pytest.mark.parametrize("args, exc", [
    ((-1, [], {}), OverflowError), ((0, [-1], {}), OverflowError), ((0, [], [[1.0]]), TypeError),
    ((0, [], {0: "abc"}), TypeError), ((0, [], {-1: [1.0]}), OverflowError), ((0, [], {"a": [1.0]}), TypeError),
    ((0, [], {}, "ab"), TypeError), ((0, [], {}, None, [-2]), OverflowError),
])
def test_argument_errors(args, exc):
    with pytest.raises(exc):
        segmora.profile_segment(*args)

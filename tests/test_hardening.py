"""Availability and soundness under hostile input: fixed points, worker bounds,
unaligned buffers, exceptions from callers' code, immutable types, Ctrl-C."""
import errno
import os
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import segmora
from chacha_model import kmeans_plus_plus, sqdist


def bits(x):
    return struct.pack("<d", x)

# Generous: a call that hangs or ignores Ctrl-C runs for minutes instead.
HANG_TIMEOUT = 120


def run_child(code, *, interrupt=False):
    """Runs `code` in a fresh interpreter; with `interrupt`, sends SIGINT a moment
    after the child prints 'ready'. Returns the child's stdout."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        if interrupt:
            assert proc.stdout.readline() == "ready\n"
            import time
            time.sleep(1.0)  # well inside the call by now
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=HANG_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the call did not return")
    assert proc.returncode == 0, err
    return out


# ---- k-means that reaches a fixed point with a refilled cluster ----


def test_fixed_point_with_an_empty_cluster_returns_at_once():
    out = run_child("""
        import segmora
        r = segmora.kmeans_py([[1.0]] * 3, 3, max_iter=2**64 - 1)
        print(r.n_iter == 2**64 - 1, r.labels, r.centers, r.inertia)
    """)
    assert out == "True [0, 0, 0] [[1.0], [1.0], [1.0]] 0.0\n"


def lloyd_model(rows, k, seed, max_iter):
    """Every pass run in plain Python; a repeated (labels, centers) state after
    passes that all changed something repeats for ever, which the model uses to
    answer for a huge max_iter."""
    centers, labels, t = kmeans_plus_plus(rows, k, seed), [0] * len(rows), 0
    seen, history = {}, []
    while t < max_iter:
        new = [min(range(k), key=lambda c: (sqdist(r, centers[c]), c)) for r in rows]
        means, refill = [], None
        for c in range(k):
            members = [r for r, l in zip(rows, new) if l == c]
            if members:
                sums = [0.0] * len(rows[0])
                for r in members:
                    sums = [s + x for s, x in zip(sums, r)]
                means.append([s / len(members) for s in sums])
            else:
                if refill is None:  # farthest from the old center of its new label, ties to the last row
                    far = [sqdist(r, centers[l]) for r, l in zip(rows, new)]
                    refill = max(range(len(rows)), key=lambda i: (far[i], i))
                means.append(list(rows[refill]))
        changed = new != labels or refill is not None
        labels, centers, t = new, means, t + 1
        if not changed:
            break
        state = repr((labels, [[bits(v) for v in c] for c in centers]))
        if state in seen:
            start = seen[state]
            labels, centers = history[start - 1 + (max_iter - start) % (t - start)]
            t = max_iter
            break
        seen[state] = t
        history.append((labels, centers))
    inertia = 0.0
    for r, l in zip(rows, labels):
        inertia += sqdist(r, centers[l])
    return labels, centers, inertia, t


def few_distinct(values, n=48):
    return [list(values[i % len(values)]) for i in range(n)]


@pytest.mark.parametrize("rows, k, seed", [
    (few_distinct([[0.1, 0.7], [0.3, 0.2], [0.9, 0.4], [0.6, 0.6]]), 8, 42),   # the centers cycle (period 6)
    (few_distinct([[1.0, 2.0], [3.0, 0.0], [5.0, 5.0]]), 5, 7),                # exact means: a fixed point
    (few_distinct([[0.3, 0.1], [0.7, 0.9]], 37), 6, 3),
    ([[float(i % 5), float(i % 3)] for i in range(40)], 6, 1),                 # converges
])
@pytest.mark.parametrize("max_iter", [1, 3, 20, 301, 10**6 + 1, 2**64 - 1])
def test_runs_that_never_converge_skip_the_repeated_passes(rows, k, seed, max_iter):
    r = segmora.kmeans_py(rows, k, max_iter=max_iter, random_state=seed)
    labels, centers, inertia, n_iter = lloyd_model(rows, k, seed, max_iter)
    assert (r.labels, r.n_iter) == (labels, n_iter)
    assert [[bits(v) for v in c] for c in r.centers] == [[bits(v) for v in c] for c in centers]
    assert bits(r.inertia) == bits(inertia)


# ---- worker bound ----


@pytest.mark.parametrize("n_jobs", [1025, 2**31 - 1])
@pytest.mark.parametrize("call", [
    lambda n: segmora.kmeans_py([[1.0], [2.0]], 1, n_jobs=n),
    lambda n: segmora.PyAudienceSegmenter(1, n_jobs=n).fit([[1.0]]),
    lambda n: segmora.calculate_rfm_py([("c", "2024-01-01T00:00:00Z", 1.0)], segmora.PyRFMConfig(), n_jobs=n),
])
def test_n_jobs_above_the_bound_is_refused(call, n_jobs):
    with pytest.raises(RuntimeError) as e:
        call(n_jobs)
    assert str(e.value) == (f"Clustering error: failed to build rayon thread pool for n_jobs={n_jobs}: "
                            "n_jobs must not exceed 1024 worker threads")


def test_n_jobs_at_the_bound_gives_the_same_result():
    data = [[float(i % 7), float(i % 3)] for i in range(50)]
    r = segmora.kmeans_py(data, 3, n_jobs=1024)
    assert (r.labels, r.centers) == (segmora.kmeans_py(data, 3, n_jobs=1).labels, segmora.kmeans_py(data, 3).centers)


# ---- buffers not aligned for double ----


def unaligned(values, shape):
    raw = bytearray(8 * values.size + 1)
    out = np.frombuffer(raw, dtype="f8", offset=1, count=values.size).reshape(shape)
    out[...] = values.reshape(shape)
    return out


@pytest.mark.parametrize("call", [
    lambda m: segmora.kmeans_py(m, 2).centers,
    lambda m: segmora.silhouette_score(m, [0, 1, 0, 1]),
    lambda m: segmora.assess_cluster_quality(m, [0, 1, 0, 1], m).inertia,
])
def test_unaligned_buffers_read_like_aligned_ones(call):
    values = np.array([[0.5, 1.0], [7.0, 8.0], [0.25, 1.5], [9.0, 7.5]])
    m = unaligned(values, (4, 2))
    assert m.ctypes.data % 8 != 0
    assert call(m) == call(values)


# ---- exceptions raised by the caller's own code ----


class Counted(Exception):
    inits = 0

    def __init__(self, *args):
        Counted.inits += 1
        super().__init__(*args)


def raise_oserror():
    raise OSError(errno.ENOENT, "No such file", "x.txt")


def raise_counted():
    raise Counted("mine")


def raise_key_error():
    raise KeyError("k")


class Raising:
    def __init__(self, raiser):
        self.raiser = raiser

    def __float__(self):
        self.raiser()

    __index__ = __float__

    def __len__(self):
        self.raiser()

    def __getitem__(self, i):
        return 1.0


@pytest.mark.parametrize("raiser, rebuilt", [(raise_oserror, True), (raise_key_error, True), (raise_counted, False)])
@pytest.mark.parametrize("call, arg", [
    (lambda x: segmora.kmeans_py([[x]], 1), "data"),
    (lambda x: segmora.kmeans_py([[1.0]], x), "n_clusters"),
    (lambda x: segmora.silhouette_score(x, []), "data"),
])
def test_callers_exception_is_kept(raiser, rebuilt, call, arg):
    Counted.inits = 0
    with pytest.raises(Exception) as e:
        call(Raising(raiser))
    original = e.value.__cause__ if rebuilt else e.value
    assert type(e.value) is type(original) and original.__traceback__ is not None
    if rebuilt:
        assert e.value.args == (f"argument '{arg}': {original}",)
    if isinstance(original, OSError):
        assert (original.errno, original.filename) == (errno.ENOENT, "x.txt")
    assert Counted.inits == (0 if rebuilt else 1)


def test_unencodable_text_passes_through_unchanged():
    with pytest.raises(UnicodeEncodeError) as e:
        segmora.calculate_rfm_py([("\ud800", "2024-01-01T00:00:00Z", 1.0)], segmora.PyRFMConfig())
    assert e.value.__cause__ is None


# ---- immutable types ----


@pytest.mark.parametrize("name", [n for n in vars(segmora) if isinstance(getattr(segmora, n), type)])
def test_types_cannot_be_changed(name):
    cls = getattr(segmora, name)
    for attr in ("fit", "__repr__", "anything"):
        with pytest.raises(TypeError):
            setattr(cls, attr, None)


# ---- Ctrl-C ----

INTERRUPTIBLE = {
    "kmeans_pool": """
        data = np.random.default_rng(0).random((400_000, 8))
        call = lambda: segmora.kmeans_py(data, 256, max_iter=10**9, n_jobs=2)
    """,
    "segmenter_fit": """
        data = np.random.default_rng(0).random((400_000, 8))
        seg = segmora.PyAudienceSegmenter(256, n_jobs=1)
        seg.fit(data[:300])
        before = seg.predict(data[:300])
        call = lambda: seg.fit(data)
        check = lambda: seg.predict(data[:300]) == before
    """,
    "silhouette": """
        data = np.random.default_rng(0).random((200_000, 2))
        call = lambda: segmora.silhouette_score(data, [i % 10 for i in range(len(data))])
    """,
    "estimate_k": """
        data = np.random.default_rng(0).random((30_000, 4))
        call = lambda: segmora.estimate_k_silhouette(data, (2, 40))
    """,
}


@pytest.mark.parametrize("case", list(INTERRUPTIBLE))
def test_ctrl_c_stops_a_long_call(case):
    out = run_child("""
        import numpy as np, segmora
        check = lambda: True
    """ + INTERRUPTIBLE[case] + """
        print("ready", flush=True)
        try:
            call()
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", check())
    """, interrupt=True)
    assert out == "interrupted True\n"

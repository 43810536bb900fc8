"""Availability and soundness under hostile input: fixed points, worker bounds,
unaligned buffers, exceptions from callers' code, immutable types, Ctrl-C."""
import errno
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import segmora

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


@pytest.mark.parametrize("max_iter", [1, 2, 3, 50, 10**6, 2**64 - 1])
def test_fixed_point_result_is_the_full_run(max_iter):
    # 4 distinct rows, k = 8: every pass refills clusters and counts as a change.
    data = [[float(i % 4), float(i % 4) * 2] for i in range(40)]
    reference = segmora.kmeans_py(data, 8, max_iter=50, random_state=3)
    r = segmora.kmeans_py(data, 8, max_iter=max_iter, random_state=3)
    assert r.n_iter == max_iter
    if max_iter >= 3:
        assert (r.labels, r.centers, r.inertia) == (reference.labels, reference.centers, reference.inertia)


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

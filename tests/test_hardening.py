"""Hostile inputs: k-means that never converges, worker bounds, unaligned
buffers, exceptions from the caller's objects, immutable types, Ctrl-C."""
import errno
import signal
import subprocess
import sys
import time

import numpy as np
import pyarrow as pa
import pytest

import segmora
from test_clustering import fit_bits


def run_child(code, interrupt=False, timeout=120):
    """Stdout of `code` in a fresh interpreter (SIGINT one second after it prints
    'ready' when asked); a call that hangs or ignores Ctrl-C hits the timeout."""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        if interrupt:
            assert proc.stdout.readline() == "ready\n"
            time.sleep(1.0)
            proc.send_signal(signal.SIGINT)
        return proc.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        proc.kill()
        pytest.fail("the call did not return")


def test_fixed_point_with_a_refilled_cluster_returns_at_once():
    code = "import segmora; r = segmora.kmeans_py([[1.0]] * 3, 3, max_iter=2**64 - 1); print(r.n_iter, r.centers)"
    assert run_child(code) == f"{2**64 - 1} [[1.0], [1.0], [1.0]]\n"


def few(values, n=48):
    return [values[i % len(values)] for i in range(n)]


# A pass is run for real while max_iter is below the point where a cycle is
# confirmed; adding whole multiples of every period (60) must not change anything.
@pytest.mark.parametrize("rows, k, seed", [
    (few([[0.1, 0.7], [0.3, 0.2], [0.9, 0.4], [0.6, 0.6]]), 8, 42),  # centers cycle with period 6
    (few([[1.0, 2.0], [3.0, 0.0], [5.0, 5.0]]), 5, 7),               # exact means: a fixed point
    (few([[0.3, 0.1], [0.7, 0.9]], 37), 6, 3),
    ([[float(i % 5), float(i % 3)] for i in range(40)], 6, 1)])      # converges
@pytest.mark.parametrize("max_iter", [4, 5, 9, 13])
def test_skipped_passes_give_the_full_result(rows, k, seed, max_iter):
    ref = segmora.kmeans_py(rows, k, max_iter=max_iter, random_state=seed)
    for more in (60, 60 * 10**15, (2**64 - 1 - max_iter) // 60 * 60):
        r = segmora.kmeans_py(rows, k, max_iter=max_iter + more, random_state=seed)
        assert fit_bits(r) == fit_bits(ref)
        assert r.n_iter == (ref.n_iter if ref.n_iter < max_iter else max_iter + more)


@pytest.mark.parametrize("n_jobs", [1025, 2**31 - 1])
@pytest.mark.parametrize("call", [
    lambda n: segmora.kmeans_py([[1.0], [2.0]], 1, n_jobs=n),
    lambda n: segmora.PyAudienceSegmenter(1, n_jobs=n).fit([[1.0]]),
    lambda n: segmora.calculate_rfm_py([("c", "2024-01-01T00:00:00Z", 1.0)], segmora.PyRFMConfig(), n_jobs=n),
    lambda n: segmora.kprototypes_py([[1.0], [2.0]], [[0], [1]], 1, n_jobs=n),
    lambda n: segmora.rfm_from_columns(["c"], np.array(["2024-01-01"], dtype="datetime64[s]"), [1.0], n_jobs=n)])
def test_n_jobs_above_the_bound_is_refused(call, n_jobs):
    with pytest.raises(RuntimeError) as e:
        call(n_jobs)
    assert str(e.value) == (f"Clustering error: failed to build rayon thread pool for n_jobs={n_jobs}: "
                            "n_jobs must not exceed 1024 worker threads")


def unaligned(a):
    """A copy of `a` whose buffer starts one byte off its alignment."""
    u = np.frombuffer(bytearray(a.nbytes + 1), dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    u[...] = a
    return u


def arrow(a):
    """An Arrow array over `a`'s own buffer (no copy: its alignment is kept)."""
    return pa.Array.from_buffers(pa.from_numpy_dtype(a.dtype), len(a), [None, pa.py_buffer(a)])


STAMPS = np.array(["2024-01-01T10", "2024-03-05T00", "2024-02-01T07"], dtype="datetime64[h]")
VALUES = np.array([[0.5, 1.0], [7.0, 8.0], [0.25, 1.5], [9.0, 7.5]])


@pytest.mark.parametrize("call, arrays", [
    (lambda m: segmora.kmeans_py(m, 2, n_jobs=1024).centers, (VALUES,)),
    (lambda m: segmora.assess_cluster_quality(m, [0, 1, 0, 1], m).overall_score, (VALUES,)),
    (lambda x, c: segmora.kprototypes_py(x, c, 2).labels, (np.array([[0.5], [7.0], [0.25]]), np.array([[3], [9], [3]]))),
    (lambda ids, ts, amounts: segmora.rfm_from_columns(ids, ts, amounts, as_of=np.datetime64("2024-06-01")),
     (np.array([7, 8, 7]), STAMPS, np.array([1.5, 2.0, 4.0]))),
    (lambda ids, ts: segmora.rfm_from_columns(ids, ts, [1.0, 2.0, 3.0], as_of=np.datetime64("2024-06-01")),
     (np.array([2**40, 5, 5], dtype="<u8"), STAMPS.astype("datetime64[ns]"))),
    (lambda *columns: segmora.rfm_from_columns(*map(arrow, columns), as_of=np.datetime64("2024-06-01")),
     (np.array([7, 8, 7]), STAMPS.astype("datetime64[s]"), np.array([1.5, 2.0, 4.0]))),
], ids=["kmeans", "quality", "kprototypes", "rfm-int-ids", "rfm-ns", "rfm-arrow"])
def test_unaligned_buffers_read_like_aligned_ones(call, arrays):
    def plain(result):
        return {k: list(v) for k, v in result.items()} if isinstance(result, dict) else result

    assert plain(call(*map(unaligned, arrays))) == plain(call(*arrays))


class Counted(Exception):
    inits = 0

    def __init__(self, *args):
        Counted.inits += 1
        super().__init__(*args)


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc()

    __index__ = __len__ = __float__

    def __getitem__(self, i):
        return 1.0


class Getter:
    """A sequence whose items raise (a DataFrame indexed by row number does)."""

    def __init__(self, raising):
        self.raising = raising

    def __len__(self):
        return 1

    def __getitem__(self, i):
        float(self.raising)


@pytest.mark.parametrize("exc, rebuilt", [
    (lambda: OSError(errno.ENOENT, "No such file", "x.txt"), True), (lambda: KeyError("k"), True),
    (lambda: Counted("mine"), False), (lambda: UnicodeEncodeError("utf-8", "x", 0, 1, "bad"), False)])
@pytest.mark.parametrize("call, arg", [
    (lambda x: segmora.kmeans_py([[x]], 1), "data"), (lambda x: segmora.kmeans_py([[1.0]], x), "n_clusters"),
    (lambda x: segmora.silhouette_score(x, []), "data"), (lambda x: segmora.kmeans_py(Getter(x), 1), "data")])
def test_callers_exception_is_kept(exc, rebuilt, call, arg):
    Counted.inits = 0
    with pytest.raises(Exception) as e:
        call(Raising(exc))
    original = e.value.__cause__ if rebuilt else e.value
    assert Counted.inits == isinstance(original, Counted)  # built once, never again
    assert type(e.value) is type(original) is type(exc()) and original.__traceback__ is not None
    assert e.value.args == ((f"argument '{arg}': {original}",) if rebuilt else original.args)
    assert getattr(original, "filename", "x.txt") == "x.txt"


@pytest.mark.parametrize("name", [n for n, v in vars(segmora).items() if isinstance(v, type) and n.startswith("Py")])
def test_types_cannot_be_changed(name):
    for attr in ("fit", "__repr__", "anything"):
        with pytest.raises(TypeError):
            setattr(getattr(segmora, name), attr, None)


@pytest.mark.parametrize("setup, call", [
    ("x = rand((400_000, 8))", "segmora.kmeans_py(x, 256, max_iter=10**9, n_jobs=2)"),
    ("import threading\ndef spin():\n    while True: pass\nthreading.Thread(target=spin, daemon=True).start()\n"
     "x = rand((400_000, 8))", "segmora.kmeans_py(x, 256, max_iter=10**9, n_jobs=1)"),  # the lock is busy elsewhere
    ("x = rand((200_000, 2))", "segmora.silhouette_score(x, [i % 9 for i in range(len(x))])"),
    ("x = rand((30_000, 4))", "segmora.estimate_k_silhouette(x, (2, 40))"),
    ("x = rand((400_000, 8)); s = segmora.PyAudienceSegmenter(256, n_jobs=1); s.fit(x[:300]); before = s.predict(x)",
     "s.fit(x)"),
    ("x = rand((400_000, 8)); c = (x[:, :2] * 5).astype(np.int64)", "segmora.kprototypes_py(x, c, 256, max_iter=10**9, n_jobs=2)"),
    ("big = rand((2_000_000, 8)); x = big[:2000]; s = segmora.PyMiniBatchKMeans(1024); s.partial_fit(x); before = s.predict(x)",
     "s.partial_fit(big)")])
def test_ctrl_c_stops_a_long_call_and_keeps_state(setup, call):
    code = (f"import numpy as np, segmora\nrand = np.random.default_rng(0).random\n{setup}\nprint('ready', flush=True)\n"
            f"try:\n    {call}\nexcept KeyboardInterrupt:\n    print('interrupted', 's' not in dir() or s.predict(x) == before)")
    assert run_child(code, interrupt=True) == "interrupted True\n"


def test_ctrl_c_in_a_streaming_refit_keeps_the_events_and_drops_the_refit():
    code = ("import segmora as sg\ne = sg.PyStreamingSegmentationEngine(sg.PyStreamingConfig(batch_size=10**9),"
            " sg.PyReclusterConfig('low', 10, 1024))\n"
            "e.process_batch([sg.PyStreamingEvent(f'c{i}', 'purchase', float(i % 7), 0) for i in range(200_000)])\n"
            "batch = [sg.PyStreamingEvent(f'c{i}', 'purchase', i * 7919 % 100003, i * 86400 % 10**8) for i in range(200_000)]\n"
            "print('ready', flush=True)\ntry:\n    e.process_batch(batch)\nexcept KeyboardInterrupt:\n"
            "    print('interrupted', e.recluster_history(), e.buffer_size(), e.customer_count(), e.segment_distribution())")
    assert run_child(code, interrupt=True) == "interrupted [] 0 200000 {'Lost': 115993, 'At Risk': 84007}\n"  # events kept

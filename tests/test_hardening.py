"""Hostile inputs: k-means that never converges, worker bounds, unaligned
buffers, exceptions from the caller's objects, immutable types, Ctrl-C."""
import errno
import pathlib
import struct
import signal
import subprocess
import sys
import time

import numpy as np
import pyarrow as pa
import pytest

import segmora
from arrow_producer import Producer
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


@pytest.fixture(scope="module")
def colliding_names(tmp_path_factory):
    """100,000 distinct names with one libstdc++ std::hash, from the benchmark's generator."""
    exe = tmp_path_factory.mktemp("collide") / "colliding_ids"
    subprocess.check_call(["g++", "-O2", "-o", str(exe), str(pathlib.Path(__file__).parent.parent / "bench" / "colliding_ids.cpp")])
    path = exe.with_suffix(".txt")
    path.write_text(subprocess.check_output([str(exe), "100000"], text=True))
    return path


def test_records_with_fields_colliding_under_the_standard_hash_take_linear_time(colliding_names):
    # An unkeyed table of every field took about 50 s here (31 s for 80,000).
    code = (f"import segmora as sg\nd = dict.fromkeys(open({str(colliding_names)!r}).read().split(), 1.0)\nd['spent'] = 5.0\n"
            "seg = sg.PyBehavioralSegment('big', '', [sg.PyBehavioralRule('r', '', [sg.PyCondition('spent', '>', 1.0)])])\n"
            "s = sg.PyBehavioralSegmenter([seg])\nprint(len(d), s.classify(d), s.classify_primary(d), seg.matches(d))")
    assert run_child(code, timeout=30) == "100001 ['big'] big True\n"


def i64(*v):
    return struct.pack(f"<{len(v)}q", *v)


def i32(*v):
    return struct.pack(f"<{len(v)}i", *v)


def view(length, data=b"", buffer=0, offset=0):
    """One 16-byte string view: inline up to 12 bytes, else prefix, buffer index and offset."""
    return struct.pack("<i12s", length, data) if length <= 12 else struct.pack("<i4sii", length, data[:4], buffer, offset)


def column(*v):
    return Producer("g", len(v), [None, struct.pack(f"<{len(v)}d", *v)])


LETTERS = b"abcdefghijklmnopqrstuvwxyz"
STRINGS = [None, i32(0, 1, 3, 4), b"abcd"]
VIEWS = [None, view(2, b"ab") + view(20, LETTERS) + view(1, b"a"), LETTERS, i64(26)]


def rfm_ids(ids):
    stamps = np.array(["2024-01-01", "2024-01-02", "2024-01-03"], dtype="datetime64[s]")
    return segmora.rfm_from_columns(ids, stamps, [1.0, 2.0, 3.0], as_of="2024-02-01T00:00:00Z")["customer_id"]


def matrix_centers(data):
    return segmora.kmeans_py(data, 1).centers


# entry point, hand-built producer -> the rule named (None: well formed, read as pyarrow would)
@pytest.mark.parametrize("read, producer, rule", [
    (rfm_ids, Producer("l", 3, [None, i64(7, 8, 7)]), None),
    (rfm_ids, Producer("u", 3, STRINGS), None),
    (rfm_ids, Producer("vu", 3, VIEWS), None),
    (matrix_centers, Producer("+s", 3, [None], children=[column(1, 2, 3), column(4, 5, 6)]), None),
    (rfm_ids, Producer("l", 3, [None, i64(7, 8, 7)], n_buffers=1), "format 'l' needs 2 buffers, got 1"),
    (rfm_ids, Producer("l", 3, [None, None]), "the data buffer is null"),
    (rfm_ids, Producer("l", -1, [None, i64(7, 8, 7)]), "length -1 is negative"),
    (rfm_ids, Producer("l", 3, [None, i64(7, 8, 7)], offset=-2), "offset -2 is negative"),
    (rfm_ids, Producer("l", 3, [None, i64(7, 8, 7)], null_count=1), "1 nulls but no validity buffer"),
    (rfm_ids, Producer("u", 3, [None, i32(0, 3, 1, 4), b"abcd"]), "offset 2 (1) is below the one before it (3)"),
    (rfm_ids, Producer("u", 3, [None, i32(-4, 1, 3, 4), b"abcd"]), "the first offset -4 is negative"),
    (rfm_ids, Producer("u", 3, STRINGS[:2] + [None]), "the data buffer is null"),
    (rfm_ids, Producer("u", 3, STRINGS, children=[column(1, 2, 3)]), "format 'u' needs 0 children, the array has 1 and the schema 1"),
    (rfm_ids, Producer("vu", 3, [None, view(20, LETTERS, 0, 10) * 3, LETTERS, i64(26)]), "view 0 ends at 30, past the 26 bytes of buffer 0"),
    (rfm_ids, Producer("vu", 3, [None, view(20, LETTERS, 3) * 3, LETTERS, i64(26)]), "view 0 names buffer 3 of 1"),
    (rfm_ids, Producer("vu", 3, [None, view(-2, b"ab") * 3, LETTERS, i64(26)]), "view 0 has a negative length -2"),
    (matrix_centers, Producer("+s", 3, [None], children=[column(1, 2, 3), column(4, 5)]),
     "child 1 has 2 rows, fewer than offset plus length 3"),
    (matrix_centers, Producer("+s", 3, [None], children=[column(1, 2, 3), Producer("g", 3, [None, None])]),
     "the data buffer is null"),
    (matrix_centers, Producer("+s", 3, [None], children=[column(1, 2, 3)], schema_children=[column(1), column(2)]),
     "format '+s' needs 2 children, the array has 1 and the schema 2"),
])
@pytest.mark.parametrize("stream", [False, True], ids=["array", "stream"])
def test_malformed_arrow_arrays_are_refused_before_they_are_read(read, producer, rule, stream):
    producer.stream = stream
    arg = "customer_ids" if read is rfm_ids else "data"
    if rule is None:
        assert read(producer) == ([7, 8] if producer.schema.format == b"l" else
                                  ["d", "bc", "a"] if producer.schema.format == b"u" else
                                  ["a", "abcdefghijklmnopqrst", "ab"] if producer.schema.format == b"vu" else [[2.0, 5.0]])
        return
    with pytest.raises(ValueError) as err:  # a release callback that runs Python leaves the error as it was
        read(producer)
    assert type(err.value) is ValueError and str(err.value) == f"{arg}: malformed Arrow array: {rule}"
    assert producer.released == (["batch"] if stream else [])

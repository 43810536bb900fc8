"""k-means: segmora vs scikit-learn (Lloyd, k-means++ init, tol=0), 2 threads each.

Per-iteration cost is the marginal time (t[max_iter=20] - t[max_iter=1]) / (n20 - n1);
end-to-end runs max_iter=100 from the raw input. Also times the conversion of a
1,000,000 x 8 list of float lists against np.asarray.

    python bench/bench_kmeans.py [--quick]
"""
import argparse
import gc
import os
import platform
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "2")
import numpy as np  # noqa: E402
import sklearn  # noqa: E402
from sklearn.cluster import KMeans  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

import segmora  # noqa: E402

THREADS = 2


def timed(fn, repeat=3):
    best = float("inf")
    out = None
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def data(n, d, seed=0):
    # Uniform noise keeps Lloyd busy for the full 20 iterations.
    return np.random.default_rng(seed).uniform(size=(n, d))


def ours(x, k, max_iter):
    r = segmora.kmeans_py(x, k, max_iter=max_iter, random_state=0, n_jobs=THREADS)
    return r.n_iter


def theirs(x, k, max_iter):
    with threadpool_limits(THREADS):
        m = KMeans(k, init="k-means++", n_init=1, algorithm="lloyd", tol=0, max_iter=max_iter, random_state=0).fit(x)
    return m.n_iter_


def per_iter(fn, x, k, repeat):
    t1, n1 = timed(lambda: fn(x, k, 1), repeat)
    t20, n20 = timed(lambda: fn(x, k, 20), repeat)
    return (t20 - t1) / max(n20 - n1, 1), n20


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="one repetition, smaller end-to-end runs")
    args = ap.parse_args()
    repeat = 1 if args.quick else 7
    print(f"# machine: {platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}, scikit-learn {sklearn.__version__}, {THREADS} threads each")
    print("| N x d x k | input | segmora s/iter | sklearn s/iter | ratio | segmora end-to-end s | sklearn end-to-end s | ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for n, d, k in [(1_000_000, 8, 8), (100_000, 32, 16), (200_000, 3, 4)]:
        x = data(n, d)
        rows = x.tolist()
        for label, inp in (("numpy", x), ("list", rows)):
            o_it, _ = per_iter(ours, inp, k, repeat)
            s_it, _ = per_iter(lambda a, kk, m: theirs(np.asarray(a, dtype=np.float64), kk, m), inp, k, repeat)
            o_e2e, o_n = timed(lambda: ours(inp, k, 100), 1)
            s_e2e, s_n = timed(lambda: theirs(np.asarray(inp, dtype=np.float64), k, 100), 1)
            print(f"| {n:,} x {d} x {k} | {label} | {o_it:.4f} | {s_it:.4f} | {s_it / o_it:.1f}x "
                  f"| {o_e2e:.3f} ({o_n} it) | {s_e2e:.3f} ({s_n} it) | {s_e2e / o_e2e:.1f}x |")
            sys.stdout.flush()
        del rows

    rows = data(1_000_000, 8, seed=1).tolist()
    seg = segmora.PyAudienceSegmenter(0)

    def convert_ours():
        try:
            seg.fit(rows)  # converts, then stops at "n_clusters must be > 0"
        except RuntimeError:
            pass

    t_ours, _ = timed(convert_ours, 5)
    t_np, _ = timed(lambda: np.asarray(rows, dtype=np.float64), 5)
    print()
    print("| conversion of a 1,000,000 x 8 list | segmora s | np.asarray s | segmora / numpy |")
    print("|---|---|---|---|")
    print(f"| list of float lists | {t_ours:.3f} | {t_np:.3f} | {t_ours / t_np:.2f} |")


if __name__ == "__main__":
    main()

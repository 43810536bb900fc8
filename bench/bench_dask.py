"""Distributed k-means on a Dask LocalCluster (2 process workers, 1 thread each)
vs single-process kmeans_py (2 threads) on the same rows, and dask_ml's KMeans
when it is installed.

Rows are uniform noise generated per partition on the workers (never on the
driver); kmeans_py gets the same rows gathered into one array. Per-iteration
cost is the marginal time (t[max_iter=6] - t[max_iter=1]) / 5 with the same
seeds; peak memory is each worker process's maximum resident set.

    pip install '.[dask]' && python bench/bench_dask.py [--quick] [--rows N]
"""
import argparse
import os
import platform
import resource
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster, wait  # noqa: E402

import segmora  # noqa: E402
import segmora_dask as sd  # noqa: E402

FEATURES, CLUSTERS, LONG, SHORT = 8, 8, 6, 1


def block(i, rows):
    return np.random.default_rng(1000 + i).uniform(size=(rows, FEATURES))


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def marginal(fit):
    """Seconds per Lloyd iteration: the difference of a long and a short run, after a warm-up run."""
    fit(SHORT)
    t = time.perf_counter()
    short = fit(SHORT)
    t_short = time.perf_counter() - t
    t = time.perf_counter()
    long_ = fit(LONG)
    t_long = time.perf_counter() - t
    return (t_long - t_short) / (long_ - short), t_long


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--partitions", type=int, default=8)
    args = parser.parse_args()
    n = args.rows or (1_000_000 if args.quick else 10_000_000)
    per = n // args.partitions
    n = per * args.partitions
    print(f"# {n:,} x {FEATURES} rows, k = {CLUSTERS}, {args.partitions} partitions; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}, dask {dask.__version__}")

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      memory_limit=0) as cluster, Client(cluster) as client:
        parts = [da.from_delayed(dask.delayed(block)(i, per), shape=(per, FEATURES), dtype=np.float64)
                 for i in range(args.partitions)]
        x = da.concatenate(parts).persist()
        wait(x)
        seconds_ours, total_ours = marginal(
            lambda it: sd.fit_kmeans_dask(client, x, CLUSTERS, max_iter=it, random_state=0,
                                          sample_fraction=0.01).n_iter)
        worker_mb = client.run(peak_rss_mb)
        rows = [("segmora_dask, 2 process workers", seconds_ours, total_ours)]
        try:
            from dask_ml.cluster import KMeans as DaskMLKMeans
        except ImportError:
            DaskMLKMeans = None
        if DaskMLKMeans is not None:
            # Started from k-means++ seeds of a 1% sample, so its k-means|| initialisation
            # does not blur the per-iteration figure.
            sample = np.ascontiguousarray(x[:: 100].compute())
            seeds = np.array(segmora.kmeans_py(sample, CLUSTERS, max_iter=0, random_state=0).centers)
            seconds_ml, total_ml = marginal(
                lambda it: DaskMLKMeans(n_clusters=CLUSTERS, init=seeds, max_iter=it, tol=0.0,
                                        random_state=0).fit(x).n_iter_)
            rows.append(("dask_ml.cluster.KMeans, same cluster", seconds_ml, total_ml))
        local = np.ascontiguousarray(x.compute())

    seconds_local, total_local = marginal(
        lambda it: segmora.kmeans_py(local, CLUSTERS, max_iter=it, random_state=0, n_jobs=2).n_iter)
    rows.insert(0, ("kmeans_py, one process, 2 threads", seconds_local, total_local))

    print(f"| implementation | per iteration | {LONG} iterations incl. start | vs kmeans_py |")
    print("|---|---:|---:|---:|")
    for name, per_it, total in rows:
        print(f"| {name} | {per_it * 1e3:.0f} ms | {total:.2f} s | {per_it / seconds_local:.1f}x |")
    print("peak resident memory per worker: " + ", ".join(f"{mb:.0f} MB" for mb in worker_mb.values())
          + f"; data {n * FEATURES * 8 / 2**20:.0f} MB in total")


if __name__ == "__main__":
    main()

"""Distributed k-means on a Dask LocalCluster (2 process workers, 1 thread each)
vs single-process kmeans_py (2 threads) on the same rows, and dask_ml's KMeans
on the same cluster when it is installed; then k-means|| seeding against
k-means++ on the same rows.

Rows are uniform noise generated per partition on the workers (never on the
driver); kmeans_py gets the same rows gathered into one array. Per-iteration
cost is the marginal time (t[max_iter=11] - t[max_iter=1]) / 10 from the same
seeds, segmora and dask-ml alternating, best of --repeats for each. Bytes per iteration
are the pickled payloads of one Lloyd step: the centers sent to each worker and
the per-partition totals that come back.

    pip install '.[dask]' && python bench/bench_dask.py [--quick] [--rows N]
"""
import argparse
import os
import pickle
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
from iteration_timing import LONG, marginals  # noqa: E402
import segmora_dask as sd  # noqa: E402

FEATURES, CLUSTERS = 8, 8


def block(i, rows):
    return np.random.default_rng(1000 + i).uniform(size=(rows, FEATURES))


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


class TimedBlocks(sd._Blocks):
    """The fit's actor, also reporting the seconds its step spent in segmora."""

    def timed_step(self, centers):
        t = time.perf_counter()
        self.step(centers)
        return time.perf_counter() - t


def step_breakdown(client, x, seeds, steps=10):
    """(median wall seconds of a Lloyd step from the driver, median seconds in the slowest worker's step)."""
    blocks = sd._as_blocks(client, x)
    n_rows = client.gather([client.submit(len, b) for b in blocks])
    blocks, where = sd._place_evenly(client, blocks, n_rows)
    by_worker = {}
    for i, w in enumerate(where):
        by_worker.setdefault(w, []).append(i)
    futures = [client.submit(TimedBlocks, idx, *[blocks[i] for i in idx], actor=True, workers=[w])
               for w, idx in sorted(by_worker.items())]
    actors = [f.result() for f in futures]
    walls, inner = [], []
    for _ in range(steps):
        t = time.perf_counter()
        calls = [a.timed_step(seeds) for a in actors]
        inner.append(max(c.result() for c in calls))
        walls.append(time.perf_counter() - t)
    return float(np.median(walls)), float(np.median(inner))


def payload_bytes(n_workers, n_partitions):
    """Pickled bytes of one Lloyd step: centers to every worker, one totals array per partition back."""
    centers = np.zeros((CLUSTERS, FEATURES))
    sent = n_workers * len(pickle.dumps(("step", centers)))
    back = len(pickle.dumps([(i, (sd.fresh_totals(CLUSTERS, FEATURES), True)) for i in range(n_partitions)]))
    return sent, back


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quality-rows", type=int, default=1_000_000)
    parser.add_argument("--seeds", type=int, default=5)
    args = parser.parse_args()
    n = args.rows or (1_000_000 if args.quick else 10_000_000)
    per = n // args.partitions
    n = per * args.partitions
    print(f"# {n:,} x {FEATURES} rows, k = {CLUSTERS}, {args.partitions} partitions; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {sys.version.split()[0]}, dask {dask.__version__}; load average "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      memory_limit=0) as cluster, Client(cluster) as client:
        parts = [da.from_delayed(dask.delayed(block)(i, per), shape=(per, FEATURES), dtype=np.float64)
                 for i in range(args.partitions)]
        x = da.concatenate(parts).persist()
        wait(x)
        sample = np.ascontiguousarray(x[::100].compute())
        seeds = np.array(segmora.kmeans_py(sample, CLUSTERS, max_iter=0, random_state=0).centers)
        # Gathered on the driver (x.compute() would concatenate on a worker and double its memory).
        local = np.concatenate(client.gather(client.compute(list(x.to_delayed().ravel()))))
        # kmeans_py's Lloyd passes through the KMeans estimator, which starts from given seeds
        # (kmeans_py would seed by k-means++ over all 10^7 rows on every call, and that time
        # varies by more than the iterations measured).
        fits = {
            "kmeans_py, one process, 2 threads":
                lambda it: segmora.KMeans(CLUSTERS, init=seeds, max_iter=it, n_jobs=2).fit(local).n_iter_,
            "kmeans_py, one process, 1 thread":
                lambda it: segmora.KMeans(CLUSTERS, init=seeds, max_iter=it, n_jobs=1).fit(local).n_iter_,
            "segmora_dask, 2 process workers":
                lambda it: sd.fit_kmeans_dask(client, x, CLUSTERS, max_iter=it, init=seeds).n_iter,
        }
        try:
            from dask_ml.cluster import KMeans as DaskMLKMeans
        except ImportError:
            DaskMLKMeans = None
        if DaskMLKMeans is not None:
            # Started from the same seeds, so its k-means|| initialisation stays out of the figure.
            fits["dask_ml.cluster.KMeans, same cluster"] = lambda it: DaskMLKMeans(
                n_clusters=CLUSTERS, init=seeds, max_iter=it, tol=0.0, random_state=0).fit(x).n_iter_
        results = marginals(fits, args.repeats)
        worker_mb = client.run(peak_rss_mb)
        base = results["kmeans_py, one process, 2 threads"][0]

        print(f"| implementation | per iteration | {LONG} iterations incl. start | vs kmeans_py (2 threads) |")
        print("|---|---:|---:|---:|")
        for name, (per_it, total) in results.items():
            print(f"| {name} | {per_it * 1e3:.0f} ms | {total:.2f} s | {per_it / base:.2f}x |")
        ours = results["segmora_dask, 2 process workers"][0]
        print(f"segmora_dask / kmeans_py (2 threads): {ours / base:.2f}x; "
              f"/ kmeans_py (1 thread): {ours / results['kmeans_py, one process, 1 thread'][0]:.2f}x")
        if DaskMLKMeans is not None:
            print(f"segmora_dask / dask_ml: {ours / results['dask_ml.cluster.KMeans, same cluster'][0]:.2f}x")
        sent, back = payload_bytes(len(client.scheduler_info()["workers"]), args.partitions)
        print(f"bytes per Lloyd iteration: {sent} sent (centers to each worker), {back} back "
              f"(totals of {args.partitions} partitions), independent of the row count")
        wall, inner = step_breakdown(client, x, seeds)
        print(f"one Lloyd step from the driver: {wall * 1e3:.0f} ms, of which {inner * 1e3:.0f} ms in the slowest "
              f"worker's kmeans_block_step calls; {(wall - inner) * 1e3:.0f} ms of messaging (medians of 10)")
        print("peak resident memory per worker: " + ", ".join(f"{mb:.0f} MB" for mb in worker_mb.values())
              + f"; data {n * FEATURES * 8 / 2**20:.0f} MB in total")

        if args.seeds:
            seeding_quality(client, x, args)


def seeding_quality(client, x, args):
    """Full fits from k-means|| on the workers vs kmeans_py's k-means++ on the same rows, per seed."""
    xq = x[:args.quality_rows].rechunk((-(-args.quality_rows // args.partitions), FEATURES)).persist()
    wait(xq)
    local_q = np.concatenate(client.gather(client.compute(list(xq.to_delayed().ravel()))))
    print(f"\n# seeding, {len(local_q):,} rows in {xq.npartitions} partitions, full fits (max_iter 300); "
          "load average " + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    print("| seed | k-means\\|\\| on the workers: inertia | seconds | kmeans_py k-means++: inertia | ratio |")
    print("|---:|---:|---:|---:|---:|")
    ratios = []
    for seed in range(args.seeds):
        t = time.perf_counter()
        ours_fit = sd.fit_kmeans_dask(client, xq, CLUSTERS, random_state=seed)
        t_ours = time.perf_counter() - t
        theirs = segmora.kmeans_py(local_q, CLUSTERS, random_state=seed, n_jobs=2).inertia
        ratios.append(ours_fit.inertia / theirs)
        print(f"| {seed} | {ours_fit.inertia:.1f} | {t_ours:.1f} | {theirs:.1f} | {ratios[-1]:.4f} |")
    print(f"mean ratio k-means|| / k-means++: {np.mean(ratios):.4f} (worst {max(ratios):.4f})")


if __name__ == "__main__":
    main()

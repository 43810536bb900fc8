"""Two Python threads against one: calls compute without the interpreter lock.

- kmeans_py on 1,000,000 x 8 rows, k 8, 20 Lloyd iterations (uniform data, so
  every iteration runs), n_jobs=1: one thread, then two threads at once, each
  with its own array; scikit-learn's KMeans (lloyd, n_init 1, tol 0, one
  OpenMP thread each) the same way.
- rfm_from_columns on 1,000,000 transactions of 100,000 customers (int64 ids,
  datetime64[s] timestamps, float64 amounts), n_jobs=1: one thread, then two;
  the pandas groupby recipe (last purchase, count, sum per customer) the same
  way.

- control: NumPy's sort of 4,000,000 float64 values (which releases the lock)
  the same way, showing how much of a second core the machine gave this run.

A call that kept the lock would make two threads take twice one thread's time
(ratio 2.00); on two free cores the ideal is 1.00. Every workload alternates
its sides in one process and keeps the best of --repeat rounds (wall clock, and
the process CPU time of the same run: about twice the wall time when both
threads ran at once). The load average is printed before and after.

    PYTHONPATH=build/dev python bench/bench_threads.py [--repeat R] [--quick]
"""

import argparse
import os
import platform
import threading
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")  # scikit-learn: one OpenMP thread per call, like n_jobs=1

import numpy as np
import pandas as pd

import segmora


def in_threads(calls):
    """Runs each call on its own thread, all at once; (wall, cpu) until the last ends."""
    threads = [threading.Thread(target=call) for call in calls]
    t0, c0 = time.perf_counter(), time.process_time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - t0, time.process_time() - c0


def compare(title, sides, repeat):
    """sides: name -> (call on input 0, call on input 1). Best one-thread and two-thread times per side."""
    best = {(name, n): (float("inf"), float("inf")) for name in sides for n in (1, 2)}
    for _ in range(repeat):
        for name, (first, second) in sides.items():
            for n, calls in ((1, [first]), (2, [first, second])):
                wall, cpu = in_threads(calls)
                best[name, n] = (min(best[name, n][0], wall), min(best[name, n][1], cpu))
    print(title)
    for name in sides:
        (w1, c1), (w2, c2) = best[name, 1], best[name, 2]
        print(f"    {name:<24} one thread {w1:.3f} s (cpu {c1:.3f})   two threads {w2:.3f} s (cpu {c2:.3f})   "
              f"two / one {w2 / w1:.2f}")
    return best


def bench_kmeans(repeat, scale):
    from sklearn.cluster import KMeans
    rng = np.random.default_rng(0)
    n = 1_000_000 // scale
    data = [rng.random((n, 8)), rng.random((n, 8))]

    def ours(x):
        return lambda: segmora.kmeans_py(x, 8, max_iter=20, n_jobs=1)

    def sklearn(x):
        return lambda: KMeans(8, init="k-means++", n_init=1, max_iter=20, tol=0, algorithm="lloyd", random_state=0).fit(x)

    assert segmora.kmeans_py(data[0], 8, max_iter=20, n_jobs=1).n_iter == 20
    compare(f"k-means, {n:,} x 8, k 8, 20 iterations, per thread", {
        "kmeans_py (n_jobs=1)": (ours(data[0]), ours(data[1])),
        "scikit-learn KMeans": (sklearn(data[0]), sklearn(data[1]))}, repeat)


def transactions(seed, n, customers):
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, customers, n)
    stamps = (np.datetime64("2026-12-01T00:00:00") - rng.integers(0, 2 * 365 * 86400, n).astype("timedelta64[s]"))
    return ids, stamps, rng.gamma(2.0, 30.0, n)


def bench_rfm(repeat, scale):
    n, customers = 1_000_000 // scale, 100_000 // scale
    inputs = [transactions(seed, n, customers) for seed in (1, 2)]
    frames = [pd.DataFrame({"customer_id": i, "timestamp": s, "amount": a}) for i, s, a in inputs]

    def ours(columns):
        return lambda: segmora.rfm_from_columns(*columns, as_of="2026-12-01T00:00:00Z", n_jobs=1)

    def pandas_recipe(frame):
        return lambda: frame.groupby("customer_id", sort=False).agg(
            last=("timestamp", "max"), frequency=("timestamp", "size"), monetary=("amount", "sum"))

    out, recipe = ours(inputs[0])(), pandas_recipe(frames[0])()
    assert len(out["customer_id"]) == len(recipe)
    assert np.allclose(np.sort(out["monetary"]), np.sort(recipe["monetary"].to_numpy()), rtol=1e-9)
    compare(f"RFM, {n:,} transactions of {customers:,} customers, per thread", {
        "rfm_from_columns (n_jobs=1)": (ours(inputs[0]), ours(inputs[1])),
        "pandas groupby recipe": (pandas_recipe(frames[0]), pandas_recipe(frames[1]))}, repeat)


def bench_control(repeat, scale):
    rng = np.random.default_rng(3)
    data = [rng.random(4_000_000 // scale), rng.random(4_000_000 // scale)]
    compare(f"control: np.sort of {len(data[0]):,} float64, per thread",
            {"np.sort": (lambda: np.sort(data[0]), lambda: np.sort(data[1]))}, repeat)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, help="rounds (default 5, 3 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a tenth of the sizes")
    args = parser.parse_args()
    repeat, scale = (args.repeat or 3, 10) if args.quick else (args.repeat or 5, 1)
    import sklearn
    print(f"segmora {segmora.__version__}, NumPy {np.__version__}, pandas {pd.__version__}, "
          f"scikit-learn {sklearn.__version__}, Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs")
    print(f"load average before: {os.getloadavg()}")
    bench_control(repeat, scale)
    bench_kmeans(repeat, scale)
    bench_rfm(repeat, scale)
    bench_control(repeat, scale)
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()

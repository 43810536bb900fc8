"""Mini-batch k-means: segmora vs scikit-learn's MiniBatchKMeans.partial_fit.

100 chunks of 10,000 x 8 float64 (NumPy) around eight centers, k = 8, fed one
at a time from a generator; only the partial_fit calls are timed. Contenders,
run in turn within every round of one process (the best round counts):

- segmora's PyMiniBatchKMeans (the plain engine, single-threaded);
- segmora's MiniBatchKMeans estimator (default n_init=10, reassignment_ratio=0.01);
- scikit-learn's MiniBatchKMeans (defaults, random_state=0), once pinned to
  one thread with threadpoolctl and once with its default threads.

Quality: the inertia of a held-out chunk after the stream, for the estimator
and scikit-learn with random_state 0-4. Memory (--memory): each side in its own
subprocess reports its peak RSS growth over the stream.

    python bench/bench_minibatch.py [--quick] [--rounds R] [--memory]
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time
import warnings

import numpy as np

N_CHUNKS, ROWS, D, K = 100, 10_000, 8, 8


def chunks(n_chunks, seed=0):
    centers = np.random.default_rng(12345).uniform(-10, 10, size=(K, D))
    rng = np.random.default_rng(seed)
    for _ in range(n_chunks):
        yield centers[rng.integers(0, K, size=ROWS)] + rng.normal(size=(ROWS, D))


def stream(model, n_chunks):
    """Seconds spent in model.partial_fit over the stream: (wall clock, this thread's CPU)."""
    wall = cpu = 0.0
    for chunk in chunks(n_chunks):
        start, start_cpu = time.perf_counter(), time.thread_time()
        model.partial_fit(chunk)
        wall += time.perf_counter() - start
        cpu += time.thread_time() - start_cpu
    return wall, cpu


def held_out_inertia(centers):
    probe = next(chunks(1, seed=1))
    return float(((probe[:, None, :] - np.asarray(centers)[None, :, :]) ** 2).sum(-1).min(1).sum())


MEMORY_CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[2])
import bench_minibatch as b

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])

which = sys.argv[1]
if which == "segmora":
    import segmora
    fit = segmora.PyMiniBatchKMeans(b.K, random_state=0).partial_fit
elif which == "generator":
    fit = lambda chunk: None
else:
    from sklearn.cluster import MiniBatchKMeans
    fit = MiniBatchKMeans(b.K, random_state=0).partial_fit
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak RSS
before = rss_kib("VmRSS:")
for chunk in b.chunks(int(sys.argv[3])):
    fit(chunk)
print(json.dumps(rss_kib("VmHWM:") - before))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="20 chunks instead of 100")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--memory", action="store_true", help="also measure peak memory growth (subprocesses)")
    args = ap.parse_args()
    n_chunks = 20 if args.quick else N_CHUNKS

    import sklearn
    from sklearn.cluster import MiniBatchKMeans as Peer
    from threadpoolctl import threadpool_limits

    import segmora

    print(f"# {platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, numpy {np.__version__}, "
          f"scikit-learn {sklearn.__version__}; load average before {os.getloadavg()[0]:.2f}")
    contenders = {
        "segmora PyMiniBatchKMeans": (lambda: segmora.PyMiniBatchKMeans(K, random_state=0), None),
        "segmora MiniBatchKMeans": (lambda: segmora.MiniBatchKMeans(K, random_state=0), None),
        "scikit-learn, 1 thread": (lambda: Peer(K, random_state=0), 1),
        "scikit-learn, default threads": (lambda: Peer(K, random_state=0), None),
    }
    best = {name: float("inf") for name in contenders}
    best_cpu = dict(best)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # scikit-learn's memory-leak warning on some platforms
        for _ in range(args.rounds):
            for name, (make, threads) in contenders.items():
                with threadpool_limits(threads):
                    wall, cpu = stream(make(), n_chunks)
                best[name], best_cpu[name] = min(best[name], wall), min(best_cpu[name], cpu)
        print(f"# load average after {os.getloadavg()[0]:.2f}; best of {args.rounds} rounds")
        # On a busy machine the wall clock also counts time spent waiting for a
        # core; the calling thread's CPU time does not (for the one-thread runs).
        print(f"\n| {n_chunks} chunks of {ROWS:,} x {D}, k {K} | partial_fit total | calling thread's CPU |")
        print("|---|---:|---:|")
        for name, seconds in best.items():
            print(f"| {name} | {seconds:.3f} s | {best_cpu[name]:.3f} s |")
        print()
        for ours in ("segmora PyMiniBatchKMeans", "segmora MiniBatchKMeans"):
            for peer in ("scikit-learn, 1 thread", "scikit-learn, default threads"):
                print(f"ratio {ours} vs {peer}: {best[peer] / best[ours]:.2f}x")
            print(f"ratio {ours} vs scikit-learn, 1 thread, CPU time: "
                  f"{best_cpu['scikit-learn, 1 thread'] / best_cpu[ours]:.2f}x")

        print(f"\n| random_state | held-out inertia, segmora MiniBatchKMeans | scikit-learn | difference |")
        print("|---:|---:|---:|---:|")
        worst = 0.0
        for seed in range(5):
            ours, peer = segmora.MiniBatchKMeans(K, random_state=seed), Peer(K, random_state=seed)
            for chunk in chunks(n_chunks):
                ours.partial_fit(chunk)
                peer.partial_fit(chunk)
            a, b = held_out_inertia(ours.cluster_centers_), held_out_inertia(peer.cluster_centers_)
            worst = max(worst, a / b - 1)
            print(f"| {seed} | {a:,.0f} | {b:,.0f} | {100 * (a / b - 1):+.2f}% |")
        print(f"worst held-out inertia over scikit-learn's: {100 * worst:+.2f}%")

    if args.memory:
        here = os.path.dirname(os.path.abspath(__file__))
        peak = {which: json.loads(subprocess.check_output([sys.executable, "-c", MEMORY_CHILD, which, here,
                                                           str(n_chunks)]))
                for which in ("segmora", "sklearn", "generator")}
        print(f"\npeak memory growth over the stream: segmora {peak['segmora']:,} KiB, scikit-learn "
              f"{peak['sklearn']:,} KiB, the generator alone {peak['generator']:,} KiB "
              f"(one chunk is {ROWS * D * 8 / 1024:,.0f} KiB)")


if __name__ == "__main__":
    main()

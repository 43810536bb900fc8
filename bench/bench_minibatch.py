"""Mini-batch k-means: segmora vs scikit-learn's MiniBatchKMeans.partial_fit.

100 chunks of 10,000 x 8 float64 (NumPy), k = 8, fed one at a time from a
generator; only the partial_fit calls are timed. Each side runs in its own
subprocess, which also reports its peak memory growth during the stream (peak
RSS over the RSS before the first chunk; the peak is reset first, so imports do
not count). scikit-learn is limited to 2 threads; segmora's update is
sequential.

    python bench/bench_minibatch.py [--quick]
"""
import argparse
import json
import os
import platform
import subprocess
import sys

N_CHUNKS, ROWS, D, K = 100, 10_000, 8, 8

CHILD = r"""
import json, os, sys, time
os.environ.setdefault("OMP_NUM_THREADS", "2")
import numpy as np

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])

def chunks(n_chunks, rows, d, k, seed=0):
    centers = np.random.default_rng(12345).uniform(-10, 10, size=(k, d))
    rng = np.random.default_rng(seed)
    for _ in range(n_chunks):
        yield centers[rng.integers(0, k, size=rows)] + rng.normal(size=(rows, d))

which, n_chunks, rows, d, k = sys.argv[1], *map(int, sys.argv[2:6])
if which == "segmora":
    import segmora
    model = segmora.PyMiniBatchKMeans(k, random_state=0)
    fit = model.partial_fit
    centers = lambda: np.asarray(model.centers)
elif which == "generator":  # the chunks alone: what the stream costs any consumer
    fit = lambda chunk: None
    centers = lambda: np.zeros((k, d))
else:
    from sklearn.cluster import MiniBatchKMeans
    from threadpoolctl import threadpool_limits
    threadpool_limits(2)
    model = MiniBatchKMeans(k, random_state=0, n_init=1)
    fit = model.partial_fit
    centers = lambda: model.cluster_centers_
probe = next(chunks(1, rows, d, k, seed=1))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak RSS
before = rss_kib("VmRSS:")
elapsed = 0.0
for chunk in chunks(n_chunks, rows, d, k):
    t = time.perf_counter()
    fit(chunk)
    elapsed += time.perf_counter() - t
peak = rss_kib("VmHWM:") - before
c = centers()
inertia = float(((probe[:, None, :] - c[None, :, :]) ** 2).sum(-1).min(1).sum())
print(json.dumps({"seconds": elapsed, "peak_kib": peak, "probe_inertia": inertia}))
"""


def run(which, n_chunks):
    out = subprocess.check_output([sys.executable, "-c", CHILD, which, str(n_chunks), str(ROWS), str(D), str(K)])
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="20 chunks instead of 100")
    n_chunks = 20 if ap.parse_args().quick else N_CHUNKS
    import numpy as np
    import sklearn
    print(f"# machine: {platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}, scikit-learn {sklearn.__version__}")
    ours, theirs, stream = run("segmora", n_chunks), run("sklearn", n_chunks), run("generator", n_chunks)
    chunk_kib = ROWS * D * 8 / 1024
    print(f"| {n_chunks} chunks of {ROWS:,} x {D}, k {K} | partial_fit total s | peak memory growth KiB "
          f"| probe inertia |")
    print("|---|---:|---:|---:|")
    for name, r in (("segmora", ours), ("scikit-learn", theirs)):
        print(f"| {name} | {r['seconds']:.3f} | {r['peak_kib']:,} | {r['probe_inertia']:.1f} |")
    print(f"| the generator alone | – | {stream['peak_kib']:,} | – |")
    print(f"\nspeed-up: {theirs['seconds'] / ours['seconds']:.1f}x; one chunk is {chunk_kib:,.0f} KiB, "
          f"all chunks {chunk_kib * n_chunks / 1024:,.1f} MiB")


if __name__ == "__main__":
    main()

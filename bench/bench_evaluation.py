"""Cluster evaluation against scikit-learn's metrics, on the same data in the same run.

    PYTHONPATH=build/dev python bench/bench_evaluation.py [--quick]

Silhouette at N = 10,000 and 20,000 (d 8, k 8); Davies-Bouldin and
Calinski-Harabasz at N = 1,000,000; estimate_k_combined over k 2..10 on 20,000
rows (segmora only: scikit-learn has no counterpart). Inputs are NumPy arrays,
so both libraries skip the list conversion. Each figure is the best of `repeat` runs.
"""

import argparse
import platform
import time

import numpy as np
import sklearn
from sklearn import metrics as skm

import segmora


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def blobs(n, d, k, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, size=(k, d))
    labels = rng.integers(0, k, size=n)
    data = centers[labels] + rng.normal(scale=2.0, size=(n, d))
    return np.ascontiguousarray(data), labels


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one run each")
    args = parser.parse_args()
    repeat = 1 if args.quick else 2
    scale = 10 if args.quick else 1

    print(f"segmora {segmora.__version__}, scikit-learn {sklearn.__version__}, NumPy {np.__version__}, "
          f"Python {platform.python_version()}, {platform.machine()}")
    print(f"{'workload':<44}{'segmora s':>11}{'sklearn s':>11}{'ratio':>8}")
    rows = []

    for n in (10_000 // scale, 20_000 // scale):
        data, labels = blobs(n, 8, 8)
        lab = labels.tolist()
        ours = best_of(repeat, lambda: segmora.silhouette_score(data, lab))
        peer = best_of(repeat, lambda: skm.silhouette_score(data, labels))
        rows.append((f"silhouette N={n:,} d=8 k=8", ours, peer))

    n = 1_000_000 // scale
    data, labels = blobs(n, 8, 8, seed=1)
    lab = labels.tolist()
    centers = np.array([data[labels == c].mean(axis=0) for c in range(8)])
    ours = best_of(repeat, lambda: segmora.davies_bouldin_score(data, lab, centers))
    peer = best_of(repeat, lambda: skm.davies_bouldin_score(data, labels))
    rows.append((f"davies_bouldin N={n:,} d=8 k=8", ours, peer))
    ours = best_of(repeat, lambda: segmora.calinski_harabasz_score(data, lab))
    peer = best_of(repeat, lambda: skm.calinski_harabasz_score(data, labels))
    rows.append((f"calinski_harabasz N={n:,} d=8 k=8", ours, peer))

    for name, ours, peer in rows:
        print(f"{name:<44}{ours:>11.3f}{peer:>11.3f}{peer / ours:>7.1f}x")

    n = 20_000 // scale
    data, _ = blobs(n, 8, 5, seed=2)
    result = None

    def combined():
        nonlocal result
        result = segmora.estimate_k_combined(data, (2, 10))

    ours = best_of(1, combined)
    print(f"{f'estimate_k_combined N={n:,} d=8 k=2..10':<44}{ours:>11.3f}{'-':>11}{'-':>8}   (k={result.k})")


if __name__ == "__main__":
    main()

"""k-prototypes: segmora's kprototypes_py vs the kmodes package's KPrototypes.

20,000 rows x (6 numeric + 4 categorical), k 8, 30 iterations; kmodes with
init "Cao", n_init 1, the same max_iter, and segmora's gamma so that the two
final costs are on the same scale. kmodes runs once (it takes seconds). Then
kprototypes_py alone on 1,000,000 rows, categorical columns given as an int64
array, as a list of int rows and as a list of str rows.

    python bench/bench_kprototypes.py [--quick]
"""
import argparse
import gc
import os
import platform
import sys
import time

import numpy as np

import segmora

K, MAX_ITER, D_NUM, D_CAT = 8, 30, 6, 4


def mixed(n, seed=0):
    rng = np.random.default_rng(seed)
    group = rng.integers(0, K, size=n)
    centers = rng.uniform(-5, 5, size=(K, D_NUM))
    num = centers[group] + rng.normal(size=(n, D_NUM))
    # each categorical column follows the group two times in three, else noise
    noise = rng.integers(0, 6, size=(n, D_CAT))
    cat = np.where(rng.random(size=(n, D_CAT)) < 2 / 3, (group[:, None] + np.arange(D_CAT)) % 6, noise)
    return num, cat


def timed(fn):
    gc.collect()
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="skip kmodes and use 200,000 rows for the large run")
    quick = ap.parse_args().quick
    print(f"# machine: {platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"numpy {np.__version__}")

    num, cat = mixed(20_000)
    cat_rows = cat.tolist()
    t_ours, ours = timed(lambda: segmora.kprototypes_py(num, cat_rows, K, max_iter=MAX_ITER, random_state=0, n_jobs=2))
    print(f"| 20,000 x ({D_NUM} + {D_CAT}), k {K}, max_iter {MAX_ITER} | seconds | final cost | iterations |")
    print("|---|---:|---:|---:|")
    print(f"| segmora `kprototypes_py` (2 workers) | {t_ours:.4f} | {ours.cost:,.1f} | {ours.n_iter} |")
    if not quick:
        import kmodes
        from kmodes.kprototypes import KPrototypes

        x = np.hstack([num, cat.astype(np.float64)])
        model = KPrototypes(n_clusters=K, init="Cao", n_init=1, max_iter=MAX_ITER, gamma=ours.gamma, random_state=0,
                            n_jobs=1)
        t_kmodes, _ = timed(lambda: model.fit(x, categorical=list(range(D_NUM, D_NUM + D_CAT))))
        print(f"| kmodes {kmodes.__version__} `KPrototypes` (Cao, n_init 1) | {t_kmodes:.3f} | {model.cost_:,.1f} "
              f"| {model.n_iter_} |")
        print(f"\nspeed-up: {t_kmodes / t_ours:.0f}x (gamma {ours.gamma:.4f} for both)")

    n = 200_000 if quick else 1_000_000
    num, cat = mixed(n, seed=1)
    int_rows = cat.tolist()
    str_rows = [[f"v{v}" for v in row] for row in int_rows]
    print(f"\n| kprototypes_py, {n:,} x ({D_NUM} + {D_CAT}), k {K}, max_iter {MAX_ITER} | seconds | iterations |")
    print("|---|---:|---:|")
    for label, rows in (("an int64 array", cat), ("int rows", int_rows), ("str rows", str_rows)):
        t, r = timed(lambda: segmora.kprototypes_py(num, rows, K, max_iter=MAX_ITER, random_state=0, n_jobs=2))
        print(f"| categorical as {label} (2 workers) | {t:.3f} | {r.n_iter} |")
    t, r = timed(lambda: segmora.kprototypes_py(num, None, K, max_iter=MAX_ITER, random_state=0, n_jobs=2))
    print(f"| numeric only (2 workers) | {t:.3f} | {r.n_iter} |")


if __name__ == "__main__":
    main()

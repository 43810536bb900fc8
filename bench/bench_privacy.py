"""k-anonymity and Laplace noise against the pandas and NumPy recipes.

check_k_anonymity and suppress_to_k_anonymous over N records (dicts of four
str columns, three of them quasi-identifiers) against the pandas recipe on the
same list of dicts: build the DataFrame, `groupby(qi).size()` and a filter on
the group sizes (for suppression the kept rows go back to a list of dicts, as
segmora returns). add_laplace_noise over 10^6 values against NumPy's
`rng.laplace` with the same clamp at zero, both from a float64 array (NumPy
returns an array, segmora a list). Best of R runs each.

    python bench/bench_privacy.py [--records N] [--repeat R] [--quick]
"""

import argparse
import platform
import random
import sys
import time

import numpy as np
import pandas as pd

import segmora

QI = ["zip", "age", "gender"]


def make_records(n, seed=11):
    rng = random.Random(seed)
    zips = [f"{10000 + i:05d}" for i in range(400)]
    return [
        {"id": f"C{i:07d}", "zip": rng.choice(zips), "age": str(rng.randrange(18, 90)), "gender": rng.choice("FMX")}
        for i in range(n)
    ]


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def pandas_check(rows, k):
    sizes = pd.DataFrame(rows).groupby(QI, sort=False).size()
    suppressed = int(sizes[sizes < k].sum())
    return suppressed


def pandas_suppress(rows, k):
    df = pd.DataFrame(rows)
    size = df.groupby(QI, sort=False)[QI[0]].transform("size")
    return df[size >= k].to_dict("records")


def numpy_laplace(data, epsilon, sensitivity, rng):
    return np.maximum(data + rng.laplace(0.0, sensitivity / epsilon, data.shape), 0.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n = 100_000 if args.quick else args.records
    k = 5
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}; {n:,} records, k={k}")
    rows = make_records(n)

    t_ours, ours = best(lambda: segmora.check_k_anonymity(rows, QI, k), args.repeat)
    t_peer, peer = best(lambda: pandas_check(rows, k), args.repeat)
    assert ours.suppressed_rows == peer
    print(f"check_k_anonymity        segmora {t_ours:.3f} s   pandas {t_peer:.3f} s   ratio {t_peer / t_ours:.1f}x")

    t_ours, ours = best(lambda: segmora.suppress_to_k_anonymous(rows, QI, k), args.repeat)
    t_peer, peer = best(lambda: pandas_suppress(rows, k), args.repeat)
    assert len(ours) == len(peer)
    print(f"suppress_to_k_anonymous  segmora {t_ours:.3f} s   pandas {t_peer:.3f} s   ratio {t_peer / t_ours:.1f}x")
    del ours, peer, rows

    data = np.full(10**6 if not args.quick else 10**5, 100.0)
    rng = np.random.default_rng()
    t_ours, ours = best(lambda: segmora.add_laplace_noise(data, 1.0, 1.0), args.repeat)
    t_peer, peer = best(lambda: numpy_laplace(data, 1.0, 1.0, rng), args.repeat)
    assert len(ours) == len(peer)
    print(f"add_laplace_noise {len(data):,}  segmora {t_ours:.3f} s   NumPy {t_peer:.3f} s   ratio {t_peer / t_ours:.2f}x")
    t_list, _ = best(lambda: numpy_laplace(np.asarray(data.tolist()), 1.0, 1.0, rng).tolist(), args.repeat)
    print(f"  (NumPy from a list and back to a list: {t_list:.3f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

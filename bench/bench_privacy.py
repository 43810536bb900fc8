"""k-anonymity and differential-privacy noise against the pandas and NumPy recipes.

check_k_anonymity and suppress_to_k_anonymous over N records (dicts of four
str columns, three of them quasi-identifiers) against the pandas recipe on the
same list of dicts: build the DataFrame, `groupby(qi).size()` and a filter on
the group sizes (for suppression the kept rows go back to a list of dicts, as
segmora returns). add_laplace_noise and add_gaussian_noise (epsilon 1, delta
1e-5) over 10^6 values against NumPy's `rng.laplace` / `rng.normal` with the
same clamp at zero: from a float64 array to an array, and from a list back to
a list (NumPy: asarray, draw, clamp, tolist). segmora's noise is exact
discrete noise on a data-independent grid; NumPy's is floating-point noise.
Best of R runs each, segmora and the peer alternating within every round;
wall clock and the CPU time of the same run (every step runs on one core, so
CPU time is the steadier figure on a shared machine).

    python bench/bench_privacy.py [--records N] [--repeat R] [--quick]
"""

import argparse
import os
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
    """Best wall-clock time, and the CPU time of that same run (both run on one core)."""
    runs = []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        out = fn()
        runs.append((time.perf_counter() - t0, time.process_time() - c0))
    return min(runs), out


def alternating(fns, repeat):
    """{name: (best wall time, CPU time of that run)}, every function once per round."""
    best = {name: (float("inf"), 0.0) for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0, c0 = time.perf_counter(), time.process_time()
            fn()
            run = (time.perf_counter() - t0, time.process_time() - c0)
            best[name] = min(best[name], run)
    return best


def line(name, ours, peer, peer_name):
    (w_ours, c_ours), (w_peer, c_peer) = ours, peer
    print(f"{name:<28} segmora {w_ours:.3f} s (cpu {c_ours:.3f})   {peer_name} {w_peer:.3f} s (cpu {c_peer:.3f})"
          f"   ratio {w_peer / w_ours:.2f}x (cpu {c_peer / c_ours:.2f}x)")


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


def numpy_normal(data, sigma, rng):
    return np.maximum(data + rng.normal(0.0, sigma, data.shape), 0.0)


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
    line("check_k_anonymity", t_ours, t_peer, "pandas")

    t_ours, ours = best(lambda: segmora.suppress_to_k_anonymous(rows, QI, k), args.repeat)
    t_peer, peer = best(lambda: pandas_suppress(rows, k), args.repeat)
    assert len(ours) == len(peer)
    line("suppress_to_k_anonymous", t_ours, t_peer, "pandas")
    del ours, peer, rows

    n_values = 10**6 if not args.quick else 10**5
    data = np.full(n_values, 100.0)
    values = data.tolist()
    rng = np.random.default_rng()
    sigma = 3.7306316348159445  # the analytic Gaussian mechanism's sigma at epsilon 1, delta 1e-5
    print(f"noise over {n_values:,} values; load average {os.getloadavg()[0]:.2f}")
    t = alternating({
        "laplace": lambda: segmora.add_laplace_noise(data, 1.0, 1.0),
        "laplace-numpy": lambda: numpy_laplace(data, 1.0, 1.0, rng),
        "gaussian": lambda: segmora.add_gaussian_noise(data, 1.0, 1e-5, 1.0),
        "gaussian-numpy": lambda: numpy_normal(data, sigma, rng),
        "laplace-list": lambda: segmora.add_laplace_noise(values, 1.0, 1.0),
        "laplace-list-numpy": lambda: numpy_laplace(np.asarray(values), 1.0, 1.0, rng).tolist(),
        "gaussian-list": lambda: segmora.add_gaussian_noise(values, 1.0, 1e-5, 1.0),
        "gaussian-list-numpy": lambda: numpy_normal(np.asarray(values), sigma, rng).tolist(),
    }, args.repeat)
    assert type(segmora.add_laplace_noise(data, 1.0, 1.0)) is np.ndarray
    line("add_laplace_noise, array", t["laplace"], t["laplace-numpy"], "NumPy")
    line("add_gaussian_noise, array", t["gaussian"], t["gaussian-numpy"], "NumPy")
    line("add_laplace_noise, list", t["laplace-list"], t["laplace-list-numpy"], "NumPy")
    line("add_gaussian_noise, list", t["gaussian-list"], t["gaussian-list-numpy"], "NumPy")
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

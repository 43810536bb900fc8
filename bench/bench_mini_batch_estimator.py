"""The MiniBatchKMeans estimator against scikit-learn's MiniBatchKMeans, and
pickling a streaming engine against pickling a pandas frame of the same state.

Estimator: 200,000 x 8 rows around 8 centers, k = 8, batches of 1,024 rows,
`fit` with 3 passes and `partial_fit` over 50 chunks of 4,000 rows; segmora's
estimator with its defaults (n_init=10, reassignment_ratio=0.01), scikit-learn
with n_init=1, the same batch size and max_iter, no early stop, pinned to one
thread (threadpoolctl) and with its default threads. The sides alternate within
each of --repeat rounds; the best round counts. Pickling: an engine tracking
100,000 customers (dumps + loads) against a DataFrame of their seven
per-customer columns.

    python bench/bench_mini_batch_estimator.py [--quick] [--repeat R]
"""

import argparse
import os
import pickle
import platform
import time
import warnings

import numpy as np
import pandas as pd
import sklearn
from sklearn.cluster import MiniBatchKMeans as PeerMiniBatch
from threadpoolctl import threadpool_limits

import segmora


def best(fns, repeat):
    """The best time of each function over `repeat` rounds, the functions taking turns."""
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[i] = min(times[i], time.perf_counter() - start)
    return times


def pinned(fn, threads):
    def run():
        with threadpool_limits(threads):
            fn()
    return run


def row(name, ours, peer):
    print(f"| {name} | {ours:.3f} s | {peer:.3f} s | {peer / ours:.2g}x |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    n, customers = (20_000, 10_000) if args.quick else (200_000, 100_000)
    print(f"{platform.processor() or platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__}, "
          f"scikit-learn {sklearn.__version__}, pandas {pd.__version__}, segmora {segmora.__version__}; "
          f"load average {os.getloadavg()[0]:.2f}")
    rng = np.random.default_rng(5)
    X = rng.normal(scale=4.0, size=(8, 8))[rng.integers(0, 8, n)] + rng.normal(size=(n, 8))
    chunks = np.array_split(X, 50)
    peer_args = dict(n_clusters=8, batch_size=1024, max_iter=3, n_init=1, random_state=0,
                     max_no_improvement=None, tol=0.0)
    print("| workload | segmora | scikit-learn | ratio |")
    print("|---|---|---|---|")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit_ours = lambda: segmora.MiniBatchKMeans(8, batch_size=1024, max_iter=3).fit(X)  # noqa: E731
        fit_peer = lambda: PeerMiniBatch(**peer_args).fit(X)  # noqa: E731
        ours, peer1, peer = best([fit_ours, pinned(fit_peer, 1), pinned(fit_peer, None)], args.repeat)
        row(f"MiniBatchKMeans.fit, {n:,} x 8, k=8, 3 passes (scikit-learn one thread)", ours, peer1)
        row(f"MiniBatchKMeans.fit, {n:,} x 8, k=8, 3 passes (scikit-learn default threads)", ours, peer)

        def stream(make):
            model = make()
            for chunk in chunks:
                model.partial_fit(chunk)

        stream_ours = lambda: stream(lambda: segmora.MiniBatchKMeans(8))  # noqa: E731
        stream_peer = lambda: stream(lambda: PeerMiniBatch(8, batch_size=1024, n_init=1, random_state=0))  # noqa: E731
        ours, peer1, peer = best([stream_ours, pinned(stream_peer, 1), pinned(stream_peer, None)], args.repeat)
        row(f"partial_fit over 50 chunks of {n // 50:,} rows (scikit-learn one thread)", ours, peer1)
        row(f"partial_fit over 50 chunks of {n // 50:,} rows (scikit-learn default threads)", ours, peer)

    engine = segmora.PyStreamingSegmentationEngine(segmora.PyStreamingConfig(batch_size=10_000))
    events = [segmora.PyStreamingEvent(f"c{i}", "purchase", float(i % 500), 1_700_000_000 + i) for i in range(customers)]
    engine.process_batch(events)
    frame = pd.DataFrame({"customer_id": [f"c{i}" for i in range(customers)], "recency_days": np.zeros(customers, "i8"),
                          "frequency": np.ones(customers, "u8"), "monetary": rng.uniform(size=customers),
                          "last_event_timestamp": np.arange(customers), "event_count": np.ones(customers, "u8"),
                          "segment": ["Lost"] * customers})
    ours, peer = best([lambda: pickle.loads(pickle.dumps(engine)), lambda: pickle.loads(pickle.dumps(frame))],
                      args.repeat)
    row(f"pickle round trip, streaming engine of {customers:,} customers (pandas: a frame of their columns)", ours, peer)


if __name__ == "__main__":
    main()

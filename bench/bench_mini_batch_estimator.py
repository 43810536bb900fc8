"""The MiniBatchKMeans estimator against scikit-learn's MiniBatchKMeans, and
pickling a streaming engine against pickling a pandas frame of the same state.

Estimator: 200,000 x 8 rows around 8 centers, k = 8, batches of 1,024 rows,
`fit` with 3 passes and `partial_fit` over 50 chunks of 4,000 rows; scikit-learn
with n_init=1, the same batch size and max_iter, no early stop. Pickling: an
engine tracking 100,000 customers (dumps + loads) against a DataFrame of their
seven per-customer columns. Best of --repeat runs.

    python bench/bench_mini_batch_estimator.py [--quick] [--repeat R]
"""

import argparse
import pickle
import platform
import time
import warnings

import numpy as np
import pandas as pd
import sklearn
from sklearn.cluster import MiniBatchKMeans as PeerMiniBatch

import segmora


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def row(name, ours, peer):
    print(f"| {name} | {ours:.3f} s | {peer:.3f} s | {peer / ours:.2g}x |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    n, customers = (20_000, 10_000) if args.quick else (200_000, 100_000)
    print(f"{platform.processor() or platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__}, "
          f"scikit-learn {sklearn.__version__}, pandas {pd.__version__}, segmora {segmora.__version__}")
    rng = np.random.default_rng(5)
    X = rng.normal(scale=4.0, size=(8, 8))[rng.integers(0, 8, n)] + rng.normal(size=(n, 8))
    chunks = np.array_split(X, 50)
    peer_args = dict(n_clusters=8, batch_size=1024, max_iter=3, n_init=1, random_state=0,
                     max_no_improvement=None, tol=0.0)
    print("| workload | segmora | scikit-learn | ratio |")
    print("|---|---|---|---|")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = best(lambda: segmora.MiniBatchKMeans(8, batch_size=1024, max_iter=3).fit(X), args.repeat)
        peer = best(lambda: PeerMiniBatch(**peer_args).fit(X), args.repeat)
        row(f"MiniBatchKMeans.fit, {n:,} x 8, k=8, 3 passes", ours, peer)

        def stream(make):
            model = make()
            for chunk in chunks:
                model.partial_fit(chunk)

        ours = best(lambda: stream(lambda: segmora.MiniBatchKMeans(8)), args.repeat)
        peer = best(lambda: stream(lambda: PeerMiniBatch(8, batch_size=1024, n_init=1, random_state=0)), args.repeat)
        row(f"partial_fit over 50 chunks of {n // 50:,} rows", ours, peer)

    engine = segmora.PyStreamingSegmentationEngine(segmora.PyStreamingConfig(batch_size=10_000))
    events = [segmora.PyStreamingEvent(f"c{i}", "purchase", float(i % 500), 1_700_000_000 + i) for i in range(customers)]
    engine.process_batch(events)
    frame = pd.DataFrame({"customer_id": [f"c{i}" for i in range(customers)], "recency_days": np.zeros(customers, "i8"),
                          "frequency": np.ones(customers, "u8"), "monetary": rng.uniform(size=customers),
                          "last_event_timestamp": np.arange(customers), "event_count": np.ones(customers, "u8"),
                          "segment": ["Lost"] * customers})
    ours = best(lambda: pickle.loads(pickle.dumps(engine)), args.repeat)
    peer = best(lambda: pickle.loads(pickle.dumps(frame)), args.repeat)
    row(f"pickle round trip, streaming engine of {customers:,} customers (pandas: a frame of their columns)", ours, peer)


if __name__ == "__main__":
    main()

"""Drift statistics against SciPy, and the streaming engine's throughput.

    PYTHONPATH=build/dev python bench/bench_drift_streaming.py [--quick]

KS statistic at 10^4, 10^5 and 10^6 values per side (normal samples rounded to
two decimals, so there are ties), NumPy float64 input, against
`scipy.stats.ks_2samp(...).statistic` on the same arrays. Streaming:
`process_batch` with batches of 1,000 prebuilt `PyStreamingEvent`s spread over
100,000 customers; the event conversion is timed on its own by passing the same
batch with one bad item at the end (every event is copied, then the batch is
refused before any is processed), and the engine's part is the rest. Last, one
drift check plus k-means re-fit over 100,000 tracked customers. Best of `repeat`.
"""

import argparse
import platform
import time

import numpy as np
import scipy
import scipy.stats

import segmora

DAY = 86400


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def bench_ks(repeat, scale):
    print(f"{'KS statistic':<36}{'segmora s':>11}{'SciPy s':>11}{'ratio':>8}")
    rng = np.random.default_rng(0)
    for n in (10_000, 100_000, 1_000_000 // scale):
        b = np.round(rng.normal(0.0, 1.0, n), 2)
        c = np.round(rng.normal(0.1, 1.1, n), 2)
        assert abs(segmora.kolmogorov_smirnov(b, c) - scipy.stats.ks_2samp(b, c).statistic) < 1e-12
        ours = best_of(repeat, lambda: segmora.kolmogorov_smirnov(b, c))
        peer = best_of(repeat, lambda: scipy.stats.ks_2samp(b, c).statistic)
        print(f"{f'n = {n:,} per side':<36}{ours:>11.4f}{peer:>11.4f}{peer / ours:>7.1f}x")


def make_batches(n_customers, n_events, batch):
    rng = np.random.default_rng(1)
    now = int(time.time())
    ids = rng.integers(0, n_customers, n_events)
    values = np.round(rng.gamma(2.0, 50.0, n_events), 2)
    ages = rng.integers(0, 365 * DAY, n_events)
    events = [segmora.PyStreamingEvent(f"cust{i:06d}", "purchase", float(v), now - int(a))
              for i, v, a in zip(ids.tolist(), values.tolist(), ages.tolist())]
    return [events[i:i + batch] for i in range(0, n_events, batch)]


def bench_streaming(scale):
    n_customers, n_events, batch = 100_000 // scale, 1_000_000 // scale, 1_000
    batches = make_batches(n_customers, n_events, batch)
    config = segmora.PyStreamingConfig(batch_size=batch)
    never = segmora.PyReclusterConfig(min_customers=10**12)  # throughput without drift checks
    warm = segmora.PyStreamingSegmentationEngine(config, never)
    for b in batches:  # every customer tracked first, so the timed run updates existing states
        warm.process_batch(b)

    def convert_only():
        for b in batches:
            try:
                warm.process_batch(b + [None])
            except TypeError:
                pass

    def full():
        for b in batches:
            warm.process_batch(b)

    convert = min(best_of(1, convert_only) for _ in range(3))
    total = min(best_of(1, full) for _ in range(3))
    engine_part = total - convert
    print(f"\nprocess_batch, {n_events:,} events in batches of {batch:,} over {warm.customer_count():,} customers")
    print(f"  total            {total:8.3f} s  {n_events / total:>12,.0f} events/s")
    print(f"  event conversion {convert:8.3f} s  {n_events / convert:>12,.0f} events/s")
    print(f"  engine part      {engine_part:8.3f} s  {n_events / engine_part:>12,.0f} events/s")
    return batches


def bench_recluster(batches):
    config = segmora.PyStreamingConfig(batch_size=1000)
    eng = segmora.PyStreamingSegmentationEngine(config, segmora.PyReclusterConfig("none", 1, 4))
    for b in batches:  # single events: no checkpoint runs
        for e in b:
            eng.process_event(e)
    eng.set_recluster_baseline()
    t0 = time.perf_counter()
    drifts = eng.check_drift()
    t1 = time.perf_counter()
    event = eng.maybe_recluster()
    t2 = time.perf_counter()
    print(f"\ndrift check over {eng.customer_count():,} customers: {t1 - t0:.4f} s "
          f"({', '.join(f'{d.feature_name} {d.severity}' for d in drifts)})")
    print(f"drift check + k-means re-fit (k={event.n_clusters}) over {event.customers_reclustered:,} "
          f"customers: {t2 - t1:.4f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one run each")
    args = parser.parse_args()
    repeat = 1 if args.quick else 3
    scale = 10 if args.quick else 1
    print(f"segmora {segmora.__version__}, SciPy {scipy.__version__}, NumPy {np.__version__}, "
          f"Python {platform.python_version()}, {platform.machine()}")
    bench_ks(repeat, scale)
    batches = bench_streaming(scale)
    bench_recluster(batches)


if __name__ == "__main__":
    main()

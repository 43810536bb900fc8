"""Worst cases that used to blow up, against the peer on the same data.

1. RFM grouping of customer ids crafted to collide under the C++ standard
   library's unseeded string hash (libstdc++'s std::hash: a MurmurHash2-style
   _Hash_bytes with seed 0xc70f6907), computed offline by colliding_ids.cpp:
   every id has the same full 64-bit hash, which a Python model of the hash
   checks here. Growth should be linear: the time per id stays flat as the
   count doubles. The peer is pandas' groupby on the same ids.
2. Behavioral classify of one customer record with 20,000 extra fields whose
   names collide the same way, against the same record with random names:
   the colliding record should cost no more than twice the random one.
3. K-means with more clusters than distinct rows (1M x 8 rows, 4 distinct
   values, k = 8): every pass refills an empty cluster, so the result never
   converges; the passes after the fixed point are skipped. The peer is
   scikit-learn's KMeans (one init, Lloyd, same k).

    python bench/bench_hardening.py [--quick]
"""

import argparse
import pathlib
import platform
import subprocess
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
MASK = (1 << 64) - 1
MUL = (0xC6A4A793 << 32) + 0x5BD1E995
SEED = 0xC70F6907


def std_hash(text: bytes) -> int:
    """libstdc++'s std::hash of a 16-byte string (for the self-check)."""
    h = (SEED ^ (len(text) * MUL)) & MASK
    for i in range(0, len(text), 8):
        k = int.from_bytes(text[i:i + 8], "little")
        k = (k * MUL) & MASK
        k ^= k >> 47
        k = (k * MUL) & MASK
        h = ((h ^ k) * MUL) & MASK
    h ^= h >> 47
    h = (h * MUL) & MASK
    return h ^ (h >> 47)


def colliding_ids(count):
    """`count` distinct printable 16-character ids with one std::hash, from the
    C++ helper beside this script (built into a temporary directory)."""
    with tempfile.TemporaryDirectory() as tmp:
        exe = pathlib.Path(tmp) / "colliding_ids"
        subprocess.check_call(["g++", "-O2", "-o", str(exe), str(HERE / "colliding_ids.cpp")])
        ids = subprocess.check_output([str(exe), str(count)], text=True).split()
    assert len(set(ids)) == count
    return ids


def random_ids(count, seed=2):
    rng = np.random.default_rng(seed)
    letters = rng.integers(0x21, 0x7F, size=(count, 16), dtype=np.uint8)
    return [bytes(row).decode("ascii") for row in letters]


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def bench_grouping(sizes, repeat):
    import pandas as pd
    import segmora

    ids_all = colliding_ids(max(sizes))
    assert len({std_hash(i.encode()) for i in ids_all[:1000]}) == 1, "the ids do not collide"
    config = segmora.PyRFMConfig()
    print("RFM grouping, one transaction per id (best of", repeat, "runs)")
    print(f"{'ids':>8} {'kind':>10} {'segmora s':>10} {'us/id':>7} {'pandas s':>9} {'us/id':>7}")
    for n in sizes:
        for kind, ids in (("colliding", ids_all[:n]), ("random", random_ids(n))):
            tx = [(cid, "2024-01-01T00:00:00Z", 1.0) for cid in ids]
            ours = best_of(lambda: segmora.calculate_rfm_py(tx, config, n_jobs=1), repeat)
            df = pd.DataFrame({"customer_id": ids, "amount": 1.0})
            peer = best_of(lambda: df.groupby("customer_id", sort=False)["amount"].agg(["count", "sum"]), repeat)
            print(f"{n:>8} {kind:>10} {ours:>10.4f} {ours / n * 1e6:>7.2f} {peer:>9.4f} {peer / n * 1e6:>7.2f}")


def bench_classify(n, repeat):
    import os
    import segmora

    rule = segmora.PyBehavioralRule("r", "", [segmora.PyCondition("spent", ">", 1.0)])
    segment = segmora.PyBehavioralSegment("big", "", [rule])
    segmenter = segmora.PyBehavioralSegmenter([segment])
    records = {kind: dict.fromkeys(ids, 1.0) | {"spent": 5.0}
               for kind, ids in (("colliding", colliding_ids(n)), ("random", random_ids(n)))}
    best = {kind: float("inf") for kind in records}
    for _ in range(repeat):  # the two records alternate within every round
        for kind, record in records.items():
            start = time.perf_counter()
            assert segmenter.classify(record) == ["big"] and segment.matches(record)
            best[kind] = min(best[kind], time.perf_counter() - start)
    print(f"classify + matches, one record with {n:,} extra fields (best of {repeat} runs, "
          f"load average {os.getloadavg()[0]:.2f})")
    print(f"  colliding names {best['colliding'] * 1e3:.2f} ms, random names {best['random'] * 1e3:.2f} ms, "
          f"ratio {best['colliding'] / best['random']:.2f}x")


def bench_fixed_point(rows, repeat):
    import segmora
    from sklearn.cluster import KMeans

    rng = np.random.default_rng(3)
    values = rng.random((4, 8))
    data = values[rng.integers(0, 4, size=rows)]
    ours = best_of(lambda: segmora.kmeans_py(data, 8, max_iter=300, n_jobs=-1), repeat)
    r = segmora.kmeans_py(data, 8, max_iter=300)
    peer = best_of(lambda: KMeans(n_clusters=8, n_init=1, max_iter=300, algorithm="lloyd", random_state=42).fit(data),
                   repeat)
    print(f"k-means, {rows} x 8 rows with 4 distinct values, k = 8 (best of {repeat} runs)")
    print(f"  segmora {ours:.3f} s (n_iter {r.n_iter}, inertia {r.inertia}); scikit-learn {peer:.3f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    import sklearn
    import pandas
    import segmora
    print(f"{platform.processor() or platform.machine()}, Python {platform.python_version()}, "
          f"segmora {segmora.__version__}, NumPy {np.__version__}, pandas {pandas.__version__}, "
          f"scikit-learn {sklearn.__version__}")
    sizes = [5_000, 10_000, 20_000] if args.quick else [10_000, 20_000, 40_000, 80_000]
    bench_grouping(sizes, 1 if args.quick else 3)
    bench_classify(20_000, 3 if args.quick else 15)
    bench_fixed_point(100_000 if args.quick else 1_000_000, 1 if args.quick else 3)


if __name__ == "__main__":
    main()

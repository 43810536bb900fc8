"""Lookalike audiences and cohort tables, on the same data in the same run.

    PYTHONPATH=build/dev python bench/bench_lookalike.py [--quick]

generate_lookalike with 100 seeds and 200,000 candidates of 16 features
(cosine and Euclidean) against the NumPy recipe a data scientist would write:
features stacked with np.asarray, similarities vectorised, the percentile
cutoff and a stable descending sort. Both start from the same list of
(customer_id, features, ltv) records; segmora's end-to-end figure includes
building the PySeedCustomer objects, one constructor call per record or all
at once with seed_customers. Then cohort_retention_table plus
aggregate_cohorts_by_period over 10,000 cohorts of 24 points each, next to the
pandas pivot and groupby a user would otherwise write. Best of `repeat` runs.
"""

import argparse
import platform
import time

import numpy as np
import pandas as pd

import segmora


def best_of(repeat, fn):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def records(n, d, seed):
    rng = np.random.default_rng(seed)
    feats = rng.normal(50, 15, size=(n, d))
    ltv = rng.uniform(10, 1000, n)
    return [(f"cust_{i}", feats[i].tolist(), float(ltv[i])) for i in range(n)]


def numpy_lookalike(seed_records, cand_records, metric, threshold=0.9):
    S = np.asarray([r[1] for r in seed_records])
    X = np.asarray([r[1] for r in cand_records])
    profile = S.mean(axis=0)
    if metric == "cosine":
        sims = (X @ profile) / (np.linalg.norm(X, axis=1) * np.linalg.norm(profile))
    else:
        sims = 1 - np.minimum(np.linalg.norm(X - profile, axis=1) / 100, 1)
    i = int((1.0 - threshold) * len(sims))
    cutoff = np.sort(sims)[::-1][i] if i < len(sims) else 0.0
    order = np.argsort(-sims, kind="stable")
    chosen = sims[order][(sims[order] > 0) & (sims[order] >= cutoff)]
    avg = chosen.mean() if len(chosen) else 0.0
    return len(chosen), avg, avg * np.mean([r[2] for r in seed_records])


def segmora_lookalike(seed_records, cand_records, metric):
    seeds = [segmora.PySeedCustomer(i, f, l) for i, f, l in seed_records]
    cands = [segmora.PySeedCustomer(i, f, l) for i, f, l in cand_records]
    return segmora.generate_lookalike(seeds, cands, metric, 0.9)


def segmora_lookalike_bulk(seed_records, cand_records, metric):
    seeds = segmora.seed_customers(seed_records)
    cands = segmora.seed_customers(cand_records)
    return segmora.generate_lookalike(seeds, cands, metric, 0.9)


def cohorts(n, points):
    rng = np.random.default_rng(3)
    out, long_rows = [], []
    for c in range(n):
        cid = f"cohort_{c % (n // 4)}"
        size = int(rng.integers(50, 500))
        cohort = segmora.create_cohort(cid, "monthly", c, [("x", 10.0, True)] * size)
        retained = size
        for age in range(1, points):
            retained = int(retained * rng.uniform(0.8, 1.0))
            cohort.add_retention_point(age, retained)
            long_rows.append((c, age, retained / size))
        out.append(cohort)
    frame = pd.DataFrame(long_rows, columns=["cohort", "age", "rate"])
    summary = pd.DataFrame({"cohort_id": [c.cohort_id for c in out], "size": [c.size for c in out],
                            "revenue": [c.revenue for c in out], "retention": [c.retention_rate_total for c in out]})
    return out, frame, summary


def pandas_cohort_tables(frame, summary):
    table = frame.pivot_table(index="cohort", columns="age", values="rate", aggfunc="last", fill_value=0.0)
    groups = summary.groupby("cohort_id", sort=False).agg(
        total_size=("size", "sum"), total_revenue=("revenue", "sum"), avg_retention=("retention", "mean"),
        cohort_count=("size", "size"))
    return table.values.tolist(), groups.to_dict("index")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one run each")
    args = parser.parse_args()
    repeat = 1 if args.quick else 5
    scale = 10 if args.quick else 1

    print(f"segmora {segmora.__version__}, NumPy {np.__version__}, pandas {pd.__version__}, "
          f"Python {platform.python_version()}, {platform.machine()}")
    print(f"{'workload':<58}{'segmora s':>11}{'peer s':>9}{'ratio':>8}")
    n = 200_000 // scale
    seed_records, cand_records = records(100, 16, 1), records(n, 16, 2)
    seeds = [segmora.PySeedCustomer(i, f, l) for i, f, l in seed_records]
    cands = [segmora.PySeedCustomer(i, f, l) for i, f, l in cand_records]
    for metric in ("cosine", "euclidean"):
        # The four alternate, so that a busy moment of the machine hits all alike.
        runs = [[best_of(1, lambda: numpy_lookalike(seed_records, cand_records, metric)),
                 best_of(1, lambda: segmora.generate_lookalike(seeds, cands, metric, 0.9)),
                 best_of(1, lambda: segmora_lookalike(seed_records, cand_records, metric)),
                 best_of(1, lambda: segmora_lookalike_bulk(seed_records, cand_records, metric))] for _ in range(repeat)]
        (peer, (count, avg, _)), (ours_ready, audience), (ours_full, _), (ours_bulk, bulk) = (
            min((run[k] for run in runs), key=lambda r: r[0]) for k in range(4))
        for result in (audience, bulk):
            assert result.lookalike_count == count and abs(result.avg_similarity - avg) < 1e-9
        print(f"{f'lookalike {metric}, PySeedCustomer lists ready, {n:,} cands':<58}"
              f"{ours_ready:>11.4f}{peer:>9.4f}{peer / ours_ready:>7.1f}x")
        print(f"{f'lookalike {metric}, from records incl. PySeedCustomer build':<58}"
              f"{ours_full:>11.4f}{peer:>9.4f}{peer / ours_full:>7.1f}x")
        print(f"{f'lookalike {metric}, from records via seed_customers':<58}"
              f"{ours_bulk:>11.4f}{peer:>9.4f}{peer / ours_bulk:>7.1f}x")

    m = 10_000 // scale
    built, frame, summary = cohorts(m, 24)
    ours, (table, groups) = best_of(
        repeat, lambda: (segmora.cohort_retention_table(built), segmora.aggregate_cohorts_by_period(built)))
    peer, _ = best_of(repeat, lambda: pandas_cohort_tables(frame, summary))
    assert len(table) == m and len(table[0]) == 24 and len(groups) == m // 4
    print(f"{f'retention table + aggregation, {m:,} cohorts x 24 points':<58}{ours:>11.4f}{peer:>9.4f}"
          f"{peer / ours:>7.1f}x")


if __name__ == "__main__":
    main()

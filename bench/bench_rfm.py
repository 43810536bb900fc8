"""calculate_rfm_py against the usual pandas RFM recipe.

1,000,000 transactions over 100,000 customers, ISO timestamps with "Z". Both
start from the same Python list of (customer_id, timestamp, amount) tuples;
pandas is also timed from a ready DataFrame, and segmora also with one worker
(pandas runs on one core). Peak memory is the growth of the
process's peak RSS during each step, each step run in a fresh subprocess.

    python bench/bench_rfm.py [--transactions N] [--customers N] [--repeat R]
"""

import argparse
import datetime as dt
import json
import platform
import random
import resource
import subprocess
import sys
import time


def make_transactions(n_tx, n_customers, seed=7):
    rng = random.Random(seed)
    now = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    base = now - dt.timedelta(days=365)
    out = []
    for _ in range(n_tx):
        cid = f"C{rng.randrange(n_customers):07d}"
        when = base + dt.timedelta(seconds=rng.randrange(365 * 86400))
        out.append((cid, when.strftime("%Y-%m-%dT%H:%M:%SZ"), round(rng.uniform(1.0, 500.0), 2)))
    return out


def pandas_rfm(df, pd):
    now = pd.Timestamp.now(tz="UTC")
    ts = pd.to_datetime(df["timestamp"], utc=True, errors="coerce", format="ISO8601")
    df = df.assign(ts=ts).dropna(subset=["ts"])
    g = df.groupby("customer_id", sort=False)
    rfm = pd.DataFrame({"last": g["ts"].max(), "frequency": g["ts"].count(), "monetary": g["amount"].sum()})
    days = (now - rfm["last"]).dt.days
    rfm["recency"] = ((90 - days) / 90).clip(0.0, 1.0)
    for col in ("recency", "frequency", "monetary"):
        rfm[col[0] + "_score"] = pd.qcut(rfm[col].rank(method="first"), 5, labels=[1, 2, 3, 4, 5]).astype(int)
    return rfm


def run_step(step, n_tx, n_customers, repeat):
    tx = make_transactions(n_tx, n_customers)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    times = []
    if step.startswith("segmora"):
        import segmora

        config = segmora.PyRFMConfig()
        n_jobs = 1 if step == "segmora_1" else None
        for _ in range(repeat):
            t0 = time.perf_counter()
            result = segmora.calculate_rfm_py(tx, config, n_jobs=n_jobs)
            times.append(time.perf_counter() - t0)
            n_out = len(result)
            del result
    else:
        import pandas as pd

        ready = pd.DataFrame(tx, columns=["customer_id", "timestamp", "amount"]) if step == "pandas_df" else None
        if ready is not None:
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(repeat):
            t0 = time.perf_counter()
            df = ready if ready is not None else pd.DataFrame(tx, columns=["customer_id", "timestamp", "amount"])
            result = pandas_rfm(df, pd)
            times.append(time.perf_counter() - t0)
            n_out = len(result)
            del result, df
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"best": min(times), "customers": n_out, "peak_mib": (peak - before) / 1024}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--transactions", type=int, default=1_000_000)
    ap.add_argument("--customers", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--step")
    a = ap.parse_args()
    if a.step:
        run_step(a.step, a.transactions, a.customers, a.repeat)
        return

    import pandas as pd
    import segmora

    rows = {}
    for step in ("segmora", "segmora_1", "pandas_list", "pandas_df"):
        out = subprocess.run(
            [sys.executable, __file__, "--step", step, "--transactions", str(a.transactions),
             "--customers", str(a.customers), "--repeat", str(a.repeat)],
            check=True, capture_output=True, text=True,
        ).stdout
        rows[step] = json.loads(out.strip().splitlines()[-1])

    print(f"RFM: {a.transactions:,} transactions, {a.customers:,} customers; best of {a.repeat}")
    print(f"python {platform.python_version()}, segmora {segmora.__version__}, pandas {pd.__version__}")
    print(f"{'implementation':<38}{'seconds':>10}{'peak MiB':>10}{'customers':>11}")
    labels = {
        "segmora": "segmora calculate_rfm_py (list)",
        "segmora_1": "segmora calculate_rfm_py, n_jobs=1",
        "pandas_list": "pandas (list -> DataFrame -> RFM)",
        "pandas_df": "pandas (ready DataFrame)",
    }
    for step, label in labels.items():
        r = rows[step]
        print(f"{label:<38}{r['best']:>10.3f}{r['peak_mib']:>10.1f}{r['customers']:>11,}")
    s = rows["segmora"]["best"]
    print(f"speed-up vs pandas from the list:      {rows['pandas_list']['best'] / s:.2f}x")
    print(f"speed-up vs pandas from a DataFrame:   {rows['pandas_df']['best'] / s:.2f}x")
    print(f"one worker vs pandas from the list:    {rows['pandas_list']['best'] / rows['segmora_1']['best']:.2f}x")


if __name__ == "__main__":
    main()

"""Purchase and spend models: segmora's BetaGeoModel, ParetoNBDModel, GammaGammaModel and
clv_summary_from_columns against lifetimes' fitters and summary_data_from_transaction_data.

1,000,000 customers simulated from each purchase model with continuous times
(so no two customers share a row), Gamma-Gamma on the repeat customers of the
BG/NBD sample, and a log of 1,000,000 transactions for the summary. Each
workload alternates segmora and lifetimes in this one process (segmora with
all cores and with one worker; lifetimes runs on one core); the best time of
the repeats is reported, with the load average seen, the speed-up, the
largest relative difference of the fitted parameters, and how much higher
segmora's log-likelihood is than the log-likelihood at lifetimes' parameters
(lifetimes stops its optimisers at tol 1e-7, and its Pareto/NBD Nelder-Mead
search at 1e-4: its parameters are that far from the maximum).

lifetimes is a benchmark peer only, never a dependency: pip install lifetimes
(0.11.3 runs with pandas 3 and NumPy 2 in this repository's environment). Where
it does not import, make a separate environment for it (python -m venv
/tmp/venv-lifetimes; /tmp/venv-lifetimes/bin/pip install "numpy<2" "pandas<3"
lifetimes, plus this package) and run the script with that interpreter.

    python bench/bench_clv.py [--customers N] [--repeat R] [--quick]

--quick: 100,000 customers and transactions, lifetimes' Pareto/NBD fit skipped.
lifetimes' Pareto/NBD fit on 1,000,000 customers takes minutes: it runs once.
"""
import argparse
import gc
import os
import platform
import sys
import time
import warnings

import numpy as np
import pandas as pd

import segmora

BG_TRUTH = (0.243, 4.41, 0.793, 2.426)   # CDNOW's BG/NBD estimates (weeks)
PARETO_TRUTH = (0.553, 10.58, 0.606, 11.67)
SPEND_TRUTH = (6.25, 3.74, 15.44)


def simulate_bgnbd(n, params, rng):
    r, alpha, a, b = params
    T = rng.uniform(20, 60, n)
    arrivals = rng.poisson(rng.gamma(r, 1 / alpha, n) * T)
    x = np.minimum(arrivals, rng.geometric(rng.beta(a, b, n)))
    t = np.where(x > 0, T * rng.beta(np.maximum(x, 1), arrivals - x + 1), 0.0)
    return x.astype(float), t, T


def simulate_pareto(n, params, rng):
    r, alpha, s, beta = params
    T = rng.uniform(20, 60, n)
    active = np.minimum(rng.exponential(1 / rng.gamma(s, 1 / beta, n)), T)
    x = rng.poisson(rng.gamma(r, 1 / alpha, n) * active)
    t = np.where(x > 0, active * rng.random(n) ** (1 / np.maximum(x, 1)), 0.0)
    return x.astype(float), t, T


def simulate_spend(x, params, rng):
    p, q, v = params
    nu = rng.gamma(q, 1 / v, len(x))
    return np.where(x > 0, rng.gamma(np.maximum(p * x, 1e-12), 1 / (np.maximum(x, 1) * nu)), 0.0)


def transactions(n, rng):
    """n purchases of n / 5 customers over two years, a few on the same day, as a DataFrame."""
    customers = rng.integers(0, n // 5, n)
    seconds = rng.integers(0, 730 * 86_400, n)
    return pd.DataFrame({
        "customer_id": customers,
        "timestamp": pd.Timestamp("2023-01-01") + pd.to_timedelta(seconds, unit="s"),
        "amount": np.round(rng.gamma(2.0, 20.0, n), 2),
    })


def best(fn, repeat):
    times, out = [], None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def alternate(ours, theirs, repeat, peer_repeat):
    """Best times of segmora (all cores, one worker) and the peer, run in turns."""
    t_all, t_one, t_peer = [], [], []
    result = peer = None
    for i in range(max(repeat, peer_repeat)):
        if i < repeat:
            t, result = best(lambda: ours(None), 1)
            t_all.append(t)
            t_one.append(best(lambda: ours(1), 1)[0])
        if i < peer_repeat:
            t, peer = best(theirs, 1)
            t_peer.append(t)
    return min(t_all), min(t_one), (min(t_peer) if t_peer else None), result, peer


def relative(ours, theirs):
    ours, theirs = np.asarray(ours, dtype=float), np.asarray(theirs, dtype=float)
    return float(np.max(np.abs(ours - theirs) / np.abs(theirs)))


def report(name, t_all, t_one, t_peer, model, ours, theirs, data):
    """One table row; the last column is segmora's log-likelihood minus the one at lifetimes' parameters."""
    line = f"| {name} | {t_all:.3f} | {t_one:.3f} |"
    if theirs is None:
        print(line + " — | — | — | — |")
        return
    mine, peer = tuple(ours.params_.values()), tuple(float(v) for v in theirs.params_.values)
    gain = ours.log_likelihood_ - segmora._clv_log_likelihood(model, peer, data)[0]
    print(line + f" {t_peer:.2f} | {t_peer / t_all:.0f}x ({t_peer / t_one:.0f}x one worker) | {relative(mine, peer):.1e} "
          f"| {gain:+.2e} |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--customers", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    n = 100_000 if args.quick else args.customers
    try:
        import lifetimes
        from lifetimes import BetaGeoFitter, GammaGammaFitter, ParetoNBDFitter
        from lifetimes.utils import summary_data_from_transaction_data
    except ImportError as error:  # not a dependency: run_all goes on without this table
        print(f"lifetimes does not import here ({error}); pip install lifetimes, or see this script's docstring")
        return
    warnings.simplefilter("ignore")  # lifetimes' deprecation noise under pandas 3
    print(f"# machine: {platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, numpy "
          f"{np.__version__}, pandas {pd.__version__}, lifetimes {lifetimes.__version__}; "
          f"load average {os.getloadavg()[0]:.2f}")
    rng = np.random.default_rng(2024)
    bg = simulate_bgnbd(n, BG_TRUTH, rng)
    pareto = simulate_pareto(n, PARETO_TRUTH, rng)
    spend = simulate_spend(bg[0], SPEND_TRUTH, rng)
    repeat = bg[0] > 0

    print(f"\n| {n:,} customers | segmora s | one worker s | lifetimes s | speed-up | params rel. diff "
          "| log-lik. gain |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    t_all, t_one, t_peer, ours, theirs = alternate(
        lambda jobs: segmora.BetaGeoModel(n_jobs=jobs).fit(*bg), lambda: BetaGeoFitter().fit(*bg), args.repeat, 3)
    report("BG/NBD fit", t_all, t_one, t_peer, "BetaGeo", ours, theirs, bg)
    t_all, t_one, t_peer, ours, theirs = alternate(
        lambda jobs: segmora.GammaGammaModel(n_jobs=jobs).fit(bg[0], spend),
        lambda: GammaGammaFitter().fit(bg[0][repeat], spend[repeat]), args.repeat, 3)
    report(f"Gamma-Gamma fit ({repeat.sum():,} repeat customers)", t_all, t_one, t_peer, "GammaGamma", ours, theirs,
           (bg[0], spend))
    t_all, t_one, t_peer, ours, theirs = alternate(
        lambda jobs: segmora.ParetoNBDModel(n_jobs=jobs).fit(*pareto), lambda: ParetoNBDFitter().fit(*pareto),
        args.repeat, 0 if args.quick else 1)
    report("Pareto/NBD fit", t_all, t_one, t_peer, "ParetoNBD", ours, theirs, pareto)
    print(f"load average after the fits: {os.getloadavg()[0]:.2f}")

    tx = transactions(n, rng)
    as_of = tx["timestamp"].max()
    t_all, t_one, t_peer, ours, theirs = alternate(
        lambda jobs: pd.DataFrame(segmora.clv_summary_from_columns(tx["customer_id"], tx["timestamp"], tx["amount"],
                                                                   n_jobs=jobs)),
        lambda: summary_data_from_transaction_data(tx, "customer_id", "timestamp", monetary_value_col="amount",
                                                   observation_period_end=as_of),
        args.repeat, 3)
    mine = ours.set_index("customer_id").sort_index()
    same = len(mine) == len(theirs) and all(
        np.allclose(mine[c].to_numpy(), theirs[c].to_numpy(), rtol=1e-9) for c in ("frequency", "recency", "T", "monetary_value"))
    print(f"\n| {len(tx):,} transactions, {len(theirs):,} customers | segmora s | one worker s | lifetimes s | speed-up "
          f"| same table |")
    print("|---|---:|---:|---:|---:|---:|")
    print(f"| summary (into a DataFrame) | {t_all:.3f} | {t_one:.3f} | {t_peer:.2f} | {t_peer / t_all:.1f}x "
          f"({t_peer / t_one:.1f}x one worker) | {'yes' if same else 'NO'} |")
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()

"""Writes the quickstart's sample transactions (deterministic for a given date).

    python examples/data/generate_sample.py [--anchor YYYY-MM-DD] [--out PATH]

Customers follow a few shopping habits (frequent big spenders, steady regulars,
recent first-timers, lapsed and long-gone buyers) so that every RFM segment has
members. Timestamps are written relative to the anchor date (default: today,
UTC), so recency stays meaningful whenever the sample is regenerated; the same
anchor always gives the same file.
"""

import argparse
import csv
import datetime as dt
import pathlib
import random

SEED = 20240301
N_CUSTOMERS = 3000
DEFAULT_PATH = pathlib.Path(__file__).with_name("sample_transactions.csv")

# (share of customers, purchases (min, max), days since last purchase (min, max),
#  days spanned by earlier purchases, basket mean)
HABITS = [
    (0.12, (8, 20), (0, 10), 240, 120.0),  # frequent big spenders
    (0.18, (5, 10), (0, 30), 300, 45.0),  # steady regulars
    (0.15, (1, 2), (0, 14), 10, 70.0),  # recent first-timers
    (0.20, (3, 8), (60, 150), 200, 60.0),  # lapsing
    (0.20, (1, 3), (150, 360), 90, 30.0),  # long gone
    (0.15, (1, 4), (20, 90), 120, 250.0),  # occasional big baskets
]


def generate(anchor: dt.date) -> list[tuple[str, str, float]]:
    """Transactions as (customer_id, RFC 3339 timestamp, amount), in time order."""
    rng = random.Random(SEED)
    midnight = dt.datetime(anchor.year, anchor.month, anchor.day, tzinfo=dt.timezone.utc)
    weights = [h[0] for h in HABITS]
    rows = []
    for c in range(N_CUSTOMERS):
        _, (lo, hi), (last_lo, last_hi), span, basket = rng.choices(HABITS, weights)[0]
        customer = f"CUST-{c + 1:05d}"
        last = rng.uniform(last_lo, last_hi)
        for k in range(rng.randint(lo, hi)):
            days_ago = last if k == 0 else last + rng.uniform(0, span)
            when = midnight - dt.timedelta(days=days_ago, seconds=rng.randrange(1, 86400))
            amount = round(max(1.0, rng.lognormvariate(0, 0.6) * basket), 2)
            rows.append((when, customer, amount))
    rows.sort()
    return [(customer, when.strftime("%Y-%m-%dT%H:%M:%SZ"), amount) for when, customer, amount in rows]


def write_csv(path: pathlib.Path, rows) -> None:
    with open(path, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["customer_id", "timestamp", "amount"])
        out.writerows(rows)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--anchor", type=dt.date.fromisoformat, default=dt.datetime.now(dt.timezone.utc).date())
    ap.add_argument("--out", type=pathlib.Path, default=DEFAULT_PATH)
    a = ap.parse_args()
    rows = generate(a.anchor)
    write_csv(a.out, rows)
    print(f"wrote {len(rows):,} transactions of {N_CUSTOMERS:,} customers to {a.out}")


if __name__ == "__main__":
    main()

"""segmora quickstart: RFM segments and k-means clusters from purchase transactions.

    python examples/quickstart.py [transactions.csv]

The CSV holds one purchase per line: customer_id,timestamp,amount (a header line
is optional; timestamps are RFC 3339, e.g. 2024-03-01T10:00:00Z). Without an
argument the bundled sample under examples/data/ is used; its timestamps are
relative to the day it was generated, so when it has gone stale the same sample
is regenerated in memory for today (deterministically, the file is left as is).
"""

import csv
import datetime as dt
import math
import pathlib
import sys
import time

import segmora

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "data"))
import generate_sample  # noqa: E402

N_CLUSTERS = 4


def read_transactions(path: pathlib.Path) -> list[tuple[str, str, float]]:
    rows = []
    try:
        f = open(path, newline="")
    except OSError as e:
        sys.exit(f"{path}: {e.strerror}")
    with f:
        for line_no, fields in enumerate(csv.reader(f), start=1):
            if not fields:
                continue
            if len(fields) != 3:
                sys.exit(f"{path}:{line_no}: expected customer_id,timestamp,amount, got {len(fields)} fields")
            customer, stamp, amount = (x.strip() for x in fields)
            try:
                value = float(amount)
            except ValueError:
                if line_no == 1:
                    continue  # the header
                sys.exit(f"{path}:{line_no}: amount {amount!r} is not a number")
            if not math.isfinite(value):  # k-means refuses NaN and infinities
                sys.exit(f"{path}:{line_no}: amount {amount!r} is not a finite number")
            rows.append((customer, stamp, value))
    return rows


def sample_transactions() -> tuple[list[tuple[str, str, float]], str]:
    """The bundled sample, regenerated for today when its dates have gone stale."""
    path = generate_sample.DEFAULT_PATH
    label = f"{path.relative_to(HERE.parent)} (sample)"
    today = dt.datetime.now(dt.timezone.utc).date()
    rows = read_transactions(path) if path.exists() else []
    newest = max((r[1][:10] for r in rows), default="")
    if newest != (today - dt.timedelta(days=1)).isoformat():
        rows = generate_sample.generate(today)
        label = f"{path.relative_to(HERE.parent)} (sample, dates regenerated for {today})"
    return rows, label


def mean(values) -> float:
    values = list(values)
    return math.fsum(values) / len(values) if values else 0.0


def print_table(headers, rows, aligns):
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    fmt = "  ".join(f"{{:{a}{w}}}" for a, w in zip(aligns, widths))
    print(fmt.format(*headers).rstrip())
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(fmt.format(*r).rstrip())


def segment_report(scores) -> None:
    groups: dict[str, list] = {}
    for s in scores:
        groups.setdefault(s.rfm_segment, []).append(s)
    total_revenue = math.fsum(s.monetary for s in scores)
    rows = []
    for name, members in sorted(groups.items(), key=lambda kv: (-len(kv[1]), kv[0])):
        revenue = math.fsum(s.monetary for s in members)
        rows.append(
            (
                name,
                f"{len(members):,}",
                f"{100 * len(members) / len(scores):.1f}%",
                f"{mean(s.recency for s in members):.3f}",
                f"{mean(s.frequency for s in members):.2f}",
                f"{mean(s.monetary for s in members):,.2f}",
                f"{100 * revenue / total_revenue:.1f}%" if total_revenue else "-",
            )
        )
    print_table(
        ["Segment", "Customers", "Share", "Avg recency", "Avg frequency", "Avg monetary", "Revenue"],
        rows,
        ["<", ">", ">", ">", ">", ">", ">"],
    )


def cluster_report(scores) -> None:
    # Standardise the three RFM values so that no unit dominates the distances.
    features = [(s.recency, s.frequency, s.monetary) for s in scores]
    cols = list(zip(*features))
    centre = [mean(c) for c in cols]
    spread = [math.sqrt(mean((x - m) ** 2 for x in c)) or 1.0 for c, m in zip(cols, centre)]
    rows = [[(x - m) / sd for x, m, sd in zip(f, centre, spread)] for f in features]
    k = min(N_CLUSTERS, len(rows))
    result = segmora.kmeans_py(rows, k, random_state=42)

    clusters: dict[int, list] = {}
    for s, label in zip(scores, result.labels):
        clusters.setdefault(label, []).append(s)
    table = []
    for label, members in sorted(clusters.items(), key=lambda kv: -mean(s.monetary for s in kv[1])):
        names: dict[str, int] = {}
        for s in members:
            names[s.rfm_segment] = names.get(s.rfm_segment, 0) + 1
        top, count = max(names.items(), key=lambda kv: (kv[1], kv[0]))
        table.append(
            (
                str(label),
                f"{len(members):,}",
                f"{mean(s.recency for s in members):.3f}",
                f"{mean(s.frequency for s in members):.2f}",
                f"{mean(s.monetary for s in members):,.2f}",
                f"{top} ({100 * count / len(members):.0f}%)",
            )
        )
    print(f"k-means on standardised RFM values: k={k}, {result.n_iter} iterations, inertia {result.inertia:,.1f}")
    print_table(
        ["Cluster", "Customers", "Avg recency", "Avg frequency", "Avg monetary", "Most common segment"],
        table,
        [">", ">", ">", ">", ">", "<"],
    )


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    if len(argv) == 2:
        path = pathlib.Path(argv[1])
        transactions, source = read_transactions(path), str(path)
    else:
        transactions, source = sample_transactions()

    config = segmora.PyRFMConfig(
        decay_function=segmora.PyDecayFunction.linear(),
        decay_half_life_days=30,
        scoring_method=segmora.PyScoringMethod.quintile(),
    )
    start = time.perf_counter()
    scores = segmora.calculate_rfm_py(transactions, config)
    elapsed = time.perf_counter() - start

    print(f"segmora {segmora.__version__} quickstart")
    print(f"{len(transactions):,} transactions from {source}")
    if not scores:
        print("no transactions: nothing to report")
        return 0
    print(f"RFM: {len(scores):,} customers scored in {elapsed * 1000:.1f} ms "
          f"(linear decay over 90 days, quintile scores)\n")
    segment_report(scores)
    print()
    top = scores[0]
    print(f"Top customer by monetary value: {top!r}, rank {top.rfm_rank}\n")
    cluster_report(scores)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

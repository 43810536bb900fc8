"""segmora quickstart: RFM segments and k-means clusters from purchase transactions.

    python examples/quickstart.py [transactions.csv]

The CSV holds one purchase per line: customer_id,timestamp,amount (a header line
is optional; timestamps are RFC 3339, e.g. 2024-03-01T10:00:00Z). Without an
argument the bundled sample under examples/data/ is used; its timestamps are
relative to the day it was generated, so when it has gone stale the same sample
is regenerated in memory for today (deterministically, the file is left as is).

It then fits the BG/NBD purchase model and the Gamma-Gamma spend model to the
same transactions and prints, per RFM segment, the probability that its
customers are still active, the purchases they are expected to make in the next
90 days and their expected value over the next 12 months.

With matplotlib installed, the job also draws segments.png in the current
directory (customers and revenue share per segment, and a heatmap of customers
by recency and frequency score) and p_alive.png (the probability that a
customer is still active, by frequency and recency).
"""

import csv
import datetime as dt
import math
import pathlib
import sys
import time
import warnings

import segmora

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "data"))
import generate_sample  # noqa: E402

N_CLUSTERS = 4
HALF_LIFE_DAYS = 30
PICTURE = "segments.png"
ALIVE_PICTURE = "p_alive.png"
HORIZON_DAYS = 90


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


def days_since_last_purchase(transactions) -> dict[str, int]:
    """Whole days from each customer's latest readable purchase to now."""
    now = dt.datetime.now(dt.timezone.utc)
    last: dict[str, dt.datetime] = {}
    for customer, stamp, _ in transactions:
        try:
            when = dt.datetime.fromisoformat(stamp.replace("z", "Z"))
        except ValueError:
            continue
        if when.tzinfo is None:
            continue  # segmora skips these too
        if customer not in last or when > last[customer]:
            last[customer] = when
    return {c: (now - w).days for c, w in last.items()}


def segment_report(scores, days) -> None:
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
                f"{mean(days[s.customer_id] for s in members if s.customer_id in days):.0f}",
                f"{mean(s.recency for s in members):.3f}",
                f"{mean(s.frequency for s in members):.2f}",
                f"{mean(s.monetary for s in members):,.2f}",
                f"{100 * revenue / total_revenue:.1f}%" if total_revenue else "-",
            )
        )
    print_table(
        ["Segment", "Customers", "Share", "Avg days since purchase", "Avg recency weight", "Avg frequency",
         "Avg monetary", "Revenue"],
        rows,
        ["<", ">", ">", ">", ">", ">", ">", ">"],
    )


def draw_picture(scores, path: pathlib.Path) -> bool:
    """Segment sizes and revenue share, and customers by recency x frequency score; False without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    groups: dict[str, list] = {}
    for s in scores:
        groups.setdefault(s.rfm_segment, []).append(s)
    names = sorted(groups, key=lambda n: -len(groups[n]))
    total = math.fsum(s.monetary for s in scores) or 1.0
    top = max(max(s.recency_score, s.frequency_score) for s in scores)
    grid = [[0] * top for _ in range(top)]
    for s in scores:
        grid[top - s.recency_score][s.frequency_score - 1] += 1

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5))
    y = range(len(names))
    left.barh([i - 0.2 for i in y], [len(groups[n]) for n in names], height=0.4, label="customers")
    twin = left.twiny()
    twin.barh([i + 0.2 for i in y], [100 * math.fsum(s.monetary for s in groups[n]) / total for n in names],
              height=0.4, color="tab:orange", label="revenue share (%)")
    left.set_yticks(list(y), names)
    left.invert_yaxis()
    left.set_xlabel("customers (blue)")
    twin.set_xlabel("share of revenue, % (orange)")
    left.set_title("Segments", pad=30)
    image = right.imshow(grid, cmap="viridis")
    right.set_xticks(range(top), [str(f) for f in range(1, top + 1)])
    right.set_yticks(range(top), [str(r) for r in range(top, 0, -1)])
    right.set_xlabel("frequency score")
    right.set_ylabel("recency score")
    right.set_title("Customers by recency and frequency score")
    fig.colorbar(image, ax=right, label="customers")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


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


def fit_models(transactions, now):
    """The customers' summaries and the fitted purchase and spend models, or None with the reason."""
    with warnings.catch_warnings(record=True) as caught:  # skipped rows were reported with the RFM scores
        warnings.simplefilter("always")
        summary = segmora.clv_summary_from_columns([c for c, _, _ in transactions], [t for _, t, _ in transactions],
                                                   [a for _, _, a in transactions], as_of=now)
        if sum(f > 0 for f in summary["frequency"]) < 2:
            return None, "fewer than two customers with a repeat purchase"
        columns = [summary[c] for c in ("frequency", "recency", "T")]
        purchases = segmora.BetaGeoModel().fit(*columns)
        spend = segmora.GammaGammaModel().fit(columns[0], summary["monetary_value"])
    for warning in caught:
        if "did not converge" in str(warning.message):
            print(f"warning: {warning.message}")
    return (summary, purchases, spend), None


def value_report(scores, models) -> None:
    """P(alive), expected purchases and 12-month value per RFM segment."""
    summary, purchases, spend = models
    columns = [summary[c] for c in ("frequency", "recency", "T")]
    alive = purchases.probability_alive(*columns)
    upcoming = purchases.predict_purchases(HORIZON_DAYS, *columns)
    value = spend.customer_lifetime_value(purchases, *columns, summary["monetary_value"], months=12)
    by_customer = {c: (alive[i], upcoming[i], value[i]) for i, c in enumerate(summary["customer_id"])}
    groups: dict[str, list] = {}
    for s in scores:
        if s.customer_id in by_customer:
            groups.setdefault(s.rfm_segment, []).append(by_customer[s.customer_id])
    rows = [(name, f"{len(members):,}", f"{mean(m[0] for m in members):.2f}", f"{mean(m[1] for m in members):.2f}",
             f"{mean(m[2] for m in members):,.2f}", f"{math.fsum(m[2] for m in members):,.0f}")
            for name, members in sorted(groups.items(), key=lambda kv: -mean(m[2] for m in kv[1]))]
    p = purchases.params_
    print(f"BG/NBD: r={p['r']:.3f}, alpha={p['alpha']:.1f} days, a={p['a']:.3f}, b={p['b']:.3f} "
          f"({purchases.n_iter_} Newton steps); Gamma-Gamma: {spend!r}")
    print(f"Expected value per RFM segment (next {HORIZON_DAYS} days and 12 months, discounted 1% a month):")
    print_table(["Segment", "Customers", "P(alive)", f"Purchases next {HORIZON_DAYS} days", "12-month value per customer",
                 "12-month value"], rows, ["<", ">", ">", ">", ">", ">"])


def draw_alive_picture(models, path: pathlib.Path) -> bool:
    """P(alive) by frequency and recency for customers of the oldest age; False without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    summary, purchases, _ = models
    age = max(summary["T"])
    top = max(1, int(sorted(summary["frequency"])[int(0.99 * (len(summary["frequency"]) - 1))]))
    recency = [age * k / 49 for k in range(50)]
    grid = []
    for f in range(top, -1, -1):
        row = purchases.probability_alive([f] * len(recency), [t if f else 0.0 for t in recency], [age] * len(recency))
        grid.append(list(row))
    fig, ax = plt.subplots(figsize=(8, 5))
    image = ax.imshow(grid, aspect="auto", cmap="viridis", vmin=0, vmax=1, extent=(0, age, -0.5, top + 0.5))
    ax.set_xlabel("recency: days from the first to the last purchase")
    ax.set_ylabel("frequency: repeat purchases")
    ax.yaxis.get_major_locator().set_params(integer=True)
    ax.set_title(f"P(alive) after {age:.0f} days, BG/NBD")
    fig.colorbar(image, ax=ax, label="probability the customer is still active")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


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
        decay_half_life_days=HALF_LIFE_DAYS,
        scoring_method=segmora.PyScoringMethod.quintile(),
    )
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        scores = segmora.calculate_rfm_py(transactions, config)
    elapsed = time.perf_counter() - start

    print(f"segmora {segmora.__version__} quickstart")
    print(f"{len(transactions):,} transactions from {source}")
    if not scores:
        print("no transactions: nothing to report")
        return 0
    for warning in caught:
        print(f"warning: {warning.message}")
    print(f"RFM: {len(scores):,} customers scored in {elapsed * 1000:.1f} ms")
    print(f"Recency weight: linear decay, weight 1 on the day of purchase and 0 after {3 * HALF_LIFE_DAYS} days "
          f"(3 \u00d7 half-life {HALF_LIFE_DAYS}); scores 1-5 by position (quintiles)\n")
    segment_report(scores, days_since_last_purchase(transactions))
    print()
    top = scores[0]
    print(f"Top customer by monetary value: {top!r}, rank {top.rfm_rank}\n")
    cluster_report(scores)
    print()
    models, reason = fit_models(transactions, dt.datetime.now(dt.timezone.utc))
    if models:
        value_report(scores, models)
    else:
        print(f"Purchase and spend models not fitted: {reason}")
    print()
    picture = pathlib.Path.cwd() / PICTURE
    if draw_picture(scores, picture):
        print(f"Picture: {picture} (segment sizes and revenue share, customers by recency x frequency score)")
        alive_picture = pathlib.Path.cwd() / ALIVE_PICTURE
        if models and draw_alive_picture(models, alive_picture):
            print(f"Picture: {alive_picture} (P(alive) by frequency and recency)")
    else:
        print(f"For a picture of the segments ({PICTURE}), install matplotlib: pip install matplotlib")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""Out of core on one machine: mini-batch k-means over a Parquet dataset read batch by batch."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("pyarrow.dataset")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import out_of_core  # noqa: E402

BATCH = 32_768  # rows: 1 MB of four float64 features
# A fresh process fits over `path` and reports its peak RSS growth during the fit (KB) and the centers.
MEASURE = """
import json, resource, sys
sys.path.insert(0, {examples!r})
import out_of_core
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
model = out_of_core.fit_minibatch({path!r}, batch_size={batch})
growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(json.dumps({{"growth_kb": growth, "centers": model.cluster_centers_.tolist()}}))
"""


def fit_in_fresh_process(path):
    env = dict(os.environ)
    # Memory handed back is returned to the system at once, so the peak reflects what was held.
    env.update(ARROW_DEFAULT_MEMORY_POOL="system", MALLOC_MMAP_THRESHOLD_="65536")
    code = MEASURE.format(examples=os.path.join(ROOT, "examples"), path=path, batch=BATCH)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    return json.loads(out.stdout)


def test_a_parquet_dataset_is_fitted_in_the_memory_of_a_few_batches(tmp_path):
    one, many = str(tmp_path / "one"), str(tmp_path / "many")
    out_of_core.write_features(one, BATCH, files=1, row_group=BATCH)
    out_of_core.write_features(many, 32 * BATCH, files=8, row_group=BATCH)  # 32 MB of rows
    baseline, full = fit_in_fresh_process(one), fit_in_fresh_process(many)
    # Against a fit of a single batch (same imports, threads and first allocations): a few batches more.
    assert full["growth_kb"] - baseline["growth_kb"] < 6 * 1024
    # Every row was fed, in order: the same fit as the whole dataset fed from memory in the same batches.
    import pyarrow.parquet as pq
    import segmora

    rows = np.column_stack([pq.read_table(many).column(c).to_numpy() for c in out_of_core.FEATURES])
    model = segmora.MiniBatchKMeans(4, random_state=0)
    for start in range(0, len(rows), BATCH):
        model.partial_fit(rows[start:start + BATCH])
    assert full["centers"] == model.cluster_centers_.tolist()

"""Runs every benchmark in turn and prints their tables.

    pip install '.[bench]' && python bench/run_all.py [--quick]

Each script compares segmora with the library a user would otherwise pick, on
the same data in the same run; run on an otherwise idle machine.
"""
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SCRIPTS = ["bench_kmeans.py", "bench_rfm.py", "bench_evaluation.py", "bench_drift_streaming.py",
           "bench_lookalike.py", "bench_minibatch.py", "bench_kprototypes.py", "bench_privacy.py",
           "bench_frontdoor.py", "bench_columnar.py", "bench_hardening.py", "bench_dask.py", "bench_spark.py",
           "bench_mini_batch_estimator.py", "bench_drift_report.py", "bench_threads.py", "bench_clv.py"]


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    for script in SCRIPTS:
        args = [sys.executable, str(HERE / script)]
        if quick and script not in ("bench_rfm.py", "bench_frontdoor.py"):
            args.append("--quick")
        print(f"## {script}", flush=True)
        rc = subprocess.call(args)
        if rc != 0:
            return rc
        print(flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

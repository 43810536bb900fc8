"""The quickstart job and its bundled sample."""

import datetime as dt
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import segmora

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "data"))
import generate_sample  # noqa: E402


def run_quickstart(*args, cwd, path_first=(), returncode=0):
    """Runs the job with the module under test, wherever it was imported from, and checks its exit status."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*path_first, str(pathlib.Path(segmora.__file__).parent), env.get("PYTHONPATH", "")])
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py"), *args],
                         capture_output=True, text=True, env=env, timeout=120, cwd=cwd)
    assert out.returncode == returncode, out.stderr
    return out


def test_bundled_sample_is_the_generator_output():
    lines = generate_sample.DEFAULT_PATH.read_text().splitlines()
    assert lines[0] == "customer_id,timestamp,amount"
    anchor = dt.date.fromisoformat(max(line.split(",")[1][:10] for line in lines[1:])) + dt.timedelta(days=1)
    assert lines[1:] == [f"{c},{t},{a}" for c, t, a in generate_sample.generate(anchor)]
    assert len({line.split(",")[0] for line in lines[1:]}) == generate_sample.N_CUSTOMERS


def test_generator_is_deterministic_and_relative_to_the_anchor():
    a = generate_sample.generate(dt.date(2030, 1, 15))
    assert a == generate_sample.generate(dt.date(2030, 1, 15))
    b = generate_sample.generate(dt.date(2030, 1, 16))
    assert [(c, m) for c, _, m in a] == [(c, m) for c, _, m in b]
    assert max(t for _, t, _ in a) < "2030-01-15"


def test_quickstart_on_the_sample(tmp_path):
    text = run_quickstart(cwd=tmp_path).stdout
    for fragment in ("linear decay, weight 1 on the day of purchase and 0 after 90 days (3 \u00d7 half-life 30)",
                     "Avg days since purchase  Avg recency weight", "3,000 customers", "Segment", "Champions", "Lost",
                     "k-means on standardised RFM values: k=4", "Expected value per RFM segment (next 90 days",
                     "Segment              Customers  P(alive)  Purchases next 90 days  12-month value per customer"):
        assert fragment in text, fragment
    if importlib.util.find_spec("matplotlib") is not None:  # the pictures, when they can be drawn
        for name in ("segments.png", "p_alive.png"):
            picture = tmp_path / name
            assert f"Picture: {picture} (" in text
            assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_quickstart_on_a_csv(tmp_path):
    stamp = (dt.datetime.now(dt.timezone.utc) - dt.timedelta(days=3)).strftime("%Y-%m-%dT%H:%M:%SZ")
    path = tmp_path / "tx.csv"
    path.write_text("customer_id,timestamp,amount\n" + "".join(f"c{i},{stamp},{10 * (i + 1)}\n" for i in range(6))
                    + "c0,not a date,5\n")
    out = run_quickstart(str(path), cwd=tmp_path).stdout
    assert "7 transactions" in out and "6 customers" in out
    assert "Top customer by monetary value: RFMScore(customer_id=c5, " in out
    assert "Purchase and spend models not fitted: fewer than two customers with a repeat purchase" in out


@pytest.mark.parametrize("amount, message", [
    ("twelve", "bad.csv:2: amount 'twelve' is not a number"), ("nan", "bad.csv:2: amount 'nan' is not a finite number"),
    ("-inf", "bad.csv:2: amount '-inf' is not a finite number"), (None, "bad.csv: No such file or directory"),
])
def test_quickstart_rejects_bad_input(tmp_path, amount, message):
    path = tmp_path / "bad.csv"
    if amount is not None:
        path.write_text(f"c1,2024-03-01T10:00:00Z,12\nc2,2024-03-01T10:00:00Z,{amount}\n")
    out = run_quickstart(str(path), cwd=tmp_path, returncode=1)
    assert message in out.stderr
    assert "Traceback" not in out.stderr


def test_quickstart_without_matplotlib_says_how_to_get_the_picture(tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "matplotlib.py").write_text("raise ImportError('no matplotlib here')\n")
    assert "install matplotlib: pip install matplotlib" in run_quickstart(cwd=tmp_path, path_first=[str(blocker)]).stdout
    assert not (tmp_path / "segments.png").exists() and not (tmp_path / "p_alive.png").exists()

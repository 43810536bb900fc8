"""Every Python example in the README runs against the built module."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

import segmora

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCKS = re.findall(r"```python\n(.*?)```", open(os.path.join(ROOT, "README.md")).read(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code):
    if "pyspark" in code:
        if importlib.util.find_spec("pyspark") is None or (shutil.which("java") is None and "JAVA_HOME" not in os.environ):
            pytest.skip("the Spark example needs PySpark and a Java runtime")
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            pytest.skip("the JVM does not run under the preloaded sanitizer runtime")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(segmora.__file__), env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr

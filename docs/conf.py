# Sphinx configuration of segmora's API reference.
#
# The pages document the installed (or PYTHONPATH's) segmora module with the
# signatures and docstrings of segmora.pyi (see _ext/segmora_api.py). Every
# example is a doctest: `sphinx-build -b doctest` runs them all against the
# module. Nothing is fetched from the network.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import segmora  # noqa: E402

project = "segmora"
author = segmora.__author__
release = version = segmora.__version__
copyright = "the segmora developers"

extensions = ["sphinx.ext.doctest", "segmora_api"]
segmora_stub = os.path.join("..", "segmora.pyi")
segmora_modules = ["segmora", "segmora_dask", "segmora_spark"]

exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {"description": "Customer segmentation and analytics engine", "fixed_sidebar": True}
html_static_path: list[str] = []

# Examples run with the module's names in scope, as help() shows them.
doctest_global_setup = "from segmora import *\nimport segmora"

import os
import sys

# Run against an in-tree build when one is given (PYTHONPATH=build/dev), else the installed module.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

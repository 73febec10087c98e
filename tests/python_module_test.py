"""The Python package's tests (python/tests, pytest) against this build's
module, with the system's python. Skipped where the module was not built or
pytest is missing; a run in which no test ran fails.

Run with the build folder as the only argument.
"""
import glob
import importlib.util
import os
import subprocess
import sys

BUILD = os.path.abspath(sys.argv[1])
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(BUILD, "python")

if not glob.glob(os.path.join(PACKAGE, "assocnet", "_assocnet*.so")):
    print("skipped: this build has no Python module")
    sys.exit(77)
if importlib.util.find_spec("pytest") is None:
    print("skipped: pytest is missing")
    sys.exit(77)
env = dict(os.environ, PYTHONPATH=PACKAGE, ASSOCNET_BUILD=BUILD, PYTHONDONTWRITEBYTECODE="1")
status = subprocess.call([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          os.path.join(ROOT, "python", "tests")], env=env)
sys.exit(1 if status == 5 else status)  # 5: no test was collected

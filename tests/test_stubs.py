"""The shipped type stubs agree with the native modules at run time."""
import pathlib

import pytest

from conftest import CHILD_PRELUDE, CHILD_STORE, run_python

pytest.importorskip("mypy.stubtest")

ROOT = pathlib.Path(__file__).resolve().parents[1]

# stubtest imports every module, and the engine client logs in as it is imported: the child's
# store and token check let it. The report goes to stderr, which a failure shows.
STUBTEST = """
from mypy.stubtest import parse_options, test_stubs
sys.stdout = sys.stderr
sys.exit(test_stubs(parse_options(sys.argv[1:])))
"""


def test_stubs_match_runtime(tmp_path):
    run_python(CHILD_PRELUDE + CHILD_STORE + STUBTEST, "quillon",
               "--mypy-config-file", ROOT / "pyproject.toml", cwd=tmp_path, timeout=300)

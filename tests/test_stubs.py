"""The shipped type stubs agree with the native modules at run time."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy.stubtest")

ROOT = pathlib.Path(__file__).resolve().parents[1]

# stubtest imports every module, and importing the engine client logs in:
# give it an accepted stored token and a faked token check.
SCRIPT = textwrap.dedent(
    """
    import json, os, sys, tempfile
    import responses
    import quillon.validation.credgate as credgate

    store = os.path.join(tempfile.mkdtemp(), "secret.json")
    with open(store, "w") as f:
        json.dump({"VELTO_USERNAME": "u@example.com", "VELTO_PASSWORD": "cHc=",
                   "VELTO_TOKEN": "tok", "VELTO_TENANT": "acme"}, f)
    credgate.secret_file_path = store
    with responses.RequestsMock(assert_all_requests_are_fired=False) as rs:
        rs.get("https://acme.quillon.example/", status=200)
        from mypy.stubtest import parse_options, test_stubs
        sys.exit(test_stubs(parse_options(sys.argv[1:])))
    """
)


def test_stubs_match_runtime(tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", SCRIPT, "quillon", "--mypy-config-file", str(ROOT / "pyproject.toml")],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_is_typed():
    import quillon

    package = pathlib.Path(quillon.__file__).parent
    assert (package / "py.typed").is_file()
    for stub in ["validation/credgate", "validation/authentication", "velto_gpt_sdk/endpoints",
                 "velto_gpt_sdk/nbassist", "velto_gpt_sdk/promptbook", "velto_gpt_sdk/magics"]:
        assert (package / f"{stub}.pyi").is_file()

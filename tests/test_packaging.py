"""The sdist holds everything needed to build, and the wheel built from it installs and imports."""

import pathlib
import subprocess
import sys
import tarfile
import venv

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.slow


def run(*cmd, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=600, **kw)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return result.stdout


def test_sdist_builds_a_wheel_that_installs_into_a_fresh_venv(tmp_path):
    dist = tmp_path / "dist"
    run(sys.executable, "-c", f"from scikit_build_core.build import build_sdist; print(build_sdist({str(dist)!r}))",
        cwd=ROOT)
    (sdist,) = dist.glob("quillon-*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
        tar.extractall(tmp_path / "src", filter="data")
    top = names[0].split("/")[0]
    for needed in ["pyproject.toml", "CMakeLists.txt", "cpp/exports.map", "cpp/core/function.cpp",
                   "cpp/modules/nbassist.cpp", "src/quillon/py.typed", "src/quillon/velto_gpt_sdk/nbassist.pyi"]:
        assert f"{top}/{needed}" in names

    wheels = tmp_path / "wheels"
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q", "-w", str(wheels),
        str(tmp_path / "src" / top))
    (wheel,) = wheels.glob("quillon-*.whl")

    env_dir = tmp_path / "fresh"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    run(str(python), "-m", "pip", "install", "-q", "--no-deps", str(wheel))
    out = run(str(python), "-c", "import quillon, quillon.velto_gpt_sdk.promptbook as p; "
                                 "print(quillon.__version__, len(p.prompts_list))", cwd=tmp_path)
    assert out.split() == [_version(), "27"]

    metadata = run(str(python), "-m", "pip", "show", "quillon")
    assert "Requires: ipython, ipywidgets, openai, pandas, python-jose, requests" in metadata


def _version():
    text = (ROOT / "src" / "quillon" / "__init__.py").read_text()
    return text.split('__version__ = "')[1].split('"')[0]

"""The sdist holds the tracked files and nothing else; a wheel built from it installs and works."""

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import venv
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = [f"quillon/{module}.pyi" for module in (
    "validation/credgate", "validation/authentication", "velto_gpt_sdk/endpoints",
    "velto_gpt_sdk/nbassist", "velto_gpt_sdk/promptbook", "velto_gpt_sdk/magics")]


def run(*cmd, **kw):
    # A build tool has no use for the runtime the sanitizer run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=600, env=env, **kw)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return result.stdout


def build_sdist(tree, dist):
    script = f"from scikit_build_core.build import build_sdist; build_sdist({str(dist)!r})"
    run(sys.executable, "-c", script, cwd=tree)
    (sdist,) = pathlib.Path(dist).glob("quillon-*.tar.gz")
    return sdist


def tracked_files():
    if not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    out = run("git", "ls-files", "-z", cwd=ROOT)
    return sorted(p for p in out.split("\0") if p and (ROOT / p).is_file())


# What a worked-in tree holds besides its sources: the venv (with CMake templates and a folder
# named cpp), build trees, a second venv, an in-place build of a module, caches and stray notes.
JUNK = [
    ".venv/lib/python3.11/site-packages/scikit_build_core/resources/templates/c/CMakeLists.txt",
    ".venv/lib/python3.11/site-packages/somepkg/cpp/core/ref.hpp",
    ".venv/pyvenv.cfg",
    "build/cp311-cp311-linux_x86_64/CMakeFiles/nbassist.dir/cpp/modules/nbassist.cpp.o",
    "build/asan/CMakeLists.txt",
    ".venv-lab/bin/python",
    "src/quillon/velto_gpt_sdk/nbassist.cpython-311-x86_64-linux-gnu.so",
    "src/quillon/__pycache__/__init__.cpython-311.pyc",
    "tests/artifacts/form.png",
    "bench/results.json",
    "notes.txt",
]


def test_sdist_of_a_worked_in_tree_equals_the_one_of_a_clean_tree(tmp_path):
    files = tracked_files()
    clean, worked = tmp_path / "clean", tmp_path / "worked"
    for path in files:
        (clean / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / path, clean / path)
    shutil.copytree(clean, worked)
    for path in JUNK:
        (worked / path).parent.mkdir(parents=True, exist_ok=True)
        (worked / path).write_text("junk\n")

    sdists = [build_sdist(tree, tmp_path / f"dist-{tree.name}") for tree in (clean, worked)]
    with tarfile.open(sdists[1]) as tar:
        names = sorted(m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile())
    assert names == sorted(files + ["PKG-INFO"])
    digests = [hashlib.sha256(s.read_bytes()).hexdigest() for s in sdists]
    assert digests[0] == digests[1]


@pytest.mark.slow
def test_sdist_builds_a_wheel_that_installs_into_a_fresh_venv(tmp_path):
    sdist = build_sdist(ROOT, tmp_path / "dist")
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
        tar.extractall(tmp_path / "src", filter="data")
    top = names[0].split("/")[0]
    wheels = tmp_path / "wheels"
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
        "-w", str(wheels), str(tmp_path / "src" / top))
    (wheel,) = wheels.glob("quillon-*.whl")
    with zipfile.ZipFile(wheel) as whl:
        shipped = set(whl.namelist())
    # The front end nbassist reads at run time, and what editors and type checkers read.
    assert {"quillon/velto_gpt_sdk/cellcourier.js", "quillon/py.typed", *STUBS} <= shipped

    env_dir = tmp_path / "fresh"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    run(str(python), "-m", "pip", "install", "-q", "--no-deps", str(wheel))
    out = run(str(python), "-c", "import quillon, quillon.velto_gpt_sdk.promptbook as p; "
              "print(quillon.__version__, len(p.prompts_list))", cwd=tmp_path)
    assert out.split() == [_version(), "27"]

    metadata = run(str(python), "-m", "pip", "show", "quillon")
    requires = "anywidget, ipython, ipywidgets, openai, pandas, python-jose, requests, traitlets"
    assert f"Requires: {requires}" in metadata


def _version():
    text = (ROOT / "src" / "quillon" / "__init__.py").read_text()
    return text.split('__version__ = "')[1].split('"')[0]

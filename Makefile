# Every target installs what it needs into .venv, so a fresh clone needs only
# python3.11, a C++20 compiler, cmake and ninja (all present on the dev machines).
PYTHON ?= python3.11
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q

.PHONY: all venv install test demo bench sanitize clean

all: install

$(VENV)/.ready: pyproject.toml requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -U pip
	$(PIP) install -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# Non-editable install: the tests import the package exactly as users get it,
# with the store file beside the installed modules.
install: venv
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

test: install
	$(PY) -m pytest

demo: install
	$(PY) -m devservice.demo

bench: install
	$(PY) -m bench

clean:
	rm -rf build $(VENV) .pytest_cache
